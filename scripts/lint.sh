#!/usr/bin/env bash
# The house style, checked or applied: clang-format for the C and C++ of
# src/ and fuzz/ (.clang-format), ruff for the Python of tests/, bench/,
# examples/, scripts/, fuzz/ and docs/conf.py and conftest.py (pyproject.toml), both at pinned versions,
# installed from PyPI into build/lint-venv on first use.
#
#   scripts/lint.sh          check: fails, naming the files, on any difference
#   scripts/lint.sh --fix    rewrite the files in the house style
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
tools=(clang-format==21.1.8 ruff==0.17.6)
venv=build/lint-venv
stamp="$venv/.tools"
if [[ ! -x "$venv/bin/ruff" || "$(cat "$stamp" 2>/dev/null)" != "${tools[*]}" ]]; then
    python=$(bash scripts/python.sh find)
    "$python" -m venv "$venv"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install --quiet "${tools[@]}"
    echo "${tools[*]}" >"$stamp"
fi

mapfile -t native < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'src/*.c' 'fuzz/*.cpp' 'fuzz/*.hpp')
python_paths=(tests bench examples scripts fuzz docs/conf.py docs/conftest.py)
if [[ "${1:-}" == "--fix" ]]; then
    "$venv/bin/clang-format" -i "${native[@]}"
    "$venv/bin/ruff" check --fix --quiet "${python_paths[@]}"
    "$venv/bin/ruff" format --quiet "${python_paths[@]}"
else
    "$venv/bin/clang-format" --dry-run --Werror "${native[@]}"
    "$venv/bin/ruff" check --quiet "${python_paths[@]}"
    "$venv/bin/ruff" format --check --quiet "${python_paths[@]}"
    echo "lint: ${#native[@]} C and C++ files and the Python of ${python_paths[*]} are in the house style"
fi
