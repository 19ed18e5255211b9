#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/fuzz_*.cpp) against the Python-free core
# (src/core/*/*.cpp) into build/fuzz/, with clang, ASan and UBSan. Every
# sanitizer report is fatal. The targets named fuzz_cli_* link the program's
# parsers of untrusted text as well (src/cli: regions, BED lines, arguments),
# never its main() or its commands.
#
#   fuzz/build.sh            all targets
#   fuzz/build.sh index      only the targets named fuzz_index*
#
# CXX overrides the compiler (default clang++); it must have libFuzzer.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build/fuzz"
cxx="${CXX:-clang++}"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Werror
       -fsanitize=address,undefined -fno-sanitize-recover=all
       -I"$root/src" -I"$root/fuzz")

command -v "$cxx" >/dev/null || { echo "fuzz/build.sh: $cxx not found (apt-get install clang libclang-rt-dev)" >&2; exit 1; }
echo '#include <libdeflate.h>' | "$cxx" -E -x c++ - >/dev/null 2>&1 ||
    { echo "fuzz/build.sh: libdeflate not found: install the package libdeflate-dev" >&2; exit 1; }
mkdir -p "$out/core"

# Two compilers at a time (the machines have two cores).
failed=0
spawn() {
    while (( $(jobs -rp | wc -l) >= 2 )); do
        wait -n || failed=1
    done
    "$@" &
}
wait_all() {
    while (( $(jobs -rp | wc -l) > 0 )); do
        wait -n || failed=1
    done
    return "$failed"
}

# The core once, instrumented for coverage; each target links against it.
# An object is rebuilt when its source or any header of the core is newer.
# Its BGZF blocks are inflated with libdeflate, as in the everyday build.
objects=()
for source in "$root"/src/core/*/*.cpp "$root"/src/core/bgzf/inflate/libdeflate.cpp; do
    room=$(basename "$(dirname "$source")")
    object="$out/core/$room-$(basename "${source%.cpp}").o"
    if [[ ! -e "$object" || "$source" -nt "$object" || -n "$(find "$root/src/core" -name '*.hpp' -newer "$object" -print -quit)" ]]; then
        spawn "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
    fi
    objects+=("$object")
done
wait_all || { echo "fuzz/build.sh: compiling the core failed" >&2; exit 1; }

targets=()
for source in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "${source%.cpp}")
    if [[ $# -gt 0 && "$name" != "fuzz_$1"* ]]; then
        continue
    fi
    targets+=("$name")
done

# The program's parsers, for the fuzz_cli_* targets. They need the core's
# name table and nothing else of src/cli. The library's bounds checks
# (_GLIBCXX_ASSERTIONS) stand guard over string and vector indexing that
# ASan cannot see, inside a short string or a vector's spare capacity.
cli_sources=(region bed options)
cli_flags=(-D_GLIBCXX_ASSERTIONS)
cli_objects=()
if [[ " ${targets[*]} " == *" fuzz_cli_"* ]]; then
    mkdir -p "$out/cli"
    for part in "${cli_sources[@]}"; do
        source="$root/src/cli/$part.cpp"
        object="$out/cli/$part.o"
        if [[ ! -e "$object" || "$source" -nt "$object" ||
              -n "$(find "$root/src/cli" "$root/src/core" -name '*.hpp' -newer "$object" -print -quit)" ]]; then
            spawn "$cxx" "${flags[@]}" "${cli_flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
        fi
        cli_objects+=("$object")
    done
    wait_all || { echo "fuzz/build.sh: compiling the program's parsers failed" >&2; exit 1; }
fi

# The target's own checks are not instrumented for coverage, so that the
# coverage feedback (and the cov/ft figures) are the code's alone.
build_target() {
    local name=$1 binary=$2
    local extra_flags=() extra_objects=()
    if [[ "$name" == fuzz_cli_* ]]; then
        extra_flags=("${cli_flags[@]}")
        extra_objects=("${cli_objects[@]}")
    fi
    "$cxx" "${flags[@]}" "${extra_flags[@]}" -c "$root/fuzz/$name.cpp" -o "$binary.o" &&
        "$cxx" "${flags[@]}" -fsanitize=fuzzer "$binary.o" "${extra_objects[@]}" "${objects[@]}" -pthread -ldeflate \
            -o "$binary"
}
for name in "${targets[@]}"; do
    spawn build_target "$name" "$out/$name"
done
wait_all || { echo "fuzz/build.sh: linking a target failed" >&2; exit 1; }
echo "fuzz/build.sh: targets in $out" >&2
