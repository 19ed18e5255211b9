#!/usr/bin/env bash
# The documentation: the site of docs/ (Sphinx and MyST; the API reference
# generated from kelpa-stubs and kelpa_arrays-stubs), built with warnings as
# errors into build/docs/html, and the man page kelpa.1 into build/docs/man;
# then every example of its pages run (Sybil, docs/conftest.py). The tools
# are pinned and installed from PyPI into build/docs-venv on first use; the
# kelpa that `make build` installed into .venv is copied into it, so the
# examples run beside the tools below only, as a user's would.
#
#   scripts/docs.sh            build the site and run the examples
#   scripts/docs.sh [PAGES]    the site, then the examples of those pages only
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# Besides the site's tools: what the pages' examples run on (numpy for
# kelpa_arrays; dask and distributed for the Dask recipe, on a LocalCluster;
# moto's S3 server, which the remote page reads from beside nginx; pysam's
# VariantFile, which the variants page reads its VCF with).
tools=(sphinx==9.2.0 myst-parser==5.2.0 sphinx-autoapi==3.9.0 sybil==10.1.0 pytest==9.2.0 numpy
       dask==2026.11.0 distributed==2026.11.0 "moto[server]==5.2.6" pysam==0.24.1)
venv=build/docs-venv
stamp="$venv/.tools"
if [[ ! -x "$venv/bin/sphinx-build" || "$(cat "$stamp" 2>/dev/null)" != "${tools[*]}" ]]; then
    python=$(bash scripts/python.sh find)
    "$python" -m venv "$venv"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install --quiet "${tools[@]}"
    echo "${tools[*]}" >"$stamp"
fi

# kelpa as `make build` installed it: every file pip recorded for it (the
# modules, the shared libraries, the stubs, the program in bin/), copied to
# the same place under build/docs-venv.
.venv/bin/python - "$venv" <<'EOF'
import importlib.metadata
import os
import shutil
import sys
import sysconfig

source = sysconfig.get_path("purelib")
target = os.path.join(sys.argv[1], os.path.relpath(source, sys.prefix))
for file in importlib.metadata.distribution("kelpa").files:
    into = os.path.normpath(os.path.join(target, file))
    os.makedirs(os.path.dirname(into), exist_ok=True)
    shutil.copy2(file.locate(), into)
EOF

rm -rf build/docs
"$venv/bin/sphinx-build" -q -W -n --keep-going -b html docs build/docs/html
"$venv/bin/sphinx-build" -q -W -n --keep-going -b man docs build/docs/man
echo "docs: the site is in build/docs/html, the man page in build/docs/man/kelpa.1"

if [[ $# == 0 ]]; then
    set -- docs
fi
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
