#!/usr/bin/env bash
# The release files, tested as users install them.
#
# The wheels: `make wheel` builds the six (CPython 3.11, 3.12 and 3.13, for
# x86-64 and aarch64) with their own toolchain and checks each (auditwheel
# show: the tag and the libraries grafted; every ELF file in it against the
# manylinux_2_28 policy of its architecture).
# - x86-64: each version's wheel is installed into a fresh environment of
#   that version that receives only the wheel and the test requirements, and
#   the whole suite runs against that installation from a folder outside the
#   source tree (the tests still read their data from the tree); the demo too.
# - aarch64: the cp311 and cp313 wheels are installed for Debian's arm64
#   CPython 3.11 (bookworm) and 3.13 (trixie), and their suites (cp313: the
#   files named below) run under
#   user-mode emulation (scripts/aarch64.sh; the children the tests start,
#   the kelpa program among them, run emulated through binfmt_misc), then
#   each emulated program's output is compared with the x86-64 program's on
#   the same files. The cp312 aarch64 wheel has no interpreter among
#   Debian's packages: check_wheel.py's per-file checks are its.
#
# The sdist: `make sdist`, installed into a second fresh environment with
# libdeflate ignored (KELPA_USE_LIBDEFLATE=OFF, as on a machine without it),
# and the compressed-file tests run on that zlib build.
#
# Needs the three Pythons and PyPI; the wheels also need apt-get reaching
# Debian (scripts/release.sh, scripts/aarch64.sh) and, for the emulated
# children, root. Everything goes into build/ and dist/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python=$(bash scripts/python.sh find)
version=$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
outside=$(mktemp -d)
chmod 755 "$outside"  # some tests run the program as another user
trap 'rm -rf "$outside"' EXIT

stage() {
    echo "== .ci/release.sh: $* ($(date -u +%H:%M:%S))"
}

# A fresh environment $1 of Python $2, holding "${@:3}".
fresh_env() {
    rm -rf "$outside/$1"
    "$(KELPA_PYTHON_VERSION=$2 bash scripts/python.sh find)" -m venv "$outside/$1"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$outside/$1/bin/python" -m pip install --quiet "${@:3}"
}

stage "building the wheels"
make wheel

for python_version in 3.11 3.12 3.13; do
    tag="cp${python_version/./}"
    wheel="$root/dist/kelpa-$version-$tag-$tag-manylinux_2_28_x86_64.whl"
    stage "the suite on the installed $tag x86-64 wheel"
    fresh_env "wheel-$tag" "$python_version" "$wheel[test]"
    (cd "$outside" && KELPA_EXPECT_INSTALLED=1 KELPA_WHEEL="$wheel" KELPA_EXPECT_INFLATE=libdeflate \
        "wheel-$tag/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")
    # The demo, as a user who installed the wheel runs it.
    (cd "$outside" && "wheel-$tag/bin/python" "$root/examples/demo.py" >/dev/null)
done

# cp311 runs the whole suite; cp313, whose emulated interpreter starts its
# children far more slowly, the files of fetching, batches, BGZF, arrays,
# kernels and variants (the others: .ci/run names them), and its program is
# compared with the x86-64 one.
bash scripts/aarch64.sh register
declare -A emulated_tests=(
    [cp311]="$root/tests"
    [cp313]="$(printf "$root/tests/%s " test_fetch.py test_records.py test_sequence.py test_batch.py \
        test_compressed.py test_arrays.py test_kernels.py test_variants.py)"
)
for tag in cp311 cp313; do
    stage "the suite on the installed $tag aarch64 wheel, emulated"
    arm_wheel="$root/dist/kelpa-$version-$tag-$tag-manylinux_2_28_aarch64.whl"
    bash scripts/aarch64.sh env "$arm_wheel" "$outside/arm-$tag"
    # shellcheck disable=SC2086 # one test path a word
    (cd "$outside" && KELPA_EXPECT_INSTALLED=1 KELPA_WHEEL="$arm_wheel" KELPA_EXPECT_INFLATE=libdeflate \
        KELPA_TEST_EMULATED=1 bash "$root/scripts/aarch64.sh" run "$outside/arm-$tag" -m pytest -q -rs \
        -p no:cacheprovider ${emulated_tests[$tag]})
    stage "the emulated $tag aarch64 program against the x86-64 one"
    "$outside/wheel-cp313/bin/python" "$root/scripts/compare_programs.py" "$outside/wheel-cp313/bin/kelpa" \
        "$outside/arm-$tag/bin/kelpa" --run-other "bash $root/scripts/aarch64.sh exec $outside/arm-$tag"
done

stage "the sdist, built with zlib alone"
make sdist
# No wheel cache: one built earlier with other options must not stand in.
fresh_env sdist-env 3.13 --no-cache-dir -Ccmake.define.KELPA_USE_LIBDEFLATE=OFF "$root/dist/kelpa-$version.tar.gz[test]"
(cd "$outside" && KELPA_EXPECT_INSTALLED=1 KELPA_EXPECT_INFLATE=zlib \
    sdist-env/bin/python -m pytest -q -p no:cacheprovider "$root/tests/test_compressed.py" \
    "$root/tests/test_cli.py" "$root/tests/test_packaging.py" -k "compressed or bgzf or version or installed")
