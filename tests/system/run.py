#!/usr/bin/env python3
"""Boots an emulated Debian machine (tools/build-system-image), gives it,
over a 9p share, the apt repository of kelvane that tools/release makes
from this tree, with a wiringpi package built from the stand-in, and has
it run checks.sh as root: the real install path, under a real systemd, on
the kernel's I2C stack.

    run.py MACHINE BUILD_DIR [SCRIPT]

MACHINE is bookworm or trixie (armhf), or trixie-arm64. BUILD_DIR is the
build of the same architecture (armv6 or arm64 preset, with the stand-in).
SCRIPT, instead of checks.sh, runs a script of your own in the machine
(with the interpreter its #! line names). Beside it in /share: the
repository as first released (kelvane, with the kelvane-archive-keyring.gpg
and kelvane.sources of an owner), kelvane.2 as it is after a second
release with a later version, kelvane.tampered and kelvane.other-key
(forgeries of the second), the first release's kelvane package and the
wiringpi package, and the second release's kelvane package in later/.
Prints what the machine printed; the exit status is 0 when every check
passed. A machine that panics or drops to an emergency shell ends the run
at once."""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT = 1200


# What each architecture's machine is: its qemu, CPU and binutils prefix.
MACHINES = {
    "armhf": ("qemu-system-arm", "cortex-a15", "arm-linux-gnueabihf"),
    "arm64": ("qemu-system-aarch64", "cortex-a72", "aarch64-linux-gnu"),
}


def image_dir(machine):
    base = os.environ.get("KELVANE_SYSTEM_IMAGES") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kelvane", "system")
    return os.path.join(base, machine)


def sh(*cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)


class Channel:
    """The apt repository of kelvane as an owner reaches it: made by
    tools/release from a copy of this tree (uncommitted changes included),
    signed by a throw-away key, first with this tree's version, then with a
    later one, as a maintainer makes them. Checks on the way that
    tools/release refuses what it must."""

    def __init__(self, work, arch, standin):
        self.work, self.arch, self.standin = work, arch, standin
        self.tree = os.path.join(work, "tree")
        self.repo = os.path.join(work, "repo")
        self.env = dict(os.environ, GNUPGHOME=os.path.join(work, "gnupg"))
        self.failures = []
        os.mkdir(self.env["GNUPGHOME"], 0o700)
        self.key, self.other_key = (self.new_key(name) for name in ("kelvane test", "someone else"))
        os.mkdir(self.tree)
        sh("sh", "-c", 'git ls-files -z -co --exclude-standard | tar --null --ignore-failed-read -T - -c 2>/dev/null'
           ' | tar -x -C "$1"', "-", self.tree, cwd=os.path.dirname(os.path.dirname(HERE)))
        self.git("init", "-q")
        self.commit("This tree")

    def new_key(self, name):
        sh("gpg", "--batch", "--quiet", "--passphrase", "", "--quick-gen-key", name + " <test@example.org>",
           "ed25519", "sign", "never", env=self.env, stderr=subprocess.DEVNULL)
        out = subprocess.run(["gpg", "--batch", "--with-colons", "--list-secret-keys", name], env=self.env,
                             check=True, capture_output=True, text=True).stdout
        return re.search(r"^fpr:+(\w+):", out, re.M)[1]

    def git(self, *args):
        sh("git", "-C", self.tree, "-c", "user.name=test", "-c", "user.email=test@example.org", *args)

    def commit(self, message):
        self.git("add", "-A")
        self.git("commit", "-q", "-m", message)

    def release(self, *args, arch=None):
        return subprocess.run([os.path.join(self.tree, "tools/release"), "--key", self.key, "--arch",
                               arch or self.arch, "--url", "file:/share/kelvane", *args, self.repo],
                              env=self.env, capture_output=True, text=True)

    def digest(self):
        """Every name, mode and byte of the folder, if there is one."""
        if not os.path.isdir(self.repo):
            return None
        return subprocess.run(["sh", "-c", 'find . -printf "%p %m %s\\n" | sort && find . -type f -print0 | sort -z |'
                               ' xargs -0 cat | sha256sum'], cwd=self.repo, capture_output=True, text=True).stdout

    def refuses(self, what, because, *args, arch=None):
        before = self.digest()
        r = self.release(*args, arch=arch)
        if r.returncode != 0 and because in r.stderr and self.digest() == before:
            print("ok:   tools/release refuses %s, and leaves the folder as it was" % what)
        else:
            print("FAIL: tools/release did not refuse %s, or changed the folder:\n%s%s" % (what, r.stdout, r.stderr))
            self.failures.append(what)

    def publish(self, *args):
        r = self.release("--include", self.standin, *args)
        if r.returncode != 0:
            raise RuntimeError("tools/release failed:\n" + r.stdout + r.stderr)

    def edit(self, path, change):
        path = os.path.join(self.work, path)
        with open(path) as f:
            text = change(f.read())
        with open(path, "w") as f:
            f.write(text)

    def version(self):
        with open(os.path.join(self.tree, "CMakeLists.txt")) as f:
            return re.search(r"^project\(kelvane VERSION ([\d.]+)", f.read(), re.M)[1]

    def next_version(self):
        """A tree whose version and changelog say it is the next."""
        old = self.version()
        new = re.sub(r"\d+$", lambda m: str(int(m[0]) + 1), old)
        self.edit("tree/CMakeLists.txt", lambda t: t.replace("kelvane VERSION " + old, "kelvane VERSION " + new))
        self.commit("Version " + new)
        self.refuses("a version without a changelog entry", "no entry for " + new, "--for-system-test")
        self.edit("tree/dist/debian/changelog", lambda t: "kelvane (%s) unstable; urgency=medium\n\n"
                  "  * The system test's next release.\n\n -- kelvane developers <kelvane-dev@example.org>  %s\n\n%s"
                  % (new, time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime()), t))
        self.refuses("a tree with uncommitted changes", "uncommitted changes", "--for-system-test")
        self.commit("Changelog for " + new)

    def snapshot(self, dest):
        """What is served of the repository: its conf and db stay behind."""
        shutil.copytree(self.repo, dest, ignore=lambda d, names: ["conf", "db"] if d == self.repo else [])

    def make(self, share):
        self.refuses("the wiringPi stand-in", "stand-in", "--include", self.standin)
        if os.path.exists(self.repo):
            self.failures.append("the refused release left a folder")
        self.publish("--for-system-test")
        first = self.version()
        self.refuses("a version it already holds", "already holds kelvane " + first, "--for-system-test")
        self.snapshot(os.path.join(share, "kelvane.1"))
        self.git("commit", "-q", "--allow-empty", "-m", "Another commit")
        self.refuses("the other architecture of a version from another commit", "was released from commit",
                     "--for-system-test", arch={"armhf": "arm64", "arm64": "armhf"}[self.arch])
        self.next_version()
        self.refuses("a normal release into a folder that holds the stand-in", "holds kelvane's wiringPi stand-in")
        # The key expires: nothing is written, and the same release goes
        # through once it is extended.
        sh("gpg", "--batch", "--quick-set-expire", self.key, "seconds=1", env=self.env)
        time.sleep(2)
        self.refuses("a key that has expired", "cannot sign", "--for-system-test")
        sh("gpg", "--batch", "--quick-set-expire", self.key, "0", env=self.env)
        self.publish("--for-system-test")
        self.snapshot(os.path.join(share, "kelvane.2"))
        # The two packages also as files, beside the script and in later/.
        os.mkdir(os.path.join(share, "later"))
        for release, version, dest in ((1, first, share), (2, self.version(), os.path.join(share, "later"))):
            shutil.copy(os.path.join(share, "kelvane.%d/pool/main/k/kelvane/kelvane_%s_%s.deb"
                                     % (release, version, self.arch)), dest)
        # Two forgeries of the next release: its Packages changed after
        # signing, and the whole signed by another key.
        tampered = os.path.join(share, "kelvane.tampered")
        self.snapshot(tampered)
        packages = os.path.join(tampered, "dists/stable/main/binary-%s/Packages" % self.arch)
        self.edit(packages, lambda t: t.replace("Priority: optional", "Priority: required"))
        sh("sh", "-c", 'gzip -9n -c "$1" >"$1.gz"', "-", packages)
        other = os.path.join(share, "kelvane.other-key")
        self.snapshot(other)
        dists = os.path.join(other, "dists/stable")
        for sign, out in (("--clearsign", "InRelease"), ("--detach-sign", "Release.gpg")):
            os.unlink(os.path.join(dists, out))
            sh("gpg", "--batch", "--local-user", self.other_key, sign, "--armor", "-o",
               os.path.join(dists, out), os.path.join(dists, "Release"), env=self.env)
        os.symlink("kelvane.1", os.path.join(share, "kelvane"))

    def close(self):
        subprocess.run(["gpgconf", "--kill", "all"], env=self.env)


def wiringpi_deb(build, dest, arch):
    """The stand-in as the package that kelvane depends on, for the test
    machine only: with no simulator socket named it talks to the kernel's
    i2c-dev, as wiringPi does on a Pi."""
    root = tempfile.mkdtemp(dir=dest)
    lib = os.path.join(root, "usr/lib")
    os.makedirs(lib)
    shutil.copy(os.path.join(build, "simulator", "libwiringPi.so"), lib)
    subprocess.run([MACHINES[arch][2] + "-strip", "--strip-unneeded", os.path.join(lib, "libwiringPi.so")],
                   check=True)
    os.makedirs(os.path.join(root, "DEBIAN"))
    with open(os.path.join(root, "DEBIAN", "control"), "w") as f:
        f.write("Package: wiringpi\n"
                "Version: 3.14~kelvane.test\n"
                "Architecture: %s\n"
                "Maintainer: kelvane developers <kelvane-dev@example.org>\n"
                "Depends: libc6\n"
                "Section: libs\n"
                "Priority: optional\n"
                "Description: wiringPi stand-in for kelvane's system test\n"
                " The five calls kelvane makes, over the kernel's i2c-dev interface.\n"
                " Not for use on a Pi.\n" % arch)
    deb = os.path.join(dest, "wiringpi_3.14~kelvane.test_%s.deb" % arch)
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", root, deb], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(root)
    return deb


# What a machine prints when it cannot go on: it then waits for a human.
STUCK = re.compile(r"Kernel panic|emergency mode|Give root password|Cannot open access to console")


def die_with_parent():
    """qemu ends with this script, even when it is killed outright."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def boot(images, arch, share, console):
    """Boots the machine; returns None when it powered off, or why not."""
    qemu, cpu, _ = MACHINES[arch]
    cmd = [qemu, "-M", "virt", "-cpu", cpu, "-smp", "2", "-m", "1024",
           "-nographic", "-no-reboot", "-nic", "none",
           "-kernel", os.path.join(images, "vmlinuz"),
           "-initrd", os.path.join(images, "initrd.img"),
           "-append", "root=/dev/vda rw console=ttyAMA0 panic=-1 systemd.wants=kelvane-test-run.service",
           "-drive", "if=none,format=raw,id=disk,snapshot=on,file=" + os.path.join(images, "rootfs.img"),
           "-device", "virtio-blk-device,drive=disk",
           "-fsdev", "local,id=share,security_model=none,path=" + share,
           "-device", "virtio-9p-device,fsdev=share,mount_tag=share"]
    deadline = time.monotonic() + TIMEOUT
    with open(console, "w") as out, open(console, errors="replace") as watch:
        qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                preexec_fn=die_with_parent)
        try:
            seen = ""
            while qemu.poll() is None:
                seen = (seen + watch.read())[-4096:]
                stuck = STUCK.search(seen)
                if stuck:
                    return "the machine cannot go on (%s)" % stuck[0]
                if time.monotonic() > deadline:
                    return "the machine did not power off within %d s" % TIMEOUT
                time.sleep(0.5)
            return None
        finally:
            if qemu.poll() is None:
                qemu.kill()
            qemu.wait()


def main():
    machine, build = sys.argv[1], os.path.abspath(sys.argv[2])
    arch = "arm64" if machine.endswith("-arm64") else "armhf"
    script = sys.argv[3] if len(sys.argv) > 3 else os.path.join(HERE, "checks.sh")
    images = image_dir(machine)
    if not os.path.exists(os.path.join(images, "key")):
        sys.exit("no %s machine in %s: run tools/build-system-image %s" % (machine, images, machine))
    # The share lives in the build tree, under a name of its own that the
    # next run clears, so nothing is left elsewhere even when this run is
    # killed outright; a terminating signal still clears it now.
    share = os.path.join(build, "system-%s-share" % machine)
    work = os.path.join(build, "system-%s-channel" % machine)
    for d in share, work:
        shutil.rmtree(d, ignore_errors=True)
        os.mkdir(d)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    channel = None
    try:
        shutil.copy(script, os.path.join(share, "run"))
        os.chmod(os.path.join(share, "run"), 0o755)
        standin = wiringpi_deb(build, share, arch)
        start = time.monotonic()
        channel = Channel(work, arch, standin)
        channel.make(share)
        print("the repository: two releases made by tools/release in %.0f s" % (time.monotonic() - start))
        console = os.path.join(build, "system-%s-console.log" % machine)
        start = time.monotonic()
        trouble = boot(images, arch, share, console)
        if trouble:
            print(trouble)
        took = time.monotonic() - start
        status_file = os.path.join(share, "status")
        status = int(open(status_file).read().strip() or 1) if os.path.exists(status_file) else None
        shown = ["output"] + (["apt.log"] if status != 0 else [])
        for name in shown:
            path = os.path.join(share, name)
            if os.path.exists(path):
                print("---- %s" % name)
                print(open(path, errors="replace").read(), end="")
        # What the checks printed stays beside the console, also on success.
        if os.path.exists(os.path.join(share, "output")):
            shutil.copy(os.path.join(share, "output"), os.path.join(build, "system-%s-output.log" % machine))
        if status is None:
            print("---- no result; the end of the console (%s):" % console)
            with open(console, errors="replace") as f:
                print("".join(f.readlines()[-40:]), end="")
            return 1
        print("%s: %s in %.0f s (boot, install, checks, power-off)"
              % (machine, "passed" if status == 0 else "FAILED", took))
        return 0 if status == 0 and not channel.failures else 1
    finally:
        if channel:
            channel.close()
        for d in share, work:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
