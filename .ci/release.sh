#!/usr/bin/env bash
# The release files, tested as users install them.
#
# The wheel: `make wheel` builds it with its own toolchain and checks it
# (auditwheel show: the tag and the libraries grafted; every ELF file in it
# against the manylinux_2_28 policy). It is installed into a fresh
# environment that receives only the wheel and the test requirements, and
# the whole suite runs against that installation from a folder outside the
# source tree (the tests still read their data from the tree), and the demo.
#
# The sdist: `make sdist`, installed into a second fresh environment with
# libdeflate ignored (KELPA_USE_LIBDEFLATE=OFF, as on a machine without it),
# and the compressed-file tests run on that zlib build.
#
# Needs Python 3.13 and PyPI; the wheel also needs apt-get reaching Debian
# (scripts/release.sh). Everything goes into build/ and dist/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python=$(bash scripts/python.sh find)
version=$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
outside=$(mktemp -d)
chmod 755 "$outside"  # some tests run the program as another user
trap 'rm -rf "$outside"' EXIT

fresh_env() {
    rm -rf "$outside/$1"
    "$python" -m venv "$outside/$1"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$outside/$1/bin/python" -m pip install --quiet "${@:2}"
}

make wheel
wheel="$root/dist/kelpa-$version-cp313-cp313-manylinux_2_28_x86_64.whl"
fresh_env wheel-env "$wheel[test]"
(cd "$outside" && KELPA_EXPECT_INSTALLED=1 KELPA_WHEEL="$wheel" KELPA_EXPECT_INFLATE=libdeflate \
    wheel-env/bin/python -m pytest -q -p no:cacheprovider "$root/tests")
# The demo, as a user who installed the wheel runs it.
(cd "$outside" && wheel-env/bin/python "$root/examples/demo.py" >/dev/null)

make sdist
# No wheel cache: one built earlier with other options must not stand in.
fresh_env sdist-env --no-cache-dir -Ccmake.define.KELPA_USE_LIBDEFLATE=OFF "$root/dist/kelpa-$version.tar.gz[test]"
(cd "$outside" && KELPA_EXPECT_INSTALLED=1 KELPA_EXPECT_INFLATE=zlib \
    sdist-env/bin/python -m pytest -q -p no:cacheprovider "$root/tests/test_compressed.py" \
    "$root/tests/test_cli.py" "$root/tests/test_packaging.py" -k "compressed or bgzf or version or installed")
