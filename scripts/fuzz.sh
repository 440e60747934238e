#!/bin/sh
# Builds the libFuzzer targets into build-fuzz/ (clang, AddressSanitizer, UBSan) and runs each
# target of tests/fuzz for SECONDS on a copy of its seed corpus tests/fuzz/corpus/NAME/ (NAME
# is the target without "_fuzz"), so the seeds in the repository stay as they are.
# Exits non-zero when any target finds a fault; its reproducer is kept in
# build-fuzz/findings/ and its output in build-fuzz/logs/.
#
# usage: scripts/fuzz.sh SECONDS
set -eu
[ $# -eq 1 ] && [ "$1" -gt 0 ] 2>/dev/null || { echo "usage: $0 SECONDS" >&2; exit 2; }
seconds=$1
cd "$(dirname "$0")/.."
scripts/setup.sh

dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCVAGENT_FUZZ=ON \
    -DCVAGENT_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dir/findings" "$dir/logs"
failed=""
for source in tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    corpus="$work/$name"
    mkdir -p "$corpus"
    seeds="tests/fuzz/corpus/${name%_fuzz}"
    if [ -d "$seeds" ]; then
        cp -R "$seeds/." "$corpus/"
    fi
    log="$dir/logs/$name.log"
    echo "== fuzz $name for ${seconds}s"
    # One process; an input that runs for 10 s counts as a finding (a hang).
    if "$dir/tests/fuzz/$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$name-" "$corpus" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done ' "$log" || true
    else
        tail -n 60 "$log"
        echo "== $name: FINDING (log $log, reproducer $dir/findings/$name-*)"
        failed="$failed $name"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz: findings in$failed" >&2
    exit 1
fi
