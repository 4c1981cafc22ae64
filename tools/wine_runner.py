#!/usr/bin/env python3
"""Runs Windows programs under Wine: the one place the tests, the benchmarks and the demo do it.

A run (one make test, make demo, make bench or make soak) has a folder of its own, named by
VARDEX_WINE_RUN, and in it one Wine prefix per stand-in PC (pc1, pc2, ...), each with its own
wineserver and so its own window list and mailslot namespace: two runs on one machine never meet,
and one run can stand for several machines. Each prefix is a copy of a template that is made once
per user and Wine version (64-bit, null graphics driver), so a new PC costs a copy, not a boot;
one made before Wine's 32-bit half was installed is made again once 32-bit programs run.
Each program gets the loader its PE header asks for: the 32-bit loader for 32-bit programs, the
64-bit loader for 64-bit ones. The 32-bit loader is itself a 32-bit Linux program, so on a kernel
without 32-bit support only the 64-bit lane runs; VARDEX_WINE_32BIT=0 forces that case.

  wine_runner.py --setup [N]         make this run's PCs 1..N (default 1) and start their servers
  wine_runner.py --cleanup           stop this run's servers and remove its folder
  wine_runner.py --lanes             one line: which bitnesses run here, and why
  wine_runner.py --lane              x86 where 32-bit programs run, else x64
  wine_runner.py --run [--pc N] EXE [ARG...]  run EXE on PC N (default 1), in place of this process
"""
import contextlib
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys

LOADER32 = "/usr/lib/wine/wine"
LOADER64 = "/usr/lib/wine/wine64"
SERVER = "/usr/lib/wine/wineserver64"
BASE_ENV = dict(os.environ, WINEARCH="win64", WINESERVER=SERVER, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")
BASE_ENV.pop("DISPLAY", None)
BASE_ENV.pop("WINELOADER", None)
BASE_ENV.pop("WINEPREFIX", None)
SKIP = 77  # CTest's SKIP_RETURN_CODE for the tests of a lane that cannot run here
INSTALL = "install Debian's wine, wine64 and wine32:i386 (bash tools/install-deps.sh, as root)"
READY = ".vardex-template"  # written last into a finished template

MACHINES = {0x014C: "x86", 0x8664: "x64"}


class WineError(Exception):
    """Wine cannot be used here; the message is one line saying what failed and what to do."""


def run_dir():
    """This run's folder; every PC of the run is a prefix inside it."""
    # The build's default serves a plain ctest; make's targets name a fresh folder per run.
    folder = os.environ.get("VARDEX_WINE_RUN") or os.environ.get("VARDEX_WINE_RUN_DEFAULT")
    if not folder:
        raise WineError("VARDEX_WINE_RUN must name this run's own folder (make test, make demo "
                        "and make bench set it)")
    return os.path.abspath(folder)


def prefix(pc=1):
    return os.path.join(run_dir(), "pc%d" % pc)


def environment(pc=1):
    return dict(BASE_ENV, WINEPREFIX=prefix(pc))


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


def command(path, args=(), pc=1):
    """The command line and environment that run the Windows program at path on PC pc."""
    env = environment(pc)
    if bitness(path) == "x86":
        return [LOADER32, path] + list(args), env
    return [LOADER64, path] + list(args), dict(env, WINELOADER=LOADER64)


def system(pc, *args, timeout=60, channels=None):
    """Runs one of Wine's own programs (sc, reg, msiexec) on PC pc to its end: (exit code,
    output). With channels (say "+eventlog"), the output has those Wine debug channels too, of
    the program and of what it starts."""
    env = dict(environment(pc), WINELOADER=LOADER64)
    if channels:
        env["WINEDEBUG"] = channels
    done = subprocess.run([LOADER64] + list(args), env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    return done.returncode, done.stdout + done.stderr


def popen(path, args=(), pc=1, **kw):
    argv, env = command(path, args, pc)
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


def _quiet(argv, timeout, env):
    """Runs a set-up step; any failure becomes one WineError line."""
    try:
        done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout)
    except OSError as e:
        raise WineError("cannot start %s: %s; %s" % (argv[0], e.strerror, INSTALL))
    except subprocess.TimeoutExpired:
        raise WineError("%s did not finish in %d s" % (" ".join(argv[:3]), timeout))
    return done.returncode


def has_32bit_half(folder):
    """Whether a prefix was made with Wine's 32-bit half: wineboot fills syswow64 only then."""
    try:
        return any(name.lower().endswith(".dll") for name in
                   os.listdir(os.path.join(folder, "drive_c", "windows", "syswow64")))
    except OSError:
        return False


def reuse_template(ready, loader32_runs, has_32bit):
    """Whether a template serves the lanes that run now: a finished one does, unless 32-bit
    programs run here and it was made before Wine's 32-bit half was installed (its syswow64 is
    empty, and no 32-bit program starts in a copy of it)."""
    return ready and (has_32bit or not loader32_runs)


def _serves(folder):
    return reuse_template(os.path.exists(os.path.join(folder, READY)), runs_32bit()[0],
                          has_32bit_half(folder))


def _make_template(folder):
    shutil.rmtree(folder, ignore_errors=True)
    building = "%s.%d" % (folder, os.getpid())
    shutil.rmtree(building, ignore_errors=True)
    env = dict(BASE_ENV, WINEPREFIX=building, WINELOADER=LOADER64)
    code = _quiet([LOADER64, "wineboot", "-i"], 300, env)
    if code != 0:
        raise WineError("wineboot could not make a Wine prefix in %s (exit %d); %s" % (
            building, code, INSTALL))
    code = _quiet([LOADER64, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v",
                   "Graphics", "/d", "null", "/f"], 120, env)
    if code != 0:
        raise WineError("could not select Wine's null graphics driver (reg exited %d)" % code)
    # The server writes the registry out when it stops; a copy must not have one running.
    _quiet([SERVER, "-k"], 60, env)
    _quiet([SERVER, "-w"], 60, env)
    if not os.path.exists(os.path.join(building, "system.reg")):
        raise WineError("no Wine prefix in %s after wineboot; %s" % (building, INSTALL))
    open(os.path.join(building, READY), "w").close()
    os.rename(building, folder)


@contextlib.contextmanager
def template():
    """The finished template prefix for this user and Wine version, made or made again if it
    does not serve the lanes that run now, and held for the caller to copy. Copies hold its lock
    shared and a making holds it alone, so two runs that start together do not make it twice,
    and a run that makes it again does not remove it under another run's copy."""
    for path in (LOADER64, SERVER):
        if not os.access(path, os.X_OK):
            raise WineError("Wine's 64-bit loader or server %s is missing; %s" % (path, INSTALL))
    try:
        version = subprocess.run([LOADER64, "--version"], capture_output=True, text=True,
                                 timeout=60).stdout.strip()
    except (OSError, subprocess.TimeoutExpired) as e:
        raise WineError("Wine's 64-bit loader does not answer (%s); %s" % (e, INSTALL))
    name = "vardex-wine-template-%d-%s" % (os.getuid(), re.sub(r"[^\w.-]+", "_", version))
    folder = os.path.join("/tmp", name)
    with open(folder + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_SH)
        if not _serves(folder):
            # Let go before asking alone: two runs asking while each held it shared would wait
            # for each other.
            fcntl.flock(lock, fcntl.LOCK_UN)
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not _serves(folder):
                _make_template(folder)
            fcntl.flock(lock, fcntl.LOCK_SH)
        yield folder


def copy_prefix(source, target):
    """Copies a prefix: the drive links as links, Wine's program files (nine tenths of its 700 MB,
    never written after set-up) as hard links where the file system allows, the rest for real."""
    for folder, dirs, files in os.walk(source):
        into = os.path.join(target, os.path.relpath(folder, source))
        os.makedirs(into, exist_ok=True)
        for name in dirs + files:
            path, copy = os.path.join(folder, name), os.path.join(into, name)
            if os.path.islink(path):
                os.symlink(os.readlink(path), copy)
            elif name in files and name.lower().endswith((".dll", ".exe")):
                try:
                    os.link(path, copy)
                except OSError:
                    shutil.copy2(path, copy)
            elif name in files:
                shutil.copy2(path, copy)
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(folder, d))]


def start_pc(pc=1, channels=None, log=None):
    """Makes PC pc of this run from the template, if it is not there yet, and starts its server.
    With channels and log, the first process of the PC's session, and so its service manager and
    every service, writes those Wine debug channels (say "+eventlog") to the file log."""
    where = prefix(pc)
    if not os.path.exists(os.path.join(where, "system.reg")):
        os.makedirs(run_dir(), exist_ok=True)
        try:
            with template() as source:
                copy_prefix(source, where)
        except OSError as e:
            raise WineError("could not copy the Wine template to %s: %s" % (where, e))
    env = environment(pc)
    # Its output goes nowhere: a server holding a runner's output pipe would hang the runner. A
    # second start for a prefix whose server runs ends at once. It outlives its last client by
    # ten minutes, far longer than any pause of a run, so a run that is killed leaves no server
    # behind for long.
    subprocess.Popen([SERVER, "-p600"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    # Warm up each lane, so that no scenario's timings are a cold start's.
    first = dict(env, WINELOADER=LOADER64)
    if channels:
        first["WINEDEBUG"] = channels
    try:
        with open(log or os.devnull, "w") as errors:
            code = subprocess.run([LOADER64, "cmd", "/c", "exit"], env=first,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=errors, timeout=120).returncode
    except (OSError, subprocess.TimeoutExpired) as e:
        raise WineError("Wine's 64-bit loader could not run cmd in %s (%s); %s" % (
            where, e, INSTALL))
    if code != 0:
        raise WineError("Wine's 64-bit loader could not run cmd in %s; %s" % (where, INSTALL))
    if runs_32bit()[0]:
        _quiet([LOADER32, "cmd", "/c", "exit"], 120, env)
    return where


def stop_pc(pc):
    """Stops PC pc's server, with every program and service on it, and removes the PC."""
    env = environment(pc)
    if os.path.isdir(prefix(pc)) and os.access(SERVER, os.X_OK):
        _quiet([SERVER, "-k"], 60, env)
        _quiet([SERVER, "-w"], 60, env)
    shutil.rmtree(prefix(pc), ignore_errors=True)


def setup(pcs=1):
    """Starts this run afresh with PCs 1..pcs; what an earlier run left in its folder goes."""
    cleanup()
    for pc in range(1, pcs + 1):
        start_pc(pc)
    print("Wine run %s ready with %d PC%s; %s" % (run_dir(), pcs, "" if pcs == 1 else "s",
                                                   lanes_line()))


def processes_of(folder):
    """The pids of this user's processes whose WINEPREFIX lies in folder."""
    inside = os.path.join(os.path.abspath(folder), "").encode()
    found = []
    for pid in (p for p in os.listdir("/proc") if p.isdigit()):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue  # gone, or not ours
        if any(v.startswith(b"WINEPREFIX=") and
               os.path.join(v[len(b"WINEPREFIX="):], b"").startswith(inside) for v in env):
            found.append(int(pid))
    return found


def cleanup():
    """Stops every server of this run and removes its folder; a process of the run that the
    servers did not end (a service host whose server had gone) is ended too."""
    folder = run_dir()
    if not os.path.isdir(folder):
        return
    for name in sorted(os.listdir(folder)):
        if re.fullmatch(r"pc\d+", name) and os.access(SERVER, os.X_OK):
            env = dict(BASE_ENV, WINEPREFIX=os.path.join(folder, name))
            _quiet([SERVER, "-k"], 60, env)
            _quiet([SERVER, "-w"], 60, env)
    for pid in processes_of(folder):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass  # ended meanwhile
    shutil.rmtree(folder, ignore_errors=True)


def main(argv):
    try:
        if argv[:1] == ["--setup"] and len(argv) <= 2:
            setup(int(argv[1]) if len(argv) == 2 else 1)
        elif argv == ["--cleanup"]:
            cleanup()
        elif argv == ["--lanes"]:
            print(lanes_line())
        elif argv == ["--lane"]:
            print(lane())
        elif len(argv) >= 2 and argv[0] == "--run":
            pc = 1
            if argv[1] == "--pc" and len(argv) >= 4:
                pc, argv = int(argv[2]), argv[2:]
            args, env = command(argv[1], argv[2:], pc)
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
