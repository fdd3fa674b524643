"""Start-up of the ARM executable: wiringPi set-up, opening the board, the
handshake gate, and the loop it lets run."""

import unittest

from harness import Rig, bus, temp_lines, temp_writes

LINE = "The temperature is 48.312 C."


class HandshakeAccepted(unittest.TestCase):
    def test_loop_runs_every_500ms_until_killed(self):
        with Rig() as rig:
            rig.start()
            self.assertTrue(rig.out.wait_for(lambda ls: len(ls) >= 4, timeout=20))
            status = rig.stop()
            times = rig.out.times[1:]
            reply = rig.board.times[next(i for i, l in enumerate(rig.board.lines) if "handshake reply" in l)]
            out, err, board = rig.out.snapshot(), rig.err.snapshot(), rig.board.snapshot()
        self.assertEqual(status, -15, "the program never ends by itself")
        self.assertEqual(out[0], "ok")
        self.assertEqual(set(out[1:]), {LINE})
        self.assertEqual(err, [])
        self.assertLess(times[0] - reply, 0.4, "the first sample follows the handshake at once")
        steps = [b - a for a, b in zip(times, times[1:])]
        for step in steps:
            self.assertGreater(step, 0.45)
            self.assertLess(step, 1.0)

        ops = bus(board)
        self.assertIn("board: open 0x0b", board)
        self.assertEqual(repr(ops[0]), "write reg=1 data=0 ack")
        self.assertEqual(repr(ops[1]), "read reg=1 data=0 ack")
        self.assertTrue(all(repr(o) == "write reg=3 data=48 ack" for o in ops[2:]), ops)
        # Every write follows its line, which reached the pipe first; a
        # kill between the two leaves one line more.
        self.assertIn(len(out) - 1 - len(ops[2:]), (0, 1))

    def test_failed_setup_prints_no_ok_and_goes_on(self):
        with Rig("--setup-fail") as rig:
            r = rig.run(seconds=1.5)
        self.assertEqual(r.status, -15)
        self.assertNotIn("ok", r.out)
        self.assertTrue(r.out and set(r.out) == {LINE}, r.out)
        self.assertEqual(r.err, [])
        self.assertTrue(temp_writes(r.board))

    def test_arguments_are_ignored(self):
        with Rig() as rig:
            r = rig.run("--help", "-v", "42", seconds=1.2)
        self.assertEqual(r.status, -15)
        self.assertEqual(r.out[0], "ok")
        self.assertTrue(temp_lines(r.out))
        self.assertEqual(r.err, [])


class HandshakeRefused(unittest.TestCase):
    """The board not there, or not ready, ends the program with status 1 and
    one line on stderr; nothing is read from the thermal zone or sent."""

    def check(self, sim_args, err, handshake=True):
        with Rig(*sim_args) as rig:
            r = rig.run(seconds=10)
        self.assertEqual(r.status, 1)
        self.assertEqual(r.out, ["ok"])
        self.assertEqual(r.err, [err])
        self.assertEqual(temp_writes(r.board), [])
        self.assertEqual(len(bus(r.board)), 2 if handshake else 0)
        return r

    def test_board_answers_non_zero(self):
        self.check(["--handshake", "1"], "kelvane: the board at 0x0b refused the handshake (reply 0x01)")
        self.check(["--handshake", "255"], "kelvane: the board at 0x0b refused the handshake (reply 0xff)")

    def test_board_absent(self):
        r = self.check(["--refuse-writes", "--refuse-reads"],
                       "kelvane: the board at 0x0b did not answer the handshake: Remote I/O error")
        self.assertEqual([o.ack for o in bus(r.board)], [False, False])

    def test_bus_cannot_be_opened(self):
        # wiringPi returns instead of ending the process, so the message is ours.
        self.check(["--open-fail"],
                   "kelvane: cannot open the I2C board at 0x0b: No such file or directory "
                   "(is I2C enabled? sudo raspi-config nonint do_i2c 0)", handshake=False)

    def test_descriptor_above_255_is_not_truncated(self):
        self.check(["--high-fd"],
                   "kelvane: cannot keep the handle of the I2C board at 0x0b: "
                   "descriptor 300 does not fit in 8 bits", handshake=False)


if __name__ == "__main__":
    unittest.main()
