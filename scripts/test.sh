#!/bin/sh
# Builds and runs every test: formatting, then unit and end-to-end tests in the plain build,
# again under AddressSanitizer and UndefinedBehaviorSanitizer, and again under
# ThreadSanitizer, then a short fuzzing run of every libFuzzer target. Ends with one line
# "N passed, N failed" over the three builds.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== formatting"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
for variant in plain asan tsan; do
    echo "== $variant build"
    dir=$(scripts/build.sh "$variant")
    # A data race stops the program at once, so the test that met it fails.
    export TSAN_OPTIONS="halt_on_error=1"
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
