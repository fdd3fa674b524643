#!/usr/bin/env python3
"""Boots an emulated Debian machine (tools/build-system-image), gives it the
kelvane package and a wiringpi package built from the stand-in over a 9p
share, and has it run checks.sh as root: the real install path, under a
real systemd, on the kernel's I2C stack.

    run.py MACHINE BUILD_DIR [SCRIPT]

MACHINE is bookworm or trixie (armhf), or trixie-arm64. BUILD_DIR is the
build of the same architecture (armv6 or arm64 preset, with the stand-in). SCRIPT, instead of
checks.sh, runs a script of your own in the machine (with the interpreter
its #! line names), the packages beside it, and in later/ the same package
with a later version, for upgrades. Prints what the machine printed; the
exit status is 0 when every check passed. A machine that panics or drops
to an emergency shell ends the run at once."""

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


def kelvane_debs(build, dest, arch):
    """The package of this build, by the version it has, and the same
    package with only a later version, in dest/later."""
    subprocess.run(["cmake", "--build", build, "--target", "package"], check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(build, "CPackConfig.cmake")) as f:
        version = re.search(r'^set\(CPACK_PACKAGE_VERSION "([^"]+)"\)', f.read(), re.M)[1]
    shutil.copy(os.path.join(build, "kelvane_%s_%s.deb" % (version, arch)), dest)
    later = os.path.join(dest, "later")
    subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", later,
                    "-D", "CPACK_PACKAGE_VERSION=%s+1" % version], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(os.path.join(later, "_CPack_Packages"))


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
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", root,
                    os.path.join(dest, "wiringpi_3.14~kelvane.test_%s.deb" % arch)],
                   check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(root)


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
    shutil.rmtree(share, ignore_errors=True)
    os.mkdir(share)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        shutil.copy(script, os.path.join(share, "run"))
        os.chmod(os.path.join(share, "run"), 0o755)
        kelvane_debs(build, share, arch)
        wiringpi_deb(build, share, arch)
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
        return 0 if status == 0 else 1
    finally:
        shutil.rmtree(share, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
