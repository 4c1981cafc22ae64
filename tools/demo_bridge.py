#!/usr/bin/env python3
"""The bridge at work under Wine: two stand-in PCs and a private mosquitto.

PC 1 runs the stand-in monitor, the relay (local mailslot) and vardex-bridge publish; PC 2 runs
vardex-bridge deliver --head PC02 and slot-listen. For about 15 seconds the readings on PC 1
change and each report is shown as it reaches PC 2's mailslot; then the topics the broker saw
are listed and everything stops cleanly. Both bridges speak MQTT over TLS to mosquitto's TLS
listener, checking its certificate against a test CA made with openssl for the demo; --plain
shows plain MQTT instead. Runs the 32-bit programs where they run, else the 64-bit ones.
"""
import collections
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bridge", "tests"))
import bridge_e2e as bridge  # noqa: E402
from bridge_e2e import e2e, wine_runner  # noqa: E402


def show(prefix, program, seen):
    for _, line in program.lines[seen:]:
        print("    [%s] %s" % (prefix, line))
    return len(program.lines)


def main(argv):
    tls = "--plain" not in argv
    os.environ["VARDEX_WINE_RUN"] = tempfile.mkdtemp(prefix="vardex-demo-bridge-")
    try:
        wine_runner.setup(2)
        arch = wine_runner.lane()
        print("running the %s programs on two Wine prefixes (two PCs); %s" % (
            arch, wine_runner.lanes_line()))
        run = bridge.BridgeRun(arch)
        try:
            broker = run.broker(tls)
            print("mosquitto on 127.0.0.1:%d (user %s, a password file, no anonymous access)" % (
                broker.port, bridge.USER))
            options = None
            if tls:
                options = broker.tls_options()
                print("the bridges use its TLS listener, localhost:%d, and trust only the test "
                      "CA in %s" % (broker.tls_port, broker.file("ca.crt")))
            sub = run.subscribe(broker)
            far = run.listen(pc=2)
            deliver = run.bridge("deliver", broker, "--name", "PC02", "--head", "PC02", pc=2,
                                 broker_options=options)
            probe = run.probe(cpu=45, mb=36)
            relay = run.relay()
            publish = run.bridge("publish", broker, "--name", "PC01", broker_options=options)
            print("PC 1: probe-standin, vardex-%s.exe (local mailslot), vardex-bridge publish "
                  "--name PC01" % arch)
            print("PC 2: vardex-bridge deliver --name PC02 --head PC02, slot-listen")
            seen = {"publish": 0, "deliver": 0, "PC 2 slot-listen": 0}
            cpu, mb = 45, 36
            for second in range(1, 16):
                time.sleep(1)
                if second % 3 == 0:
                    cpu += 1
                    probe.set("cpu %d" % cpu)
                elif second % 3 == 1:
                    mb += 1
                    probe.set("mb %d" % mb)
                for name, program in (("publish", publish), ("deliver", deliver),
                                      ("PC 2 slot-listen", far)):
                    seen[name] = show(name, program, seen[name])
            time.sleep(2)
            show("PC 2 slot-listen", far, seen["PC 2 slot-listen"])
            print("stopping: the relay with a second start, the bridges with Ctrl+C")
            second, first = run.stop_relay(relay)
            codes = [bridge.stop_cleanly(publish), bridge.stop_cleanly(deliver)]
            print("exit codes: relay %d and %d, publish %d, deliver %d" % (
                second, first, codes[0], codes[1]))
            time.sleep(1)
            print("topics seen on the broker:")
            counts = collections.Counter(m[2] for m in sub.messages())
            for topic, count in sorted(counts.items()):
                print("    %-48s %d message%s" % (topic, count, "" if count == 1 else "s"))
            print("PC 2's mailslot got %d reports" % len(far.texts()))
        finally:
            run.close()
    except (e2e.Failure, wine_runner.WineError) as e:
        print("demo-bridge: %s" % e)
        return 1
    finally:
        wine_runner.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
