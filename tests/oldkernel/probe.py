#!/usr/bin/python3
"""Run under the launcher (`oldkernel python3 probe.py`): calls system calls directly on either
side of Linux 3.10's last one and checks which answer ENOSYS. Exits 1 on the first mismatch."""
import ctypes
import errno
import os
import sys

libc = ctypes.CDLL(None, use_errno=True)
me = os.getpid()
# (name, x86_64 number, arguments, answers ENOSYS); the arguments are harmless when run.
CALLS = [
    ("getpid", 39, (), False),
    ("kcmp", 312, (me, me, 0, 0, 0), False),  # 3.5; 313 (finit_module) is often compiled out
    ("sched_setattr", 314, (0, None, 0), True),
    ("getrandom", 318, (None, 0, 0), True),
    ("statx", 332, (-1, None, 0, 0, None), True),
    ("rseq", 334, (None, 0, 0, 0), True),
    ("clone3", 435, (None, 0), True),
    ("x32 getpid", 0x40000000 | 39, (), True),
]

for name, number, args, enosys in CALLS:
    ctypes.set_errno(0)
    result = libc.syscall(number, *args)
    got = result == -1 and ctypes.get_errno() == errno.ENOSYS
    print(f"{name:14} {'ENOSYS' if got else result}")
    if got != enosys:
        sys.exit(f"{name}: expected {'ENOSYS' if enosys else 'no ENOSYS'}")
