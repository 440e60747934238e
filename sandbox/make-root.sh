#!/bin/sh
# Prepares a sandbox root for cvagent-sandbox: the relocated files the agent reads, and stubs
# for every program and script it may run, each of which only records that it was called
# (in DIR/var/log/calls.log). Nothing here reaches the real machine.
#
# usage: sandbox/make-root.sh DIR [IFACE]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 DIR [IFACE]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
mkdir -p "$1"
root=$(cd "$1" && pwd)
iface=${2:-lo}

mkdir -p "$root/bin" "$root/config" "$root/opt/corvane/etc" "$root/opt/corvane/certs" \
    "$root/etc/init.d" "$root/www/pages/cgi-bin" "$root/proc/net" "$root/tmp" \
    "$root/var/log" "$root/var/run" "$root/dev"

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
# pidof NAME: a sandbox daemon writes DIR/var/run/NAME.pid while it runs.
stub bin/pidof "for name in \"\$@\"; do" \
    "  pid=\$(cat '$root/var/run/'\"\$name\"'.pid' 2>/dev/null) || continue" \
    "  kill -0 \"\$pid\" 2>/dev/null && { echo \"\$pid\"; exit 0; }" \
    "done" "exit 1"
stub etc/init.d/network.sh "exit 0"
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
