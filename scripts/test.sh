#!/bin/sh
# Builds and runs every test: formatting, then unit and end-to-end tests in the plain build
# and again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing run of
# every libFuzzer target. Ends with one line "N passed, N failed" over both builds.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== formatting"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
for variant in plain asan; do
    echo "== $variant build"
    dir=$(scripts/build.sh "$variant")
    echo "== $variant tests"
    status=0
    ctest --test-dir "$dir" --output-on-failure -j2 > "$log" 2>&1 || status=$?
    cat "$log"
    if [ "$status" -ne 0 ]; then
        exit "$status"
    fi
    passed=$((passed + $(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log")))
done

echo "== fuzzing (30 s per target)"
scripts/fuzz.sh 30

echo "$passed passed, 0 failed"
