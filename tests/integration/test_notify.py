"""Notifications to a service manager: with NOTIFY_SOCKET naming a datagram
socket, readiness once the board has answered the handshake, then one
watchdog ping per cycle with a status text that says what the cycle did.
Without the variable, nothing is opened or sent."""

import os
import re
import socket
import threading
import time
import unittest

from harness import Rig, temp_lines

SENT = "WATCHDOG=1\nSTATUS=%s C, sent to the board at 0x0b"


class Manager:
    """A service manager's end of the protocol: a datagram socket, bound to
    a path or to an abstract name, that keeps what arrives and when."""

    def __init__(self, name):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("\0" + name[1:] if name.startswith("@") else name)
        self.name = name
        self.messages, self.times = [], []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return
            with self.cond:
                self.messages.append(data.decode())
                self.times.append(time.monotonic())
                self.cond.notify_all()

    def wait_for(self, pred, timeout=10.0):
        with self.cond:
            return self.cond.wait_for(lambda: pred(self.messages), timeout)

    def close(self):
        self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()


class Notifications(unittest.TestCase):
    def names(self, rig):
        return [os.path.join(rig.dir, "notify"), "@kelvane-test-%d" % os.getpid()]

    def test_ready_then_one_ping_per_cycle_that_follows_the_cycle(self):
        for index in range(2):
            with Rig() as rig:
                manager = Manager(self.names(rig)[index])
                with self.subTest(socket=manager.name):
                    try:
                        self.follow(rig, manager)
                    finally:
                        manager.close()

    def follow(self, rig, manager):
        rig.start(env={"NOTIFY_SOCKET": manager.name})

        def status_is(text):
            return lambda ms: ms and ms[-1] == "WATCHDOG=1\nSTATUS=" + text

        # The zone changes, the board stops and starts taking writes, the
        # zone stops and starts reading: the status text says so in the
        # next cycle.
        steps = [
            (None, "48.312 C, sent to the board at 0x0b"),
            ("temp 52750", "52.750 C, sent to the board at 0x0b"),
            ("refuse-writes on",
             "52.750 C, not sent: the board at 0x0b does not take writes: Remote I/O error"),
            ("refuse-writes off", "52.750 C, sent to the board at 0x0b"),
            ("temp hot\\n", "cannot read /sys/class/thermal/thermal_zone0/temp: no number in file, "
                            "nothing sent to the board at 0x0b"),
            ("temp 9500", "9.500 C, sent to the board at 0x0b"),
        ]
        for command, status in steps:
            if command:
                rig.command(command)
            self.assertTrue(manager.wait_for(status_is(status), timeout=5),
                            (status, manager.messages[-3:]))
        self.assertEqual(rig.stop(), -15)
        out, board = rig.out.snapshot(), rig.board.snapshot()

        messages = manager.messages
        self.assertEqual(messages[0], "READY=1")
        # Ready comes with the handshake's reply, before any ping: the first
        # cycle follows it.
        reply = next(i for i, l in enumerate(board) if "handshake reply" in l)
        self.assertLess(abs(manager.times[0] - rig.board.times[reply]), 0.4)
        pings = messages[1:]
        self.assertTrue(all(m.startswith("WATCHDOG=1\nSTATUS=") for m in pings), pings)
        # One ping per cycle: a cycle that fails to read prints no line, so
        # count the cycles by their pings of each kind; a kill between a
        # line and its ping leaves one line more.
        read = [m for m in pings if "cannot read" not in m]
        self.assertIn(len(temp_lines(out)) - len(read), (0, 1))
        steps = [b - a for a, b in zip(manager.times[1:], manager.times[2:])]
        self.assertTrue(all(0.4 < s < 1.0 for s in steps), steps)
        self.assertEqual(rig.err.snapshot(), [
            "kelvane: cannot write register 3 of the board at 0x0b: Remote I/O error",
            "kelvane: the board at 0x0b takes writes again",
            "kelvane: cannot read /sys/class/thermal/thermal_zone0/temp: no number in file",
            "kelvane: /sys/class/thermal/thermal_zone0/temp reads again",
        ])

    def test_no_readiness_when_the_handshake_is_refused_only_why(self):
        with Rig("--handshake", "7") as rig:
            manager = Manager(self.names(rig)[1])
            try:
                r = rig.run(seconds=10, env={"NOTIFY_SOCKET": manager.name})
                time.sleep(0.2)
                self.assertEqual(manager.messages, ["STATUS=the board at 0x0b refused the handshake (reply 0x07)"])
            finally:
                manager.close()
        self.assertEqual(r.status, 1)
        self.assertEqual(r.out, ["ok"])
        self.assertEqual(r.err, ["kelvane: the board at 0x0b refused the handshake (reply 0x07)"])

    def test_a_manager_that_is_gone_or_does_not_read_never_stops_the_loop(self):
        """A socket that does not exist, and one whose queue is full, make
        the sends fail; the loop goes on at its pace and says nothing about
        it. The queue is filled before kelvane starts, whatever length the
        host gives it (net.unix.max_dgram_qlen): senders of the test's own
        send until a new one is refused at once, as each sender is also
        held to its own buffer."""
        with Rig() as rig:
            deaf = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            deaf.bind(os.path.join(rig.dir, "deaf"))
            senders = []
            while not senders or senders[-1][1]:
                sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                sent = 0
                try:
                    while True:
                        sender.sendto(b"x", socket.MSG_DONTWAIT, deaf.getsockname())
                        sent += 1
                except BlockingIOError:
                    senders.append((sender, sent))
            try:
                for name in (os.path.join(rig.dir, "nobody"), os.path.join(rig.dir, "deaf")):
                    with self.subTest(socket=name):
                        rig.start(env={"NOTIFY_SOCKET": name})
                        self.assertTrue(rig.out.wait_for(lambda ls: len(temp_lines(ls)) >= 16, timeout=12))
                        self.assertEqual(rig.stop(), -15)
                        times = rig.out.times[1:]
                        self.assertLess(max(b - a for a, b in zip(times, times[1:])), 1.0)
                        self.assertEqual(rig.err.snapshot(), [])
            finally:
                deaf.close()
                for sender, _ in senders:
                    sender.close()

    def test_nothing_is_opened_without_the_variable(self):
        with Rig() as rig:
            rig.start(qemu_args=["-strace"])
            self.assertTrue(rig.err.wait_for(lambda ls: sum("clock_nanosleep" in l for l in ls) >= 2,
                                             timeout=10))
            rig.stop()
            trace = rig.err.snapshot()
        # The stand-in reaches the simulated board through connected
        # sequenced-packet sockets of its own (on arm64, send is a sendto
        # without an address); kelvane opens no datagram socket and sends
        # nothing to an address.
        self.assertTrue(any("SOCK_SEQPACKET" in l for l in trace))
        addressed = re.compile(r" sendto\(\d+,\d+,\d+,\d+,[1-9]")
        self.assertEqual([l for l in trace if "SOCK_DGRAM" in l or addressed.search(l)], [])


if __name__ == "__main__":
    unittest.main()
