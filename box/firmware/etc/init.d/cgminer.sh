#!/bin/sh
# The mining daemon: the simulated daemon (fakeminer.py, run by Debian's python3 under the
# name "cgminer", so that pidof and /proc/PID/comm know it) on 127.0.0.1:4028. It reads
# /config/cgminer.conf at each start, as the real daemon does.
# usage: /etc/init.d/cgminer.sh start|stop|restart
pidfile=/var/run/cgminer.pid

running() {
    pid=$(cat "$pidfile" 2>/dev/null) && kill -0 "$pid" 2>/dev/null
}

start() {
    running && return 0
    setsid /usr/bin/cgminer /usr/lib/fakeminer/fakeminer.py --root / --port 4028 \
        --warmup 1 < /dev/null >> /var/log/fakeminer.log 2>&1 &
    # The pid file appears once the daemon answers (emulated, the interpreter takes seconds).
    i=0
    until running; do
        i=$((i + 1))
        [ $i -le 600 ] || { echo "cgminer: did not start" >&2; return 1; }
        sleep 0.1
    done
}

stop() {
    running || { rm -f "$pidfile"; return 0; }
    kill -TERM "$pid"
    i=0
    while kill -0 "$pid" 2>/dev/null; do
        i=$((i + 1))
        [ $i -le 100 ] || { kill -KILL "$pid"; break; }
        sleep 0.1
    done
    rm -f "$pidfile"
}

case ${1:-} in
start) start ;;
stop) stop ;;
restart) stop; start ;;
*) echo "usage: $0 start|stop|restart" >&2; exit 2 ;;
esac
