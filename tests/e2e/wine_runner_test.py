#!/usr/bin/env python3
"""The Wine runner's decisions, without Wine: which loader a program gets from its PE header,
whether this machine runs 32-bit programs, judged from stand-in loaders, and whether a template
prefix serves the lanes that run."""
import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import wine_runner  # noqa: E402


def pe_image(machine, offset=0x80):
    head = bytearray(0x200)
    head[:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, offset)
    head[offset:offset + 4] = b"PE\0\0"
    struct.pack_into("<H", head, offset + 4, machine)
    return bytes(head)


class RunnerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def file(self, name, data, executable=False):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        if executable:
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        return path

    def test_cleanup_ends_what_the_run_started(self):
        run = os.path.join(self.dir.name, "run")
        os.makedirs(os.path.join(run, "pc1"))
        env = dict(os.environ, VARDEX_WINE_RUN=run)
        started = [subprocess.Popen(["sleep", "60"], env=dict(env, WINEPREFIX=prefix))
                   for prefix in (os.path.join(run, "pc1"), run + "-other")]
        try:
            with mock.patch.dict(os.environ, VARDEX_WINE_RUN=run):
                wine_runner.cleanup()
            self.assertEqual(started[0].wait(10), -9, "a process of the run was left running")
            self.assertIsNone(started[1].poll(), "a process of another run was ended")
            self.assertFalse(os.path.exists(run))
        finally:
            for p in started:
                p.kill()
                p.wait()

    def test_bitness_from_pe_header(self):
        rows = [
            ("i386", pe_image(0x014C), "x86"),
            ("amd64", pe_image(0x8664), "x64"),
            ("header late in the file", pe_image(0x8664, offset=0x1F0), "x64"),
            ("arm64", pe_image(0xAA64), None),
            ("no MZ", b"ELF" + pe_image(0x014C)[3:], None),
            ("PE signature missing", pe_image(0x014C).replace(b"PE\0\0", b"NE\0\0"), None),
            ("header offset past the end", pe_image(0x014C)[:0x40] + b"\0" * 8, None),
            ("empty", b"", None),
        ]
        for name, data, want in rows:
            with self.subTest(name):
                path = self.file("program.exe", data)
                if want is None:
                    self.assertRaises(ValueError, wine_runner.bitness, path)
                else:
                    self.assertEqual(wine_runner.bitness(path), want)

    def test_each_program_gets_its_own_loader_and_pc(self):
        x86 = self.file("a.exe", pe_image(0x014C))
        x64 = self.file("b.exe", pe_image(0x8664))
        run = os.path.join(self.dir.name, "run")
        os.environ["VARDEX_WINE_RUN"] = run
        argv, env = wine_runner.command(x86, ["."])
        self.assertEqual(argv, [wine_runner.LOADER32, x86, "."])
        self.assertNotIn("WINELOADER", env)
        argv, env = wine_runner.command(x64, [], pc=2)
        self.assertEqual(argv, [wine_runner.LOADER64, x64])
        self.assertEqual(env["WINELOADER"], wine_runner.LOADER64)
        # Each PC of a run is a prefix of its own inside the run's folder, and so another run,
        # with another folder, never shares one.
        self.assertEqual(wine_runner.command(x86)[1]["WINEPREFIX"], os.path.join(run, "pc1"))
        self.assertEqual(env["WINEPREFIX"], os.path.join(run, "pc2"))
        self.assertEqual((env["WINEARCH"], env["WINESERVER"]), ("win64", wine_runner.SERVER))
        del os.environ["VARDEX_WINE_RUN"]
        self.assertRaises(wine_runner.WineError, wine_runner.command, x86)

    def test_32bit_probe(self):
        works = self.file("works", b"#!/bin/sh\necho wine-8.0\n", executable=True)
        fails = self.file("fails", b"#!/bin/sh\nexit 3\n", executable=True)
        # What a kernel without 32-bit support makes of the 32-bit loader: exec fails.
        foreign = self.file("foreign", b"\x7fELF\x01\x01\x01" + b"\0" * 57, executable=True)
        missing = os.path.join(self.dir.name, "missing")
        rows = [
            ("loader runs", works, {}, True, "wine-8.0"),
            ("loader runs, lane not forced", works, {"VARDEX_WINE_32BIT": "1"}, True, "wine-8.0"),
            ("forced off", works, {"VARDEX_WINE_32BIT": "0"}, False, "VARDEX_WINE_32BIT=0"),
            ("exec format error", foreign, {}, False, "cannot run on this kernel"),
            ("loader fails", fails, {}, False, "exited 3"),
            ("loader missing", missing, {}, False, "not installed"),
        ]
        for name, loader, environ, runs, why in rows:
            with self.subTest(name):
                got = wine_runner.probe_32bit(loader, environ)
                self.assertEqual(got[0], runs, got[1])
                self.assertIn(why, got[1])

    def test_template_serves_the_lanes_that_run(self):
        rows = [
            # name, finished, what syswow64 holds (None: no folder), 32-bit loader runs, reuse
            ("none made yet", False, None, False, False),
            ("unfinished", False, ["kernel32.dll"], True, False),
            ("no 32-bit half, 64-bit lane only", True, [], False, True),
            ("no 32-bit half, and the 32-bit loader runs now", True, [], True, False),
            ("no syswow64, and the 32-bit loader runs now", True, None, True, False),
            ("32-bit half there, and the loader runs", True, ["KERNEL32.DLL", "ntdll.dll"], True,
             True),
            ("32-bit half there, 64-bit lane only", True, ["kernel32.dll"], False, True),
        ]
        for i, (name, finished, wow, runs, reuse) in enumerate(rows):
            with self.subTest(name):
                folder = os.path.join(self.dir.name, "template%d" % i)
                os.makedirs(os.path.join(folder, "drive_c", "windows", "system32"))
                if wow is not None:
                    os.makedirs(os.path.join(folder, "drive_c", "windows", "syswow64"))
                for dll in wow or ():
                    self.file(os.path.join(folder, "drive_c", "windows", "syswow64", dll), b"MZ")
                self.assertEqual(wine_runner.reuse_template(
                    finished, runs, wine_runner.has_32bit_half(folder)), reuse)


if __name__ == "__main__":
    unittest.main()
