#!/usr/bin/env python3
"""Counts the system calls kelvane makes per steady-state cycle, outside the
wiringPi calls, by running the ARM build under `qemu-arm -strace` against
the simulated board. The floor is four: open, read and close of the
thermal zone, and the write of the console line. With NOTIFY_SOCKET set,
as under systemd, the watchdog datagram adds one sendto.

Usage: bench/syscalls.py [build-dir] [seconds]   (default build/armv6, 4)
"""

import collections
import os
import re
import socket
import sys

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build", "armv6"))
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 4.0
os.environ["KELVANE_TEST_CONFIG"] = os.path.join(build, "tests", "integration.json")
sys.path.insert(0, os.path.join(top, "tests", "integration"))
import harness  # noqa: E402

CALL = re.compile(r"^\d+ (\w+)\(([^,)]*)")


def cycles(env):
    """The system calls of each steady-state cycle, outside wiringPi's."""
    with harness.Rig() as rig:
        rig.start(qemu_args=["-strace"], env=env)
        rig.out.wait_for(lambda lines: False, timeout=seconds)
        rig.stop()
        trace = rig.err.snapshot()

    # Cycles end with delay()'s sleep. The board handle is the descriptor the
    # first send goes to; send and recv on it are wiringPi's bus transactions.
    found, current, handle = [], [], None
    for line in trace:
        m = CALL.match(line)
        if not m:
            continue
        name, first = m.groups()
        if name in ("send", "sendto") and handle is None:
            handle = first
        if name == "clock_nanosleep" or name == "nanosleep":
            found.append(current)
            current = []
        elif not (name in ("send", "sendto", "recv", "recvfrom") and first == handle):
            current.append(name)
    steady = found[1:]  # the first holds the start-up
    if not steady:
        sys.exit("no steady-state cycle was seen; is the build at %s?" % build)
    return steady


# Outside a service manager, the floor; under one, one datagram more to the
# socket NOTIFY_SOCKET names.
manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
manager.bind("\0kelvane-bench-%d" % os.getpid())
runs = [("without NOTIFY_SOCKET", {}, 4),
        ("with NOTIFY_SOCKET", {"NOTIFY_SOCKET": "@kelvane-bench-%d" % os.getpid()}, 5)]
good = True
for title, env, floor in runs:
    steady = cycles(env)
    per_cycle = max(len(c) for c in steady)
    calls = collections.Counter(steady[-1])
    print("%s: %d steady-state cycles" % (title, len(steady)))
    print("  system calls per cycle outside wiringPi: %d (floor %d)" % (per_cycle, floor))
    print("  " + ", ".join("%s %d" % kv for kv in sorted(calls.items())))
    good = good and per_cycle <= floor
manager.close()
sys.exit(0 if good else 1)
