#!/bin/sh
# Builds the agent into build/ (or build-asan/ with "asan": AddressSanitizer and
# UndefinedBehaviorSanitizer; build-tsan/ with "tsan": ThreadSanitizer). Prints the build
# directory.
set -eu
cd "$(dirname "$0")/.."
case "${1:-plain}" in
plain) dir=build; flags="" ;;
asan) dir=build-asan; flags="-DCVAGENT_SANITIZE=ON" ;;
tsan) dir=build-tsan; flags="-DCVAGENT_TSAN=ON" ;;
*) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug $flags >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
echo "$dir"
