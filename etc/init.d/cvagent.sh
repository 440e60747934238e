#!/bin/sh
# Starts the Corvane agent at boot and starts it again whenever it exits (the agent ends itself
# with status 1 after 10 minutes without a server connection, to start afresh).
# usage: /etc/init.d/cvagent.sh start|stop|restart|status
AGENT=/opt/corvane/bin/cvagent
PIDFILE=/var/run/cvagent-supervisor.pid
RESPAWN_DELAY=5

supervise() {
    trap 'kill -TERM "$child" 2>/dev/null; wait "$child"; exit 0' TERM INT
    while :; do
        "$AGENT" > /dev/null 2>&1 &
        child=$!
        wait "$child"
        sleep "$RESPAWN_DELAY"
    done
}

running() {
    pid=$(cat "$PIDFILE" 2>/dev/null) && kill -0 "$pid" 2>/dev/null
}

case "${1:-}" in
start)
    if running; then
        echo "cvagent: already running"
        exit 0
    fi
    supervise < /dev/null &
    echo $! > "$PIDFILE"
    echo "cvagent: started"
    ;;
stop)
    if running; then
        kill -TERM "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 1; done
    fi
    rm -f "$PIDFILE"
    echo "cvagent: stopped"
    ;;
restart)
    "$0" stop
    "$0" start
    ;;
status)
    if running; then echo "cvagent: running"; else echo "cvagent: stopped"; exit 3; fi
    ;;
*)
    echo "usage: $0 start|stop|restart|status" >&2
    exit 2
    ;;
esac
