"""The builders of the toolchain and of the emulated machines, as their
caches are concerned: one run at a time, nothing half-built left behind,
and never a folder replaced that is not a cache of theirs. None of these
builds anything: each stops a builder before it would."""

import fcntl
import os
import signal
import subprocess
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLCHAIN = os.path.join(TOP, "tools", "build-armv6-toolchain")
IMAGE = os.path.join(TOP, "tools", "build-system-image")
CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kelvane")


def start(cmd, **env):
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            env=dict(os.environ, **env), start_new_session=True)


class Caches(unittest.TestCase):
    def test_a_folder_that_is_no_cache_is_never_replaced(self):
        for builder, variable, folder in ((TOOLCHAIN, "KELVANE_ARMV6_TOOLCHAIN", ""),
                                          (IMAGE, "KELVANE_SYSTEM_IMAGES", "bookworm")):
            with self.subTest(builder=os.path.basename(builder)), tempfile.TemporaryDirectory() as d:
                precious = os.path.join(d, folder, "precious")
                os.makedirs(os.path.dirname(precious), exist_ok=True)
                open(precious, "w").close()
                p = start([builder, "bookworm"] if builder == IMAGE else [builder], **{variable: d})
                out, _ = p.communicate(timeout=300)
                self.assertNotEqual(p.returncode, 0, out)
                self.assertIn("holds no", out)
                self.assertTrue(os.path.exists(precious))
                self.assertFalse(os.path.exists(os.path.join(d, folder).rstrip("/") + ".new"))

    def test_a_second_run_waits_for_the_first(self):
        # The toolchain is up to date here (run-tests builds it first), so
        # once the lock is free the builder has nothing to do.
        with open(os.path.join(CACHE, "armv6.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            p = start([TOOLCHAIN])
            time.sleep(3)
            self.assertIsNone(p.poll(), "it must wait while another run holds the lock")
            fcntl.flock(lock, fcntl.LOCK_UN)
            out, _ = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0, out)
        self.assertIn("waiting for the build that another run is making", out)
        self.assertIn("up to date", out)

    def test_an_interrupted_build_leaves_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            cache, tmp = os.path.join(d, "armv6"), os.path.join(d, "tmp")
            os.mkdir(tmp)
            p = start([TOOLCHAIN], KELVANE_ARMV6_TOOLCHAIN=cache, TMPDIR=tmp)
            seen = ""
            while "gcc: unpacking" not in seen:
                line = p.stdout.readline()
                self.assertTrue(line, seen)
                seen += line
            time.sleep(1)
            os.killpg(p.pid, signal.SIGINT)
            p.communicate(timeout=60)
            self.assertNotEqual(p.returncode, 0)
            self.assertEqual(os.listdir(tmp), [], "the build tree is removed")
            self.assertEqual(sorted(os.listdir(d)), ["armv6.lock", "tmp"], "nothing half-built is left")


if __name__ == "__main__":
    unittest.main()
