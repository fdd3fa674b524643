#!/usr/bin/env python3
"""Counts the system calls kelvane makes per steady-state cycle, outside the
wiringPi calls, by running the ARM build under `qemu-arm -strace` against
the simulated board. The floor is four: open, read and close of the
thermal zone, and the write of the console line.

Usage: bench/syscalls.py [build-dir] [seconds]   (default build/armv6, 4)
"""

import collections
import os
import re
import sys

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build", "armv6"))
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 4.0
os.environ["KELVANE_TEST_CONFIG"] = os.path.join(build, "tests", "integration.json")
sys.path.insert(0, os.path.join(top, "tests", "integration"))
import harness  # noqa: E402

FLOOR = 4
CALL = re.compile(r"^\d+ (\w+)\(([^,)]*)")

with harness.Rig() as rig:
    rig.start(qemu_args=["-strace"])
    rig.out.wait_for(lambda lines: False, timeout=seconds)
    rig.stop()
    trace = rig.err.snapshot()

# Cycles end with delay()'s sleep. The board handle is the descriptor the
# first send goes to; send and recv on it are wiringPi's bus transactions.
cycles, current, handle = [], [], None
for line in trace:
    m = CALL.match(line)
    if not m:
        continue
    name, first = m.groups()
    if name in ("send", "sendto") and handle is None:
        handle = first
    if name == "clock_nanosleep" or name == "nanosleep":
        cycles.append(current)
        current = []
    elif not (name in ("send", "sendto", "recv", "recvfrom") and first == handle):
        current.append(name)

steady = cycles[1:]  # the first holds the start-up
if not steady:
    sys.exit("no steady-state cycle was seen; is the build at %s?" % build)
per_cycle = max(len(c) for c in steady)
calls = collections.Counter(steady[-1])
print("steady-state cycles measured: %d" % len(steady))
print("system calls per cycle outside wiringPi: %d (floor %d)" % (per_cycle, FLOOR))
print("  " + ", ".join("%s %d" % kv for kv in sorted(calls.items())))
sys.exit(0 if per_cycle <= FLOOR else 1)
