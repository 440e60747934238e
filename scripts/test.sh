#!/bin/sh
# Builds and runs every test: formatting, then unit and end-to-end tests in the plain build
# and again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing run of
# every libFuzzer target.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== formatting"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

for variant in plain asan; do
    echo "== $variant build"
    dir=$(scripts/build.sh "$variant")
    echo "== $variant tests"
    ctest --test-dir "$dir" --output-on-failure -j2
done

echo "== fuzzing (30 s per target)"
scripts/fuzz.sh 30
