#!/usr/bin/env python3
"""End-to-end runs of the real relay under Wine, against probe-standin and slot-listen.

  wine_e2e.py [--arch x86|x64] SCENARIO...   run scenarios with the relay and tools of one
                                             bitness (x86 unless named); "N passed, N failed"
  wine_e2e.py --list                         name every scenario

Needs the Wine run (VARDEX_WINE_RUN) that tools/wine_runner.py --setup prepares. Where 32-bit programs cannot run,
an x86 run prints why and exits with the skip code. Ticks are one second and Wine processes
start slowly, so every wait has a generous margin.
"""
import os
import re
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import wine_runner  # noqa: E402

DIST = os.environ.get("VARDEX_DIST", os.path.join(ROOT, "dist"))

TICK = 1.0
START = 30.0  # a Wine program's start, an attach tick and a poll tick, with room to spare
CHANGE = 2 * TICK + 2.5  # a change is seen by the next tick; allow two and a margin


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def exe(name, arch):
    path = os.path.join(DIST, "%s-%s.exe" % (name, arch))
    expect(os.path.exists(path), "missing %s (run make dist)" % path)
    return path


class Program:
    """A Wine process whose standard output lines are collected with their arrival times."""

    def __init__(self, path, args=(), stdin=True, pc=1, stderr=subprocess.DEVNULL):
        self.path = path
        self.process = wine_runner.popen(
            path, args, pc, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=stderr, text=True, errors="replace")
        self.start_reading()

    def start_reading(self):
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append((time.monotonic(), line.rstrip("\r\n")))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_line(self, pattern, timeout, start=0):
        """The first line from index start on that matches, as (index, time, match)."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for i in range(start, len(self.lines)):
                    m = re.search(pattern, self.lines[i][1])
                    if m:
                        return i, self.lines[i][0], m
                left = deadline - time.monotonic()
                expect(left > 0, "%s printed no line matching %r in %.0f s; it printed %r" % (
                    os.path.basename(self.path), pattern, timeout, [l for _, l in self.lines]))
                self.changed.wait(left)

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s still running after %.0f s" % (os.path.basename(self.path), timeout))

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()


class Probe(Program):
    def __init__(self, arch, cpu=47, mb=38, options=(), pc=1):
        super().__init__(exe("probe-standin", arch),
                         ["--cpu", str(cpu), "--mb", str(mb)] + list(options), pc=pc)
        self.wait_line(r"^ready$", START)

    def set(self, command):
        """Changes a reading; returns the time the stand-in reported the new text."""
        mark = len(self.lines)
        self.send(command)
        return self.wait_line(r"^set ", 10, mark)[1]

    def clicks(self):
        return [l[len("click "):] for _, l in self.lines if l.startswith("click ")]

    def quit(self):
        self.send("quit")
        self.wait_exit(10)


class Listener(Program):
    LINE = re.compile(r'^\S+ (\d+) bytes "(.*)"$')

    def __init__(self, arch, pc=1):
        super().__init__(exe("slot-listen", arch), stdin=False, pc=pc)
        self.wait_line(r"^listening on ", START)

    def datagrams(self):
        """(arrival time, bytes) of every datagram so far; the byte count is checked too."""
        out = []
        for t, line in list(self.lines):
            m = self.LINE.match(line)
            if not m:
                continue
            data = unescape(m.group(2))
            expect(len(data) == int(m.group(1)), "count and bytes disagree in %r" % line)
            out.append((t, data))
        return out

    def wait_count(self, count, timeout):
        deadline = time.monotonic() + timeout
        while len(self.datagrams()) < count:
            expect(time.monotonic() < deadline, "expected %d datagrams within %.1f s, got %r" % (
                count, timeout, self.texts()))
            time.sleep(0.05)
        return self.datagrams()

    def texts(self):
        return [d for _, d in self.datagrams()]


def unescape(text):
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(ord(c))
            i += 1
        elif text[i + 1] == "0":
            out.append(0)
            i += 2
        elif text[i + 1] == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out.append(ord(text[i + 1]))
            i += 2
    return bytes(out)


class Run:
    """One scenario's processes, all of one bitness; whatever is left running at the end is
    killed."""

    def __init__(self, arch):
        self.arch = arch
        self.programs = []

    def add(self, program):
        self.programs.append(program)
        return program

    def probe(self, **kw):
        return self.add(Probe(self.arch, **kw))

    def listen(self, pc=1):
        return self.add(Listener(self.arch, pc))

    def relay(self, *args, pc=1):
        return self.add(Program(exe("vardex", self.arch), args, stdin=False, pc=pc))

    def stop_relay(self, relay):
        """Stops a running relay with a second start; returns both exit codes."""
        began = time.monotonic()
        second = self.relay("PC99")
        second_code = second.wait_exit(15)
        took = time.monotonic() - began
        first_code = relay.wait_exit(10)
        print("    second start ended in %.1f s with %d; running copy ended with %d" % (
            took, second_code, first_code))
        return second_code, first_code

    def close(self):
        for p in reversed(self.programs):
            p.kill()


def report(text):
    return text.encode() + b"\0"


def resources(program):
    """A Wine program's resident memory (KiB, from Linux) and handle count (from Windows)."""
    with open("/proc/%d/status" % program.process.pid) as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    lines = helper(wine_runner.bitness(program.path), "handles", os.path.basename(program.path))
    handles = int(lines[-1].split()[1]) if lines and lines[-1].startswith("handles") else -1
    return rss, handles


def helper(arch, *args, pc=1, timeout=60):
    """Runs the soak helper of that bitness to its end; returns the lines it printed."""
    path = os.path.join(ROOT, "build", arch, "soak-helper-%s.exe" % arch)
    program = Program(path, args, stdin=False, pc=pc)
    program.wait_exit(timeout)
    return [line for _, line in program.lines]


CLICKS = ["down 163,54 keys=0", "up 163,54 keys=0", "down 208,102 keys=0", "up 208,102 keys=0"]
SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def wait_attached(probe, timeout=START):
    probe.wait_line(r"^click up 208,102", timeout)


@scenario
def attach_and_report(run):
    """Attach and first report, silence while unchanged, one report per change, 0 ignored."""
    listen = run.listen()
    probe = run.probe(cpu=47, mb=38)
    relay = run.relay()
    listen.wait_count(1, START)
    expect(probe.clicks() == CLICKS, "clicks were %r" % probe.clicks())
    time.sleep(4 * TICK)
    expect(listen.texts() == [report(" CPU:47 MB:38")], "got %r" % listen.texts())

    changed = probe.set("cpu 48")
    arrived = listen.wait_count(2, CHANGE)[1][0]
    print("    change to datagram: %.2f s" % (arrived - changed))
    time.sleep(3 * TICK)
    probe.set("mbtext    0 C")  # 0 is never taken as a reading
    time.sleep(3 * TICK)
    probe.set("mbtext -5.5 C")
    listen.wait_count(3, CHANGE)
    time.sleep(2 * TICK)
    expect(listen.texts() == [report(" CPU:47 MB:38"), report(" CPU:48 MB:38"),
                              report(" CPU:48 MB:-5")], "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")
    expect(probe.clicks() == CLICKS, "clicked again while attached: %r" % probe.clicks())


@scenario
def monitor_restart(run):
    """The monitor closed (detach, no reports) and started again (reattach, values reset)."""
    listen = run.listen()
    probe = run.probe(cpu=47, mb=38)
    relay = run.relay(".")
    listen.wait_count(1, START)
    probe.quit()
    time.sleep(4 * TICK)
    expect(relay.running(), "relay ended when the monitor closed")
    expect(len(listen.texts()) == 1, "reports without a monitor: %r" % listen.texts())
    again = run.probe(cpu=47, mb=38)
    wait_attached(again)
    listen.wait_count(2, START)
    expect(listen.texts() == [report(". CPU:47 MB:38")] * 2, "got %r" % listen.texts())
    expect(again.clicks() == CLICKS, "clicks were %r" % again.clicks())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def toggle(run):
    """A second start stops the running copy; its own word has no effect; both exit 0."""
    listen = run.listen()
    probe = run.probe()
    relay = run.relay(".")
    listen.wait_count(1, START)
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")
    probe.set("cpu 60")
    time.sleep(3 * TICK)
    expect(listen.texts() == [report(". CPU:47 MB:38")], "got %r" % listen.texts())
    # With nothing running, a start runs again rather than stopping anything.
    relay = run.relay()
    listen.wait_count(2, START)
    expect(listen.texts()[1] == report(" CPU:60 MB:38"), "got %r" % listen.texts())
    expect(relay.running(), "relay ended by itself")
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def extra_words(run):
    """Only the first word of the command tail counts."""
    listen = run.listen()
    run.probe(cpu=51, mb=40)
    relay = run.relay(".", "PC02", "more words")
    listen.wait_count(1, START)
    expect(listen.texts() == [report(". CPU:51 MB:40")], "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def unreachable_remote(run):
    """A remote target that cannot be reached: nothing arrives, the relay keeps running."""
    listen = run.listen()
    probe = run.probe()
    relay = run.relay("NOSUCHHOST-VARDEX")
    wait_attached(probe)
    for value in (61, 62, 63):
        probe.set("cpu %d" % value)
        time.sleep(1.5 * TICK)
    expect(relay.running(), "relay ended")
    expect(listen.texts() == [], "local reports for a remote target: %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def overlong_word(run):
    """A 73-character word ends the start with 1 and creates nothing; 72 characters run."""
    probe = run.probe()
    code = run.relay("N" * 73).wait_exit(15)
    expect(code == 1, "a 73-character word exited with %r" % code)
    time.sleep(3 * TICK)
    expect(probe.clicks() == [], "a refused start polled the monitor")
    relay = run.relay("N" * 72)
    wait_attached(probe)
    time.sleep(2 * TICK)
    expect(relay.running(), "a 72-character word did not keep running")
    # The running-copy check comes first: an over-long second start still stops the first.
    stopper = run.relay("N" * 300)
    expect(stopper.wait_exit(15) == 0, "an over-long second start did not exit 0")
    expect(relay.wait_exit(10) == 0, "the running copy did not exit 0")


@scenario
def owner_absent_then_present(run):
    """Reports to a mailslot that does not exist are dropped; nothing is replayed later."""
    probe = run.probe()
    relay = run.relay()
    wait_attached(probe)
    time.sleep(2 * TICK)
    probe.set("cpu 70")
    time.sleep(2 * TICK)
    listen = run.listen()
    time.sleep(3.5 * TICK)
    expect(listen.texts() == [], "replayed: %r" % listen.texts())
    probe.set("cpu 71")
    listen.wait_count(1, CHANGE)
    time.sleep(2 * TICK)
    expect(listen.texts() == [report(" CPU:71 MB:38")], "got %r" % listen.texts())
    expect(relay.running(), "relay ended")
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def relocated_load(run):
    """The relay loaded away from its preferred address (its relocations applied by the loader)
    attaches, reports and stops like the relay loaded where it asks to be."""
    listen = run.listen()
    probe = run.probe(cpu=52, mb=41)
    windows_path = "Z:" + exe("vardex", run.arch).replace("/", "\\")
    path = os.path.join(ROOT, "build", run.arch, "soak-helper-%s.exe" % run.arch)
    relay = run.add(Program(path, [".", "relocated", windows_path], stdin=False))
    _, _, moved = relay.wait_line(r"^relocated (0x[0-9a-f]+) to (0x[0-9a-f]+)$", START)
    print("    " + moved.group(0))
    expect(moved.group(1) != moved.group(2), "the loader did not have to move it")
    listen.wait_count(1, START)
    probe.set("cpu 53")
    listen.wait_count(2, CHANGE)
    expect(listen.texts() == [report(". CPU:52 MB:41"), report(". CPU:53 MB:41")],
           "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


def run_scenarios(scenarios, names, arch, run_class=None):
    """Runs the named scenarios (all when none is named), each with its own processes."""
    passed = failed = 0
    for name in names or list(scenarios):
        run = (run_class or Run)(arch)
        began = time.monotonic()
        try:
            scenarios[name](run)
            passed += 1
            print("PASS %s (%.0f s)" % (name, time.monotonic() - began))
        except Failure as e:
            failed += 1
            print("FAIL %s: %s" % (name, e))
        except Exception as e:  # anything unforeseen is a failed check too, in one line
            failed += 1
            print("FAIL %s: unexpected %s: %s" % (name, type(e).__name__, e))
        finally:
            run.close()
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def main(argv, scenarios=None, run_class=None):
    """The command line of a scenario script: --list, or [--arch x86|x64] SCENARIO..."""
    scenarios = SCENARIOS if scenarios is None else scenarios
    if argv == ["--list"]:
        print("\n".join(scenarios))
        return 0
    arch = "x86"
    if argv[:1] == ["--arch"] and len(argv) > 1:
        arch, argv = argv[1], argv[2:]
    if arch == "x86":
        runs, why = wine_runner.runs_32bit()
        if not runs:
            print("SKIPPED: the 32-bit lane cannot run here: %s" % why)
            return wine_runner.SKIP
    return run_scenarios(scenarios, argv, arch, run_class)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
