"""Facts of kelvane and kelvane.o as built for the Pi: the instruction set,
the libraries, the names and the layout of the settings."""

import os
import re
import subprocess
import tempfile
import unittest

from harness import ARCH, CC, CPU, CROSS, KELVANE, OBJECT, QEMU, SYSROOT, WIRINGPI_DIR, Rig, temp_lines


def tool(name, *args):
    return subprocess.run([CROSS + "-" + name, *args], check=True, capture_output=True, text=True).stdout


def attributes(path):
    return dict(re.findall(r"^\s*(Tag_\w+): (.*)$", tool("readelf", "-A", path), re.M))


def symbols(path):
    """name -> (address, type) of the object's defined symbols, in address order."""
    out = tool("nm", "-n", path)
    return {m[2]: (int(m[0], 16), m[1]) for m in re.findall(r"^([0-9a-f]+) (\w) (\S+)$", out, re.M)}


@unittest.skipUnless(ARCH == "armhf", "32-bit Raspberry Pi OS")
class Instructions(unittest.TestCase):
    def check_armv6(self, path):
        tags = attributes(path)
        self.assertEqual(tags.get("Tag_CPU_arch"), "v6")
        self.assertEqual(tags.get("Tag_FP_arch"), "VFPv2")
        self.assertEqual(tags.get("Tag_ABI_VFP_args"), "VFP registers")
        self.assertNotEqual(tags.get("Tag_THUMB_ISA_use"), "Thumb-2")

    def test_object_is_armv6_vfpv2_hard_float(self):
        self.check_armv6(OBJECT)

    def test_executable_is_armv6_throughout(self):
        self.check_armv6(KELVANE)

    def test_no_32_bit_thumb_instruction(self):
        # objdump shows an ARM instruction as one 8-digit word, a 32-bit
        # Thumb instruction as two 4-digit halves.
        for path in (KELVANE, OBJECT):
            with self.subTest(path=os.path.basename(path)):
                code = tool("objdump", "-d", path)
                self.assertIn("<main>:", code)
                thumb2 = re.findall(r"^\s+[0-9a-f]+:\s+[0-9a-f]{4} [0-9a-f]{4}\s.*$", code, re.M)
                self.assertEqual(thumb2, [])


@unittest.skipUnless(ARCH == "arm64", "64-bit Raspberry Pi OS")
class Arm64(unittest.TestCase):
    def test_aarch64(self):
        for path in (KELVANE, OBJECT):
            with self.subTest(path=os.path.basename(path)):
                self.assertRegex(tool("readelf", "-h", path), r"Machine:\s+AArch64")

    def test_segments_load_on_16k_pages(self):
        # The Pi 5's kernel uses 16 KiB pages; a segment aligned to less
        # cannot be mapped there.
        loads = re.findall(r"^\s+LOAD\s.*\s(0x[0-9a-f]+)$", tool("readelf", "-lW", KELVANE), re.M)
        self.assertTrue(loads)
        self.assertTrue(all(int(a, 16) >= 16384 for a in loads), loads)


class Linking(unittest.TestCase):
    def test_needs_only_wiringpi_and_libc(self):
        needed = re.findall(r"\(NEEDED\).*\[(.*)\]", tool("readelf", "-d", KELVANE))
        self.assertEqual(needed, ["libwiringPi.so", "libc.so.6"])

    def test_standin_has_the_real_soname(self):
        soname = re.findall(r"\(SONAME\).*\[(.*)\]", tool("readelf", "-d", os.path.join(WIRINGPI_DIR, "libwiringPi.so")))
        self.assertEqual(soname, ["libwiringPi.so"])

    @unittest.skipUnless(ARCH == "armhf", "the ARMv6 toolchain's own runtime")
    def test_runtime_links_libc_dynamically(self):
        # A libc.so script in another format makes the linker fall back to libc.a.
        with open(os.path.join(SYSROOT, "usr", "lib", "libc.so")) as f:
            self.assertIn("OUTPUT_FORMAT(elf32-littlearm)", f.read())

    def test_object_links_with_the_c_driver_and_runs(self):
        with tempfile.TemporaryDirectory() as d:
            exe = os.path.join(d, "kelvane")
            subprocess.run([CC, OBJECT, "-L" + WIRINGPI_DIR, "-lwiringPi", "-o", exe], check=True)
            with Rig() as rig:
                r = rig.run(seconds=1.5, program=exe)
        self.assertEqual(r.out[0], "ok")
        self.assertTrue(temp_lines(r.out))

    def test_threads_and_libm_link_and_run_on_the_pi_cpu(self):
        # The runtime has shared libraries only; -pthread still needs the
        # empty libpthread.a, and libm must be there for -lm.
        source = r"""
            #include <math.h>
            #include <pthread.h>
            #include <stdio.h>
            #include <stdlib.h>
            static void *work(void *arg) { *(double *)arg = sqrt(*(double *)arg); return arg; }
            int main(int argc, char **argv) {
                double v = atof(argv[argc - 1]);
                pthread_t t;
                if (pthread_create(&t, NULL, work, &v) || pthread_join(t, NULL)) return 1;
                printf("%.1f\n", v);
                return 0;
            }
        """
        with tempfile.TemporaryDirectory() as d:
            src, exe = os.path.join(d, "t.c"), os.path.join(d, "t")
            with open(src, "w") as f:
                f.write(source)
            subprocess.run([CC, "-O2", "-pthread", src, "-lm", "-o", exe], check=True)
            r = subprocess.run([QEMU, "-cpu", CPU, "-L", SYSROOT, exe, "56.25"],
                               capture_output=True, text=True, timeout=30)
        self.assertEqual((r.returncode, r.stdout), (0, "7.5\n"))


class Names(unittest.TestCase):
    def test_names_have_c_linkage(self):
        syms = symbols(OBJECT)
        for name in ("main", "IIC_start", "trans_temp", "get_Mode", "getCPUtemperture"):
            self.assertEqual(syms[name][1], "T", name)
        for name in ("LED", "slave_addr", "start_cmd", "getMode_cmd", "sendTemp_cmd"):
            self.assertEqual(syms[name][1], "D", name)
        for name in ("iic_hand", "null"):
            self.assertEqual(syms[name][1], "B", name)
        exported = [n for n, (_, t) in syms.items() if t.isupper()]
        self.assertEqual([n for n in exported if n.startswith("_Z")], [], "no C++ names outside")

    def test_no_cxx_runtime_is_referenced(self):
        undefined = re.findall(r"^\s+U (\S+)$", tool("nm", OBJECT), re.M)
        self.assertEqual([u for u in undefined if re.match(r"_Z|__cxa|__gxx|_Unwind", u)], [])

    def test_settings_are_laid_out_in_order_with_their_values(self):
        syms = symbols(OBJECT)
        order = ["LED", "slave_addr", "start_cmd", "getMode_cmd", "sendTemp_cmd"]
        addrs = [syms[n][0] for n in order]
        self.assertEqual(addrs, list(range(addrs[0], addrs[0] + 5)))
        dump = tool("objdump", "-s", "-j", ".data", OBJECT)
        data = bytes.fromhex("".join(re.findall(r"^ [0-9a-f]{4} ((?:[0-9a-f]{2,8} ?)+)", dump, re.M)).replace(" ", ""))
        self.assertEqual(list(data[addrs[0]:addrs[0] + 5]), [25, 0x0B, 1, 2, 3])


if __name__ == "__main__":
    unittest.main()
