#!/usr/bin/env bash
# Builds the fuzz targets, replays every kept regression input, then fuzzes
# each target for a short while starting from its seed corpus.
#
#   fuzz/smoke.sh                 30 seconds per target
#   FUZZ_SECONDS=600 fuzz/smoke.sh    a real run
#   fuzz/smoke.sh extract         only the targets named fuzz_extract*
#
# New inputs go to build/fuzz/work/<target>/ (fuzz/corpus/ is only read),
# crashes to build/fuzz/artifacts/, the full logs to build/fuzz/logs/. Any
# crash, sanitizer report or failed check fails the run; the log's tail is
# printed. Needs clang with libFuzzer and libdeflate: run as root, the script
# installs Debian's clang and libdeflate-dev when they are missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build/fuzz"
seconds="${FUZZ_SECONDS:-30}"

have_libfuzzer() {
    command -v "${CXX:-clang++}" >/dev/null 2>&1 || return 1
    local probe
    probe=$(mktemp -d)
    printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' \
        >"$probe/probe.cpp"
    "${CXX:-clang++}" -fsanitize=fuzzer,address "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    return "$status"
}

if ! have_libfuzzer; then
    if [[ "$(id -u)" != 0 ]]; then
        echo "fuzz/smoke.sh: needs clang++ with libFuzzer (apt-get install clang libclang-rt-dev)" >&2
        exit 1
    fi
    echo "fuzz/smoke.sh: installing clang" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null
    have_libfuzzer || { echo "fuzz/smoke.sh: clang++ still cannot build a fuzz target" >&2; exit 1; }
fi

if [[ ! -e /usr/include/libdeflate.h && "$(id -u)" == 0 ]]; then
    echo "fuzz/smoke.sh: installing libdeflate-dev" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libdeflate-dev >/dev/null
fi

bash "$root/fuzz/build.sh" "$@"
mkdir -p "$out/logs" "$out/artifacts"

status=0
for source in "$root"/fuzz/fuzz_*.cpp; do
    target=$(basename "${source%.cpp}")
    if [[ $# -gt 0 && "$target" != "fuzz_$1"* ]]; then
        continue
    fi
    binary="$out/$target"
    log="$out/logs/$target.log"

    # Regressions: inputs that once crashed or failed a check, replayed one by one.
    regressions=()
    if [[ -d "$root/fuzz/regressions/$target" ]]; then
        mapfile -t regressions < <(find "$root/fuzz/regressions/$target" -type f | sort)
    fi
    if [[ ${#regressions[@]} -gt 0 ]]; then
        if ! "$binary" "${regressions[@]}" >"$out/logs/$target.regressions.log" 2>&1; then
            echo "fuzz/smoke.sh: $target fails on a kept regression input:" >&2
            tail -n 40 "$out/logs/$target.regressions.log" >&2
            status=1
            continue
        fi
    fi

    work="$out/work/$target"
    mkdir -p "$work"
    if "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
        echo "$target: ${#regressions[@]} regressions replayed; ${seconds}s: ${done_line:-no DONE line}"
    else
        echo "fuzz/smoke.sh: $target failed (full log: $log):" >&2
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|RELOAD)' "$log" | tail -n 60 >&2
        status=1
    fi
done
exit "$status"
