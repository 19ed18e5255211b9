#!/usr/bin/env bash
# Development environment for kelpa: a virtual environment at .venv with the
# build and test requirements, and the project installed into it.
#
#   scripts/python.sh find            print the interpreter to use (Python 3.13,
#                                     or KELPA_PYTHON_VERSION: 3.11, 3.12 or 3.13)
#   scripts/python.sh venv-path       print the environment's directory
#   scripts/python.sh venv            create .venv and install the build requirements
#   scripts/python.sh build [ARGS]    venv, then build and install kelpa into it
#                                     (ARGS go to pip, e.g.
#                                     -Ccmake.define.KELPA_SANITIZE=address,undefined
#                                     -Cbuild-dir=build/asan)
#   scripts/python.sh test-venv       venv, then add the test requirements
#
# KELPA_PYTHON_VERSION picks the version (3.13 by default), whose
# environment is .venv for 3.13 and .venv-3.X for the others, and whose
# build tree is its own (build/<wheel tag>); KELPA_PYTHON names the
# interpreter instead of the search (its version must be the one asked for);
# VERBOSE=1 shows the compiler; KELPA_VENV puts the environment elsewhere (a
# second build side by side, e.g. the sanitizer build of .ci/sanitize.sh).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The versions kelpa supports; the first is the default.
versions=(3.13 3.12 3.11)
version="${KELPA_PYTHON_VERSION:-${versions[0]}}"
if [[ " ${versions[*]} " != *" $version "* ]]; then
    echo "scripts/python.sh: KELPA_PYTHON_VERSION=$version is not one of ${versions[*]}" >&2
    exit 1
fi
if [[ "$version" == "${versions[0]}" ]]; then
    venv="${KELPA_VENV:-$root/.venv}"
else
    venv="${KELPA_VENV:-$root/.venv-$version}"
fi
venv_python="$venv/bin/python"

# What the build (--no-build-isolation, below) and kelpa itself need (numpy,
# for kelpa_arrays), which is all that `make demo` installs; and what the
# tests add (moto's S3 server: the tests of s3:// files).
requirements=(scikit-build-core numpy)
test_requirements=(pytest hypothesis dask distributed pyarrow "moto[server]")

die() {
    echo "scripts/python.sh: $*" >&2
    exit 1
}

is_wanted_python() {
    "$1" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" >/dev/null 2>&1
}

find_python() {
    if [[ -n "${KELPA_PYTHON:-}" ]]; then
        is_wanted_python "$KELPA_PYTHON" || die "KELPA_PYTHON=$KELPA_PYTHON is not a working Python $version"
        echo "$KELPA_PYTHON"
        return
    fi
    # A pyenv shim named python3.X can sit on PATH without a working
    # interpreter behind it, so the name alone proves nothing: run it.
    local candidate
    if candidate=$(command -v "python$version") && is_wanted_python "$candidate"; then
        echo "$candidate"
        return
    fi
    local newest
    newest=$(printf '%s\n' "$HOME/.pyenv/versions/$version".*/bin/"python$version" | sort -V | tail -n 1)
    if [[ -e "$newest" ]] && is_wanted_python "$newest"; then
        echo "$newest"
        return
    fi
    die "no working Python $version found (tried python$version on PATH and ~/.pyenv/versions/$version.*); install one or set KELPA_PYTHON"
}

pip() {
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 "$venv_python" -m pip "$@"
}

ensure_venv() {
    if [[ -x "$venv_python" ]] && ! is_wanted_python "$venv_python"; then
        echo "scripts/python.sh: $venv is broken or not Python $version; recreating it" >&2
        rm -rf "$venv"
    fi
    if [[ ! -x "$venv_python" ]]; then
        local python
        python=$(find_python)
        echo "scripts/python.sh: creating $venv with $python" >&2
        "$python" -m venv "$venv"
    fi

    # The stamp records what was installed; a changed list installs again.
    local stamp="$venv/.kelpa-requirements"
    local wanted="${requirements[*]}"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
        return
    fi
    pip install "${requirements[@]}"
    # Without build isolation nobody adds the tools scikit-build-core asks
    # for (cmake when none on PATH is recent enough, ninja), so ask it.
    local extra
    extra=$(cd "$root" && "$venv_python" -c \
        'from scikit_build_core.build import get_requires_for_build_wheel as r; print(" ".join(r()))')
    if [[ -n "$extra" ]]; then
        # shellcheck disable=SC2086 # one requirement per word
        pip install $extra
    fi
    echo "$wanted" >"$stamp"
}

# The one library the build needs besides Python: libdeflate. As root on a
# Debian-like system it is installed when its header is missing; otherwise
# the configure step names the package.
ensure_libdeflate() {
    if [[ -e /usr/include/libdeflate.h || "$(id -u)" != 0 ]] || ! command -v apt-get >/dev/null; then
        return
    fi
    echo "scripts/python.sh: installing libdeflate-dev" >&2
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libdeflate-dev >/dev/null; } ||
        echo "scripts/python.sh: could not install libdeflate-dev" >&2
}

build() {
    ensure_venv
    ensure_libdeflate
    # --no-build-isolation: the build runs in .venv itself, so cmake and
    # ninja keep their paths from one build to the next and the persistent
    # build tree (build-dir in pyproject.toml) is reused; with isolation
    # every build would reconfigure and recompile everything.
    # --no-deps: kelpa's one runtime dependency, numpy, is a requirement
    # above already, and pip need not ask.
    local verbose=()
    if [[ -n "${VERBOSE:-}" ]]; then
        verbose=(-v)
    fi
    export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
    pip install --no-build-isolation --no-deps "${verbose[@]}" "$@" "$root"
}

# The test requirements, on top of the build's, with a stamp of their own.
ensure_test_venv() {
    ensure_venv
    local stamp="$venv/.kelpa-test-requirements"
    local wanted="${test_requirements[*]}"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
        return
    fi
    pip install "${test_requirements[@]}"
    echo "$wanted" >"$stamp"
}

# Several builds into one tree at once (two make runs side by side) would
# trample each other's CMake state and .venv: take turns.
with_lock() {
    mkdir -p "$root/build"
    exec 9>"$root/build/.lock"
    flock 9
    "$@"
}

case "${1:-}" in
    find) find_python ;;
    venv-path) echo "$venv" ;;
    venv) with_lock ensure_venv ;;
    test-venv) with_lock ensure_test_venv ;;
    build) shift; with_lock build "$@" ;;
    *) die "usage: scripts/python.sh find|venv-path|venv|test-venv|build [pip args...]" ;;
esac
