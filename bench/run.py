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
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_e2e as e2e  # noqa: E402
from wine_e2e import wine_runner  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests"))
import pe_check  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "bridge", "tests"))
import bridge_e2e  # noqa: E402
BRIDGE_CHANGES = int(os.environ.get("VARDEX_BENCH_BRIDGE_CHANGES", "100"))

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


def bridge_latency(arch, tls=False):
    """Datagram into PC 1's mailslot to mosquitto_sub's output and to PC 2's slot-listen: the
    soak helper writes each report as the relay would and says when it has."""
    wine_runner.start_pc(2)
    run_ = bridge_e2e.BridgeRun(arch)
    try:
        broker = run_.broker(tls)
        sub = run_.subscribe(broker, "vardex/PC01/report")
        far = run_.listen(pc=2)
        run_.bridge("deliver", broker, "--name", "PC02", pc=2,
                    broker_options=broker_options(broker, tls)).wait_line(r"connected to ", 30)
        run_.bridge("publish", broker, "--name", "PC01", "--discovery", "off",
                    broker_options=broker_options(broker, tls)).wait_line(r"connected to ", 30)
        time.sleep(1)
        writer = run_.add(e2e.Program(os.path.join(ROOT, "build", arch, "soak-helper-%s.exe" % arch),
                                      ["pipe"]))
        to_broker, to_far = [], []
        for i in range(BRIDGE_CHANGES):
            text = "PC01 CPU:%d MB:38" % (100 + i)
            mark = len(writer.lines)
            # From the moment the line goes to the helper: its "sent" may be read after the
            # report has already arrived.
            sent = time.monotonic()
            writer.send(text)
            writer.wait_line(r"^sent$", 10, mark)
            to_broker.append(sub.wait_for("vardex/PC01/report", e2e.report(text), 10, sent) - sent)
            to_far.append(far.wait_count(i + 1, 10)[i][0] - sent)
            time.sleep(0.2)
        return to_broker, to_far
    finally:
        run_.close()


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


class TimingRelay:
    """A TCP relay in front of the broker that notes when each connection is accepted."""

    def __init__(self, port):
        self.target = port
        self.accepted = []
        self.listener = bridge_e2e.serve_loopback(self._relay)
        self.port = self.listener.getsockname()[1]

    def _relay(self, client):
        self.accepted.append(time.monotonic())
        server = socket.create_connection(("127.0.0.1", self.target))
        threading.Thread(target=self._pump, args=(server, client), daemon=True).start()
        self._pump(client, server)

    @staticmethod
    def _pump(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.listener.close()


def connect_times(arch, tls, count=20):
    """The broker's side accepting the TCP connection to the bridge's "connected" line (its
    CONNACK), for count fresh processes: each the first connect of its process."""
    run_ = bridge_e2e.BridgeRun(arch)
    try:
        broker = run_.broker(tls)
        relay = TimingRelay(broker.tls_port if tls else broker.port)
        run_.add(relay.close)
        options = (["--broker", "localhost:%d" % relay.port, "--tls", "--cafile",
                    bridge_e2e.windows_path(broker.file("ca.crt"))] if tls else
                   ["--broker", "127.0.0.1:%d" % relay.port])
        times = []
        for i in range(count):
            program = run_.bridge("deliver", broker, "--name", "PC%02d" % i,
                                  broker_options=options)
            _, at, _ = program.wait_line(r"connected to ", 30)
            times.append(at - relay.accepted[-1])
            program.kill()
        return times
    finally:
        run_.close()


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

        to_broker, to_far = bridge_latency(arch)
        out("## The bridge under Wine (%s): latency" % arch)
        out("")
        out("From a report handed to the helper that writes it into PC 1's mailslot (as the relay "
            "writes it) to its arrival, "
            "over %d reports; PC 1 and PC 2 are two Wine prefixes, the broker a private mosquitto "
            "on loopback." % len(to_broker))
        out("")
        out("| to | median | maximum | minimum |")
        out("|---|---|---|---|")
        for label, values in (("mosquitto_sub on the broker", to_broker),
                              ("slot-listen on PC 2 (publish, broker, deliver)", to_far)):
            out("| %s | %.1f ms | %.1f ms | %.1f ms |" % (
                label, 1000 * statistics.median(values), 1000 * max(values), 1000 * min(values)))
        to_broker_tls, to_far_tls = bridge_latency(arch, tls=True)
        for label, values in (("over TLS: mosquitto_sub on the broker", to_broker_tls),
                              ("over TLS: slot-listen on PC 2", to_far_tls)):
            out("| %s | %.1f ms | %.1f ms | %.1f ms |" % (
                label, 1000 * statistics.median(values), 1000 * max(values), 1000 * min(values)))
        out("")
        out("## The bridge under Wine (%s): connect to CONNACK, 20 fresh processes" % arch)
        out("")
        out("From the broker's side accepting the TCP connection (a relay in front of mosquitto "
            "notes it) to the bridge's \"connected\" line, which follows the CONNACK. Each is "
            "the first connect of its process, so the TLS figures include Windows' certificate "
            "code loading its roots.")
        out("")
        out("| connection | median | maximum | minimum |")
        out("|---|---|---|---|")
        for label, tls in (("plain MQTT", False), ("MQTT over TLS 1.2", True)):
            values = connect_times(arch, tls)
            out("| %s | %.1f ms | %.1f ms | %.1f ms |" % (
                label, 1000 * statistics.median(values), 1000 * max(values), 1000 * min(values)))
        out("")
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
