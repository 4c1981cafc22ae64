#!/usr/bin/env python3
"""Runs Windows programs under Wine: the one place the tests, the benchmarks and the demo do it.

One private 64-bit prefix (null graphics driver) and one persistent wineserver serve a whole run.
Each program gets the loader its PE header asks for: the 32-bit loader for 32-bit programs, the
64-bit loader for 64-bit ones. The 32-bit loader is itself a 32-bit Linux program, so on a kernel
without 32-bit support only the 64-bit lane runs; VARDEX_WINE_32BIT=0 forces that case.

  wine_runner.py --setup             make the prefix if needed and start the wineserver
  wine_runner.py --cleanup           stop the wineserver
  wine_runner.py --lanes             one line: which bitnesses run here, and why
  wine_runner.py --lane              x86 where 32-bit programs run, else x64
  wine_runner.py --run EXE [ARG...]  run EXE with its own loader, in place of this process
"""
import os
import struct
import subprocess
import sys

LOADER32 = "/usr/lib/wine/wine"
LOADER64 = "/usr/lib/wine/wine64"
SERVER = "/usr/lib/wine/wineserver64"
PREFIX = os.environ.get("VARDEX_WINEPREFIX", "/tmp/vardex-wine64-%d" % os.getuid())
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEARCH="win64", WINESERVER=SERVER, WINEDEBUG="-all",
           WINEDLLOVERRIDES="mscoree,mshtml=")
ENV.pop("DISPLAY", None)
ENV.pop("WINELOADER", None)
SKIP = 77  # CTest's SKIP_RETURN_CODE for the tests of a lane that cannot run here
INSTALL = "install Debian's wine, wine64 and wine32:i386 (bash tools/install-deps.sh, as root)"

MACHINES = {0x014C: "x86", 0x8664: "x64"}


class WineError(Exception):
    """Wine cannot be used here; the message is one line saying what failed and what to do."""


def bitness(path):
    """'x86' or 'x64', from the machine field of the program's PE header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 0x40:
        raise ValueError("%s is not a Windows program" % path)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if pe + 6 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s has no PE header" % path)
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    if machine not in MACHINES:
        raise ValueError("%s is for machine 0x%04x" % (path, machine))
    return MACHINES[machine]


def command(path, args=()):
    """The command line and environment that run the Windows program at path."""
    if bitness(path) == "x86":
        return [LOADER32, path] + list(args), ENV
    return [LOADER64, path] + list(args), dict(ENV, WINELOADER=LOADER64)


def popen(path, args=(), **kw):
    argv, env = command(path, args)
    return subprocess.Popen(argv, env=env, **kw)


def probe_32bit(loader=LOADER32, environ=None):
    """(runs, why): whether 32-bit Windows programs run here, tried once with the loader."""
    environ = os.environ if environ is None else environ
    if environ.get("VARDEX_WINE_32BIT") == "0":
        return False, "VARDEX_WINE_32BIT=0 forces the 64-bit lane"
    try:
        done = subprocess.run([loader, "--version"], capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        return False, "Wine's 32-bit loader %s is not installed" % loader
    except OSError as e:
        return False, "Wine's 32-bit loader cannot run on this kernel (%s: %s)" % (
            loader, e.strerror)
    except subprocess.TimeoutExpired:
        return False, "Wine's 32-bit loader %s did not answer in 60 s" % loader
    if done.returncode != 0:
        return False, "Wine's 32-bit loader %s exited %d" % (loader, done.returncode)
    return True, "Wine's 32-bit loader runs here (%s)" % done.stdout.strip()


_answer = None


def runs_32bit():
    global _answer
    if _answer is None:
        _answer = probe_32bit()
    return _answer


def lane():
    """The bitness that one-lane runs (soak, bench, demo) use: 32-bit where it runs."""
    return "x86" if runs_32bit()[0] else "x64"


def lanes_line():
    runs, why = runs_32bit()
    if runs:
        return "Wine lanes: x86 and x64 run; %s" % why
    return "Wine lanes: x64 runs, x86 is skipped; %s" % why


def _quiet(argv, timeout, env=ENV):
    """Runs a set-up step; any failure becomes one WineError line."""
    try:
        done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout)
    except OSError as e:
        raise WineError("cannot start %s: %s; %s" % (argv[0], e.strerror, INSTALL))
    except subprocess.TimeoutExpired:
        raise WineError("%s did not finish in %d s" % (" ".join(argv[:3]), timeout))
    return done.returncode


def setup():
    """Makes the prefix if it does not exist yet and starts the run's one wineserver."""
    for path in (LOADER64, SERVER):
        if not os.access(path, os.X_OK):
            raise WineError("Wine's 64-bit loader or server %s is missing; %s" % (path, INSTALL))
    loader64 = dict(ENV, WINELOADER=LOADER64)
    registry = os.path.join(PREFIX, "system.reg")
    if os.path.exists(registry):
        with open(registry, errors="replace") as f:
            if "#arch=win64" not in f.read(4096):
                raise WineError("%s is not a 64-bit Wine prefix; remove it or name another with "
                                "VARDEX_WINEPREFIX" % PREFIX)
    else:
        code = _quiet([LOADER64, "wineboot", "-i"], 300, loader64)
        if code != 0:
            raise WineError("wineboot could not make the Wine prefix %s (exit %d); %s" % (
                PREFIX, code, INSTALL))
        code = _quiet([LOADER64, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics",
                       "/d", "null", "/f"], 120, loader64)
        if code != 0:
            raise WineError("could not select Wine's null graphics driver (reg exited %d)" % code)
    # Settle and restart: the desktop process reads the driver setting only when it starts, and
    # the server writes the registry out when it stops.
    _quiet([SERVER, "-k"], 60)
    _quiet([SERVER, "-w"], 60)
    if not os.path.exists(registry):
        raise WineError("no Wine prefix at %s after wineboot; %s" % (PREFIX, INSTALL))
    # Its output goes nowhere: a server holding a runner's output pipe would hang the runner.
    subprocess.Popen([SERVER, "-p"], env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)
    # Warm up each lane, so that no scenario's timings are a cold start's.
    if _quiet([LOADER64, "cmd", "/c", "exit"], 120, loader64) != 0:
        raise WineError("Wine's 64-bit loader could not run cmd in %s; %s" % (PREFIX, INSTALL))
    if runs_32bit()[0]:
        _quiet([LOADER32, "cmd", "/c", "exit"], 120)
    print("Wine prefix %s ready; %s" % (PREFIX, lanes_line()))


def cleanup():
    if os.access(SERVER, os.X_OK):
        _quiet([SERVER, "-k"], 60)


def main(argv):
    try:
        if argv == ["--setup"]:
            setup()
        elif argv == ["--cleanup"]:
            cleanup()
        elif argv == ["--lanes"]:
            print(lanes_line())
        elif argv == ["--lane"]:
            print(lane())
        elif len(argv) >= 2 and argv[0] == "--run":
            args, env = command(argv[1], argv[2:])
            os.execve(args[0], args, env)
        else:
            print(__doc__.strip())
            return 2
    except (WineError, ValueError, OSError) as e:
        print("wine: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
