#!/bin/sh
# The web interface's kernel log page: the kernel's ring buffer.
dmesg
