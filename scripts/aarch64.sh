#!/usr/bin/env bash
# kelpa's aarch64 wheels, run on an x86-64 machine under user-mode emulation
# (qemu-aarch64-static), with Debian's arm64 CPython: 3.11 from bookworm,
# 3.13 from trixie (Debian has no arm64 CPython 3.12):
#
#   scripts/aarch64.sh sysroot VERSION   build/aarch64/sysroot-VERSION: that
#                                        release's arm64 libc, CPython and the
#                                        libraries it loads, unpacked (never
#                                        installed)
#   scripts/aarch64.sh register          hand every aarch64 ELF file that is
#                                        executed to qemu (binfmt_misc, as root),
#                                        so that children run too
#   scripts/aarch64.sh env WHEEL DIR     DIR: an environment of the wheel's Python
#                                        holding WHEEL[test] (aarch64 wheels from
#                                        PyPI)
#   scripts/aarch64.sh run DIR ARGS...   DIR's python with ARGS, emulated
#   scripts/aarch64.sh exec DIR FILE ARGS...
#                                        an aarch64 program, emulated with DIR's
#                                        sysroot
#
# QEMU_LD_PREFIX, which `run` and `exec` set, makes qemu look for the
# programs' libraries (and the interpreter's standard library) in the sysroot
# first; children inherit it. Needs apt-get reaching Debian and, for
# `register`, root and a kernel with binfmt_misc. Emulated timings mean
# nothing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/aarch64"
qemu=/usr/bin/qemu-aarch64-static

# Per version: the Debian release, and the packages of the sysroot: the
# interpreter with its standard library, libcurl (which kelpa loads for
# URLs) and the C++ runtime that numpy's wheels need, with everything they
# depend on.
release_of() {
    case "$1" in
        3.11) echo bookworm ;;
        3.13) echo trixie ;;
        *) die "no arm64 CPython $1 among Debian's packages (3.11: bookworm, 3.13: trixie)" ;;
    esac
}

packages_of() {
    case "$1" in
        3.11) echo python3.11-minimal libpython3.11-stdlib libcurl4 libstdc++6 ;;
        3.13) echo python3.13-minimal libpython3.13-stdlib libcurl4t64 libstdc++6 ;;
    esac
}

binfmt=/proc/sys/fs/binfmt_misc

die() {
    echo "scripts/aarch64.sh: $*" >&2
    exit 1
}

say() {
    echo "scripts/aarch64.sh: $*" >&2
}

ensure_qemu() {
    [[ -x "$qemu" ]] && return
    [[ "$(id -u)" == 0 ]] || die "$qemu is missing: install Debian's qemu-user-static"
    say "installing qemu-user-static"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null; } ||
        die "could not install qemu-user-static"
}

# The packages, fetched by apt-get through lists of their own (the
# release's arm64 packages, with its updates and security fixes), and
# unpacked.
sysroot() {
    local version=$1 release packages
    release=$(release_of "$version")
    read -ra packages <<<"$(packages_of "$version")"
    local sysroot="$work/sysroot-$version"
    ensure_qemu
    local wanted="$release ${packages[*]}"
    if [[ -f "$sysroot/.stamp" && "$(cat "$sysroot/.stamp")" == "$wanted" ]]; then
        return
    fi
    command -v apt-get >/dev/null || die "apt-get is needed to fetch Debian's arm64 packages"
    local apt="$work/apt-$release"
    local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/none"
                   -o "Dir::State::Lists=$apt/lists" -o "Dir::State::Status=$apt/status" -o "Dir::Cache=$apt/cache"
                   -o "APT::Architecture=arm64" -o "APT::Architectures=arm64" -o "APT::Sandbox::User=$(id -un)" -qq)
    rm -rf "$apt" "$sysroot"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/none" "$apt/debs" "$sysroot"
    : >"$apt/status"
    {
        echo "deb [arch=arm64] http://deb.debian.org/debian $release main"
        echo "deb [arch=arm64] http://deb.debian.org/debian $release-updates main"
        echo "deb [arch=arm64] http://deb.debian.org/debian-security $release-security main"
    } >"$apt/sources.list"
    say "fetching Debian $release's arm64 ${packages[*]} and what they depend on"
    apt-get "${options[@]}" update
    local closure
    closure=$(apt-cache "${options[@]}" depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances "${packages[@]}" | grep -E '^[a-z0-9]' | sort -u)
    # shellcheck disable=SC2086 # one package a word
    (cd "$apt/debs" && apt-get "${options[@]}" download $closure)
    # /lib and the other top folders as a merged /usr has them (trixie's
    # packages put the dynamic loader under /usr/lib only).
    local top
    for top in bin sbin lib; do
        mkdir -p "$sysroot/usr/$top"
        ln -s "usr/$top" "$sysroot/$top"
    done
    local deb
    for deb in "$apt"/debs/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
    done
    QEMU_LD_PREFIX="$sysroot" "$qemu" "$sysroot/usr/bin/python$version" -c \
        'import platform, ssl, sqlite3; assert platform.machine() == "aarch64"' ||
        die "the sysroot's python$version does not start under $qemu"
    echo "$wanted" >"$sysroot/.stamp"
}

# An entry in binfmt_misc for aarch64 ELF files: with the F flag the kernel
# opens qemu now, so that it runs the program wherever the program's own
# mount namespace or root is.
register() {
    ensure_qemu
    [[ "$(id -u)" == 0 ]] || die "registering with binfmt_misc needs root"
    if [[ ! -e "$binfmt/register" ]]; then
        mount binfmt_misc -t binfmt_misc "$binfmt" 2>/dev/null || die "binfmt_misc cannot be mounted here"
    fi
    if [[ -e "$binfmt/kelpa-aarch64" ]]; then
        return
    fi
    local magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # Another entry for the same files (Debian's own, from qemu-user-static's
    # binfmt-support) would be asked first when it is enabled; it does the
    # same, and it is left alone.
    echo ":kelpa-aarch64:M::$magic:$mask:$qemu:F" >"$binfmt/register" 2>/dev/null ||
        die "binfmt_misc refused the aarch64 entry"
}

# The environment: a virtual environment's layout by hand (Debian's
# python3.X-minimal has no venv module), with pyvenv.cfg naming the
# sysroot's interpreter, and the packages installed by the build machine's
# pip for aarch64 (manylinux aarch64 wheels only), the programs they bring
# moved to the environment's bin/. DIR/.sysroot names the sysroot.
env_of() {
    local wheel=$1 dir=$2
    [[ -f "$wheel" ]] || die "no wheel $wheel"
    local tag
    tag=$(basename "$wheel" | sed -nE 's/^kelpa-[^-]+-cp3([0-9]+)-.*_aarch64\.whl$/\1/p')
    [[ -n "$tag" ]] || die "$wheel is not a kelpa wheel for aarch64"
    local version="3.$tag"
    sysroot "$version"
    local sysroot="$work/sysroot-$version"
    rm -rf "$dir"
    local site="$dir/lib/python$version/site-packages"
    mkdir -p "$dir/bin" "$site"
    printf 'home = %s\ninclude-system-site-packages = false\nversion = %s\n' "$sysroot/usr/bin" "$version" \
        >"$dir/pyvenv.cfg"
    echo "$sysroot" >"$dir/.sysroot"
    ln -s "$sysroot/usr/bin/python$version" "$dir/bin/python"
    ln -s python "$dir/bin/python$version"
    local python
    python=$(KELPA_PYTHON_VERSION=$version bash "$root/scripts/python.sh" find)
    say "installing $(basename "$wheel")[test] for aarch64 into $dir"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$python" -m pip install --quiet --target "$site" --platform manylinux_2_28_aarch64 \
        --platform manylinux2014_aarch64 --platform linux_aarch64 --python-version "$version" --implementation cp \
        --only-binary=:all: --no-warn-conflicts --root-user-action=ignore "$wheel[test]"
    if [[ -d "$site/bin" ]]; then
        mv "$site"/bin/* "$dir/bin/"
        rmdir "$site/bin"
    fi
}

sysroot_of() {
    [[ -f "$1/.sysroot" ]] || die "$1 is not an environment made by scripts/aarch64.sh env"
    cat "$1/.sysroot"
}

run() {
    local dir=$1 sysroot
    sysroot=$(sysroot_of "$dir")
    shift
    QEMU_LD_PREFIX="$sysroot" exec "$qemu" -0 "$dir/bin/python" "$dir/bin/python" "$@"
}

exec_program() {
    local sysroot
    sysroot=$(sysroot_of "$1")
    shift
    QEMU_LD_PREFIX="$sysroot" exec "$qemu" "$@"
}

case "${1:-}" in
    sysroot) [[ $# == 2 ]] || die "usage: scripts/aarch64.sh sysroot VERSION"; sysroot "$2" ;;
    register) register ;;
    env) [[ $# == 3 ]] || die "usage: scripts/aarch64.sh env WHEEL DIR"; env_of "$2" "$3" ;;
    run) [[ $# -ge 2 ]] || die "usage: scripts/aarch64.sh run DIR ARGS..."; shift; run "$@" ;;
    exec) [[ $# -ge 3 ]] || die "usage: scripts/aarch64.sh exec DIR FILE ARGS..."; shift; exec_program "$@" ;;
    *) die "usage: scripts/aarch64.sh sysroot VERSION|register|env WHEEL DIR|run DIR ARGS...|exec DIR FILE ARGS..." ;;
esac
