#!/usr/bin/env python3
"""End-to-end runs of the real vardex-bridge under Wine, against a private mosquitto.

  bridge_e2e.py [--arch x86|x64] SCENARIO...   run scenarios with the programs of one bitness
                                               (x86 unless named); "N passed, N failed"
  bridge_e2e.py --list                         name every scenario

Each scenario starts its own broker on a free loopback port (anonymous off, a password file),
and stops it at the end. Wine PC 1 and PC 2 of the run (VARDEX_WINE_RUN) stand for two
machines, each with its own mailslot namespace. Where 32-bit programs cannot run, an x86 run
prints why and exits with the skip code.
"""
import json
import os
import re
import pwd
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

# The bridge reads its password from here in some runs; Wine hands the environment on.
PASSWORD = "s3cret pass"
os.environ["VARDEX_TEST_MQTT_PASSWORD"] = PASSWORD
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_e2e as e2e  # noqa: E402
from wine_e2e import CHANGE, START, expect, report, wine_runner  # noqa: E402

# The runner may have been imported first, with the environment as it was then.
wine_runner.BASE_ENV["VARDEX_TEST_MQTT_PASSWORD"] = PASSWORD

USER = "vardex"
PFX_PASSWORD = "pfx pass"
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
STATUS = "vardex/PC01/status"
SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Native(e2e.Program):
    """A Linux program whose output lines are collected like a Wine program's."""

    def __init__(self, argv, stdin=False):
        self.path = argv[0]
        self.process = subprocess.Popen(
            argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, errors="replace")
        self.start_reading()


class Subscriber(Native):
    """mosquitto_sub printing each message as its retain flag, topic and payload in hex."""

    def __init__(self, broker, topic):
        super().__init__(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-u", USER,
                          "-P", PASSWORD, "-t", topic, "-t", "ready/#", "-v", "-F", "%r %t %x"])
        # Subscribed once a message of our own comes back.
        deadline = time.monotonic() + 20
        while not any(" ready/" in l for _, l in self.lines):
            expect(time.monotonic() < deadline and self.running(),
                   "mosquitto_sub did not subscribe: %r" % self.lines)
            broker.publish("ready/%d" % os.getpid(), b"x")
            time.sleep(0.2)

    def messages(self, topic=None):
        """(arrival time, retained, topic, payload bytes) of every message, ours left out."""
        out = []
        for t, line in list(self.lines):
            parts = line.split(" ", 2)
            if len(parts) < 2 or parts[1].startswith("ready/") or parts[0] not in ("0", "1"):
                continue
            payload = bytes.fromhex(parts[2]) if len(parts) == 3 else b""
            if topic is None or parts[1] == topic:
                out.append((t, parts[0] == "1", parts[1], payload))
        return out

    def payloads(self, topic):
        return [m[3] for m in self.messages(topic)]

    def wait_for(self, topic, payload, timeout, after=0.0):
        """The arrival time of the first message with that topic and payload after a time."""
        deadline = time.monotonic() + timeout
        while True:
            for t, _, got_topic, got in self.messages(topic):
                if t >= after and got == payload:
                    return t
            expect(time.monotonic() < deadline, "no %r on %s within %.0f s; saw %r" % (
                payload, topic, timeout, [(m[2], m[3]) for m in self.messages()][-12:]))
            time.sleep(0.05)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificates(folder):
    """A test CA and a broker certificate for localhost and 127.0.0.1 signed by it, another CA
    that signed nothing here, and the same broker certificate expired yesterday."""
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=folder, check=True, capture_output=True)
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key", "-out",
                ca + ".crt", "-days", "30", "-subj", "/CN=vardex test " + ca, "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "broker.key", "-out", "broker.csr",
            "-subj", "/CN=localhost")
    with open(os.path.join(folder, "broker.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"
                "basicConstraints=CA:FALSE\n")
    for name, days in (("broker", "30"), ("expired", "-1")):
        openssl("x509", "-req", "-in", "broker.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-set_serial", "7" if days == "30" else "8", "-out", name + ".crt", "-days", days,
                "-extfile", "broker.ext")
    # A CA under the test CA whose usage is client authentication only, and a broker
    # certificate it signed: rogue-chain.crt is what its listener presents.
    with open(os.path.join(folder, "client-ca.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
                "extendedKeyUsage=clientAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "client-ca.key", "-out",
            "client-ca.csr", "-subj", "/CN=vardex test client-only CA")
    openssl("x509", "-req", "-in", "client-ca.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-set_serial", "9", "-out", "client-ca.crt", "-days", "30", "-extfile", "client-ca.ext")
    openssl("x509", "-req", "-in", "broker.csr", "-CA", "client-ca.crt", "-CAkey", "client-ca.key",
            "-set_serial", "10", "-out", "rogue.crt", "-days", "30", "-extfile", "broker.ext")
    # A device's certificate from the test CA, without basic constraints (as many are), and a
    # broker certificate signed with its key: loose-chain.crt is what its listener presents.
    with open(os.path.join(folder, "device.ext"), "w") as f:
        f.write("extendedKeyUsage=serverAuth,clientAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "device.key", "-out", "device.csr",
            "-subj", "/CN=vardex test device")
    openssl("x509", "-req", "-in", "device.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-set_serial", "11", "-out", "device.crt", "-days", "30", "-extfile", "device.ext")
    openssl("x509", "-req", "-in", "broker.csr", "-CA", "device.crt", "-CAkey", "device.key",
            "-set_serial", "12", "-out", "loose.crt", "-days", "30", "-extfile", "broker.ext")
    # Client certificates for mutual TLS: one per PC from the test CA, one from the other CA,
    # one expired; each also as a PFX with a password, as Windows' export writes one.
    with open(os.path.join(folder, "client.ext"), "w") as f:
        f.write("extendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n")
    for name, ca, days in (("pc01", "ca", "30"), ("pc02", "ca", "30"), ("foreign", "other-ca", "30"),
                           ("old", "ca", "-1")):
        subject = {"pc01": "PC01", "pc02": "PC02"}.get(name, name)
        # Fixed keys: Wine 8's PFX import fails on a few keys in a hundred (a private part
        # that starts with a zero byte), which a key made here could be.
        shutil.copy(os.path.join(DATA, "client-%s.key" % name), os.path.join(folder, name + ".key"))
        openssl("req", "-new", "-key", name + ".key", "-out", name + ".csr", "-subj",
                "/CN=" + subject)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                "-set_serial", str(20 + len(name) + int(days)), "-out", name + ".crt", "-days",
                days, "-extfile", "client.ext")
        openssl("pkcs12", "-export", "-in", name + ".crt", "-inkey", name + ".key", "-out",
                name + ".pfx", "-passout", "pass:" + PFX_PASSWORD)
    with open(os.path.join(folder, "pfx-password.txt"), "w") as f:
        f.write(PFX_PASSWORD + "\r\n")
    with open(os.path.join(folder, "wrong-password.txt"), "w") as f:
        f.write("not-" + PFX_PASSWORD)
    with open(os.path.join(folder, "latin1-password.txt"), "wb") as f:
        f.write(PFX_PASSWORD.replace("a", "\u00e4").encode("latin-1"))  # not UTF-8
    for chain_name, names in (("rogue-chain.crt", ("rogue.crt", "client-ca.crt")),
                              ("loose-chain.crt", ("loose.crt", "device.crt"))):
        with open(os.path.join(folder, chain_name), "w") as chain:
            for name in names:
                with open(os.path.join(folder, name)) as f:
                    chain.write(f.read())


class Broker:
    """A private mosquitto: a free loopback port, a password file, no anonymous access. With
    tls, also TLS listeners: tls_port on 127.0.0.1 and on 127.0.0.2 (an address the certificate
    does not name), and expired_port, whose certificate has expired."""

    def __init__(self, tls=False):
        self.folder = tempfile.mkdtemp(prefix="vardex-broker-")
        self.passwords = os.path.join(self.folder, "passwd")
        open(self.passwords, "w").close()
        subprocess.run(["mosquitto_passwd", "-b", self.passwords, USER, PASSWORD], check=True,
                       capture_output=True)
        self.config = os.path.join(self.folder, "mosquitto.conf")
        self.log = os.path.join(self.folder, "mosquitto.log")
        if tls:
            make_certificates(self.folder)
            with open(self.file("acl"), "w") as acl:
                acl.write("user %s\ntopic readwrite #\n\npattern readwrite vardex/%%u/#\n"
                          "pattern read vardex/+/report\npattern readwrite "
                          "homeassistant/#\n" % USER)
        self.process = None
        # A free port is free when asked, not always when mosquitto binds it: another run on
        # the machine may have taken it meanwhile. Then other ports, a few times.
        for attempt in range(5):
            self.configure(tls)
            self.process = subprocess.Popen(["mosquitto", "-c", self.config],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)
            if self.wait_listening(attempt == 4):
                return

    def configure(self, tls):
        self.port = free_port()
        with open(self.config, "w") as f:
            # Run as root, mosquitto would switch to its own user, who cannot read these files.
            f.write("listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\n"
                    "persistence false\nlog_dest file %s\nlog_type all\nuser %s\n" % (
                        self.port, self.passwords, self.log, pwd.getpwuid(os.getuid()).pw_name))
            if not tls:
                return
            self.tls_port, self.expired_port = free_port(), free_port()
            self.rogue_port, self.loose_port = free_port(), free_port()
            for port, host, cert in ((self.tls_port, "127.0.0.1", "broker"),
                                     (self.tls_port, "127.0.0.2", "broker"),
                                     (self.expired_port, "127.0.0.1", "expired"),
                                     (self.rogue_port, "127.0.0.1", "rogue-chain"),
                                     (self.loose_port, "127.0.0.1", "loose-chain")):
                f.write("listener %d %s\ncertfile %s\nkeyfile %s\n" % (
                    port, host, self.file(cert + ".crt"), self.file("broker.key")))
            # Mutual TLS as the Mosquitto add-on does it: the certificate's name is the user,
            # and each PC may write under its own name only.
            self.mutual_port = free_port()
            f.write("listener %d 127.0.0.1\ncertfile %s\nkeyfile %s\ncafile %s\n"
                    "require_certificate true\nuse_identity_as_username true\n"
                    "acl_file %s\n" % (self.mutual_port, self.file("broker.crt"),
                                        self.file("broker.key"), self.file("ca.crt"),
                                        self.file("acl")))

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_listening(True)

    def wait_listening(self, last):
        """Whether mosquitto listens; False when it ended at once (unless this was the last
        try), and a failed check when it does neither within 10 s."""
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.5).close()
                return True
            except OSError:
                if self.process.poll() is not None and not last:
                    return False
                expect(time.monotonic() < deadline and self.process.poll() is None,
                       "mosquitto did not start on port %d" % self.port)
                time.sleep(0.05)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)

    def address(self):
        return "127.0.0.1:%d" % self.port

    def file(self, name):
        return os.path.join(self.folder, name)

    def tls_options(self, host="localhost", port=None, ca="ca.crt"):
        """--broker and --tls for a TLS listener, trusting the test CA (or another file)."""
        return ["--broker", "%s:%d" % (host, port or self.tls_port), "--tls", "--cafile",
                windows_path(self.file(ca))]

    def publish(self, topic, payload, retain=False):
        argv = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-u", USER, "-P",
                PASSWORD, "-t", topic, "-q", "1", "-s"] + (["-r"] if retain else [])
        subprocess.run(argv, input=payload, check=True, capture_output=True, timeout=20)

    def log_lines(self):
        with open(self.log, errors="replace") as f:
            return f.read().splitlines()

    def attempts(self, port, log=None):
        """The connection attempts at port that the broker's log (or log, its lines) shows.
        mosquitto logs one as "New connection from A:P on port N." once the TLS handshake waits
        for the client; when the client's first bytes are there as it accepts the socket and the
        handshake fails on them at once, it logs instead only "Client connection from A failed:
        E." with no port, which counts at every TLS port. It writes such a line for each of
        OpenSSL's errors of that attempt, so within a second, from one address, a line starts a
        new attempt only when it repeats the first error of the last one."""
        new = re.compile(r"New connection from \S+ on port %d\.$" % port)
        failed = re.compile(r"Client connection from (\S+) failed: (.*)")
        count, first = 0, None
        for line in self.log_lines() if log is None else log:
            stamp, _, text = line.partition(": ")
            failure = port != self.port and failed.match(text)
            if failure:
                key = (stamp, failure.group(1))
                if first and first[0] == key and first[1] != failure.group(2):
                    continue  # another error of the same attempt
                first = (key, failure.group(2))
            else:
                first = None
            count += bool(failure or new.match(text))
        return count

    def wait_log(self, count, seconds, what):
        """Waits until count(log lines) is true, for at most seconds."""
        deadline = time.monotonic() + seconds
        while not count(self.log_lines()):
            expect(time.monotonic() < deadline, "in %d s, the broker's log never showed %s" % (
                seconds, what))
            time.sleep(0.1)

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def serve_loopback(handle):
    """A listener on a free loopback port that hands each connection to handle on a thread of
    its own; closing the listener ends it."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=handle, args=(conn,), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return listener


class ScriptedBroker:
    """Just enough of a broker, on a free loopback port, to show how the bridge treats one that
    misbehaves. "drop": accepts every CONNECT, then closes at once. "goodbye": acknowledges each
    QoS 1 PUBLISH at once, as mosquitto does, reads on only after a pause, and records how each
    connection ended: "eof" for a clean close, "reset" for a TCP reset. "ejabberd": over TLS
    with the broker certificate of folder, asking for a client certificate from its CA, and
    refusing (CONNACK 5) a CONNECT without a user name, as ejabberd does when the user name is
    not the certificate's."""

    def __init__(self, mode, folder=None):
        self.mode = mode
        self.connects = []  # arrival times
        self.endings = []
        self.context = None
        if mode == "ejabberd":
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(os.path.join(folder, "broker.crt"),
                                         os.path.join(folder, "broker.key"))
            self.context.verify_mode = ssl.CERT_REQUIRED
            self.context.load_verify_locations(os.path.join(folder, "ca.crt"))
        self.listener = serve_loopback(self._client)
        self.port = self.listener.getsockname()[1]

    def address(self):
        return "127.0.0.1:%d" % self.port

    @staticmethod
    def _packet(conn):
        """(first byte, body), or None at the end of the stream."""
        head = conn.recv(1)
        if not head:
            return None
        length, shift = 0, 0
        while True:
            digit = conn.recv(1)[0]
            length |= (digit & 0x7F) << shift
            shift += 7
            if not digit & 0x80:
                break
        body = b""
        while len(body) < length:
            chunk = conn.recv(length - len(body))
            if not chunk:
                return None
            body += chunk
        return head[0], body

    def _client(self, conn):
        ending = "eof"
        try:
            if self.context:
                conn = self.context.wrap_socket(conn, server_side=True)
            with conn:
                packet = self._packet(conn)
                if packet is None or packet[0] >> 4 != 1:
                    return
                self.connects.append(time.monotonic())
                if self.mode == "ejabberd":
                    # The connect flags follow the protocol's name and level.
                    flags = packet[1][3 + int.from_bytes(packet[1][:2], "big")]
                    if not flags & 0x80:
                        conn.sendall(b"\x20\x02\x00\x05")
                        return
                conn.sendall(b"\x20\x02\x00\x00")
                if self.mode == "drop":
                    return
                while True:
                    packet = self._packet(conn)
                    if packet is None:
                        break
                    first, body = packet
                    if first >> 4 == 3 and first & 0x06 == 0x02:
                        topic = int.from_bytes(body[:2], "big")
                        conn.sendall(b"\x40\x02" + body[2 + topic:4 + topic])
                        # The client's goodbye has usually arrived by now, behind this PUBLISH.
                        time.sleep(0.2)
                    elif first >> 4 == 14:
                        # A late answer: a client that closed with the acknowledgements unread
                        # has reset the connection by now, one still reading takes it.
                        time.sleep(0.2)
                        conn.sendall(b"\xd0\x00")
                        conn.recv(16)
                        break
        except (ConnectionResetError, BrokenPipeError):
            ending = "reset"
        except ssl.SSLError:
            ending = "tls"
        finally:
            if self.mode == "goodbye":
                self.endings.append(ending)

    def close(self):
        self.listener.close()


class ListingTlsServer:
    """A TLS 1.2 server on a free loopback port that requires a client certificate and lists the
    test CA as the one it takes them from, as Node's TLS (aedes) does; mosquitto lists none, and
    Python's ssl cannot (OpenSSL's list of client CAs is not in its API): openssl s_server."""

    def __init__(self, broker):
        for attempt in range(5):
            self.port = free_port()
            # Its standard input stays open: at its end, s_server stops.
            self.process = subprocess.Popen(
                ["openssl", "s_server", "-tls1_2", "-accept", "127.0.0.1:%d" % self.port,
                 "-cert", broker.file("broker.crt"), "-key", broker.file("broker.key"),
                 "-CAfile", broker.file("ca.crt"), "-Verify", "1"],
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while self.process.poll() is None and time.monotonic() < deadline:
                try:
                    socket.create_connection(("127.0.0.1", self.port), 0.5).close()
                    return
                except OSError:
                    time.sleep(0.05)
            self.close()
        expect(False, "openssl s_server did not start")

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


class BridgeRun(e2e.Run):
    """A scenario's Wine programs, its brokers and its subscribers; everything ends with it."""

    def broker(self, tls=False):
        return self.add(Broker(tls))

    def subscribe(self, broker, topic="#"):
        return self.add(Subscriber(broker, topic))

    def bridge(self, role, broker, *args, pc=1, password=True, broker_options=None):
        argv = [role] + (broker_options or ["--broker", broker.address()])
        if password:
            argv += ["--user", USER]
            argv += ["--password-env", "VARDEX_TEST_MQTT_PASSWORD"]
        program = e2e.Program(e2e.exe("vardex-bridge", self.arch), argv + list(args),
                              stdin=False, pc=pc, stderr=subprocess.STDOUT)
        return self.add(program)

    def close(self):
        for p in reversed(self.programs):
            if isinstance(p, (Broker, ScriptedBroker, ListingTlsServer)):
                p.close()
            elif isinstance(p, e2e.Program):
                p.kill()
            else:
                p()  # a clean-up step


def stop_cleanly(program, timeout=15):
    """Ctrl+C, as Wine passes SIGINT on to a console program; returns its exit code."""
    program.process.send_signal(signal.SIGINT)
    code = program.wait_exit(timeout)
    if code != 0:
        print("    the stop's exit code %r, after: %r" % (code, program.lines[-5:]))
    return code


def set_reading(probe, command):
    """Changes a reading; returns the moment just before, which every message it causes
    follows (the stand-in's own confirmation may be read after them)."""
    before = time.monotonic()
    probe.set(command)
    return before


def discovery(subscriber, sensor, timeout=START, after=0.0):
    topic = "homeassistant/sensor/vardex_PC01_%s/config" % sensor
    deadline = time.monotonic() + timeout
    while True:
        found = [m for m in subscriber.messages(topic) if m[0] >= after]
        if found:
            return json.loads(found[-1][3].decode())
        expect(time.monotonic() < deadline, "no discovery config on %s" % topic)
        time.sleep(0.05)


@scenario
def publish_reports(run):
    """Relay and publish on one PC: online, both discovery configs, and per change the state and
    the report byte for byte; a datagram that is no report is dropped whole and counted."""
    broker = run.broker()
    sub = run.subscribe(broker)
    probe = run.probe(cpu=47, mb=38)
    relay = run.relay()
    bridge = run.bridge("publish", broker, "--name", "PC01")
    sub.wait_for(STATUS, b"online", START)
    for sensor, template in (("cpu", "{{ value_json.cpu }}"), ("mb", "{{ value_json.mb }}")):
        config = discovery(sub, sensor)
        expect(config["value_template"] == template and config["unit_of_measurement"] == "°C"
               and config["device_class"] == "temperature" and config["state_class"] ==
               "measurement" and config["availability_topic"] == STATUS and
               config["state_topic"] == "vardex/PC01/state" and
               config["device"]["identifiers"] == ["vardex_PC01"], "config %r" % config)
    sub.wait_for("vardex/PC01/report", report(" CPU:47 MB:38"), START)
    sub.wait_for("vardex/PC01/state", b'{"cpu":47,"mb":38}', CHANGE)
    changed = set_reading(probe, "cpu 48")
    arrived = sub.wait_for("vardex/PC01/report", report(" CPU:48 MB:38"), CHANGE, changed)
    sub.wait_for("vardex/PC01/state", b'{"cpu":48,"mb":38}', CHANGE, changed)
    print("    change to MQTT message: %.2f s" % (arrived - changed))

    lines = e2e.helper(run.arch, "junk", "65535")
    expect(lines == ["sent 1"], "the large datagram was not written: %r" % lines)
    bridge.wait_line(r"dropped 1 datagram that was not a report", 10)
    changed = set_reading(probe, "mb 39")
    sub.wait_for("vardex/PC01/report", report(" CPU:48 MB:39"), CHANGE, changed)
    expect(sub.payloads("vardex/PC01/report") == [report(" CPU:47 MB:38"), report(" CPU:48 MB:38"),
                                                  report(" CPU:48 MB:39")],
           "reports %r" % sub.payloads("vardex/PC01/report"))
    expect(stop_cleanly(bridge) == 0, "a clean stop did not exit 0")
    sub.wait_for(STATUS, b"offline", 10)
    expect(run.stop_relay(relay) == (0, 0), "relay exit codes were not 0")


@scenario
def broker_restart(run):
    """The broker stops and comes back on the same port: the bridge reconnects within its
    backoff and publishes online, discovery and the latest state; what changed meanwhile is not
    replayed as a report."""
    broker = run.broker()
    probe = run.probe(cpu=47, mb=38)
    relay = run.relay()
    bridge = run.bridge("publish", broker, "--name", "PC01", "--keepalive", "5")
    bridge.wait_line(r"connected to ", START)
    time.sleep(3)
    broker.stop()
    lost = bridge.wait_line(r"connection to the broker lost", 15)[0]
    probe.set("cpu 50")
    time.sleep(2.5)
    probe.set("cpu 51")
    time.sleep(2.5)
    restarted = time.monotonic()
    broker.start()
    sub = run.subscribe(broker)
    sub.wait_for("vardex/PC01/state", b'{"cpu":51,"mb":38}', 20)
    sub.wait_for(STATUS, b"online", 5)
    discovery(sub, "cpu", 5)
    discovery(sub, "mb", 5)
    _, at, _ = bridge.wait_line(r"connected to ", 5, lost)
    print("    reconnected %.1f s after the broker came back" % (at - restarted))
    time.sleep(2)
    expect(sub.payloads("vardex/PC01/report") == [], "replayed: %r" % sub.payloads(
        "vardex/PC01/report"))
    changed = set_reading(probe, "cpu 52")
    sub.wait_for("vardex/PC01/report", report(" CPU:52 MB:38"), CHANGE, changed)
    expect(stop_cleanly(bridge) == 0, "a clean stop did not exit 0")
    expect(run.stop_relay(relay) == (0, 0), "relay exit codes were not 0")


@scenario
def offline_when_killed_or_stopped(run):
    """Killed, the bridge leaves its will, offline; stopped cleanly, it says offline itself and
    disconnects."""
    broker = run.broker()
    sub = run.subscribe(broker, STATUS)
    bridge = run.bridge("publish", broker, "--name", "PC01", "--discovery", "off")
    sub.wait_for(STATUS, b"online", START)
    killed = time.monotonic()
    bridge.process.kill()
    bridge.process.wait()
    sub.wait_for(STATUS, b"offline", 15, killed)
    again = run.bridge("publish", broker, "--name", "PC01", "--discovery", "off")
    started = time.monotonic()
    sub.wait_for(STATUS, b"online", START, started)
    expect(stop_cleanly(again) == 0, "a clean stop did not exit 0")
    sub.wait_for(STATUS, b"offline", 10, started)
    expect(any("vardex-publish-PC01 disconnected." in l for l in broker.log_lines()),
           "no clean DISCONNECT in the broker's log")
    retained = run.subscribe(broker, STATUS)
    retained.wait_for(STATUS, b"offline", 10)
    expect(retained.messages(STATUS)[-1][1], "offline was not retained")


@scenario
def refusals(run):
    """A wrong password: one line and exit 3. Another owner of VARDslot: exit 2. A bad
    argument: one line and exit 2. --help and --version answer and exit 0. A client certificate
    refused for want of a user name: the line names the certificate's name for --user."""
    path = e2e.exe("vardex-bridge", run.arch)
    for option, says in (("--help", "--password-file FILE"), ("--version", "vardex-bridge 1.")):
        asked = run.add(e2e.Program(path, [option], stdin=False, stderr=subprocess.STDOUT))
        expect(asked.wait_exit(START) == 0, "%s did not exit 0" % option)
        expect(any(says in l for _, l in asked.lines), "%s said %r" % (option, asked.lines))
    broker = run.broker()
    wrong = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch), [
        "deliver", "--broker", broker.address(), "--user", USER, "--password-file",
        windows_path(__file__)], stdin=False, stderr=subprocess.STDOUT))
    expect(wrong.wait_exit(START) == 3, "a wrong password did not exit 3")
    said = [l for _, l in wrong.lines if "refused" in l]
    expect(len(said) == 1 and "CONNACK 5" in said[0], "said %r" % wrong.lines)
    run.listen()
    owned = run.bridge("publish", broker)
    expect(owned.wait_exit(START) == 2, "a second owner of VARDslot did not exit 2")
    expect(any("another program owns" in l for _, l in owned.lines), "said %r" % owned.lines)
    bad = run.bridge("publish", broker, "--name", "a/b")
    expect(bad.wait_exit(START) == 2, "a bad name did not exit 2")
    expect(len(bad.lines) == 1 and "--name" in bad.lines[0][1], "said %r" % bad.lines)
    # A broker that takes a certificate's name only as the user name too: the line says so.
    certificates = run.broker(tls=True)
    ejabberd = run.add(ScriptedBroker("ejabberd", certificates.folder))
    named = run.bridge("deliver", certificates, "--name", "PC03", password=False,
                       broker_options=mutual_options(certificates, "pc01", port=ejabberd.port))
    expect(named.wait_exit(START) == 3, "a refused certificate without --user did not exit 3: "
           "%r" % named.lines)
    said = [l for _, l in named.lines if "refused" in l]
    expect(len(said) == 1 and said[0].endswith(
        "not authorised (CONNACK 5); the broker may want --user set to the certificate's name, "
        "PC01"), "said %r" % named.lines)


@scenario
def deliver_to_the_mailslot(run):
    """Published reports reach the local mailslot byte for byte, or headed with --head;
    retained, oversized, malformed and own-name payloads never do."""
    broker = run.broker()
    listen = run.listen()
    # Retained before the bridge subscribes: the broker hands it over flagged retained. One
    # under a topic longer than the bridge keeps is read through and acknowledged, not taken
    # for a broken stream.
    broker.publish("vardex/PC01/report", report("PC01 CPU:46 MB:38"), retain=True)
    broker.publish("vardex/%s/report" % ("x" * 600), report("PC01 CPU:46 MB:38"), retain=True)
    bridge = run.bridge("deliver", broker, "--name", "PC02", "--keepalive", "2")
    bridge.wait_line(r"connected to ", START)
    # Idle through a few keepalive waits: a wait that times out is not a datagram.
    time.sleep(5)
    said = [l for _, l in bridge.lines[1:]]
    expect(len(said) == 1 and "connected to" in said[0], "said %r" % said)
    broker.publish("vardex/PC01/report", report("PC01 CPU:47 MB:38"))
    listen.wait_count(1, 10)
    broker.publish("vardex/PC01/report", report("PC01 " + "9" * 200))
    broker.publish("vardex/PC01/report", report("x" * 5000))
    broker.publish("vardex/PC01/report", b"hello")
    broker.publish("vardex/PC02/report", report("PC02 CPU:1 MB:1"))
    broker.publish("vardex/PC01/report", report(". CPU:-3 MB:05"))
    listen.wait_count(2, 10)
    time.sleep(1)
    expect(listen.texts() == [report("PC01 CPU:47 MB:38"), report(". CPU:-3 MB:05")],
           "got %r" % listen.texts())
    expect(stop_cleanly(bridge) == 0, "a clean stop did not exit 0")

    subscribed = lambda log: sum(1 for l in log if "Received SUBSCRIBE from" in l)
    before = subscribed(broker.log_lines())
    headed = run.bridge("deliver", broker, "--name", "PC02", "--from", "PC01", "--head", "HOME")
    headed.wait_line(r"connected to ", START)
    broker.wait_log(lambda log: subscribed(log) > before, 10, "the SUBSCRIBE")
    broker.publish("vardex/PC03/report", report("PC03 CPU:1 MB:1"))  # not from PC01
    broker.publish("vardex/PC01/report", report(" CPU:49 MB:38"))
    listen.wait_count(3, 10)
    time.sleep(1)
    expect(listen.texts()[2:] == [report("HOME CPU:49 MB:38")], "got %r" % listen.texts())


def across_two_pcs(run, broker, far=None, near=None, over=""):
    """The relay and publish on PC 1, deliver and slot-listen on PC 2: a change on PC 1 arrives
    on PC 2, headed as a relay would head it. far and near: the bridges' broker options."""
    wine_runner.start_pc(2)
    listen = run.listen(pc=2)
    run.bridge("deliver", broker, "--name", "PC02", "--head", "PC02", pc=2, broker_options=far)
    probe = run.probe(cpu=47, mb=38)
    relay = run.relay()
    run.bridge("publish", broker, "--name", "PC01", broker_options=near)
    listen.wait_count(1, START)
    changed = set_reading(probe, "cpu 48")
    arrived = listen.wait_count(2, CHANGE + 2)[1][0]
    print("    change on PC 1 to datagram on PC 2%s: %.2f s" % (over, arrived - changed))
    expect(listen.texts() == [report("PC02 CPU:47 MB:38"), report("PC02 CPU:48 MB:38")],
           "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "relay exit codes were not 0")


@scenario
def two_pcs(run):
    """Two machines: the relay and publish on the first, deliver and slot-listen on the second;
    a change on the first arrives on the second, headed as a relay would head it."""
    across_two_pcs(run, run.broker())


@scenario
def accepted_then_dropped(run):
    """A broker that accepts and then drops the client at once (another client with the same
    id, a packet over its limit) is not asked again about once a second: the backoff grows,
    and one line names the usual causes."""
    scripted = run.add(ScriptedBroker("drop"))
    bridge = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch), [
        "publish", "--broker", scripted.address(), "--name", "PC01", "--discovery", "off"],
        stdin=False, stderr=subprocess.STDOUT))
    bridge.wait_line(r"connected to ", START)
    began = scripted.connects[0]
    time.sleep(max(0.0, began + 15 - time.monotonic()))
    count = len([t for t in scripted.connects if t < began + 15])
    print("    connections in 15 s: %d" % count)
    expect(count <= 5, "%d connections in 15 s" % count)
    hints = [l for _, l in bridge.lines if "keep ending right after" in l]
    expect(len(hints) == 1 and "another client uses the id vardex-publish-PC01" in hints[0] and
           "--discovery off" in hints[0], "said %r" % [l for _, l in bridge.lines])


@scenario
def goodbye_without_reset(run):
    """A clean stop says offline and DISCONNECT, reads the broker's answer and closes without
    a TCP reset, so the broker never takes it for a lost client."""
    scripted = run.add(ScriptedBroker("goodbye"))
    for attempt in range(4):
        bridge = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch), [
            "publish", "--broker", scripted.address(), "--name", "PC01", "--discovery", "off"],
            stdin=False, stderr=subprocess.STDOUT))
        bridge.wait_line(r"connected to ", START)
        time.sleep(0.5)
        expect(stop_cleanly(bridge) == 0, "a clean stop did not exit 0")
        deadline = time.monotonic() + 5
        while len(scripted.endings) <= attempt and time.monotonic() < deadline:
            time.sleep(0.05)
    expect(scripted.endings == ["eof"] * 4, "connections ended %r" % scripted.endings)


@scenario
def tls_reports(run):
    """Over TLS with a password: publish on one PC, deliver on another, reports byte for byte;
    the certificate names 127.0.0.1 as an address and localhost as a name, and both match."""
    broker = run.broker(tls=True)
    sub = run.subscribe(broker, "vardex/PC01/report")
    across_two_pcs(run, broker, broker.tls_options("localhost"), broker.tls_options("127.0.0.1"),
                   " over TLS")
    expect(sub.payloads("vardex/PC01/report") == [report(" CPU:47 MB:38"),
                                                  report(" CPU:48 MB:38")],
           "published %r" % sub.payloads("vardex/PC01/report"))


@scenario
def tls_refusals(run):
    """A certificate that cannot be trusted ends the bridge with exit 3 and a line naming why,
    before any CONNECT: an unknown authority (another CA file, or none, since Windows does not
    know the test CA), a name the certificate does not carry, an expired certificate, a CA
    between for client authentication only, an issuer between without basic constraints
    (whatever Wine's chain engine makes of it). --cafile without --tls is a bad argument."""
    broker = run.broker(tls=True)
    cases = (
        ("another CA", broker.tls_options(ca="other-ca.crt"), "signed by an unknown authority"),
        ("Windows' roots", ["--broker", "localhost:%d" % broker.tls_port, "--tls"],
         "signed by an unknown authority"),
        ("wrong name", broker.tls_options("127.0.0.2"),
         "is for another name: it names localhost, 127.0.0.1; an address must be one of its IP "
         "address entries, and 127.0.0.2 is not"),
        ("expired", broker.tls_options(port=broker.expired_port), "has expired"),
        ("a client-only CA between", broker.tls_options(port=broker.rogue_port),
         "a CA above it may not sign for servers"),
        ("an issuer without basic constraints", broker.tls_options(port=broker.loose_port),
         "a certificate above it is not a CA (it has no basic constraints)"),
    )
    for name, options, says in cases:
        bridge = run.bridge("deliver", broker, "--name", "PC02", broker_options=options)
        expect(bridge.wait_exit(START) == 3, "%s: did not exit 3: %r" % (name, bridge.lines))
        said = [l for _, l in bridge.lines if "certificate" in l]
        expect(len(said) == 1 and says in said[0], "%s: said %r" % (name, bridge.lines))
    bad = run.bridge("deliver", broker, "--cafile", windows_path(broker.file("ca.crt")))
    expect(bad.wait_exit(START) == 2, "--cafile without --tls did not exit 2")
    connects = [l for l in broker.log_lines() if "New client connected" in l]
    expect(not connects, "a CONNECT went to a broker that was not trusted: %r" % connects)


@scenario
def tls_wrong_ports(run):
    """Plain MQTT at the TLS port, and TLS at the plain port: a line that says what is likely
    wrong, and the backoff; no hang, no exit."""
    broker = run.broker(tls=True)
    plain_at_tls = run.bridge("publish", broker, "--name", "PC01", "--discovery", "off",
                              broker_options=["--broker", "127.0.0.1:%d" % broker.tls_port])
    tls_at_plain = run.bridge("deliver", broker, "--name", "PC02",
                              broker_options=broker.tls_options(port=broker.port))
    plain_at_tls.wait_line(r"before its CONNACK: .*--tls", START)
    tls_at_plain.wait_line(r"during the TLS handshake: is the port a plain MQTT one", START)
    # The plain port's first connection was the broker's own check that it listens.
    for port, before in ((broker.tls_port, 0), (broker.port, 1)):
        broker.wait_log(lambda log: broker.attempts(port, log) >= before + 2, 20,
                        "a second attempt at port %d" % port)
    expect(plain_at_tls.running() and tls_at_plain.running(), "a bridge ended")


@scenario
def tls_broker_restart(run):
    """The broker restarts under a TLS connection: the bridge comes back, over TLS."""
    broker = run.broker(tls=True)
    bridge = run.bridge("publish", broker, "--name", "PC01", "--keepalive", "5",
                        broker_options=broker.tls_options())
    bridge.wait_line(r"connected to ", START)
    broker.stop()
    lost = bridge.wait_line(r"connection to the broker lost", 15)[0]
    restarted = time.monotonic()
    broker.start()
    sub = run.subscribe(broker, STATUS)
    sub.wait_for(STATUS, b"online", 20)
    _, at, _ = bridge.wait_line(r"connected to ", 5, lost)
    print("    reconnected over TLS %.1f s after the broker came back" % (at - restarted))
    expect(stop_cleanly(bridge) == 0, "a clean stop did not exit 0")
    sub.wait_for(STATUS, b"offline", 10)


def mutual_options(broker, pfx=None, password="pfx-password.txt", port=None):
    """--broker, --tls and --cafile for the listener that requires client certificates, and a
    PFX with its password file."""
    options = broker.tls_options(port=port or broker.mutual_port)
    if pfx:
        options += ["--cert-file", windows_path(broker.file(pfx + ".pfx"))]
        if password:
            options += ["--cert-password-file", windows_path(broker.file(password))]
    return options


KEY_PC = 6  # a PC of its own, whose key containers only the certificate runs touch


def key_containers(pc):
    """The key containers on PC pc, the user's and the machine's (Wine's CryptoAPI keeps them
    in the registry under Software\\Wine\\Crypto), and the bridge's record of what it imported:
    the keys' and values' names."""
    names = []
    for hive in ("HKCU", "HKLM"):
        for key in ("Software\\Wine\\Crypto", "Software\\vardex\\vardex-bridge\\Imported keys"):
            code, out = wine_runner.system(pc, "reg", "query", hive + "\\" + key, "/s")
            lines = out.splitlines() if code == 0 else []
            # A container is a key below its provider's (RSA); a record is a value.
            names += [l.strip() for l in lines if l.startswith("HKEY") and
                      l.strip().count("\\") > 4 and "Crypto" in l]
            names += [l.split()[0] for l in lines if l.startswith(" ") and "Imported" in key]
    return sorted(names)


@scenario
def client_certificates(run):
    """Mutual TLS against a broker that requires client certificates and takes their names as
    users: publish and deliver, each with its own PFX on its own PC, carry reports byte for byte
    with no --user; no certificate and a foreign one end with exit 3, an expired one and a wrong
    PFX password with exit 2, each with its line; a broker that asks for none takes the bridge
    with one all the same. A server that lists the CAs it takes client certificates from, and not
    the certificate's, is named with both. The key a PFX brought is gone again after each run:
    refused, stopped, or killed (the next run deletes it)."""
    broker = run.broker(tls=True)
    lister = run.add(ListingTlsServer(broker))
    sub = run.subscribe(broker, "vardex/PC01/report")
    across_two_pcs(run, broker, mutual_options(broker, "pc02"), mutual_options(broker, "pc01"),
                   " over mutual TLS")
    expect(sub.payloads("vardex/PC01/report") == [report(" CPU:47 MB:38"),
                                                  report(" CPU:48 MB:38")],
           "published %r" % sub.payloads("vardex/PC01/report"))
    log = broker.log_lines()
    for client, user in (("vardex-publish-PC01", "PC01"), ("vardex-deliver-PC02", "PC02")):
        expect(any("as %s" % client in l and "u'%s'" % user in l for l in log),
               "%s did not connect as %s" % (client, user))
    cases = (
        ("a wrong PFX password", mutual_options(broker, "pc01", "wrong-password.txt"), 2,
         "does not open with that password (--cert-password-file), or it is encrypted with AES"),
        ("no certificate", mutual_options(broker), 3, "requires a client certificate"),
        ("a foreign certificate", mutual_options(broker, "foreign"), 3,
         "refused the client certificate: the broker's alert unknown_ca (48)"),
        ("a CA the server does not list", mutual_options(broker, "foreign", port=lister.port), 3,
         "the broker accepts client certificates from: CN=vardex test ca; this one is from "
         "CN=vardex test other-ca: "),
        ("an expired certificate", mutual_options(broker, "old"), 2, "has expired"),
        ("a password that is not UTF-8", mutual_options(broker, "pc01", "latin1-password.txt"), 2,
         "is not ASCII or UTF-8 text"),
    )
    wine_runner.start_pc(KEY_PC)
    run.add(lambda: wine_runner.stop_pc(KEY_PC))
    keys = key_containers(KEY_PC)
    # The first case, whose PFX does not open, finds the killed run's key and deletes it.
    killed = run.bridge("deliver", broker, "--name", "PC03", pc=KEY_PC,
                        broker_options=mutual_options(broker, "pc01", port=broker.tls_port))
    killed.wait_line(r"connected to localhost over TLS", START)
    killed.kill()
    expect(key_containers(KEY_PC) != keys, "a killed run's key is not there to be found")
    for name, options, code, says in cases:
        bridge = run.bridge("deliver", broker, "--name", "PC03", password=False,
                            broker_options=options, pc=KEY_PC)
        expect(bridge.wait_exit(START) == code, "%s: did not exit %d: %r" % (
            name, code, bridge.lines))
        expect(any(says in l for _, l in bridge.lines), "%s: said %r" % (name, bridge.lines))
        expect(key_containers(KEY_PC) == keys, "%s: left %r" % (name, key_containers(KEY_PC)))
    plain = run.bridge("deliver", broker, "--name", "PC03", pc=KEY_PC,
                       broker_options=mutual_options(broker, "pc01", port=broker.tls_port))
    plain.wait_line(r"connected to localhost over TLS", START)
    expect(stop_cleanly(plain) == 0, "a clean stop did not exit 0")
    expect(key_containers(KEY_PC) == keys, "after a clean stop: %r" % key_containers(KEY_PC))


SERVICE_PC = 3  # a PC of its own: an installed service starts with every session on its PC


def service_state(name, pc=SERVICE_PC):
    code, out = wine_runner.system(pc, "sc", "query", name)
    state = re.search(r"STATE\s*:\s*(\d+)", out)
    exit_code = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", out)
    own_code = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", out)
    return (int(state.group(1)) if state else None,
            int(exit_code.group(1)) if exit_code else None, code,
            int(own_code.group(1)) if own_code else None)


def event_lines(events, text):
    with open(events, errors="replace") as f:
        return [l for l in f if ":eventlog:" in l and text in l]


def start_until_logged(name, events, text):
    """sc start, then the Event Log's next line holding text, which must come within START."""
    before = len(event_lines(events, text))
    code, out = wine_runner.system(SERVICE_PC, "sc", "start", name)
    expect(code == 0, "sc start: %d %s" % (code, out))
    started = time.monotonic()
    while len(event_lines(events, text)) == before:
        expect(time.monotonic() < started + START, "no %r: %r" % (text, service_state(name)))
        time.sleep(0.1)
    return event_lines(events, text)[-1]


def wait_stopped(name, since, seconds, pc=SERVICE_PC):
    """The service's state once STOPPED, within seconds of since."""
    while True:
        state = service_state(name, pc)
        if state[0] == 1:
            return state
        expect(time.monotonic() < since + seconds, "not stopped: %r" % (state,))
        time.sleep(0.1)


@scenario
def service(run):
    """install, then sc start: online and reports through a real mosquitto over TLS, every line
    in the Event Log; sc stop: offline and a clean DISCONNECT; a broker that refuses the
    password for a while leaves the service RUNNING until it accepts; uninstall leaves no
    service and no log source. The password file is written as Notepad and cmd's echo may
    leave it."""
    broker = run.broker(tls=True)
    events = os.path.join(broker.folder, "eventlog.txt")
    wine_runner.stop_pc(SERVICE_PC)
    wine_runner.start_pc(SERVICE_PC, "+eventlog", events)
    run.add(lambda: wine_runner.stop_pc(SERVICE_PC))
    password = os.path.join(broker.folder, "password.txt")
    with open(password, "wb") as f:
        f.write(b"\xef\xbb\xbf" + PASSWORD.encode() + b" \r\n")
    name = "vardex-bridge-publish"

    def bridge(*args):
        program = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch), args, stdin=False,
                                      pc=SERVICE_PC, stderr=subprocess.STDOUT))
        return program.wait_exit(START), [l for _, l in program.lines]

    options = broker.tls_options() + ["--user", USER, "--name", "PC01"]
    code, said = bridge("install", "publish", *options, "--password-env", "P")
    expect(code == 2 and len(said) == 1 and "--password-file" in said[0], "said %r" % said)
    expect(service_state(name)[0] is None, "a refused install registered the service")
    code, said = bridge("install", "publish", *options, "--password-file", windows_path(password))
    expect(code == 0 and "sc.exe start %s" % name in said[-1], "install: %d %r" % (code, said))
    code, said = bridge("install", "publish", *options, "--password-file", windows_path(password))
    expect(code == 5 and len(said) == 1, "a second install: %d %r" % (code, said))

    sub = run.subscribe(broker)
    started = time.monotonic()
    code, out = wine_runner.system(SERVICE_PC, "sc", "start", name)
    expect(code == 0, "sc start: %d %s" % (code, out))
    sub.wait_for(STATUS, b"online", START, started)
    run.probe(cpu=47, mb=38, pc=SERVICE_PC)
    run.relay(pc=SERVICE_PC)
    sub.wait_for("vardex/PC01/report", report(" CPU:47 MB:38"), START)
    expect(service_state(name)[0] == 4, "not running: %r" % (service_state(name),))

    stopping = time.monotonic()
    code, out = wine_runner.system(SERVICE_PC, "sc", "stop", name)
    expect(code == 0, "sc stop: %d %s" % (code, out))
    sub.wait_for(STATUS, b"offline", 10, stopping)
    expect(wait_stopped(name, stopping, 10)[1] == 0, "sc stop did not end with 0")
    print("    sc stop to STOPPED: %.1f s" % (time.monotonic() - stopping))
    log = broker.log_lines()
    expect(any("vardex-publish-PC01 disconnected." in l for l in log),
           "no clean DISCONNECT in the broker's log")
    broken = [l for l in log if "vardex-publish-PC01" in l and
              ("Socket error" in l or "closed its connection" in l)]
    expect(not broken, "the broker saw the connection break: %r" % broken)
    with open(events, errors="replace") as f:
        logged = [l for l in f if ":eventlog:" in l]
    for level, text in (("trace", "publishing the reports of"), ("trace", "connected to localhost"),
                        ("trace", "stopped")):
        expect(any(":%s:eventlog:" % level in l and text in l for l in logged),
               "no %s event %r in %r" % (level, text, logged[-6:]))


    # A start-up failure is told at once, with the bridge's code, not as a time-out.
    os.rename(password, password + ".gone")
    started = time.monotonic()
    code, out = wine_runner.system(SERVICE_PC, "sc", "start", name)
    state = wait_stopped(name, started, 10)
    expect(state[1] == 1066 and state[3] == 2, "a missing password file: %r" % (state,))
    print("    a missing password file: STOPPED with 2 after %.1f s" % (time.monotonic() - started))
    os.rename(password + ".gone", password)
    # sc stop while the broker is away ends with 0, not with a failure to recover from.
    broker.stop()
    start_until_logged(name, events, "cannot reach the broker")
    stopping = time.monotonic()
    code, out = wine_runner.system(SERVICE_PC, "sc", "stop", name)
    expect(wait_stopped(name, stopping, 10)[1:2] == (0,), "sc stop during reconnects")
    expect(any("password.txt" in l for l in event_lines(events, "cannot read the password file")),
           "the Event Log does not name the password file")

    # A broker that refuses the password for a while, as Home Assistant's add-on does until
    # Home Assistant is up: the service stays RUNNING, says when it asks again, and connects by
    # itself once mosquitto reloads a password file that has the user.
    with open(broker.passwords) as f:
        kept = f.read()
    open(broker.passwords, "w").close()
    subprocess.run(["mosquitto_passwd", "-b", broker.passwords, "someone-else", PASSWORD],
                   check=True, capture_output=True)
    broker.start()
    connected = len(event_lines(events, "connected to localhost"))
    line = start_until_logged(name, events, "the broker refused vardex-publish-PC01")
    expect(re.search(r"\(CONNACK [45]\); trying again in \d+ s", line), "said %r" % line)
    with open(broker.passwords, "w") as f:
        f.write(kept)
    broker.process.send_signal(signal.SIGHUP)
    accepting = time.monotonic()
    while len(event_lines(events, "connected to localhost")) == connected:
        expect(time.monotonic() < accepting + 60, "not connected a minute after the broker "
               "accepts: %r" % (service_state(name),))
        expect(service_state(name)[0] == 4, "not running: %r" % (service_state(name),))
        time.sleep(0.5)
    print("    refused, then connected %.1f s after the broker accepts" % (
        time.monotonic() - accepting))
    expect(service_state(name)[0] == 4, "not running: %r" % (service_state(name),))
    stopping = time.monotonic()
    wine_runner.system(SERVICE_PC, "sc", "stop", name)
    expect(wait_stopped(name, stopping, 10)[1] == 0, "sc stop did not end with 0")

    code, said = bridge("uninstall", "publish")
    expect(code == 0, "uninstall: %d %r" % (code, said))
    expect(service_state(name)[0] is None, "the service is still there")
    code, out = wine_runner.system(
        SERVICE_PC, "reg", "query",
        "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vardex-bridge")
    expect(code != 0, "the Event Log source is still there: %s" % out)
    code, said = bridge("uninstall", "publish")
    expect(code == 6 and len(said) == 1, "a second uninstall: %d %r" % (code, said))


CERT_PC = 4  # a PC of its own: its machine store gets a certificate, and a service runs there
FAR_CERT_PC = 5  # the same for deliver's certificate, which the other PCs' stores never see
FAILED_INSTALL_PC = 7  # one where install --cert-file fails after the certificate went in


def stored_certificate(run, broker, pfx, pc):
    """Puts a PFX into a PC's machine My store; returns its thumbprint as the certificates
    dialog shows it, in pairs."""
    helper = os.path.join(e2e.ROOT, "build", run.arch, "soak-helper-%s.exe" % run.arch)
    importer = run.add(e2e.Program(helper, ["import-pfx", windows_path(broker.file(pfx + ".pfx")),
                                            PFX_PASSWORD], stdin=False, pc=pc))
    expect(importer.wait_exit(START) == 0, "the PFX did not go into the store: %r" % (
        importer.lines,))
    thumbprint = importer.lines[0][1].strip()
    return " ".join(thumbprint[i:i + 2] for i in range(0, 40, 2)).upper()


@scenario
def client_certificate_service(run):
    """install --cert-file puts the PFX's certificate into the machine's My store and registers
    the service by its thumbprint: with the PFX and its password file deleted, it runs as
    LocalSystem and publishes as the certificate's name, with no --user; uninstall leaves the
    certificate there. Deliver on another PC, a console run with its own certificate by
    thumbprint as the certificates dialog shows it, writes the report byte for byte."""
    broker = run.broker(tls=True)
    for pc in (CERT_PC, FAR_CERT_PC):
        wine_runner.stop_pc(pc)
        wine_runner.start_pc(pc)
        run.add(lambda pc=pc: wine_runner.stop_pc(pc))
    listen = run.listen(pc=FAR_CERT_PC)
    run.bridge("deliver", broker, "--name", "PC02", "--head", "PC02", "--cert",
               stored_certificate(run, broker, "pc02", FAR_CERT_PC), pc=FAR_CERT_PC,
               password=False, broker_options=mutual_options(broker)).wait_line(
                   r"connected to ", START)
    name = "vardex-bridge-publish"

    def bridge(*args):
        program = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch), args, stdin=False,
                                      pc=CERT_PC, stderr=subprocess.STDOUT))
        return program.wait_exit(START), [l for _, l in program.lines]

    pfx, secret = os.path.join(broker.folder, "install.pfx"), os.path.join(broker.folder, "pw")
    shutil.copy(broker.file("pc01.pfx"), pfx)
    shutil.copy(broker.file("pfx-password.txt"), secret)
    options = mutual_options(broker) + ["--cert-file", windows_path(pfx), "--cert-password-file",
                                        windows_path(secret), "--name", "PC01"]
    # An install that fails takes out again what it put in the store, and its key: on a PC of
    # its own, where a service of that name is there already.
    wine_runner.start_pc(FAILED_INSTALL_PC)
    run.add(lambda: wine_runner.stop_pc(FAILED_INSTALL_PC))
    keys = key_containers(FAILED_INSTALL_PC)
    wine_runner.system(FAILED_INSTALL_PC, "sc", "create", name, "binpath=", "C:\\x.exe")
    failed = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch), ["install", "publish"] +
                                 options, stdin=False, pc=FAILED_INSTALL_PC,
                                 stderr=subprocess.STDOUT))
    expect(failed.wait_exit(START) == 5, "install over a service of that name: %r" % (
        failed.lines,))
    machine_my = "HKLM\\Software\\Microsoft\\SystemCertificates\\MY\\Certificates"
    code, out = wine_runner.system(FAILED_INSTALL_PC, "reg", "query", machine_my)
    expect("Certificates\\" not in out, "a failed install left a certificate: %s" % out)
    expect(key_containers(FAILED_INSTALL_PC) == keys, "a failed install left %r" % (
        key_containers(FAILED_INSTALL_PC),))
    code, said = bridge("install", "publish", *options)
    # Wine's machine key set takes no usable key, so install also warns that the key went
    # into the user's.
    expect(code == 0 and "may be deleted" in said[-2], "install: %d %r" % (code, said))
    os.remove(pfx)
    os.remove(secret)
    expect(not [k for k in key_containers(CERT_PC) if k.startswith("HKEY_LOCAL")],
           "the import to the machine's key set that Wine cannot use left %r" % (
               key_containers(CERT_PC),))
    code, out = wine_runner.system(CERT_PC, "reg", "query",
                                   "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name, "/v",
                                   "ImagePath")
    thumbprint = re.search(r" --cert ([0-9A-F]{40})\b", out)
    expect(thumbprint and "install.pfx" not in out and "pw" not in out.split("--cert")[-1],
           "the service's command line: %s" % out)
    stored = machine_my + "\\" + thumbprint.group(1)
    expect(wine_runner.system(CERT_PC, "reg", "query", stored)[0] == 0,
           "the certificate is not in the machine's My store")
    sub = run.subscribe(broker)
    code, out = wine_runner.system(CERT_PC, "sc", "start", name)
    expect(code == 0, "sc start: %d %s" % (code, out))
    sub.wait_for(STATUS, b"online", START)
    run.probe(cpu=47, mb=38, pc=CERT_PC)
    run.relay(pc=CERT_PC)
    sub.wait_for("vardex/PC01/report", report(" CPU:47 MB:38"), START)
    for client, user in (("vardex-publish-PC01", "PC01"), ("vardex-deliver-PC02", "PC02")):
        expect(any("as %s" % client in l and "u'%s'" % user in l for l in broker.log_lines()),
               "%s did not connect as %s" % (client, user))
    expect(listen.wait_count(1, CHANGE + 2) and listen.texts() == [report("PC02 CPU:47 MB:38")],
           "PC 2 got %r" % listen.texts())
    stopping = time.monotonic()
    wine_runner.system(CERT_PC, "sc", "stop", name)
    expect(wait_stopped(name, stopping, 10, CERT_PC)[1] == 0, "sc stop did not end with 0")
    code, said = bridge("uninstall", "publish")
    expect(code == 0 and "My store stays there" in said[-1], "uninstall: %d %r" % (code, said))
    expect(wine_runner.system(CERT_PC, "reg", "query", stored)[0] == 0,
           "uninstall took the certificate out of the store")


MSI_PC = 8  # the package's PC: its services and settings meet no other scenario's


def registry_has(key, *value):
    code, _ = wine_runner.system(MSI_PC, "reg", "query", key, *(("/v",) + value if value else ()))
    return code == 0


@scenario
def msi_package(run):
    """The installer package under msiexec /qn: without BROKER it fails saying so; it takes over
    a service that install made, and with BROKER, MQTT_USER and MQTT_PASSWORD the service runs
    and its status reaches mosquitto, the password in no log line; a bad value fails with the
    bridge's own line; another BROKER reconfigures it; a higher version upgrades it keeping every
    setting, as one product; a lower one is refused; another ROLE replaces the service;
    ADDLOCAL=Relay writes the Run value;
    uninstall leaves no service, file, key, Run value or log source, only the secrets."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import msi_package as packages
    version = re.search(r"project\(vardex VERSION (\S+)",
                        open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
    broker = run.broker()
    # Built here from dist/ (make dist), as make release builds them, with stand-in texts.
    package = packages.build(version, run.arch, broker.folder, 315532800, b"r", b"l")
    wine_runner.stop_pc(MSI_PC)
    wine_runner.start_pc(MSI_PC)
    run.add(lambda: wine_runner.stop_pc(MSI_PC))
    drive = os.path.join(wine_runner.prefix(MSI_PC), "drive_c")
    # Windows Installer compares the first three fields of a version only.
    major, minor, patch = version.split(".")[:3]
    higher = packages.build("%s.%s.%d" % (major, minor, int(patch) + 1), run.arch,
                            os.path.join(broker.folder, "higher"), 315532800, b"r", b"l")
    name = "vardex-bridge-publish"
    service_key = "HKLM\\System\\CurrentControlSet\\Services\\" + name
    settings_key = "HKLM\\SOFTWARE\\vardex\\bridge"
    run_key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
    logs = []

    def msiexec(verb, path, *args, channels=None):
        logs.append("C:\\msi-%d.log" % len(logs))
        code, out = wine_runner.system(MSI_PC, "msiexec", verb, windows_path(path), "/qn",
                                       "/l*v", logs[-1], *args, timeout=180, channels=channels)
        with open(os.path.join(drive, logs[-1][3:]), errors="replace") as f:
            return code, f.read() + (out if channels else "")

    def image_path():
        return wine_runner.system(MSI_PC, "reg", "query", service_key, "/v", "ImagePath")[1]

    code, log = msiexec("/i", package, "MQTT_USER=" + USER)
    expect(code != 0 and "BROKER is required" in log, "without BROKER: %d" % code)
    expect(service_state(name, MSI_PC)[0] is None, "a failed install made the service")

    # A service made by hand first: the package takes it over.
    password = os.path.join(broker.folder, "password.txt")
    with open(password, "w") as f:
        f.write(PASSWORD)
    made = run.add(e2e.Program(e2e.exe("vardex-bridge", run.arch),
                               ["install", "publish", "--broker", broker.address(), "--user", USER,
                                "--password-file", windows_path(password)],
                               stdin=False, pc=MSI_PC, stderr=subprocess.STDOUT))
    expect(made.wait_exit(START) == 0, "install: %r" % made.lines)
    sub = run.subscribe(broker)
    started = time.monotonic()
    code, log = msiexec("/i", package, "BROKER=" + broker.address(), "MQTT_USER=" + USER,
                        "NAME=PC01", "MQTT_PASSWORD=" + PASSWORD)  # Wine quotes it as one word
    expect(code == 0, "install: %d %s" % (code, log[-1500:]))
    sub.wait_for(STATUS, b"online", START, started)
    expect(service_state(name, MSI_PC)[0] == 4, "not running after the install")
    expect("Program Files" in image_path(), "not taken over: %s" % image_path())
    # Windows leaves MsiHiddenProperties out of the property dump at the log's end too; Wine's
    # msiexec dumps them, so only the lines before it are held to that.
    expect(PASSWORD not in log.split("Property(S):")[0], "the password is in the install's log")
    code, tables = subprocess.getstatusoutput("msiinfo export %s Property" % package)
    expect(PASSWORD not in tables, "the password is in the package")
    secret = os.path.join(drive, "ProgramData", "vardex", "mqtt-password.txt")
    expect(open(secret).read() == PASSWORD, "the password file does not hold the password")

    # Wine's Event Log is its eventlog channel: the custom action's ReportEvent shows there.
    code, log = msiexec("/i", package, "KEEPALIVE=0", channels="+eventlog")
    line = "vardex-bridge: --keepalive"
    expect(code != 0 and log.count(line) >= 2 and
           re.search(r"eventlog:ReportEvent\S* L\"%s" % line, log),
           "a bad KEEPALIVE: %d, not in the log and the Event Log" % code)
    code, log = msiexec("/i", package, "MQTT_PASSWORD=" + "p" * 1500)
    expect(code != 0 and "MQTT_PASSWORD is over 1023 bytes" in log,
           "a password longer than the set-up reads: %d" % code)

    other = run.broker()
    sub2 = run.subscribe(other)
    started = time.monotonic()
    code, log = msiexec("/i", package, "BROKER=" + other.address())
    expect(code == 0, "a second install: %d" % code)
    sub2.wait_for(STATUS, b"online", START, started)
    kept = "--user %s --password-file" % USER
    expect(other.address() in image_path() and kept in image_path() and "PC01" in image_path(),
           "the settings were not kept: %s" % image_path())

    started = time.monotonic()
    code, log = msiexec("/i", higher)
    expect(code == 0, "the upgrade: %d %s" % (code, log[-1500:]))
    sub2.wait_for(STATUS, b"online", START, started)
    expect(other.address() in image_path() and kept in image_path() and "PC01" in image_path(),
           "the upgrade lost settings: %s" % image_path())
    codes = {}
    for path in (package, higher):
        out = subprocess.run(["msiinfo", "export", path, "Property"], capture_output=True,
                             text=True).stdout
        codes[path] = re.search(r"^ProductCode\t(\S+)", out, re.M).group(1)
    uninstall = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    expect(registry_has(uninstall + codes[higher]) and not registry_has(uninstall + codes[package]),
           "not one product after the upgrade")
    # Windows logs the launch condition's message; Wine's msiexec only its failure.
    code, log = msiexec("/i", package)
    expect(code != 0 and ("A newer version of vardex-bridge" in log or
                          "LaunchConditions. Return value 0" in log), "a downgrade: %d" % code)
    expect(service_state(name, MSI_PC)[0] == 4, "a refused downgrade stopped the service")

    code, log = msiexec("/i", higher, "ROLE=deliver")
    expect(code == 0 and service_state("vardex-bridge-deliver", MSI_PC)[0] is not None and
           service_state(name, MSI_PC)[0] is None, "ROLE=deliver did not replace the service")
    name = "vardex-bridge-deliver"

    code, log = msiexec("/i", higher, "ADDLOCAL=Relay")
    expect(code == 0 and registry_has(run_key, "vardex"), "ADDLOCAL=Relay: %d" % code)

    code, log = msiexec("/x", higher)
    expect(code == 0, "uninstall: %d %s" % (code, log[-1500:]))
    expect(service_state(name, MSI_PC)[0] is None, "the service is still there")
    expect(not os.path.exists(os.path.join(drive, "Program Files", "vardex")),
           "files are still installed")
    expect(not registry_has(settings_key), "the settings key is still there")
    expect(not registry_has(run_key, "vardex"), "the Run value is still there")
    expect(not registry_has("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                            "Application\\vardex-bridge"), "the Event Log source is still there")
    expect(os.path.exists(secret), "uninstall removed the secrets")


ISSUER_PC = 9  # a PC of its own: the fleet's certificates go into its machine store


def fleet_certificate(broker, name, key, hours_ago):
    """A PFX with a client certificate for CN=name from the test CA, valid from hours_ago on for
    30 days: openssl ca sets the start, which openssl x509 cannot."""
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=broker.folder, check=True,
                       capture_output=True)
    if not os.path.exists(broker.file("fleet.cnf")):
        with open(broker.file("fleet.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca=fleet\n[fleet]\ndatabase=fleet-index.txt\n"
                    "new_certs_dir=.\nserial=fleet-serial\ndefault_md=sha256\npolicy=any\n"
                    "unique_subject=no\n[any]\ncommonName=supplied\n")
        open(broker.file("fleet-index.txt"), "w").close()
        with open(broker.file("fleet-serial"), "w") as f:
            f.write("40\n")
    now = time.time()
    shutil.copy(os.path.join(DATA, "client-%s.key" % key), broker.file(name + ".key"))
    openssl("req", "-new", "-key", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
    openssl("ca", "-batch", "-config", "fleet.cnf", "-cert", "ca.crt", "-keyfile", "ca.key",
            "-in", name + ".csr", "-out", name + ".crt", "-notext", "-extfile", "client.ext",
            "-startdate", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(now - hours_ago * 3600)),
            "-enddate", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(now + 30 * 86400)))
    openssl("pkcs12", "-export", "-in", name + ".crt", "-inkey", name + ".key", "-out",
            name + ".pfx", "-passout", "pass:" + PFX_PASSWORD)


@scenario
def certificate_by_issuer(run):
    """--cert-issuer against a broker that requires client certificates and takes their names
    as users: of the machine store's certificates (two from the test CA, one of the test CA's
    that has expired though it started last, one from another CA that started later), the
    newest usable one from the test CA is presented; one newer still, added while the bridge
    runs, is presented from the next connection on, with no restart. While the CA's only one
    there has expired, a console run ends with exit 2 and a line that names it and says why."""
    broker = run.broker(tls=True)
    wine_runner.stop_pc(ISSUER_PC)
    wine_runner.start_pc(ISSUER_PC)
    run.add(lambda: wine_runner.stop_pc(ISSUER_PC))
    for name, key, hours in (("fleet-a", "pc01", 48), ("fleet-b", "pc02", 24),
                             ("fleet-c", "old", 1)):
        fleet_certificate(broker, name, key, hours)
    old = stored_certificate(run, broker, "old", ISSUER_PC).replace(" ", "")
    stored_certificate(run, broker, "foreign", ISSUER_PC)
    options = mutual_options(broker) + ["--name", "PC01"]
    refused = run.bridge("publish", broker, "--cert-issuer", "CN=vardex test ca", password=False,
                         broker_options=options, pc=ISSUER_PC)
    expect(refused.wait_exit(START) == 2 and any(
        "no client certificate issued by CN=vardex test ca can be used, in the My stores of the "
        "current user and of the local machine: %s has expired" % old in l
        for _, l in refused.lines), "only an expired one: %r" % refused.lines)
    # Wine keeps the keys that PFXs bring to a user's key set in one container, the last
    # import's: the certificate expected to be presented goes in last.
    for pfx in ("fleet-a", "fleet-b"):
        stored_certificate(run, broker, pfx, ISSUER_PC)
    bridge = run.bridge("publish", broker, "--cert-issuer", "vardex test ca", password=False,
                        broker_options=options, pc=ISSUER_PC)
    bridge.wait_line(r"presenting the client certificate CN=fleet-b, thumbprint [0-9A-F]{40}, "
                     r"expires in 29 days", START)
    first = bridge.wait_line(r"connected to ", START)[0]
    broker.wait_log(lambda log: any("u'fleet-b'" in l for l in log), 5, "fleet-b connecting")
    stored_certificate(run, broker, "fleet-c", ISSUER_PC)
    broker.stop()
    broker.start()
    chosen = bridge.wait_line(r"presenting the client certificate CN=fleet-c, ", 20, first)[0]
    bridge.wait_line(r"connected to ", 10, chosen)
    broker.wait_log(lambda log: any("u'fleet-c'" in l for l in log), 5, "fleet-c connecting")
    expect(stop_cleanly(bridge) == 0, "a clean stop did not exit 0")


def main(argv):
    return e2e.main(argv, SCENARIOS, BridgeRun)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
