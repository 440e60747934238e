#!/bin/sh
# Installs the Debian 12 packages needed to build, run, test and benchmark the agent (the
# fleet benchmark's plots: python3-matplotlib; the protocol document's checks: python3-yaml,
# python3-jsonschema; the controller in a box of scripts/box.sh: qemu-system-arm, e2fsprogs,
# cpio) and from the npm registry (Node 20 and npm are on the machine) the charting library of
# the reference server's live page and the AsyncAPI parser that validates docs/protocol.yaml,
# then builds the source-built libraries (scripts/deps/dev.sh). Idempotent, and quick when
# everything is already there.
set -eu
cd "$(dirname "$0")/.."

PACKAGES="build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
libjansson-dev liblog4cplus-dev libmbedtls-dev libcurl4-openssl-dev
libssl-dev zlib1g-dev libgtest-dev libgmock-dev googletest
python3 python3-pytest python3-websockets openssl procps patch chromium strace
g++-arm-linux-gnueabihf qemu-user-static ca-certificates python3-matplotlib
python3-yaml python3-jsonschema qemu-system-arm e2fsprogs cpio"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: run as root to install:$missing" >&2
        exit 1
    fi
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq -o DPkg::Lock::Timeout=600
    # shellcheck disable=SC2086
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends $missing >/dev/null
fi

# No package's install scripts run: neither needs one (the parser pulls in a telemetry one).
for dir in tools/refserver docs; do
    if [ ! -f "$dir/node_modules/.package-lock.json" ] ||
        [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
        echo "setup: installing the npm packages of $dir (npm ci)"
        npm ci --prefix "$dir" --no-audit --no-fund --ignore-scripts >/dev/null
    fi
done

exec scripts/deps/dev.sh
