#!/usr/bin/env python3
"""Measures the relay and prints a table; also writes it to docs/performance.md.

Figures, not tests: nothing here fails on speed. Needs make dist and the bench preset built
(make bench does both), valgrind, and Wine. The Wine figures are for the 32-bit relay where
32-bit programs run, else for the 64-bit one; the tables say which.
"""
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_e2e as e2e  # noqa: E402
from wine_e2e import wine_runner  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests"))
import pe_check  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "bridge", "tests"))
import bridge_e2e  # noqa: E402
import bridge_figures  # noqa: E402

DRIVER = os.path.join(ROOT, "build", "bench", "bench", "bench_ops_tick")
OBJDUMP = "x86_64-w64-mingw32-objdump"
CPU_SECONDS = float(os.environ.get("VARDEX_BENCH_SECONDS", "60"))
CHANGES = int(os.environ.get("VARDEX_BENCH_CHANGES", "25"))


NOTES = [
    "- The CPU ratio is the relay's CPU time over the bare timer program's in the same run; both",
    "  are a few milliseconds a minute, so the ratio moves between runs (1.1 to 1.5 has been",
    "  seen). Resident memory is Wine's own almost entirely: the relay adds nothing measurable.",
    "- Latency is from the stand-in confirming a new text to slot-listen printing the datagram: a",
    "  change waits for the next tick, so it is spread over up to one second, as expected.",
    "- The core's instruction counts leave out the fakes it calls; the other column is the whole",
    "  tick as the benchmark driver runs it, fakes included.",
    "- What the release layout cost when it was added, in 512-byte blocks, from 4096 (x86) and",
    "  4608 (x64) bytes: separating initialised from uninitialised data nothing; relocations with",
    "  the hardening flags two (the .reloc block, and a second header block once a fourth section",
    "  header no longer fits beside the linker's DOS stub); full version information one (the",
    "  resources pass 512 bytes); x64 unwind data two (the .pdata block, and an eighth code block",
    "  for the unwind codes).",
    "- The bridge's latency runs from handing a report to the soak helper, which writes it into PC",
    "  1's mailslot as the relay would, to mosquitto_sub, or PC 2's slot-listen, printing it, as",
    "  this script reads them: the pipes and Python's reading add a little to every figure.",
    "- The tail table cuts each report at the kernel's times of its TCP segments on loopback, read",
    "  by a packet socket beside the path: PC 1's part ends when publish's PUBLISH is on loopback,",
    "  free of this script's scheduling. The control row is the same helper and mailslot read by",
    "  slot-listen, with no bridge, measured before the bridges start.",
    "- Idle, each role waits in the kernel; what CPU time it takes is one keepalive ping every",
    "  30 seconds and Wine's own housekeeping.",
]


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, check=True, **kw).stdout


def operations_per_tick():
    rows = []
    for line in run([DRIVER, "counts"]).splitlines():
        state, count = line.split("\t")
        rows.append((state, count))
    return rows


def callgrind_cost(mode, ticks):
    out = "/tmp/vardex-callgrind.%d.out" % os.getpid()
    run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, DRIVER, mode, str(ticks)])
    text = run(["callgrind_annotate", "--auto=no", "--threshold=100", out])
    os.unlink(out)
    total = core = 0
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$", line)
        if not m:
            continue
        cost = int(m.group(1).replace(",", ""))
        where = m.group(2)
        if "PROGRAM TOTALS" in where:
            total = cost
        elif re.match(r"(\S*/)?core/", where):
            core += cost
    return total, core


def instructions_per_tick(mode, ticks=20000):
    total_n, core_n = callgrind_cost(mode, ticks)
    total_0, core_0 = callgrind_cost(mode, 0)
    return (core_n - core_0) / ticks, (total_n - total_0) / ticks


def cpu_ns(pid):
    total = 0
    task = "/proc/%d/task" % pid
    for tid in os.listdir(task):
        try:
            with open(os.path.join(task, tid, "schedstat")) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def wine_cpu_and_memory(arch):
    run_ = e2e.Run(arch)
    try:
        run_.listen()
        probe = run_.probe()
        relay = run_.relay()
        bare = run_.add(e2e.Program(
            os.path.join(ROOT, "build", arch, "bare-timer-%s.exe" % arch), stdin=False))
        e2e.wait_attached(probe)
        time.sleep(3)
        pids = (relay.process.pid, bare.process.pid)
        before = [cpu_ns(p) for p in pids]
        time.sleep(CPU_SECONDS)
        after = [cpu_ns(p) for p in pids]
        memory = [rss_kib(p) for p in pids]
        expect_running = relay.running() and bare.running()
        run_.stop_relay(relay)
        return [(a - b) / 1e6 for a, b in zip(after, before)], memory, expect_running
    finally:
        run_.close()


def wine_latency(arch):
    run_ = e2e.Run(arch)
    try:
        listen = run_.listen()
        probe = run_.probe(cpu=30)
        relay = run_.relay()
        listen.wait_count(1, e2e.START)
        latencies = []
        rng = random.Random(7)
        for i in range(CHANGES):
            time.sleep(rng.uniform(0.2, 2.2))
            count = len(listen.datagrams())
            changed = probe.set("cpu %d" % (31 + i))
            arrived = listen.wait_count(count + 1, e2e.CHANGE)[count][0]
            latencies.append(arrived - changed)
        run_.stop_relay(relay)
        return latencies
    finally:
        run_.close()


def broker_options(broker, tls):
    return broker.tls_options() if tls else None


def bridge_idle_cpu(arch, tls=False):
    """CPU time of each role, connected and idle, over CPU_SECONDS."""
    run_ = bridge_e2e.BridgeRun(arch)
    try:
        broker = run_.broker(tls)
        programs = [run_.bridge(role, broker, "--name", "PC01",
                                broker_options=broker_options(broker, tls))
                    for role in ("publish", "deliver")]
        for p in programs:
            p.wait_line(r"connected to ", 30)
        time.sleep(2)
        before = [cpu_ns(p.process.pid) for p in programs]
        time.sleep(CPU_SECONDS)
        after = [cpu_ns(p.process.pid) for p in programs]
        memory = [rss_kib(p.process.pid) for p in programs]
        return [(a - b) / 1e6 for a, b in zip(after, before)], memory
    finally:
        run_.close()


def bridge_tables(arch, out):
    figures = {mode: bridge_figures.bridge_latency(arch, mode, control=mode == "plain")
               for mode, _ in bridge_figures.MODES}
    ms = bridge_figures.ms
    out("## The bridge under Wine (%s): latency, %d reports" % (arch, bridge_figures.REPORTS))
    out("")
    out("From a report handed to the helper that writes it into PC 1's mailslot (as the relay "
        "writes it) to its arrival; PC 1 and PC 2 are two Wine prefixes, the broker a private "
        "mosquitto on loopback.")
    out("")
    out("| connection | to | median | 99th percentile | maximum |")
    out("|---|---|---|---|---|")
    for mode, label in bridge_figures.MODES:
        out("| %s | mosquitto_sub on the broker | %s |" % (label, ms(figures[mode]["broker"])))
        out("| %s | slot-listen on PC 2 (publish, broker, deliver) | %s |" % (
            label, ms(figures[mode]["far"])))
    out("")
    out("## Where the tail comes from")
    out("")
    out("The same reports cut at the kernel's times of their segments on loopback (a packet "
        "socket, not a relay: nothing is added to the path). Each cell: median / 99th "
        "percentile / maximum.")
    out("")
    out("| part | %s |" % " | ".join(label for _, label in bridge_figures.MODES))
    out("|---|---|---|---|")
    rows = [("control, no bridge: the helper's write to slot-listen's line on PC 1", "control")]
    rows += [(label, key) for key, label in bridge_figures.PARTS]
    rows.append(("this script reading a segment after the kernel had it", "script"))
    for label, key in rows:
        out("| %s | %s |" % (label, " | ".join(
            ms(figures[m][key]).replace(" | ", " / ") if figures[m][key] else "" for m, _ in
            bridge_figures.MODES)))
    out("")
    names = {"pc1": "PC 1", "mosquitto": "mosquitto", "pc2": "PC 2"}
    for mode, label in bridge_figures.MODES:
        count, stolen, all_stolen, held = bridge_figures.slowest(figures[mode])
        out("- %s, the slowest %d to PC 2: the part furthest above its median was %s; the "
            "hypervisor took CPU time (steal in /proc/stat) during %d of them, and during %d of "
            "all %d." % (label, count, ", ".join("%s in %d" % (names[k], n) for k, n in
                                                 held.items()), stolen, all_stolen,
                         len(figures[mode]["far"])))
    control, stolen = figures["plain"]["control"], figures["plain"]["control_steal"]
    slow = [i for i, v in enumerate(control) if v > 0.010]
    out("- The control: %d of %d over 10 ms; the hypervisor took CPU time during %d of them, "
        "and during %d of all." % (len(slow), len(control), sum(1 for i in slow if stolen[i] > 0),
                                   sum(1 for v in stolen if v > 0)))
    out("")
    out("## The bridge under Wine (%s): connect to CONNACK" % arch)
    out("")
    out("From the broker's side accepting the TCP connection (a relay in front of mosquitto "
        "notes it) to the bridge's \"connected\" line, which follows the CONNACK: the first "
        "connect of each of %d fresh processes, which includes Windows' certificate code "
        "loading its roots, and two reconnects of each after the relay dropped the connection."
        % bridge_figures.CONNECTS)
    out("")
    out("| connection | first connect: median | 99th percentile | maximum | reconnect: median "
        "| 99th percentile | maximum |")
    out("|---|---|---|---|---|---|---|")
    for mode, label in bridge_figures.MODES:
        first, again = bridge_figures.connect_times(arch, mode)
        out("| %s | %s | %s |" % (label, ms(first), ms(again)))
    out("")


def relay_path(arch):
    return os.path.join(ROOT, "dist", "vardex-%s.exe" % arch)


def imports_of(path):
    text = run([OBJDUMP, "-p", path])
    dlls = re.findall(r"DLL Name: (\S+)", text)
    functions = len(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+\w+$", text, re.M))
    return dlls, functions


def default_builds():
    """The same sources built with MinGW's defaults (C runtime start-up, -O2), plain and stripped."""
    sources = [os.path.join(ROOT, s) for s in (
        "app/crt_entry.cpp", "app/relay_main.cpp", "platform/win32/win32_platform.cpp",
        "platform/win32/win32_mailslot_client.cpp",
        "core/relay_state.cpp", "core/reading.cpp", "core/poll_cycle.cpp")]
    out = []
    folder = tempfile.mkdtemp(prefix="vardex-bench-builds-")
    for name, extra in (("default", []), ("default, stripped", ["-s"])):
        exe = os.path.join(folder, "vardex-%s.exe" % name.replace(", ", "-"))
        run(["i686-w64-mingw32-g++-posix", "-O2", "-I", ROOT, "-mwindows", "-o", exe] + sources
            + extra)
        out.append((name, exe))
    return out


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    wine = run([wine_runner.LOADER64, "--version"]).strip()
    return "%s, %d cores, %s, %s" % (model, os.cpu_count(), wine, time.strftime("%Y-%m-%d"))


def main():
    lines = ["# Performance", "", "Measured by `make bench` on %s." % machine(), ""]

    def out(line=""):
        print(line)
        lines.append(line)

    out("## Platform operations per tick")
    out("")
    out("Window and mailslot operations the core makes, counted by the test doubles (text "
        "formatting not counted).")
    out("")
    out("| state | operations |")
    out("|---|---|")
    for state, count in operations_per_tick():
        out("| %s | %s |" % (state, count))
    out("")

    out("## Instructions per attached tick (host, callgrind)")
    out("")
    out("| tick | the core's own instructions | the whole tick, fakes and driver included |")
    out("|---|---|---|")
    for mode, label in (("unchanged", "attached, unchanged"), ("changed", "attached, a change and a report")):
        core, total = instructions_per_tick(mode)
        out("| %s | %.0f | %.0f |" % (label, core, total))
    out("")

    # The bench's own Wine folder: another run on this machine never meets it.
    os.environ["VARDEX_WINE_RUN"] = tempfile.mkdtemp(prefix="vardex-bench-")
    try:
        wine_runner.setup(2)
        arch = wine_runner.lane()
        cpu, memory, alive = wine_cpu_and_memory(arch)
        out("## CPU and memory under Wine (%s relay, %.0f s attached)" % (arch, CPU_SECONDS))
        out("")
        out("CPU time from the Wine processes' schedstat, resident memory from VmRSS, both "
            "programs measured side by side in the same run. The %s programs were measured: "
            "%s." % (arch, wine_runner.runs_32bit()[1]))
        out("")
        out("| program | CPU time | resident memory |")
        out("|---|---|---|")
        out("| vardex-%s.exe, attached | %.1f ms | %d KiB |" % (arch, cpu[0], memory[0]))
        out("| bare 1000 ms timer and loop | %.1f ms | %d KiB |" % (cpu[1], memory[1]))
        ratio = cpu[0] / cpu[1] if cpu[1] else float("nan")
        out("| ratio (relay / bare) | %.2f | %.2f |" % (ratio, memory[0] / memory[1] if memory[1] else 0))
        if not alive:
            out("")
            out("(a program ended during the measurement)")
        out("")

        latencies = wine_latency(arch)
        out("## Latency under Wine (%s relay): reading change to datagram" % arch)
        out("")
        out("| changes | median | maximum | minimum |")
        out("|---|---|---|---|")
        out("| %d | %.0f ms | %.0f ms | %.0f ms |" % (
            len(latencies), 1000 * statistics.median(latencies), 1000 * max(latencies),
            1000 * min(latencies)))
        out("")

        bridge_tables(arch, out)
        out("## The bridge under Wine (%s): idle, connected, %.0f s" % (arch, CPU_SECONDS))
        out("")
        out("| role | CPU time | per minute | resident memory |")
        out("|---|---|---|---|")
        for tls in (False, True):
            cpu, memory = bridge_idle_cpu(arch, tls)
            for role, ms, kib in zip(("publish", "deliver"), cpu, memory):
                out("| %s%s | %.1f ms | %.1f ms | %d KiB |" % (
                    role, " over TLS" if tls else "", ms, ms * 60 / CPU_SECONDS, kib))
        out("")
    finally:
        wine_runner.cleanup()

    out("## Executable size and imports")
    out("")
    out("| build | bytes | DLLs imported | functions imported |")
    out("|---|---|---|---|")
    defaults = default_builds()
    for name, path in [(n, os.path.join(ROOT, "dist", n)) for n in (
            "vardex-x86.exe", "vardex-x64.exe", "vardex-bridge-x86.exe",
            "vardex-bridge-x64.exe")] + [
            ("same sources, MinGW %s (x86)" % n, p) for n, p in defaults]:
        dlls, functions = imports_of(path)
        out("| %s | %d | %s | %d |" % (name, os.path.getsize(path), ", ".join(dlls), functions))
    shutil.rmtree(os.path.dirname(defaults[0][1]), ignore_errors=True)
    out("")

    out("## Where the relay's bytes go")
    out("")
    out("Each section takes whole blocks of 512 bytes in the file; the headers take %s." % (
        ", ".join("%d bytes in %s" % (pe_check.load(relay_path(a)).OPTIONAL_HEADER.SizeOfHeaders, a)
                  for a in ("x86", "x64"))))
    out("")
    out("| program | section | holds | content bytes | file bytes |")
    out("|---|---|---|---|---|")
    holds = {".text": "code, constants, import tables (and x64 unwind codes)",
             ".pdata": "x64 function table", ".bss": "the state record (no file bytes)",
             ".rsrc": "version information", ".reloc": "relocations"}
    for arch in ("x86", "x64"):
        for name, vsize, rsize in pe_check.sections(relay_path(arch)):
            out("| vardex-%s.exe | %s | %s | %d | %d |" % (arch, name, holds.get(name, ""), vsize, rsize))
    out("")

    out("## Notes")
    out("")
    for note in NOTES:
        out(note)
    out("")

    os.makedirs(os.path.join(ROOT, "docs"), exist_ok=True)
    with open(os.path.join(ROOT, "docs", "performance.md"), "w") as f:
        f.write("\n".join(lines))
    print("written to docs/performance.md")


if __name__ == "__main__":
    main()
