#!/bin/sh
# Prepares a sandbox root for cvagent-sandbox: the relocated files the agent reads, and stubs
# for every program and script it may run, each of which only records that it was called
# (in DIR/var/log/calls.log). Nothing here reaches the real machine.
#
# The mining daemon is tools/fakeminer/fakeminer.py on 127.0.0.1:API_PORT, run by the stub
# init script DIR/etc/init.d/cgminer.sh; this script never starts it. With --fleet FIFO, the
# daemon is one of many served by a single "fakeminer.py --fleet" process, which the init
# script asks through that process's control FIFO.
#
# usage: sandbox/make-root.sh [--fleet FIFO] DIR [IFACE [API_PORT]]
set -eu
usage="usage: $0 [--fleet FIFO] DIR [IFACE [API_PORT]]"
fleet=
if [ "${1:-}" = --fleet ]; then
    [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
    fleet=$2
    shift 2
fi
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
mkdir -p "$1"
root=$(cd "$1" && pwd)
iface=${2:-lo}
api_port=${3:-4028}
case $api_port in '' | *[!0-9]*) echo "$usage" >&2; exit 2 ;; esac

mkdir -p "$root/bin" "$root/config" "$root/opt/corvane/etc" "$root/opt/corvane/certs" \
    "$root/etc/init.d" "$root/www/pages/cgi-bin" "$root/proc/net" "$root/tmp" \
    "$root/var/log" "$root/var/run" "$root/dev" "$root/usr/lib/fakeminer"

# A stub that records its name and arguments, then runs the rest of its body.
stub() {
    path=$root/$1
    shift
    {
        echo '#!/bin/sh'
        echo "echo \"\$(date +%s) \$(basename \"\$0\") \$*\" >> '$root/var/log/calls.log'"
        for line in "$@"; do echo "$line"; done
    } > "$path"
    chmod +x "$path"
}

stub bin/reboot "exit 0"
stub bin/sync "exit 0"
# pidof NAME: a sandbox daemon writes DIR/var/run/NAME.pid while it runs. (The agent itself
# reads DIR/proc, where the daemon's start and stop below add and remove its entry.)
stub bin/pidof "for name in \"\$@\"; do" \
    "  pid=\$(cat '$root/var/run/'\"\$name\"'.pid' 2>/dev/null) || continue" \
    "  kill -0 \"\$pid\" 2>/dev/null && { echo \"\$pid\"; exit 0; }" \
    "done" "exit 1"
stub etc/init.d/network.sh "exit 0"

# The simulated daemon's start and stop, shared by the two stubs below and not recorded itself,
# so that calls.log shows only what the agent ran. Extra daemon options (e.g. --warmup 1) may
# be put in DIR/etc/fakeminer.args. In a fleet, DIR/etc/fakeminer.fleet names the control FIFO
# of the process that serves the daemon: a start or stop is a line written there.
ln -sf "$repo/tools/fakeminer/fakeminer.py" "$root/usr/lib/fakeminer/fakeminer.py"
cat > "$root/usr/lib/fakeminer/ctl.sh" <<'EOF'
#!/bin/sh
root=$(cd "$(dirname "$0")/../../.." && pwd)
pidfile=$root/var/run/cgminer.pid
fleet=$(cat "$root/etc/fakeminer.fleet" 2>/dev/null) || fleet=
running() { pid=$(cat "$pidfile" 2>/dev/null) && kill -0 "$pid" 2>/dev/null; }
# One line to the fleet's FIFO, naming a FIFO of this call's own on which the fleet answers
# once done: a thousand roots' scripts at once must not each fork a poll every 50 ms. Bounded,
# as a FIFO blocks a writer without a reader; the answer's FIFO is opened both ways so that
# neither side waits to open it.
tell() {
    ack=$root/tmp/ctl.$$
    mkfifo "$ack" || return 1
    timeout 10 sh -c 'exec 3<>"$1" && echo "$2 $1 $3" > "$4" && read -r ok <&3' \
        tell "$ack" "$1" "$root" "$fleet"
    told=$?
    rm -f "$ack"
    return $told
}
start() {
    running && return 0
    if [ -n "$fleet" ]; then
        tell start || return 1
    else
        # setsid: the daemon outlives the caller and ignores its terminal's signals.
        setsid /usr/bin/python3 "$root/usr/lib/fakeminer/fakeminer.py" --root "$root" \
            --port "$(cat "$root/etc/fakeminer.port")" \
            $(cat "$root/etc/fakeminer.args" 2>/dev/null) \
            < /dev/null >> "$root/var/log/fakeminer.log" 2>&1 &
    fi
    # Bounded wait for the pid file, so that pidof answers as soon as start returns.
    i=0
    until running; do
        i=$((i + 1))
        if [ $i -gt 100 ]; then
            echo "fakeminer did not start, see $root/var/log/fakeminer.log" >&2
            return 1
        fi
        sleep 0.05
    done
    # The agent finds the daemon as pidof would, in the relocated /proc.
    mkdir -p "$root/proc/$pid"
    echo cgminer > "$root/proc/$pid/comm"
    printf 'cgminer\0--api-listen\0' > "$root/proc/$pid/cmdline"
}
stop() {
    running || { rm -f "$pidfile"; rm -rf "$root/proc/"[0-9]*; return 0; }
    if [ -n "$fleet" ]; then tell stop || return 1; else kill -TERM "$pid"; fi
    # The daemon removes its pid file as it exits (a zombie would still answer kill -0).
    i=0
    while [ -f "$pidfile" ] && kill -0 "$pid" 2>/dev/null; do
        i=$((i + 1))
        # Never the fleet's process: it serves the other roots too.
        [ $i -le 100 ] || { [ -n "$fleet" ] || kill -KILL "$pid" 2>/dev/null; break; }
        sleep 0.05
    done
    rm -f "$pidfile"
    rm -rf "$root/proc/$pid"
}
case ${1:-} in
    start) start ;;
    stop) stop ;;
    restart) stop; start ;;
    *) echo "usage: $0 start|stop|restart" >&2; exit 2 ;;
esac
EOF
chmod +x "$root/usr/lib/fakeminer/ctl.sh"
echo "$api_port" > "$root/etc/fakeminer.port"
rm -f "$root/etc/fakeminer.fleet"
[ -z "$fleet" ] || echo "$fleet" > "$root/etc/fakeminer.fleet"
stub etc/init.d/cgminer.sh "exec '$root/usr/lib/fakeminer/ctl.sh' \"\$@\""
stub www/pages/cgi-bin/stop_cgminer.cgi "exec '$root/usr/lib/fakeminer/ctl.sh' stop"
# The daemon's settings as the machine's web interface leaves them (sandbox/webedit.py edits
# them the same way); the simulated daemon reads them at each start.
[ -f "$root/config/cgminer.conf" ] || cp "$here/cgminer.conf" "$root/config/cgminer.conf"
# The firmware's chip hash-rate file, filled as the simulated daemon's chips would fill it.
/usr/bin/python3 "$repo/tools/fakeminer/fakeminer.py" --root "$root" \
    --write-chip-hr "$root/www/pages/cgi-bin/chip_hr.json"
stub www/pages/cgi-bin/get_kernel_log.cgi \
    "echo '[    0.000000] Booting Linux on physical CPU 0x0'" \
    "echo '[    1.234567] sandbox: simulated kernel log'"

[ -f "$root/config/corvane.json" ] ||
    printf '{\n  "api_key": "sandbox-0123456789abcdef0123456789"\n}\n' > "$root/config/corvane.json"
[ -f "$root/config/network.conf" ] || printf 'hostname=antminer\ndhcp=true\n' > "$root/config/network.conf"

sed "s|/var/log/cvagent.log|$root/var/log/cvagent.log|" "$repo/etc/log.conf" \
    > "$root/opt/corvane/etc/log.conf"
cp "$repo/tools/refserver/localhost.pem" "$root/opt/corvane/certs/letsencrypt.pem"

# The interface's routes: a default route through 127.0.0.1 (the kernel prints the address
# word as it lies in memory, so 127.0.0.1 reads 0100007F).
printf 'Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n%s\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\t0\t0\t0\n' \
    "$iface" > "$root/proc/net/route"
printf 'nameserver 127.0.0.53\nnameserver 1.1.1.1\n' > "$root/etc/resolv.conf"
echo "$root"
