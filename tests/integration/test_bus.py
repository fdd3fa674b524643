"""What reaches register 3: one write per sample of the whole degrees,
truncated toward zero, the low 8 bits on the bus."""

import unittest

from harness import Rig, temp_lines, temp_writes


class TemperatureOnTheBus(unittest.TestCase):
    def test_whole_degrees_low_8_bits(self):
        cases = [
            ("48312", "48.312", 0x30),
            ("99999", "99.999", 99),
            ("100999", "100.999", 100),
            ("9500", " 9.500", 9),
            ("-1500", "-1.500", 0xFF),
            ("-500", "-0.500", 0x00),
            ("256000", "256.000", 0x00),
        ]
        with Rig() as rig:
            rig.start()
            for zone, shown, byte in cases:
                with self.subTest(zone=zone):
                    rig.command("temp " + zone)
                    line = "The temperature is %s C." % shown
                    self.assertTrue(rig.out.wait_for(lambda ls: line in ls, timeout=10))
                    n = rig.out.snapshot().index(line)
                    # The write of that sample comes after its line.
                    self.assertTrue(rig.board.wait_for(lambda ls: len(temp_writes(ls)) >= n, timeout=5))
                    self.assertEqual(temp_writes(rig.board.snapshot())[n - 1], byte)
            self.assertEqual(rig.stop(), -15)
            self.assertEqual(rig.err.snapshot(), [])

    def test_unchanged_value_is_written_every_cycle(self):
        with Rig() as rig:
            r = rig.run(seconds=2.0)
        writes = temp_writes(r.board)
        self.assertGreaterEqual(len(writes), 3)
        self.assertEqual(set(writes), {0x30})
        self.assertIn(len(temp_lines(r.out)) - len(writes), (0, 1))


if __name__ == "__main__":
    unittest.main()
