#!/bin/sh
# Builds the agent and runs it in a fresh sandbox root (./sandbox-root) on the loopback
# interface, then shows its log.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=$(scripts/build.sh plain)

rm -rf sandbox-root
root=$(sandbox/make-root.sh sandbox-root lo)
echo "== sandbox root: $root"

"$dir/cvagent-sandbox" --root "$root" --iface lo -c "$root/config/corvane.json" || true
echo "== agent log ($root/var/log/cvagent.log)"
cat "$root/var/log/cvagent.log"
echo "== configuration written back ($root/config/corvane.json)"
cat "$root/config/corvane.json"; echo
