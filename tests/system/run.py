#!/usr/bin/env python3
"""Boots an emulated Debian armhf machine (tools/build-system-image), gives
it the kelvane package and a wiringpi package built from the stand-in over a
9p share, and has it run checks.sh as root: the real install path, under a
real systemd, on the kernel's I2C stack.

    run.py RELEASE BUILD_DIR [SCRIPT]

BUILD_DIR is the armv6 build (with the stand-in). SCRIPT, instead of
checks.sh, runs a script of your own in the machine, the packages beside
it. Prints what the machine printed; the exit status is 0 when every check
passed."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT = 600


def image_dir(release):
    base = os.environ.get("KELVANE_SYSTEM_IMAGES") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kelvane", "system")
    return os.path.join(base, release)


def kelvane_deb(build, dest):
    subprocess.run(["cmake", "--build", build, "--target", "package"], check=True,
                   stdout=subprocess.DEVNULL)
    debs = glob.glob(os.path.join(build, "kelvane_*_armhf.deb"))
    if len(debs) != 1:
        sys.exit("expected one kelvane package in %s, found %s" % (build, debs))
    shutil.copy(debs[0], dest)


def wiringpi_deb(build, dest):
    """The stand-in as the package that kelvane depends on, for the test
    machine only: with no simulator socket named it talks to the kernel's
    i2c-dev, as wiringPi does on a Pi."""
    root = tempfile.mkdtemp(dir=dest)
    lib = os.path.join(root, "usr/lib")
    os.makedirs(lib)
    shutil.copy(os.path.join(build, "simulator", "libwiringPi.so"), lib)
    subprocess.run(["arm-linux-gnueabihf-strip", "--strip-unneeded", os.path.join(lib, "libwiringPi.so")],
                   check=True)
    os.makedirs(os.path.join(root, "DEBIAN"))
    with open(os.path.join(root, "DEBIAN", "control"), "w") as f:
        f.write("Package: wiringpi\n"
                "Version: 3.14~kelvane.test\n"
                "Architecture: armhf\n"
                "Maintainer: kelvane developers <kelvane-dev@example.org>\n"
                "Depends: libc6\n"
                "Section: libs\n"
                "Priority: optional\n"
                "Description: wiringPi stand-in for kelvane's system test\n"
                " The five calls kelvane makes, over the kernel's i2c-dev interface.\n"
                " Not for use on a Pi.\n")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", root,
                    os.path.join(dest, "wiringpi_3.14~kelvane.test_armhf.deb")],
                   check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(root)


def boot(images, share, console):
    cmd = ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15", "-smp", "2", "-m", "1024",
           "-nographic", "-no-reboot", "-nic", "none",
           "-kernel", os.path.join(images, "vmlinuz"),
           "-initrd", os.path.join(images, "initrd.img"),
           "-append", "root=/dev/vda rw console=ttyAMA0 systemd.wants=kelvane-test-run.service",
           "-drive", "if=none,format=raw,id=disk,snapshot=on,file=" + os.path.join(images, "rootfs.img"),
           "-device", "virtio-blk-device,drive=disk",
           "-fsdev", "local,id=share,security_model=none,path=" + share,
           "-device", "virtio-9p-device,fsdev=share,mount_tag=share"]
    with open(console, "w") as out:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              timeout=TIMEOUT).returncode


def main():
    release, build = sys.argv[1], os.path.abspath(sys.argv[2])
    script = sys.argv[3] if len(sys.argv) > 3 else os.path.join(HERE, "checks.sh")
    images = image_dir(release)
    if not os.path.exists(os.path.join(images, "key")):
        sys.exit("no %s machine in %s: run tools/build-system-image %s" % (release, images, release))
    share = tempfile.mkdtemp(prefix="kelvane-system-")
    try:
        shutil.copy(script, os.path.join(share, "run"))
        kelvane_deb(build, share)
        wiringpi_deb(build, share)
        console = os.path.join(build, "system-%s-console.log" % release)
        start = time.monotonic()
        try:
            boot(images, share, console)
        except subprocess.TimeoutExpired:
            print("the machine did not power off within %d s" % TIMEOUT)
        took = time.monotonic() - start
        status_file = os.path.join(share, "status")
        status = int(open(status_file).read().strip() or 1) if os.path.exists(status_file) else None
        shown = ["output"] + (["apt.log"] if status != 0 else [])
        for name in shown:
            path = os.path.join(share, name)
            if os.path.exists(path):
                print("---- %s" % name)
                print(open(path, errors="replace").read(), end="")
        if status is None:
            print("---- no result; the end of the console (%s):" % console)
            with open(console, errors="replace") as f:
                print("".join(f.readlines()[-40:]), end="")
            return 1
        print("%s: %s in %.0f s (boot, install, checks, power-off)"
              % (release, "passed" if status == 0 else "FAILED", took))
        return 0 if status == 0 else 1
    finally:
        shutil.rmtree(share, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
