#!/bin/sh
# The web interface's "stop mining": stops the daemon.
/etc/init.d/cgminer.sh stop
