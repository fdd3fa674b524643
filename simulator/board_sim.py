#!/usr/bin/env python3
"""Simulated cooling board for kelvane, reached by the wiringPi stand-in.

The board is an I2C slave at 0x0B with three registers: 1 answers the
handshake, 2 answers the mode (1 automatic, 2 manual), 3 takes the
temperature. A plain read answers for the register written last. Every
transaction is printed on stdout, in order, as one line:

    board: write reg=3 data=0x30 ack  (48 C)
    board: read reg=1 data=0x00 ack  (handshake reply)
    board: read reg=1 refused

With --root, the simulator also serves the thermal zone file under that
directory, for a program run with `qemu-arm -L <root>`.

Commands on stdin, one a line, change the board while it runs:
    handshake N | mode N | refuse-writes on|off | refuse-reads on|off |
    vanish | temp TEXT | temp-remove | quit
"""

import argparse
import math
import os
import random
import selectors
import socket
import sys
import time

BOARD_ADDR = 0x0B
HOST_ZONE = "/sys/class/thermal/thermal_zone0/temp"
ZONE = "sys/class/thermal/thermal_zone0/temp"


def say(line):
    print("board: " + line, flush=True)


class SyntheticCpu:
    """A CPU temperature that follows a changing load with thermal lag,
    in the sensor's steps of about half a degree."""

    def __init__(self):
        self.temp = 45.0
        self.load = 0.2
        self.next_change = time.monotonic()
        self.last = time.monotonic()

    def millidegrees(self):
        now = time.monotonic()
        if now >= self.next_change:
            self.load = random.choice([0.05, 0.1, 0.3, 0.6, 0.95])
            self.next_change = now + random.uniform(3, 8)
        target = 38.0 + 42.0 * self.load
        dt = now - self.last
        self.last = now
        self.temp += (target - self.temp) * (1 - math.exp(-dt / 6.0))
        return int(round(self.temp * 1000 / 538.0) * 538)


class Board:
    def __init__(self, args):
        self.handshake = args.handshake
        self.mode = args.mode
        self.refuse_writes = args.refuse_writes
        self.refuse_reads = args.refuse_reads
        self.setup_fail = args.setup_fail
        self.open_fail = args.open_fail
        self.high_fd = args.high_fd
        self.register = None
        self.temp_byte = 0
        self.addr = {}  # connection -> address it was opened for

    def handle(self, conn, req):
        words = req.split()
        if not words:
            return "NAK"
        if words[0] == "SETUP":
            return "FAIL" if self.setup_fail else "OK"
        if words[0] == "OPEN":
            addr = int(words[1])
            if self.open_fail:
                say("open 0x%02x refused (no bus device)" % addr)
                return "FAIL"
            self.addr[conn] = addr
            say("open 0x%02x" % addr)
            return "OK HIGH" if self.high_fd else "OK"
        present = self.addr.get(conn) == BOARD_ADDR
        if words[0] == "W":
            reg, data = int(words[1]), int(words[2])
            if not present or self.refuse_writes:
                say("write reg=%d data=0x%02x refused" % (reg, data))
                return "NAK"
            self.register = reg
            note = {1: "handshake", 2: "mode query"}.get(reg, "")
            if reg == 3:
                self.temp_byte = data
                note = "%d C" % (data - 256 if data > 127 else data)
            say("write reg=%d data=0x%02x ack" % (reg, data) + ("  (%s)" % note if note else ""))
            return "ACK"
        if words[0] == "R":
            reg = self.register
            if not present or self.refuse_reads or reg is None:
                say("read reg=%s refused" % reg)
                return "NAK"
            byte, note = {
                1: (self.handshake, "handshake reply"),
                2: (self.mode, {1: "automatic mode", 2: "manual mode"}.get(self.mode, "no mode")),
                3: (self.temp_byte, ""),
            }.get(reg, (0xFF, ""))
            say("read reg=%d data=0x%02x ack" % (reg, byte) + ("  (%s)" % note if note else ""))
            return "ACK %d" % byte
        return "NAK"


class Zone:
    """The thermal zone file under the qemu root, replaced atomically so a
    reader never sees half a value."""

    def __init__(self, root, source):
        self.path = os.path.join(root, ZONE) if root else None
        self.source = source
        self.cpu = SyntheticCpu()
        if self.path:
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
        if source == "auto":
            self.source = "host" if os.path.exists(HOST_ZONE) else "synthetic"
        elif source not in ("host", "synthetic"):
            # A fixed value in millidegrees, written once.
            self.source = None
            self.write(source + "\n")

    def write(self, text):
        if not self.path:
            return
        tmp = self.path + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, self.path)

    def remove(self):
        if self.path and os.path.lexists(self.path):
            os.remove(self.path)

    def tick(self):
        if self.source == "host":
            with open(HOST_ZONE) as f:
                self.write(f.read())
        elif self.source == "synthetic":
            self.write("%d\n" % self.cpu.millidegrees())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--socket", default=os.environ.get("WIRINGPI_SIM_SOCKET", "/tmp/kelvane-board.sock"))
    ap.add_argument("--root", help="serve the thermal zone under this directory")
    ap.add_argument("--temp", default="auto",
                    help="auto, host, synthetic, or a fixed value in millidegrees")
    ap.add_argument("--handshake", type=int, default=0, help="reply to the handshake")
    ap.add_argument("--mode", type=int, default=1, help="reply on register 2")
    ap.add_argument("--refuse-writes", action="store_true")
    ap.add_argument("--refuse-reads", action="store_true")
    ap.add_argument("--setup-fail", action="store_true", help="wiringPiSetup fails")
    ap.add_argument("--open-fail", action="store_true", help="the I2C bus cannot be opened")
    ap.add_argument("--high-fd", action="store_true", help="hand out a descriptor above 255")
    args = ap.parse_args()

    board = Board(args)
    zone = Zone(args.root, args.temp)
    zone.tick()

    if os.path.exists(args.socket):
        os.remove(args.socket)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    listener.bind(args.socket)
    listener.listen(16)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ, "listen")
    try:
        sel.register(sys.stdin, selectors.EVENT_READ, "stdin")
    except (PermissionError, ValueError):
        pass  # stdin is a plain file or closed: no commands
    say("listening on %s (thermal zone: %s)" % (args.socket, zone.source or "fixed"))

    def vanish():
        for key in list(sel.get_map().values()):
            if key.data == "conn":
                sel.unregister(key.fileobj)
                key.fileobj.close()
        sel.unregister(listener)
        listener.close()
        os.remove(args.socket)
        say("vanished from the bus")

    flags = {"on": True, "off": False}
    next_tick = time.monotonic() + 0.25
    while True:
        for key, _ in sel.select(max(0.0, next_tick - time.monotonic())):
            if key.data == "listen":
                conn, _ = listener.accept()
                sel.register(conn, selectors.EVENT_READ, "conn")
            elif key.data == "conn":
                conn = key.fileobj
                # A program that ends (or is killed) between its request
                # and the reply only ends its own connection; the board
                # goes on serving the next one.
                try:
                    req = conn.recv(64)
                    if req:
                        conn.send(board.handle(conn, req.decode()).encode())
                except OSError:
                    req = b""
                if not req:
                    sel.unregister(conn)
                    board.addr.pop(conn, None)
                    conn.close()
            else:
                line = sys.stdin.readline()
                if not line:
                    sel.unregister(sys.stdin)
                    continue
                cmd, _, arg = line.strip().partition(" ")
                if cmd == "handshake":
                    board.handshake = int(arg, 0)
                elif cmd == "mode":
                    board.mode = int(arg, 0)
                elif cmd == "refuse-writes":
                    board.refuse_writes = flags[arg]
                elif cmd == "refuse-reads":
                    board.refuse_reads = flags[arg]
                elif cmd == "vanish":
                    vanish()
                elif cmd == "temp":
                    zone.source = None
                    zone.write(arg.encode().decode("unicode_escape"))
                elif cmd == "temp-remove":
                    zone.source = None
                    zone.remove()
                elif cmd == "quit":
                    return
                say("set " + line.strip())
        if time.monotonic() >= next_tick:
            zone.tick()
            next_tick = time.monotonic() + 0.25


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
