"""The mode query, as kelvane.o offers it to a program that links it, and
its absence from kelvane's own loop."""

import unittest

from harness import MODE_DRIVER, Rig, bus, temp_lines


class ModeQuery(unittest.TestCase):
    def query(self, rig, *data):
        r = rig.run(*data, program=MODE_DRIVER, seconds=10)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.err, [])
        return r

    def test_each_mode_of_the_board(self):
        cases = [("1", ["Mode:Auto_mode"]), ("2", ["Mode:Manu_mode"]), ("0", []), ("3", []), ("255", [])]
        with Rig() as rig:
            for mode, out in cases:
                with self.subTest(mode=mode):
                    rig.command("mode " + mode)
                    before = len(bus(rig.board.snapshot()))
                    r = self.query(rig, "0x5a")
                    self.assertEqual(r.out, out)
                    self.assertEqual([repr(b) for b in bus(r.board)[before:]],
                                     ["write reg=2 data=90 ack", "read reg=2 data=%s ack" % mode])

    def test_mode_changes_between_queries(self):
        with Rig("--mode", "2") as rig:
            first = self.query(rig, "0").out
            rig.command("mode 1")
            second = self.query(rig, "0", "0").out
        self.assertEqual(first, ["Mode:Manu_mode"])
        self.assertEqual(second, ["Mode:Auto_mode", "Mode:Auto_mode"])

    def test_refused_read_prints_nothing(self):
        with Rig("--refuse-reads") as rig:
            r = self.query(rig, "0")
        self.assertEqual(r.out, [])
        self.assertEqual([repr(b) for b in bus(r.board)], ["write reg=2 data=0 ack", "read reg=2 data=None refused"])


class KelvaneLoop(unittest.TestCase):
    def test_loop_never_asks_for_the_mode(self):
        with Rig("--mode", "2") as rig:
            r = rig.run(seconds=2.0)
        self.assertEqual(r.status, -15)
        self.assertGreaterEqual(len(temp_lines(r.out)), 3)
        self.assertFalse([l for l in r.out if l.startswith("Mode:")])
        self.assertFalse([b for b in bus(r.board) if b.reg == "2"])


if __name__ == "__main__":
    unittest.main()
