"""The bridge's figures under Wine: latency, where its tail comes from, and connect times; run.py
writes them into its tables."""
import math
import os
import random
import socket
import statistics
import struct
import threading
import time

import wine_e2e as e2e
from wine_e2e import wine_runner
import bridge_e2e

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPORTS = int(os.environ.get("VARDEX_BENCH_BRIDGE_CHANGES", "1000"))
CONNECTS = int(os.environ.get("VARDEX_BENCH_BRIDGE_CONNECTS", "20"))
MODES = (("plain", "plain MQTT"), ("tls", "TLS 1.2"), ("mutual", "TLS 1.2, client certificate"))
# The first reports through a fresh program meet code and pages not yet touched: not counted.
WARM_UP = 5
SO_TIMESTAMPNS = 35  # Linux's; Python's socket module does not name it


def ms(values):
    """Median, 99th percentile (nearest rank) and maximum, in milliseconds."""
    ordered = sorted(v for v in values if v is not None)
    p99 = ordered[max(0, math.ceil(0.99 * len(ordered)) - 1)]
    return "%.1f ms | %.1f ms | %.1f ms" % (
        1000 * statistics.median(ordered), 1000 * p99, 1000 * ordered[-1])


class TimingRelay:
    """A TCP relay in front of the broker that notes when each connection is accepted;
    drop() ends every connection, for the bridge to make another."""

    def __init__(self, port):
        self.target = port
        self.accepted = []
        self.open = []
        self.listener = bridge_e2e.serve_loopback(self._relay)
        self.port = self.listener.getsockname()[1]

    def _relay(self, client):
        self.accepted.append(time.monotonic())
        server = socket.create_connection(("127.0.0.1", self.target))
        self.open.append((client, server))
        threading.Thread(target=self._pump, args=(server, client), daemon=True).start()
        self._pump(client, server)

    def _pump(self, source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        self._close(source, sink)

    @staticmethod
    def _close(*sockets):
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def drop(self):
        for pair in self.open:
            self._close(*pair)
        self.open = []

    def close(self):
        self.listener.close()


def listener(broker, mode):
    """The broker's port for a mode."""
    return {"plain": broker.port, "tls": getattr(broker, "tls_port", 0),
            "mutual": getattr(broker, "mutual_port", 0)}[mode]


def options(broker, mode, pc, port=None):
    """The bridge's broker options for a mode; with a client certificate each PC has its own."""
    if mode == "plain":
        return ["--broker", "127.0.0.1:%d" % (port or broker.port)]
    if mode == "tls":
        return broker.tls_options(port=port)
    return bridge_e2e.mutual_options(broker, "pc%02d" % pc, port=port)


def steal():
    """CPU time the hypervisor gave to others, in seconds, summed over this machine's cores."""
    with open("/proc/stat") as f:
        return int(f.readline().split()[8]) / os.sysconf("SC_CLK_TCK")


def pacing():
    # Spread unevenly, so nothing periodic (keepalive, Wine's timers) lines up with the reports.
    rng = random.Random(7)
    return lambda: time.sleep(rng.uniform(0.05, 0.15))


def control_latency(run_, writer):
    """The same helper writing into PC 1's mailslot with slot-listen reading it: the Wine and
    script path of every report without the bridge."""
    listen = run_.listen()
    pause, out, stolen = pacing(), [], []
    for i in range(-WARM_UP, REPORTS):
        mark = len(listen.lines)
        before = steal()
        sent = time.monotonic()
        writer.send("PC01 CPU:%d MB:38" % (100 + i))
        arrived = listen.wait_line(r" bytes ", 10, mark)[1]
        if i >= 0:
            out.append(arrived - sent)
            stolen.append(steal() - before)
        pause()
    listen.kill()
    return out, stolen


class LoopbackCapture:
    """Every TCP segment on loopback to or from some ports, stamped by the kernel as it passed:
    times that neither this script's threads nor anything in the path can bend. Needs root."""

    def __init__(self, ports):
        self.ports = set(ports)
        # (kernel's time, this script's read, source port, destination port, SYN alone, payload)
        self.segments = []
        self.offset = time.time() - time.monotonic()
        self.socket = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.socket.bind(("lo", 0x0800))
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                # The headers are enough: the IP header gives the whole length.
                packet, ancillary, _, _ = self.socket.recvmsg(128, socket.CMSG_SPACE(16))
            except OSError:
                return
            if len(packet) < 40 or packet[9] != 6:
                continue
            ip = (packet[0] & 15) * 4
            total = struct.unpack_from("!H", packet, 2)[0]
            source, destination = struct.unpack_from("!HH", packet, ip)
            if source not in self.ports and destination not in self.ports:
                continue
            tcp = (packet[ip + 12] >> 4) * 4
            stamp = read = time.monotonic()
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", value[:16])
                    stamp = seconds + nanoseconds / 1e9 - self.offset
            self.segments.append((stamp, read, source, destination,
                                  packet[ip + 13] & 0x12 == 0x02, total - ip - tcp))

    def mark(self):
        return len(self.segments)

    def client_port(self, port, mark):
        """The port of the first connection to port opened after mark."""
        return next(s[2] for s in self.segments[mark:] if s[4] and s[3] == port)

    def data(self, source, destination, after, least=33):
        """The first segment from source to destination after a moment with at least least
        bytes of payload (a report, not a keepalive ping: 31 bytes over TLS), as its kernel
        time and this script's read of it. This script's thread may not have read it yet, and
        segments sent on different cores may reach it out of order."""
        deadline = time.monotonic() + 2
        while True:
            found = [s[:2] for s in list(self.segments) if s[0] >= after and s[2] == source
                     and s[3] == destination and s[5] >= least]
            if found or time.monotonic() > deadline:
                return min(found) if found else (None, None)
            time.sleep(0.001)

    def close(self):
        self.socket.close()


def local_port(pid, remote):
    """The local port of a Linux process's TCP connection to a port on this machine."""
    sockets = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        if link.startswith("socket:["):
            sockets.add(int(link[8:-1]))
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[9]) in sockets and int(fields[2].split(":")[1], 16) == remote:
                return int(fields[1].split(":")[1], 16)
    return None


# What each report's time is made of, in the order it passes, for the table of the tail.
PARTS = (("pc1", "PC 1: the helper's write to publish's PUBLISH on loopback"),
         ("mosquitto", "mosquitto: that PUBLISH to its copy for deliver"),
         ("pc2", "PC 2: that copy to slot-listen's line in this script"),
         ("sub", "mosquitto_sub: the broker's copy for it to its line in this script"))


def slowest(figures, share=0.01):
    """The slowest share of reports to PC 2: how many, in how many of them and of all the
    hypervisor took CPU time, and, by part, in how many that part was the furthest above its
    own median."""
    count = max(1, int(len(figures["far"]) * share))
    worst = sorted(range(len(figures["far"])), key=lambda i: -figures["far"][i])[:count]
    # The parts on the way to PC 2; mosquitto_sub's is a branch beside it.
    medians = {k: statistics.median(v for v in figures[k] if v is not None)
               for k in ("pc1", "mosquitto", "pc2") if any(v is not None for v in figures[k])}
    held = dict.fromkeys(medians, 0)
    for i in worst:
        excess = {k: figures[k][i] - medians[k] for k in medians if figures[k][i] is not None}
        if excess:
            held[max(excess, key=excess.get)] += 1
    stolen = [i for i, v in enumerate(figures["steal"]) if v > 0]
    return count, len(set(stolen) & set(worst)), len(stolen), held


def bridge_latency(arch, mode, control=False):
    """Reports written into PC 1's mailslot, as the relay writes them, by the soak helper; their
    arrival at mosquitto_sub and at PC 2's slot-listen, and the parts of the way between, from
    the kernel's times of the segments on loopback. Returns lists of seconds by name."""
    wine_runner.start_pc(2)
    run_ = bridge_e2e.BridgeRun(arch)
    try:
        broker = run_.broker(mode != "plain")
        port = listener(broker, mode)
        try:
            capture = LoopbackCapture((broker.port, port))
            run_.add(capture.close)
        except PermissionError:
            capture = None  # not root: the totals only
        sub = run_.subscribe(broker, "vardex/PC01/report")
        sub_port = local_port(sub.process.pid, broker.port)
        far = run_.listen(pc=2)
        writer = run_.add(e2e.Program(
            os.path.join(ROOT, "build", arch, "soak-helper-%s.exe" % arch), ["pipe"]))
        figures = dict(zip(("control", "control_steal"),
                           control_latency(run_, writer) if control else ([], [])))
        ports = []
        for role, pc in (("deliver", 2), ("publish", 1)):
            mark = capture.mark() if capture else 0
            extra = ("--discovery", "off") if role == "publish" else ()
            run_.bridge(role, broker, "--name", "PC%02d" % pc, *extra, pc=pc,
                        password=mode != "mutual",
                        broker_options=options(broker, mode, pc)).wait_line(r"connected to ", 30)
            ports.append(capture.client_port(port, mark) if capture else 0)
        deliver_port, publish_port = ports
        time.sleep(1)
        for key in ("broker", "far", "steal", "script") + tuple(k for k, _ in PARTS):
            figures[key] = []
        pause = pacing()
        for i in range(-WARM_UP, REPORTS):
            text = "PC01 CPU:%d MB:38" % (100 + i)
            hexed = e2e.report(text).hex()
            marks = len(sub.lines), len(far.lines)
            before = steal()
            # From the moment the line goes to the helper: its "sent" may be read after the
            # report has already arrived.
            sent = time.monotonic()
            writer.send(text)
            at_broker = sub.wait_line(r"^0 vardex/PC01/report %s$" % hexed, 10, marks[0])[1]
            at_far = far.wait_line(r" bytes ", 10, marks[1])[1]
            if i < 0:
                continue
            figures["broker"].append(at_broker - sent)
            figures["far"].append(at_far - sent)
            figures["steal"].append(steal() - before)
            out, read = capture.data(publish_port, port, sent) if capture else (None, None)
            to_deliver = out and capture.data(port, deliver_port, out)[0]
            to_sub = out and capture.data(broker.port, sub_port, out)[0]
            # A report the capture missed keeps its place, as None, so the lists stay aligned.
            parts = {"pc1": out - sent, "mosquitto": to_deliver - out, "pc2": at_far - to_deliver,
                     "sub": at_broker - to_sub, "script": read - out} if (
                         out and to_deliver and to_sub) else {}
            for key in ("pc1", "mosquitto", "pc2", "sub", "script"):
                figures[key].append(parts.get(key))
            pause()
        return figures
    finally:
        run_.close()


def connect_times(arch, mode):
    """From the broker's side accepting the TCP connection to the bridge's "connected" line (its
    CONNACK): the first connect of each of CONNECTS fresh processes, and two reconnects of each
    after the relay in front of the broker dropped it."""
    run_ = bridge_e2e.BridgeRun(arch)
    try:
        broker = run_.broker(mode != "plain")
        relay = TimingRelay(listener(broker, mode))
        run_.add(relay.close)
        first, again = [], []
        for i in range(CONNECTS):
            program = run_.bridge("deliver", broker, "--name", "PC%02d" % i,
                                  password=mode != "mutual",
                                  broker_options=options(broker, mode, 1, relay.port))
            mark = 0
            for times in (first, again, again):
                mark, at, _ = program.wait_line(r"connected to ", 30, mark)
                times.append(at - relay.accepted[-1])
                mark += 1
                relay.drop()
            program.kill()
        return first, again
    finally:
        run_.close()

