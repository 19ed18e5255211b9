#!/usr/bin/env bash
# The test suite against a second build of kelpa instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer, or (--thread) the thread
# tests against one instrumented with ThreadSanitizer.
#
#   bash .ci/sanitize.sh [--thread] [pytest args...]
#
# (tests/ under ASan and UBSan, tests/test_threads.py and the loader threads
# of tests/test_arrays.py under TSan, with the pytest args added.)
# The instrumented module goes into its own environment, build/venv-asan
# (build tree build/asan; build/venv-tsan and build/tsan with --thread), so
# the ordinary .venv build stays as it is. The interpreter itself is not
# instrumented, so the sanitizer runtimes are preloaded into it; Python
# allocates through malloc (PYTHONMALLOC=malloc) so that the sanitizers also
# watch the str and bytes objects kelpa writes into. Every report is fatal
# (-fno-sanitize-recover, halt_on_error) and is also written to
# build/<name>-reports/, which must stay empty: a report from a child
# process (the tests start interpreters and fork) fails the run too, even
# where the test only sees a non-zero exit code.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

name=asan
if [[ "${1:-}" == "--thread" ]]; then
    name=tsan
    shift
fi
venv="$root/build/venv-$name"
reports="$root/build/$name-reports"

runtime() {
    local path
    path=$(g++ -print-file-name="$1")
    [[ -e "$path" ]] || { echo "sanitize.sh: $1 not found (g++ -print-file-name gave $path)" >&2; exit 1; }
    echo "$path"
}

if [[ $name == asan ]]; then
    sanitizers=address,undefined
    preload="$(runtime libasan.so) $(runtime libubsan.so)"
    asan_options="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
    ubsan_options="halt_on_error=1:print_stacktrace=1"
    run_options=(ASAN_OPTIONS="$asan_options:log_path=$reports/asan" UBSAN_OPTIONS="$ubsan_options:log_path=$reports/ubsan")
    selection=(tests)
else
    sanitizers=thread
    preload=$(runtime libtsan.so)
    run_options=(TSAN_OPTIONS="halt_on_error=1:log_path=$reports/tsan")
    selection=(tests/test_threads.py tests/test_arrays.py::test_loader_threads_and_a_spawn_pool_fill_from_one_fasta)
fi

KELPA_VENV="$venv" bash scripts/python.sh build \
    -Ccmake.define.KELPA_SANITIZE=$sanitizers \
    "-Ccmake.define.CMAKE_CXX_FLAGS=-g -fno-sanitize-recover=all" \
    -Cbuild-dir=build/$name
KELPA_VENV="$venv" bash scripts/python.sh test-venv
export LD_PRELOAD="$preload"
export PYTHONMALLOC=malloc

# First make sure the runtime is really there: for ASan, an overflow of a
# malloc'd buffer through ctypes must abort the interpreter; for TSan, its
# runtime must be loaded. Otherwise a clean run below would prove nothing.
# (The braces keep bash's "Aborted" notice quiet too.)
if [[ $name == asan ]]; then
    if { env "${run_options[@]%%:log_path=*}" "$venv/bin/python" -c '
import ctypes, kelpa
small, big = ctypes.create_string_buffer(16), ctypes.create_string_buffer(64)
ctypes.memmove(big, small, 40)
'; } >/dev/null 2>&1; then
        echo "sanitize.sh: AddressSanitizer is not active in the interpreter (LD_PRELOAD=$LD_PRELOAD)" >&2
        exit 1
    fi
elif ! "$venv/bin/python" -c 'import kelpa, sys; sys.exit("libtsan" not in open("/proc/self/maps").read())'; then
    echo "sanitize.sh: ThreadSanitizer is not active in the interpreter (LD_PRELOAD=$LD_PRELOAD)" >&2
    exit 1
fi

rm -rf "$reports"
mkdir -p "$reports"
status=0
env "${run_options[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "${selection[@]}" "$@" || status=$?
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
