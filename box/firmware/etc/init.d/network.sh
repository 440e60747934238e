#!/bin/sh
# The firmware's network script: applies /config/network.conf to eth0, DHCP ("dhcp=true") or
# static ("ipaddress=", "netmask=", "gateway=", "dnsservers=" in double quotes).
# usage: /etc/init.d/network.sh start|stop|restart
conf=/config/network.conf

setting() {
    sed -n "s/^$1=//p" "$conf" 2>/dev/null | tr -d '"' | tail -n1
}

stop() {
    if [ -f /var/run/udhcpc.pid ]; then
        kill "$(cat /var/run/udhcpc.pid)" 2>/dev/null
        rm -f /var/run/udhcpc.pid
    fi
    ip addr flush dev eth0 2>/dev/null
    ip link set eth0 down 2>/dev/null
}

start() {
    name=$(setting hostname)
    hostname "${name:-antminer}"
    ip link set lo up
    ip link set eth0 up
    if [ "$(setting dhcp)" = true ] || [ -z "$(setting ipaddress)" ]; then
        echo "network: eth0 by DHCP"
        udhcpc -i eth0 -b -p /var/run/udhcpc.pid -s /usr/share/udhcpc/default.script \
            -x hostname:"${name:-antminer}" > /dev/null 2>&1
    else
        prefix=$(ipcalc -p "$(setting ipaddress)" "$(setting netmask)" | cut -d= -f2)
        echo "network: eth0 static $(setting ipaddress)/$prefix"
        ip addr add "$(setting ipaddress)/$prefix" dev eth0
        ip route add default via "$(setting gateway)" dev eth0
        : > /etc/resolv.conf
        for server in $(setting dnsservers); do
            echo "nameserver $server" >> /etc/resolv.conf
        done
    fi
}

case ${1:-} in
start) start ;;
stop) stop ;;
restart) stop; start ;;
*) echo "usage: $0 start|stop|restart" >&2; exit 2 ;;
esac
