#!/usr/bin/env python3
"""Fault and soak runs of the real relay under Wine, bounded to a few minutes in all.

  wine_soak.py SCENARIO...    run scenarios (all when none is named); "N passed, N failed"
  wine_soak.py --list         name every scenario

Runs the 32-bit relay where 32-bit programs run, else the 64-bit one, and says which. Uses the
Wine run (VARDEX_WINE_RUN) that tools/wine_runner.py --setup prepares.
"""
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_e2e as e2e  # noqa: E402
from wine_e2e import CHANGE, START, TICK, expect, report, wine_runner  # noqa: E402

SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


@scenario
def monitor_restarted_20_times(run):
    """Detach and reattach 20 times: each new monitor's readings are reported once, afresh."""
    listen = run.listen()
    relay = run.relay()
    expected = []
    first = None
    for i in range(20):
        cpu, mb = 40 + i % 3, 30 + i % 2  # repeats across restarts: reattaching resets the values
        probe = run.probe(cpu=cpu, mb=mb)
        expected.append(report(" CPU:%02d MB:%02d" % (cpu, mb)))
        listen.wait_count(len(expected), START)
        if first is None:
            first = e2e.resources(relay)
        probe.quit()
        time.sleep(1.5 * TICK)
    time.sleep(2 * TICK)
    last = e2e.resources(relay)
    expect(listen.texts() == expected, "got %r" % listen.texts())
    print("    memory %d -> %d KiB, handles %d -> %d" % (first[0], last[0], first[1], last[1]))
    expect(last[1] <= first[1], "handles grew from %d to %d" % (first[1], last[1]))
    expect(last[0] <= first[0] + 1024, "memory grew from %d to %d KiB" % (first[0], last[0]))
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def owner_stopped_and_restarted(run):
    """Stopping the mailslot's owner loses the reports meanwhile; none is replayed after."""
    probe = run.probe()
    relay = run.relay()
    listen = run.listen()
    listen.wait_count(1, START)
    value = 50
    for _ in range(5):
        listen.kill()
        value += 1
        probe.set("cpu %d" % value)
        time.sleep(2 * TICK)
        listen = run.listen()
        time.sleep(2 * TICK)
        expect(listen.texts() == [], "replayed after a restart: %r" % listen.texts())
        value += 1
        probe.set("cpu %d" % value)
        listen.wait_count(1, CHANGE)
        time.sleep(0.5)
        expect(listen.texts() == [report(" CPU:%d MB:38" % value)], "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def changes_at_random_moments(run):
    """200 changes at random moments: every change a tick can see is sent once, nothing else."""
    listen = run.listen()
    probe = run.probe(cpu=100, mb=100)
    relay = run.relay()
    listen.wait_count(1, START)
    before = e2e.resources(relay)
    rng = random.Random(20261208)
    cpu = mb = 100
    states = []  # (values, shown at, held until)
    shown = probe.set("cpu 100")
    states.append(((cpu, mb), shown))
    for i in range(200):
        time.sleep(rng.choice((0.05, 0.3, 0.6, 0.9, 1.3, 1.6)))
        if rng.random() < 0.5:
            cpu = 101 + i
            at = probe.set("cpu %d" % cpu)
        else:
            mb = 101 + i
            at = probe.set("mb %d" % mb)
        states.append(((cpu, mb), at))
    time.sleep(3 * TICK)
    end = time.monotonic()
    after = e2e.resources(relay)

    reports = []
    for data in listen.texts():
        text = data.decode()
        expect(data.endswith(b"\0") and text.startswith(" CPU:"), "odd datagram %r" % data)
        c, m = text[5:-1].split(" MB:")
        reports.append((int(c), int(m)))
    # Reports follow the states in order, each state at most once ...
    sequence = [values for values, _ in states]
    position = 0
    for r in reports:
        expect(r in sequence[position:], "report %r is not a later state" % (r,))
        position = sequence.index(r, position) + 1
    # ... and every state held longer than a tick (with a margin) is among them.
    observable = 0
    for i, (values, at) in enumerate(states):
        until = states[i + 1][1] if i + 1 < len(states) else end
        if until - at >= 1.25 * TICK:
            observable += 1
            expect(values in reports, "state %r held %.2f s was not reported" % (values, until - at))
    print("    %d changes, %d held over a tick, %d reports; memory %d -> %d KiB, handles %d -> %d" % (
        len(states) - 1, observable, len(reports), before[0], after[0], before[1], after[1]))
    expect(after[1] <= before[1], "handles grew from %d to %d" % (before[1], after[1]))
    expect(after[0] <= before[0] + 1024, "memory grew from %d to %d KiB" % (before[0], after[0]))
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def monitor_hangs_during_clicks(run):
    """A monitor that stops answering at the first click holds the relay up; then it carries on."""
    listen = run.listen()
    hung = run.probe(options=["--hang-on-click", "4000"])
    relay = run.relay()
    _, hang_at, _ = hung.wait_line(r"^hanging", START)
    _, answered_at, _ = hung.wait_line(r"^answering again", 10)
    arrived = listen.wait_count(1, START)[0][0]
    expect(arrived > answered_at, "a report arrived while the monitor hung")
    print("    hung %.1f s; first report %.1f s after it answered" % (
        answered_at - hang_at, arrived - answered_at))
    expect(hung.clicks() == e2e.CLICKS, "clicks were %r" % hung.clicks())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def monitor_destroyed_during_search(run):
    """The monitor window goes between the lookup and the enumeration; the relay searches on."""
    listen = run.listen()
    vanishing = run.probe(options=["--quit-on-click"])
    relay = run.relay()
    vanishing.wait_line(r"^closed$", START)
    time.sleep(3 * TICK)
    expect(relay.running(), "relay ended")
    expect(listen.texts() == [], "reports without a monitor: %r" % listen.texts())
    run.probe(cpu=44, mb=33)
    listen.wait_count(1, START)
    expect(listen.texts() == [report(" CPU:44 MB:33")], "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


@scenario
def monitor_with_thousands_of_windows(run):
    """Attach still works among 3000 descendants; the search tick's time is printed."""
    listen = run.listen()
    probe = run.probe(cpu=55, mb=45)
    mark = len(probe.lines)
    probe.send("children 3000")
    probe.wait_line(r"^children 3000$", 60, mark)
    lines = e2e.helper(run.arch, "search-tick")
    print("    with 3000 more descendants: %s" % lines[-1])
    expect(lines and "attached 1" in lines[-1], "one search tick did not attach: %r" % lines)
    relay = run.relay()
    listen.wait_count(1, START)
    expect(listen.texts() == [report(" CPU:55 MB:45")], "got %r" % listen.texts())
    expect(run.stop_relay(relay) == (0, 0), "exit codes were not 0")


def main(argv):
    if argv == ["--list"]:
        print("\n".join(SCENARIOS))
        return 0
    arch = wine_runner.lane()
    print("soak lane: the %s relay; %s" % (arch, wine_runner.runs_32bit()[1]))
    return e2e.run_scenarios(SCENARIOS, argv, arch)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
