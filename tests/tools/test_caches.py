"""The builders of the toolchain and of the emulated machines, as their
caches are concerned: one run at a time, nothing half-built left behind, a
new cache put in place so that no signal leaves none, and never a folder
replaced that is not a cache of theirs. None of these builds anything: each
stops a builder before it would. Also run-tests, which goes on past a
build that fails and names it at the end."""

import fcntl
import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLCHAIN = os.path.join(TOP, "tools", "build-armv6-toolchain")
IMAGE = os.path.join(TOP, "tools", "build-system-image")
CACHE_SH = os.path.join(TOP, "tools", "cache.sh")
CACHES = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kelvane")
BUILT = os.environ.get("KELVANE_ARMV6_TOOLCHAIN") or os.path.join(CACHES, "armv6")
MACHINES = os.environ.get("KELVANE_SYSTEM_IMAGES") or os.path.join(CACHES, "system")


def start(cmd, user=None, **env):
    """A builder in a session of its own, its output as bytes as it comes."""
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0,
                            env=dict(os.environ, **env), start_new_session=True, user=user,
                            group=user and pwd.getpwnam(user).pw_gid, extra_groups=user and [])


def read_until(p, text, timeout=120):
    fd, seen, end = p.stdout.fileno(), "", time.monotonic() + timeout
    while text not in seen:
        left = end - time.monotonic()
        chunk = os.read(fd, 4096) if left > 0 and select.select([fd], [], [], left)[0] else b""
        if not chunk:
            raise AssertionError("no %r in: %s" % (text, seen))
        seen += chunk.decode()
    return seen


def finish(p, timeout=300):
    """Its output to the end; whatever of it still runs then is ended, by
    TERM first, so that the builder's own clean-up runs."""
    try:
        out, _ = p.communicate(timeout=timeout)
        return out.decode()
    finally:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(p.pid, sig)
                p.wait(timeout=30)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def snapshot(root):
    """Every path under root with its kind, mode, owner and content."""
    def content(path):
        with open(path, "rb") as f:
            return f.read()
    paths = [os.path.join(d, n) for d, dirs, files in os.walk(root) for n in dirs + files]
    return {p: (os.lstat(p).st_mode, os.lstat(p).st_uid, os.path.isfile(p) and content(p)) for p in paths}


def bash(script, d, **env):
    """A script with tools/cache.sh loaded and the builders' traps, in d."""
    prelude = (". %s\nset -euo pipefail\nc=%s/c\ntrap 'rm -rf \"$c.new\"' EXIT\n"
               "trap 'exit 130' INT\ntrap 'exit 143' TERM\n" % (CACHE_SH, d))
    return subprocess.run(["bash", "-c", prelude + script], capture_output=True, text=True,
                          env=dict(os.environ, **env), start_new_session=True, timeout=60)


class Caches(unittest.TestCase):
    def test_a_folder_that_is_no_cache_is_never_replaced(self):
        # As a user who is not root too: the image builder must refuse
        # before it asks sudo for anything.
        for builder, variable, folder in ((TOOLCHAIN, "KELVANE_ARMV6_TOOLCHAIN", "armv6"),
                                          (IMAGE, "KELVANE_SYSTEM_IMAGES", "bookworm")):
            for user in ("nobody", None) if os.getuid() == 0 else (None,):
                with self.subTest(builder=os.path.basename(builder), user=user), \
                        tempfile.TemporaryDirectory() as d:
                    # A copy of the builders that the other user can run.
                    shutil.copytree(os.path.join(TOP, "tools"), os.path.join(d, "tools"))
                    cache = os.path.join(d, "caches")
                    target = os.path.join(cache, folder)
                    for where in (target, target + ".new", target + ".old"):
                        write(os.path.join(where, "key"), "a key of something else\n")
                        write(os.path.join(where, "precious"), "")
                    if user:
                        subprocess.run(["chown", "-R", user, d], check=True)
                    before = snapshot(cache)
                    command = [os.path.join(d, "tools", os.path.basename(builder))]
                    p = start(command + (["bookworm"] if builder == IMAGE else []), user=user,
                              XDG_CACHE_HOME=d, TMPDIR=d,
                              **{variable: target if builder == TOOLCHAIN else cache})
                    out = finish(p)
                    self.assertNotEqual(p.returncode, 0, out)
                    self.assertIn("holds no", out)
                    self.assertEqual(snapshot(cache), before, "nothing written, nothing removed")

    def test_a_second_run_waits_for_the_first_then_takes_back_what_it_left(self):
        # A run killed between the renames of a publish left the toolchain
        # as armv6.old only. The builder waits for the lock, takes it back
        # and, its key being the current one, has nothing to build.
        with tempfile.TemporaryDirectory() as d:
            cache = os.path.join(d, "armv6")
            os.mkdir(cache + ".old")
            shutil.copy(os.path.join(BUILT, "key"), cache + ".old")
            with open(cache + ".lock", "w") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                p = start([TOOLCHAIN], KELVANE_ARMV6_TOOLCHAIN=cache, TMPDIR=d)
                try:
                    seen = read_until(p, "waiting for the build that another run is making")
                    time.sleep(0.5)
                    self.assertIsNone(p.poll(), "it must wait while another run holds the lock")
                    fcntl.flock(lock, fcntl.LOCK_UN)
                finally:
                    rest = finish(p, timeout=60)
                seen += rest
            self.assertEqual(p.returncode, 0, seen)
            self.assertIn("up to date", seen)
            self.assertEqual(sorted(os.listdir(d)), ["armv6", "armv6.lock"])

    def test_an_interrupted_build_leaves_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            cache, tmp = os.path.join(d, "armv6"), os.path.join(d, "tmp")
            os.mkdir(tmp)
            p = start([TOOLCHAIN], KELVANE_ARMV6_TOOLCHAIN=cache, TMPDIR=tmp)
            try:
                read_until(p, "gcc: unpacking")
                time.sleep(1)
                os.killpg(p.pid, signal.SIGINT)
            finally:
                finish(p, timeout=60)
            self.assertNotEqual(p.returncode, 0)
            self.assertEqual(os.listdir(tmp), [], "the build tree is removed")
            self.assertEqual(sorted(os.listdir(d)), ["armv6.lock", "tmp"], "nothing half-built is left")

    def test_a_machine_is_keyed_by_the_host_tools_that_shape_it(self):
        # depmod writes its module index, qemu-user-static runs its
        # packages' scripts: another version of either is another machine.
        keys = [os.path.join(MACHINES, m, "key") for m in ("bookworm", "trixie", "trixie-arm64")]
        keys = [k for k in keys if os.path.exists(k)]
        if not keys:
            self.skipTest("no machine built in " + MACHINES)
        for package in ("kmod", "qemu-user-static", "mmdebstrap", "e2fsprogs"):
            version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                                     capture_output=True, text=True).stdout
            for key in keys:
                with open(key) as f:
                    self.assertIn("%s=%s" % (package, version), f.read().split(), key)

    def test_a_signal_between_the_two_renames_of_a_publish(self):
        """A stand-in for mv signals the whole process group once the old
        cache is out of the way, before the new one is moved in. TERM, as
        Ctrl-C or systemd sends to all, waits until both are done; KILL
        leaves the old one as .old, which the next run takes back."""
        for sig, status, left in (("TERM", 143, "new"), ("KILL", -9, "old")):
            with self.subTest(signal=sig), tempfile.TemporaryDirectory() as d:
                bin_dir = os.path.join(d, "bin")
                write(os.path.join(bin_dir, "mv"), '#!/bin/sh\n/bin/mv "$@" || exit\n'
                      'case "$3" in *.old) kill -%s 0; sleep 1 ;; esac\n' % sig, 0o755)
                r = bash("cache_start \"$c.new\"; echo old >\"$c.new/which\"; cache_publish \"$c.new\" \"$c\" 1\n"
                         "cache_start \"$c.new\"; echo new >\"$c.new/which\"\n"
                         "PATH=%s:$PATH cache_publish \"$c.new\" \"$c\" 2\n" % bin_dir, d)
                self.assertEqual(r.returncode, status, r.stderr)
                r = bash("cache_lock test \"$c\"; cat \"$c/which\"; [ ! -e \"$c.old\" ] && echo no-old", d)
                self.assertEqual(r.stdout.split(), [left, "no-old"], r.stderr)


class RunTests(unittest.TestCase):
    def test_a_failed_build_fails_its_preset_and_the_run_goes_on(self):
        """run-tests with stand-ins for the builders, cmake and ctest; the
        arm64 build fails as under -Werror."""
        with tempfile.TemporaryDirectory() as d:
            shutil.copy(os.path.join(TOP, "run-tests"), d)
            log = os.path.join(d, "log")
            stubs = {"tools/install-deps": "", "tools/build-system-image": "",
                     "tools/build-armv6-toolchain": "", "bin/sudo": "",
                     "bin/cmake": 'case "$*" in *"--build --preset arm64"*) exit 2 ;; esac',
                     "bin/ctest": 'echo "ctest $*" >>%s' % log}
            for name, body in stubs.items():
                write(os.path.join(d, name), "#!/bin/sh\n%s\n" % body, 0o755)
            r = subprocess.run([os.path.join(d, "run-tests")], capture_output=True, text=True, timeout=60,
                               env=dict(os.environ, PATH=os.path.join(d, "bin") + ":" + os.environ["PATH"]))
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
            self.assertEqual(r.stdout.splitlines()[-1], "== failed: arm64 build", r.stdout)
            ran = open(log).read().splitlines()
            self.assertEqual([c.split()[2] for c in ran], ["host", "armv6", "armv6", "armv6"], ran)
            # The end says how long each part took, the builds and the
            # machines' tests in the background among them.
            took = r.stdout.split("== how long each part took")[-1]
            for part in ("host", "armv6 -E", "system.bookworm", "system.trixie", "toolchain build"):
                self.assertRegex(took, r"\d+:\d\d to +\d+:\d\d  %s" % re.escape(part))


if __name__ == "__main__":
    unittest.main()
