"""Faults while the loop runs: it neither ends nor slows, and says on
stderr what went wrong."""

import os
import signal
import socket
import time
import unittest

from harness import ZONE, Rig, temp_lines, temp_writes

PREFIX = "kelvane: cannot read /sys/class/thermal/thermal_zone0/temp: "
AGAIN = "kelvane: /sys/class/thermal/thermal_zone0/temp reads again"


class ThermalZoneFaults(unittest.TestCase):
    def test_unusable_readings_send_nothing(self):
        faults = [
            ("temp ", "no number in file"),
            ("temp hot\\n", "no number in file"),
            ("temp nan\\n", "value is not finite"),
            ("temp inf\\n", "value is not finite"),
            ("temp 1e300\\n", "value out of range"),
            ("temp 2147483648000\\n", "value out of range"),
            ("directory", "Is a directory"),
        ]
        # Without the file in the qemu root, qemu falls back to the host's
        # own zone, so a missing zone can only be seen on a host without one.
        if not os.path.exists(ZONE):
            faults.append(("temp-remove", "No such file or directory"))
        with Rig() as rig:
            rig.start()
            self.assertTrue(rig.out.wait_for(lambda ls: len(temp_lines(ls)) >= 1, timeout=20))
            for command, cause in faults:
                with self.subTest(fault=command):
                    errs = len(rig.err.snapshot())
                    if command == "directory":
                        rig.command("temp-remove")
                        os.mkdir(rig.zone_path())
                    else:
                        rig.command(command)
                    err = PREFIX + cause
                    self.assertTrue(rig.err.wait_for(lambda ls: err in ls[errs:], timeout=5), rig.err.snapshot())
                    out, writes = len(rig.out.snapshot()), len(temp_writes(rig.board.snapshot()))
                    # Later cycles fail the same way: nothing sent, nothing
                    # more said.
                    time.sleep(2)
                    self.assertEqual(rig.err.snapshot()[errs:], [err])
                    self.assertEqual(len(rig.out.snapshot()), out)
                    self.assertEqual(len(temp_writes(rig.board.snapshot())), writes)
                    if command == "directory":
                        os.rmdir(rig.zone_path())
                    # A good reading again: the recovery, its line and its write.
                    rig.command("temp 50000\\n")
                    line = "The temperature is 50.000 C."
                    self.assertTrue(rig.out.wait_for(lambda ls: line in ls[out:], timeout=5))
                    self.assertTrue(rig.board.wait_for(lambda ls: 50 in temp_writes(ls)[writes:], timeout=5))
                    self.assertTrue(rig.err.wait_for(lambda ls: AGAIN in ls[errs:], timeout=5))
                    said = rig.err.snapshot()[errs:]
                    if command == "directory":
                        # A cycle between the removal of the directory and
                        # the new file may find no file: a new cause.
                        said = [l for l in said if l != PREFIX + "No such file or directory"]
                    self.assertEqual(said, [err, AGAIN])
            self.assertEqual(rig.stop(), -15)

    def test_a_new_cause_is_reported(self):
        with Rig() as rig:
            rig.start()
            self.assertTrue(rig.out.wait_for(lambda ls: len(temp_lines(ls)) >= 1, timeout=20))
            rig.command("temp hot\\n")
            self.assertTrue(rig.err.wait_for(lambda ls: len(ls) >= 1, timeout=5))
            rig.command("temp nan\\n")
            self.assertTrue(rig.err.wait_for(lambda ls: len(ls) >= 2, timeout=5))
            rig.command("temp 47000\\n")
            self.assertTrue(rig.err.wait_for(lambda ls: len(ls) >= 3, timeout=5))
            time.sleep(1)
            self.assertEqual(rig.stop(), -15)
            self.assertEqual(rig.err.snapshot(), [
                PREFIX + "no number in file", PREFIX + "value is not finite", AGAIN])


class BoardFaults(unittest.TestCase):
    def wait_cycles(self, rig, n):
        have = len(rig.out.snapshot())
        self.assertTrue(rig.out.wait_for(lambda ls: len(ls) >= have + n, timeout=10))

    def test_refused_writes_are_reported_at_start_and_end(self):
        with Rig() as rig:
            rig.start()
            self.wait_cycles(rig, 2)
            rig.command("refuse-writes on")
            self.wait_cycles(rig, 4)
            rig.command("refuse-writes off")
            self.wait_cycles(rig, 2)
            self.assertEqual(rig.stop(), -15)
            err = rig.err.snapshot()
            times = rig.out.times
        self.assertEqual(err, [
            "kelvane: cannot write register 3 of the board at 0x0b: Remote I/O error",
            "kelvane: the board at 0x0b takes writes again",
        ])
        # Failing writes do not slow the loop.
        steps = [b - a for a, b in zip(times[1:], times[2:])]
        self.assertLess(max(steps), 1.0)

    def test_board_vanishing_does_not_end_the_loop(self):
        with Rig() as rig:
            rig.start()
            self.wait_cycles(rig, 2)
            rig.command("vanish")
            self.wait_cycles(rig, 3)
            self.assertIsNone(rig.proc.poll())
            self.assertEqual(rig.stop(), -15)
            err = rig.err.snapshot()
        self.assertEqual(err, [
            "kelvane: cannot write register 3 of the board at 0x0b: No such device or address"])

    def test_a_program_gone_before_its_reply_leaves_the_board_serving(self):
        """As when kelvane is stopped in the middle of a request: the
        simulated board stays for the next run. The board is held while
        the request is sent, so the sender is gone first."""
        with Rig() as rig:
            os.kill(rig.sim.pid, signal.SIGSTOP)
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as gone:
                    gone.connect(rig.socket)
                    gone.send(b"SETUP")
            finally:
                os.kill(rig.sim.pid, signal.SIGCONT)
            r = rig.run(seconds=3)
        self.assertGreaterEqual(len(temp_lines(r.out)), 2)
        self.assertEqual(r.err, [])


if __name__ == "__main__":
    unittest.main()
