#!/usr/bin/env bash
# The test suite against a second build of kelpa instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash .ci/sanitize.sh [pytest args...]
#
# The instrumented module goes into its own environment, build/venv-asan
# (build tree build/asan), so the ordinary .venv build stays as it is. The
# interpreter itself is not instrumented, so both sanitizer runtimes are
# preloaded into it; Python allocates through malloc (PYTHONMALLOC=malloc) so
# that ASan also watches the str and bytes objects kelpa writes into. Every
# report is fatal (-fno-sanitize-recover, halt_on_error) and is also written
# to build/asan-reports/, which must stay empty: a report from a child process
# (the tests start interpreters and fork) fails the run too, even where the
# test only sees a non-zero exit code.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv="$root/build/venv-asan"
reports="$root/build/asan-reports"

KELPA_VENV="$venv" bash scripts/python.sh build \
    -Ccmake.define.KELPA_SANITIZE=address,undefined \
    "-Ccmake.define.CMAKE_CXX_FLAGS=-g -fno-sanitize-recover=all" \
    -Cbuild-dir=build/asan

runtime() {
    local path
    path=$(g++ -print-file-name="$1")
    [[ -e "$path" ]] || { echo "sanitize.sh: $1 not found (g++ -print-file-name gave $path)" >&2; exit 1; }
    echo "$path"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)

export LD_PRELOAD="$asan $ubsan"
export PYTHONMALLOC=malloc
asan_options="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
ubsan_options="halt_on_error=1:print_stacktrace=1"

# First make sure a report really stops the interpreter: an overflow of a
# malloc'd buffer through ctypes must abort it. Otherwise a clean run below
# would prove nothing. (The braces keep bash's "Aborted" notice quiet too.)
if { ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" "$venv/bin/python" -c '
import ctypes, kelpa
small, big = ctypes.create_string_buffer(16), ctypes.create_string_buffer(64)
ctypes.memmove(big, small, 40)
'; } >/dev/null 2>&1; then
    echo "sanitize.sh: AddressSanitizer is not active in the interpreter (LD_PRELOAD=$LD_PRELOAD)" >&2
    exit 1
fi

rm -rf "$reports"
mkdir -p "$reports"
status=0
ASAN_OPTIONS="$asan_options:log_path=$reports/asan" UBSAN_OPTIONS="$ubsan_options:log_path=$reports/ubsan" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || status=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "==> $report <==" >&2
        cat "$report" >&2
    done
    exit 1
fi
if [[ $status -eq 5 ]]; then
    echo "sanitize.sh: no test ran under the sanitizers" >&2
fi
exit "$status"
