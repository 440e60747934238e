#!/bin/sh
# The agent's main job in the sandbox: builds it, prepares a fresh sandbox root
# (./sandbox-root) on the loopback interface, starts the simulated mining daemon and the
# reference management server on localhost, and runs the agent against them.
#
#   scripts/demo.sh               live: the server also serves its page on 127.0.0.1; the
#                                 address is printed, and everything runs until Ctrl+C
#   scripts/demo.sh --no-browser  batch: the server plays sandbox/demo.script (status and
#                                 metrics reports, logs, stop and start mining, reboot, a new
#                                 pool and manual fans, each followed by a daemon restart).
#                                 After the configuration upload of the device's registration,
#                                 the machine's web interface (sandbox/webedit.py) changes the
#                                 fan settings; the agent uploads them about 3 s later. Then
#                                 the conversation as the server saw it, the agent's log and
#                                 the programs it ran are printed. Takes about a minute.
set -eu
case "${1:-}" in
"") live=1 ;;
--no-browser) live=0 ;;
*) echo "usage: $0 [--no-browser]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=$(scripts/build.sh plain)

rm -rf sandbox-root
free_port() {
    /usr/bin/python3 -c 'import sys; sys.path.insert(0, "tools/refserver"); import refserver; print(refserver.free_port())'
}
port=$(free_port)
api_port=$(free_port)
root=$(sandbox/make-root.sh sandbox-root lo "$api_port")
echo "--warmup 10" > "$root/etc/fakeminer.args"
"$root/usr/lib/fakeminer/ctl.sh" start  # not through the recorded stub: the agent did not run it

log=$root/var/log/refserver.log
echo "== reference server on wss://localhost:$port/api/v1/ws, sandbox root $root"
# Registration at every connection: the agent uploads its configuration at once.
if [ "$live" = 1 ]; then
    /usr/bin/python3 tools/refserver/refserver.py --port "$port" --auth accept_register \
        --http-port "$(free_port)" --verbose < /dev/null > "$log" 2>&1 &
    ready="live page on"
else
    /usr/bin/python3 tools/refserver/refserver.py --port "$port" --auth accept_register \
        --script sandbox/demo.script < /dev/null > "$log" 2>&1 &
    ready=listening
fi
server=$!
for _ in $(seq 100); do
    grep -q "$ready" "$log" 2>/dev/null && break
    sleep 0.1
done
"$dir/cvagent-sandbox" --root "$root" --iface lo --api-port "$api_port" -c "$root/config/corvane.json" \
    -s "wss://localhost:$port/api/v1/ws" > /dev/null 2>&1 &
agent=$!
editor=
trap 'kill $server $agent $editor 2>/dev/null || true; "$root/usr/lib/fakeminer/ctl.sh" stop >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM

if [ "$live" = 1 ]; then
    echo "== live page: $(sed -n 's/^live page on //p' "$log")  (Ctrl+C to stop)"
    echo "   messages: $log; agent log: $root/var/log/cvagent.log"
    echo "   edit the settings as the web interface does: sandbox/webedit.py $root --set KEY=VALUE"
    wait $server
    exit 0
fi

# The web interface edit, a few seconds after the registration upload.
(
    for _ in $(seq 600); do
        grep -q '"update_config"' "$log" 2>/dev/null && break
        sleep 0.1
    done
    sleep 4
    sandbox/webedit.py "$root" --set bitmain-fan-ctrl=true --set bitmain-fan-pwm=80
    date +%H:%M:%S.%3N > "$root/var/log/webedit.time"
) &
editor=$!

wait $server || true
kill -TERM $agent
wait $agent && status=0 || status=$?

echo "== the web interface set the fans to manual, 80 %, at $(cat "$root/var/log/webedit.time" 2>/dev/null || echo '(never)')"
echo "== what the server received and sent"
cat "$log"
echo "== agent log (exit status $status)"
cat "$root/var/log/cvagent.log"
echo "== programs the agent ran (sandbox stubs)"
cat "$root/var/log/calls.log"
