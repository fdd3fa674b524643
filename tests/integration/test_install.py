"""The installed tree, the systemd unit, the manual page and the Debian
package, as a user on a Pi would get them."""

import glob
import os
import re
import subprocess
import tempfile
import unittest

from harness import ARCH, CROSS, KELVANE

BUILD = os.path.dirname(KELVANE)
FILES = [
    "usr/bin/kelvane",
    "usr/lib/modules-load.d/kelvane.conf",
    "usr/lib/systemd/system/kelvane-retry.timer",
    "usr/lib/systemd/system/kelvane.service",
    "usr/lib/sysusers.d/kelvane.conf",
    "usr/lib/udev/rules.d/60-kelvane.rules",
    "usr/share/doc/kelvane/changelog.gz",
    "usr/share/doc/kelvane/copyright",
    "usr/share/man/man8/kelvane.8.gz",
]
UNIT = "usr/lib/systemd/system/kelvane.service"
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root)
                  for d, _, files in os.walk(root) for f in files)


def unit_settings(path):
    """Setting -> list of values, in the order given."""
    settings = {}
    for line in read(path).splitlines():
        m = re.match(r"^(\w+)=(.*)$", line.strip())
        if m:
            settings.setdefault(m[1], []).append(m[2])
    return settings


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.stage = cls.tmp.name
        subprocess.run(["cmake", "--install", BUILD], env=dict(os.environ, DESTDIR=cls.stage),
                       check=True, capture_output=True)
        cls.unit = os.path.join(cls.stage, UNIT)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_tree(self):
        self.assertEqual(tree(self.stage), FILES)
        header = read(os.path.join(self.stage, "usr/bin/kelvane"), "rb")
        machine = {"armhf": 40, "arm64": 183}[ARCH]  # e_machine: EM_ARM, EM_AARCH64
        self.assertEqual(header[18], machine, "an executable for " + ARCH)
        modules = read(os.path.join(self.stage, "usr/lib/modules-load.d/kelvane.conf"))
        self.assertEqual(modules.splitlines()[-1], "i2c-dev")

    def test_unit_verifies(self):
        env = dict(os.environ, MANPATH=os.path.join(self.stage, "usr/share/man"))
        timer = os.path.join(os.path.dirname(self.unit), "kelvane-retry.timer")
        r = run("systemd-analyze", "verify", self.unit, timer, env=env, cwd=self.stage)
        problems = [l for l in (r.stdout + r.stderr).splitlines() if l.strip()]
        # systemd before 254 has no growing restart delay, and says that it
        # ignores the two settings of it; nothing else.
        version = int(run("systemctl", "--version").stdout.split()[1])
        unknown = [m[1] for l in problems for m in [re.search(r"Unknown key '(\w+)' in section \[Service\], ignoring", l)] if m]
        self.assertEqual(unknown, ["RestartSteps", "RestartMaxDelaySec"] if version < 254 else [])
        self.assertEqual(problems[len(unknown):], ["kelvane.service: Command /usr/bin/kelvane is not executable: "
                                                   "No such file or directory"])

    def test_unit_exposure(self):
        r = run("systemd-analyze", "security", "--offline=yes", self.unit)
        level = re.search(r"Overall exposure level for kelvane.service: ([\d.]+)", r.stdout)
        self.assertIsNotNone(level, r.stdout + r.stderr)
        self.assertLessEqual(float(level[1]), 1.0)

    def test_unit_keeps_what_wiringpi_needs(self):
        s = unit_settings(self.unit)
        self.assertEqual(s["ExecStart"], ["/usr/bin/kelvane"])
        self.assertEqual(s.get("DynamicUser"), ["yes"], "never root")
        self.assertEqual(set(" ".join(s["SupplementaryGroups"]).split()), {"i2c", "gpio"})
        binds = " ".join(s.get("BindPaths", [])).split()
        for dev in ("-/dev/i2c-0", "-/dev/i2c-1", "-/dev/gpiomem", "-/dev/gpiomem0"):
            self.assertIn(dev, binds)
        self.assertIn("char-i2c rw", s["DeviceAllow"])
        self.assertIn("/dev/gpiomem rw", s["DeviceAllow"])
        self.assertIn("/dev/gpiomem0 rw", s["DeviceAllow"])
        # /proc/cpuinfo, the device tree and the thermal zone stay readable.
        self.assertNotIn("ProcSubset", s)
        hidden = " ".join(s.get("InaccessiblePaths", []) + s.get("TemporaryFileSystem", []))
        for path in ("/proc", "/sys"):
            self.assertNotIn(path, hidden)

    def test_an_absent_board_is_tried_again_for_ever(self):
        """15 s after a failure, then under 5 minutes apart, with or without a
        growing delay; and the quick tries of the first minute all happen
        before the start limit hands over to the retry timer."""
        s = unit_settings(self.unit)
        seconds = lambda v: float(v[:-3]) * 60 if v.endswith("min") else float(v.rstrip("s"))
        self.assertEqual(s["Restart"], ["on-failure"])
        self.assertEqual(seconds(s["RestartSec"][0]), 15)
        self.assertLess(seconds(s["RestartMaxDelaySec"][0]), 300)
        interval, burst = seconds(s["StartLimitIntervalSec"][0]), int(s["StartLimitBurst"][0])
        self.assertGreaterEqual(burst, 3, "three tries in the first 30 s")
        self.assertLess(burst * 15, interval, "the limit is reached at a fixed delay")
        self.assertGreater(15 + seconds(s["RestartMaxDelaySec"][0]), interval, "but not at a growing one")
        self.assertEqual(s["OnFailure"], ["kelvane-retry.timer"])
        timer = unit_settings(os.path.join(os.path.dirname(self.unit), "kelvane-retry.timer"))
        self.assertEqual(timer["Unit"], ["kelvane.service"])
        self.assertLess(seconds(timer["OnActiveSec"][0]) + 15, 300)
        # Started when a bus device appears, where the service is enabled.
        self.assertEqual(s["WantedBy"], ["multi-user.target dev-i2c\\x2d0.device dev-i2c\\x2d1.device"])
        self.assertEqual(s["ConditionPathExists"], ["|/dev/i2c-0", "|/dev/i2c-1"])

    def test_manual_page(self):
        page = os.path.join(self.stage, "usr/share/man/man8/kelvane.8.gz")
        r = run("man", "--warnings", "-l", page, env=dict(os.environ, MANWIDTH="80"))
        self.assertEqual(r.stderr, "")
        for section in ("NAME", "EXIT STATUS", "REQUIREMENTS"):
            self.assertIn(section, r.stdout)
        text = " ".join(r.stdout.split())
        for needed in ("i2c", "gpio", "wiringPi", "The temperature is",
                       "wiringpi_*_armhf.deb for 32-bit", "wiringpi_*_arm64.deb for 64-bit"):
            self.assertIn(needed, text)


class Docs(unittest.TestCase):
    """The README and docs/ as a reader follows them: every relative link
    leads to a file and a heading that exist, and the owner's commands are
    the ones the system test runs."""

    PAGES = ["README.md"] + sorted("docs/" + os.path.basename(p) for p in glob.glob(SOURCE + "/docs/*.md"))

    def text(self, page):
        # Prose only: a fenced block's lines are not headings or links.
        return re.sub(r"^```.*?^```", "", read(os.path.join(SOURCE, page)), flags=re.M | re.S)

    def test_links_resolve(self):
        for page in self.PAGES:
            for target, anchor in re.findall(r"\]\((?!https?:)([^)#\s]*)(?:#([^)\s]*))?\)", self.text(page)):
                path = os.path.normpath(os.path.join(os.path.dirname(page), target)) if target else page
                self.assertTrue(os.path.exists(os.path.join(SOURCE, path)), f"{page}: {target}")
                if anchor:
                    headings = re.findall(r"^#+ (.*)$", self.text(path), re.M)
                    slugs = {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}
                    self.assertIn(anchor, slugs, f"{page}: {target}#{anchor}")

    def test_owner_commands_are_the_system_tests(self):
        readme = read(os.path.join(SOURCE, "README.md"))
        checks = read(os.path.join(SOURCE, "tests/system/checks.sh"))
        fetched = re.findall(r"^sudo curl -fsSL -o (\S+) https://\S+/(\S+)$", readme, re.M)
        self.assertEqual(fetched, re.findall(r"curl -fsSL -o (\S+) file:///share/kelvane/([^\s']+)", checks))
        for verb in re.findall(r"sudo apt (\w+)", readme):
            self.assertRegex(checks, r"apt_get %s\b|apt_%s\b" % (verb, verb))


class InstallPrefix(unittest.TestCase):
    """A prefix given at install time holds every file, and the unit starts
    the binary where it went."""

    def install(self, *args, destdir=None):
        env = dict(os.environ)
        env.pop("DESTDIR", None)
        if destdir:
            env["DESTDIR"] = destdir
        r = run("cmake", "--install", BUILD, *args, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(BUILD, "install_manifest.txt")) as f:
            return f.read().split()

    def test_install_time_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            manifest = self.install("--prefix", prefix)
            self.assertEqual(sorted(os.path.relpath(p, prefix) for p in manifest),
                             sorted(f[len("usr/"):] for f in FILES))
            unit = os.path.join(prefix, "lib/systemd/system/kelvane.service")
            self.assertEqual(unit_settings(unit)["ExecStart"], [prefix + "/bin/kelvane"])

    def test_local_prefix_with_destdir(self):
        with tempfile.TemporaryDirectory() as stage:
            manifest = self.install("--prefix", "/usr/local", destdir=stage)
            # The manifest names the files as installed, DESTDIR aside.
            self.assertIn("/usr/local/lib/systemd/system/kelvane.service", manifest)
            self.assertTrue(all(p.startswith("/usr/local/") for p in manifest), manifest)
            self.assertEqual(sorted("/" + f for f in tree(stage)), sorted(manifest))
            unit = os.path.join(stage, "usr/local/lib/systemd/system/kelvane.service")
            self.assertEqual(unit_settings(unit)["ExecStart"], ["/usr/local/bin/kelvane"])


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run(["cmake", "--build", BUILD, "--target", "package"], check=True, capture_output=True)
        debs = glob.glob(os.path.join(BUILD, "kelvane_*_%s.deb" % ARCH))
        assert len(debs) == 1, debs
        cls.deb = debs[0]

    def test_contents_match_the_installed_tree(self):
        listing = run("dpkg-deb", "-c", self.deb).stdout
        files = sorted(l.split()[-1][2:] for l in listing.splitlines() if not l.startswith("d"))
        self.assertEqual(files, FILES)

    def test_metadata(self):
        info = run("dpkg-deb", "-I", self.deb).stdout
        fields = dict(re.findall(r"^ (\w[\w-]*): (.*)$", info, re.M))
        self.assertEqual(fields["Package"], "kelvane")
        self.assertEqual(fields["Architecture"], ARCH)
        self.assertIn(fields["Version"], os.path.basename(self.deb))
        # The version is the project's, and the changelog's latest entry.
        changelog = run("sh", "-c", "dpkg-deb --fsys-tarfile %s | tar -xOf - ./usr/share/doc/kelvane/changelog.gz"
                        " | gzip -dc" % self.deb).stdout
        self.assertEqual(changelog.split("\n", 1)[0].split()[1], "(%s)" % fields["Version"])
        depends = fields["Depends"].split(", ")
        self.assertIn("wiringpi", depends)
        self.assertIn("libc6 (>= 2.34)", depends)
        # The postinst makes the unit's groups with systemd-sysusers.
        self.assertIn("systemd | systemd-standalone-sysusers | systemd-sysusers", depends)

    def test_binary_is_stripped(self):
        with tempfile.TemporaryDirectory() as d:
            subprocess.run(["dpkg-deb", "-x", self.deb, d], check=True)
            sections = run(CROSS + "-readelf", "-S", os.path.join(d, "usr/bin/kelvane")).stdout
        self.assertIn(".text", sections)
        self.assertNotIn(".symtab", sections)

    def test_lintian_reports_no_errors(self):
        # lintian leaves files of its own in TMPDIR: one of the test's.
        with tempfile.TemporaryDirectory() as tmp:
            r = run("lintian", "--no-tag-display-limit", self.deb, env=dict(os.environ, TMPDIR=tmp))
        self.assertEqual([l for l in r.stdout.splitlines() if l.startswith("E:")], [], r.stdout)


class MaintainerScripts(unittest.TestCase):
    """The package's maintainer scripts, run as dpkg runs them, against
    stubs of the commands they call, which record their calls. systemd
    counts as running (a private /run, in a mount namespace of their own,
    holds /run/systemd/system), and PATH holds nothing but the stubs, so
    no real command is reached."""

    TOOLS = ("udevadm", "modprobe", "systemctl", "deb-systemd-helper", "deb-systemd-invoke", "systemd-sysusers")

    @classmethod
    def setUpClass(cls):
        subprocess.run(["cmake", "--build", BUILD, "--target", "package"], check=True, capture_output=True)
        debs = glob.glob(os.path.join(BUILD, "kelvane_*_%s.deb" % ARCH))
        assert len(debs) == 1, debs
        cls.tmp = tempfile.TemporaryDirectory()
        cls.scripts = os.path.join(cls.tmp.name, "DEBIAN")
        subprocess.run(["dpkg-deb", "-e", debs[0], cls.scripts], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def calls(self, script, *args, env=None, tools=TOOLS, failing=("modprobe",)):
        """Runs a script; returns its exit status and the calls it made."""
        with tempfile.TemporaryDirectory() as d:
            stubs, log = os.path.join(d, "stubs"), os.path.join(d, "calls")
            os.mkdir(stubs)
            open(log, "w").close()
            for tool in tools:
                with open(os.path.join(stubs, tool), "w") as f:
                    f.write('#!/bin/sh\necho "%s $*" >>%s\nexit %d\n' % (tool, log, tool in failing))
                os.chmod(os.path.join(stubs, tool), 0o755)
            prefix = " ".join("%s=%s" % kv for kv in (env or {}).items())
            script = ("mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && "
                      "PATH=%s %s exec /bin/sh %s/%s %s" % (stubs, prefix, self.scripts, script, " ".join(args)))
            r = run("unshare", "--map-root-user", "--mount", "--propagation", "private", "/bin/sh", "-c", script)
            return r.returncode, read(log).splitlines()

    def test_install_upgrade_and_removal(self):
        status, calls = self.calls("postinst", "configure")
        self.assertEqual(status, 0, "a modprobe that fails does not fail the installation")
        # The groups and the bus, with the group udev gives it, before the
        # start; without udevadm, the start all the same.
        # The bus before the unit is enabled, so that its appearance does
        # not start the service too.
        order = ["systemd-sysusers kelvane.conf", "udevadm control --reload", "modprobe -q i2c-dev",
                 "udevadm settle -t 10", "deb-systemd-helper enable kelvane.service", "systemctl --system daemon-reload",
                 "deb-systemd-invoke start kelvane.service"]
        self.assertEqual([c for c in calls if c in order], order)
        status, calls = self.calls("postinst", "configure", tools=self.TOOLS[1:])
        self.assertEqual((status, calls[-1]), (0, "deb-systemd-invoke start kelvane.service"))

        status, calls = self.calls("postinst", "configure", "0.1.0")
        self.assertEqual(status, 0)
        self.assertIn("deb-systemd-invoke restart kelvane.service", calls)

        self.assertEqual(self.calls("prerm", "remove"), (0, ["deb-systemd-invoke stop kelvane.service"]))
        self.assertEqual(self.calls("prerm", "upgrade", "0.1.1"), (0, []), "an upgrade restarts instead")

    def test_chrootless_installation_leaves_the_running_system_alone(self):
        root = {"DPKG_ROOT": "/srv/pi-root"}
        touching = ("systemctl", "deb-systemd-invoke", "modprobe", "udevadm")
        for script, args in (("postinst", ["configure"]), ("postinst", ["configure", "0.1.0"]),
                             ("prerm", ["remove"]), ("postrm", ["remove"]), ("postrm", ["purge"])):
            with self.subTest(script=script, args=args):
                status, calls = self.calls(script, *args, env=root)
                self.assertEqual(status, 0)
                self.assertEqual([c for c in calls if c.startswith(touching)], [])
                if script == "postinst":
                    self.assertIn("systemd-sysusers --root=/srv/pi-root kelvane.conf", calls)

    def test_without_sysusers_the_installation_fails(self):
        status, calls = self.calls("postinst", "configure", tools=self.TOOLS[:-1])
        self.assertNotEqual(status, 0, "the groups must not silently stay missing")
        self.assertNotIn("deb-systemd-invoke start kelvane.service", calls)


if __name__ == "__main__":
    unittest.main()
