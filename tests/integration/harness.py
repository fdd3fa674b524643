"""Runs the ARM build of kelvane under qemu-user against the simulated board.

What the build made and where comes from the file KELVANE_TEST_CONFIG names
(tests/CMakeLists.txt writes it); KELVANE_QEMU_CPU overrides its CPU. Each
Rig has its own qemu root (the ARM runtime plus the thermal zone the
simulator serves), its own board socket and its own simulator process.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

with open(os.environ["KELVANE_TEST_CONFIG"]) as f:
    CONFIG = json.load(f)
KELVANE = CONFIG["kelvane"]
OBJECT = CONFIG["object"]
MODE_DRIVER = CONFIG["mode_driver"]
WIRINGPI_DIR = CONFIG["wiringpi_dir"]
SYSROOT = CONFIG["sysroot"]
QEMU = CONFIG["qemu"]
CPU = os.environ.get("KELVANE_QEMU_CPU") or CONFIG["cpu"]
CROSS = CONFIG["cross"]
CC = CONFIG["cc"]
SIM = CONFIG["sim"]
ARCH = CONFIG["arch"]  # the Debian architecture: armhf or arm64

ZONE = "/sys/class/thermal/thermal_zone0/temp"
TEMP_LINE = re.compile(r"^The temperature is (.{6,}) C\.$")
BUS_LINE = re.compile(r"^board: (write|read) reg=(\S+) (?:data=0x([0-9a-f]{2}) )?(ack|refused)")


class Lines:
    """Collects the lines of a pipe in a thread, with the time each came."""

    def __init__(self, pipe):
        self.lines = []
        self.times = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        for line in pipe:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.times.append(time.monotonic())
                self.cond.notify_all()

    def wait_for(self, pred, timeout=10.0):
        """Waits until pred(lines) is true; returns whether it became true."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while not pred(self.lines):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def snapshot(self):
        with self.cond:
            return list(self.lines)


class Bus:
    """One transaction of the simulator's transcript."""

    def __init__(self, m):
        self.kind, self.reg = m.group(1), m.group(2)
        self.data = int(m.group(3), 16) if m.group(3) else None
        self.ack = m.group(4) == "ack"

    def __repr__(self):
        return "%s reg=%s data=%s %s" % (self.kind, self.reg, self.data, "ack" if self.ack else "refused")


def bus(lines):
    return [Bus(m) for m in map(BUS_LINE.match, lines) if m]


def temp_writes(lines):
    return [b.data for b in bus(lines) if b.kind == "write" and b.reg == "3"]


def temp_lines(lines):
    return [l for l in lines if TEMP_LINE.match(l)]


class Result:
    def __init__(self, status, out, err, board):
        self.status, self.out, self.err, self.board = status, out, err, board


class Rig:
    def __init__(self, *sim_args, temp="48312"):
        self.dir = tempfile.mkdtemp(prefix="kelvane-it-")
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        os.symlink(os.path.join(SYSROOT, "lib"), os.path.join(self.root, "lib"))
        self.socket = os.path.join(self.dir, "board.sock")
        self.sim = subprocess.Popen(
            [sys.executable, SIM, "--socket", self.socket, "--root", self.root, "--temp", temp, *sim_args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.board = Lines(self.sim.stdout)
        if not self.board.wait_for(lambda ls: any("listening" in l for l in ls)):
            raise RuntimeError("the board simulator did not start")
        self.proc = None

    def zone_path(self):
        return self.root + ZONE

    def command(self, text):
        """Changes the board while it runs; returns once it took effect."""
        n = len(self.board.snapshot())
        self.sim.stdin.write(text + "\n")
        self.sim.stdin.flush()
        self.board.wait_for(lambda ls: any(l == "board: set " + text.strip() for l in ls[n:]))

    def start(self, *args, program=KELVANE, qemu_args=(), env=None):
        """Starts the program; env adds to its environment, in which
        neither WIRINGPI_CODES nor NOTIFY_SOCKET is set otherwise."""
        base = {k: v for k, v in os.environ.items() if k not in ("WIRINGPI_CODES", "NOTIFY_SOCKET")}
        env = dict(base, WIRINGPI_SIM_SOCKET=self.socket, **(env or {}))
        self.proc = subprocess.Popen(
            [QEMU, "-cpu", CPU, *qemu_args, "-L", self.root, "-E", "LD_LIBRARY_PATH=" + WIRINGPI_DIR, program, *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)
        return self.proc

    def stop(self):
        """Kills the program if it still runs; returns its exit status
        (negative: the signal that ended it)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=10)
        self.out.thread.join(5)
        self.err.thread.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return status

    def run(self, *args, seconds=5.0, program=KELVANE, env=None):
        """Runs the program until it exits, or kills it after `seconds`."""
        self.start(*args, program=program, env=env)
        try:
            self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            pass
        status = self.stop()
        time.sleep(0.05)
        return Result(status, self.out.snapshot(), self.err.snapshot(), self.board.snapshot())

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        try:
            self.sim.stdin.write("quit\n")
            self.sim.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait()
        self.board.thread.join(5)
        self.sim.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
