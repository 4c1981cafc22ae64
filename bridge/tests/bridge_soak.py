#!/usr/bin/env python3
"""Soak runs of the real vardex-bridge under Wine: many reports, many broker restarts.

  bridge_soak.py SCENARIO...    run scenarios (all when none is named); "N passed, N failed"
  bridge_soak.py --list         name every scenario

Runs the 32-bit bridge where 32-bit programs run, else the 64-bit one, and says which.
"""
import os
import random
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bridge_e2e as bridge  # noqa: E402
from bridge_e2e import START, e2e, expect, wine_runner  # noqa: E402

SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def reports(run, tls):
    """10,000 reports through publish as fast as the mailslot takes them: every one published,
    byte for byte and in order; memory and handles stay flat."""
    broker = run.broker(tls=tls)
    sub = run.subscribe(broker, "vardex/PC01/report")
    program = run.bridge("publish", broker, "--name", "PC01", "--discovery", "off",
                         broker_options=broker.tls_options() if tls else None)
    program.wait_line(r"connected to ", START)
    e2e.helper(run.arch, "send", "100")
    deadline = time.monotonic() + 30
    while len(sub.messages()) < 100:
        expect(time.monotonic() < deadline, "the first 100 reports did not arrive")
        time.sleep(0.1)
    before = e2e.resources(program)
    began = time.monotonic()
    lines = e2e.helper(run.arch, "send", "10000", timeout=300)
    expect(lines[-1:] == ["sent 10000"], "the helper said %r" % lines[-3:])
    deadline = time.monotonic() + 120
    while len(sub.messages()) < 10100:
        expect(time.monotonic() < deadline, "%d of 10,100 reports arrived" % len(sub.messages()))
        time.sleep(0.2)
    took = time.monotonic() - began
    after = e2e.resources(program)
    got = sub.payloads("vardex/PC01/report")
    want = [e2e.report(" CPU:%d MB:38" % i) for i in range(1, 101)] + [
        e2e.report(" CPU:%d MB:38" % i) for i in range(1, 10001)]
    expect(got == want, "reports out of order or changed: first difference at %d" % next(
        (i for i, (a, b) in enumerate(zip(got, want)) if a != b), len(got)))
    print("    10,000 reports in %.1f s; memory %d -> %d KiB, handles %d -> %d" % (
        took, before[0], after[0], before[1], after[1]))
    expect(after[1] <= before[1], "handles grew from %d to %d" % (before[1], after[1]))
    expect(after[0] <= before[0] + 1024, "memory grew from %d to %d KiB" % (before[0], after[0]))
    expect(bridge.stop_cleanly(program) == 0, "a clean stop did not exit 0")


@scenario
def ten_thousand_reports(run):
    reports(run, False)


@scenario
def ten_thousand_reports_tls(run):
    reports(run, True)


@scenario
def fifty_broker_restarts(run):
    """The broker restarted 50 times at random moments, the bridge's connect and handshake
    included: it never connects twice at once, and after the last restart it is back within its
    longest wait. Each of these connections ends at once, so the backoff grows as it would
    against a broker that accepts and drops; it starts over only after a connection held."""
    broker = run.broker()
    program = run.bridge("publish", broker, "--name", "PC01", "--keepalive", "5")
    program.wait_line(r"connected to ", START)
    connect = re.compile(r"New client connected .* as vardex-publish-PC01 ")
    chance = random.Random(17)
    for _ in range(50):
        broker.stop()
        broker.start()
        expect(program.running(), "the bridge ended")
        time.sleep(chance.uniform(0, 1.5))
    began = time.monotonic()
    before = sum(1 for l in broker.log_lines() if connect.search(l))
    while sum(1 for l in broker.log_lines() if connect.search(l)) == before:
        expect(time.monotonic() - began < 75, "not back within 75 s after the last restart")
        expect(program.running(), "the bridge ended")
        time.sleep(0.1)
    log = broker.log_lines()
    twice = [l for l in log if "already connected" in l]
    expect(not twice, "two connections at once: %r" % twice[:3])
    print("    50 restarts; back %.1f s after the last" % (time.monotonic() - began))
    expect(bridge.stop_cleanly(program) == 0, "a clean stop did not exit 0")


def main(argv):
    if argv == ["--list"]:
        print("\n".join(SCENARIOS))
        return 0
    arch = wine_runner.lane()
    print("soak lane: the %s bridge; %s" % (arch, wine_runner.runs_32bit()[1]))
    return e2e.run_scenarios(SCENARIOS, argv, arch, bridge.BridgeRun)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
