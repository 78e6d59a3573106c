#!/usr/bin/python3
"""Status calls on the daemons under load.

The whole gateway in a sandbox, as in e2e_bench.py. Times `ubus -S call`
of each status method (kelvora.ble status and nodes, kelvora.report status,
kelvora.mqtt status) idle and while the virtual nodes notify readings at a
high rate, and compares the readings' latency from notification to broker
with and without those calls, at the same rate in the same run.

    bench/status_bench.py [--build-dir DIR] [--rate R] [--calls N] [--seconds S] [--json FILE]

Needs root and a build of the daemons and platform stand-ins (scripts/bench
--status builds them and runs this).
"""

import argparse
import json
import os
import statistics
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_bench import Driver, check_alive, collect, machine, percentile, print_machine  # noqa: E402

METHODS = (("kelvora.ble", "status"), ("kelvora.ble", "nodes"),
           ("kelvora.report", "status"), ("kelvora.mqtt", "status"))
UBUS_ERRORS = {3: "method not found", 4: "object not found", 7: "request timed out",
               10: "connection failed"}

# Runs inside the sandbox, so that entering it is not part of a call's time:
# `ubus -S call` of each method in turn, `count` rounds, plus `ubus -S list`
# of the same object as the tool's own cost of starting, connecting and
# looking the object up. Prints one JSON object of milliseconds per call.
CALLER = r"""
import json, subprocess, sys, time
ubus, count, methods = sys.argv[1], int(sys.argv[2]), [m.split(":") for m in sys.argv[3:]]
times = {f"{o} {m}": [] for o, m in methods}
times.update({f"{o} (list)": [] for o, _ in methods})
errors = {}
for _ in range(count):
    for obj, method in methods:
        for key, argv in ((f"{obj} {method}", [ubus, "-S", "-t", "5", "call", obj, method]),
                          (f"{obj} (list)", [ubus, "-S", "list", obj])):
            if key.endswith("(list)") and len(times[key]) >= count:
                continue
            t0 = time.perf_counter()
            r = subprocess.run(argv, capture_output=True, text=True)
            elapsed = 1000 * (time.perf_counter() - t0)
            ok = r.returncode == 0
            if ok and not key.endswith("(list)"):
                try:
                    ok = isinstance(json.loads(r.stdout), dict)
                except ValueError:
                    ok = False
            if ok:
                times[key].append(elapsed)
            else:
                errors[key] = errors.get(key, 0) + 1
print(json.dumps({"times": times, "errors": errors}))
"""


def check_methods(sb, methods):
    """Each method answers once with a JSON object; else the reason."""
    problems = []
    for obj, method in methods:
        r = sb.ubus("-S", "-t", "5", "call", obj, method)
        if r.returncode != 0:
            problems.append(f"{obj} {method}: {UBUS_ERRORS.get(r.returncode, f'ubus status {r.returncode}')}")
            continue
        try:
            if not isinstance(json.loads(r.stdout), dict):
                raise ValueError
        except ValueError:
            problems.append(f"{obj} {method}: the reply is not a JSON object: {r.stdout[:200]!r}")
    return problems


def call_all(sb, count, methods):
    argv = ["/usr/bin/python3", "-c", CALLER, sb.exe("ubus"), str(count)] + [f"{o}:{m}" for o, m in methods]
    r = sb.run(argv, timeout=60 + count * 10)
    if r.returncode != 0:
        raise RuntimeError(f"status caller failed: {r.stderr[-2000:]}")
    return json.loads(r.stdout)


def figures(ms):
    if not ms:
        return {"n": 0, "median_ms": float("nan"), "p99_ms": float("nan"), "max_ms": float("nan")}
    return {"n": len(ms), "median_ms": statistics.median(ms), "p99_ms": percentile(ms, 99), "max_ms": max(ms)}


def print_calls(title, result):
    print(f"\n{title}:")
    print(f"  {'call':28} {'n':>5} {'median ms':>10} {'p99 ms':>8} {'max ms':>8} {'errors':>7}")
    for key, ms in result["times"].items():
        f = figures(ms)
        print(f"  {key:28} {f['n']:5d} {f['median_ms']:10.1f} {f['p99_ms']:8.1f} {f['max_ms']:8.1f} "
              f"{result['errors'].get(key, 0):7d}")


def drive(gw, driver, sub, seen, rate, seconds, sensor_frame, busy=None):
    """Offers `rate` readings/s for at least `seconds`, and with `busy` (a
    thread) until it has ended too; returns the latencies to the broker (s),
    the readings lost and the messages read so far."""
    driver.notify_times()
    sent = {}
    started = time.monotonic()
    while time.monotonic() - started < seconds or (busy is not None and busy.is_alive()):
        check_alive(gw)
        chunk, _ = driver.run(rate, 1.0, sensor_frame)
        sent.update(chunk)
    got, _, seen = collect(sub, sent, seen)
    emitted = driver.notify_times()
    latencies = [arrival - emitted.get(seq, sent[seq][1]) for seq, (_, arrival) in got.items()]
    return latencies, len(sent) - len(got), seen, time.monotonic() - started


def latency_line(name, latencies, lost, span):
    ms = [1000 * x for x in latencies]
    f = figures(ms)
    print(f"  {name:24} {span:6.1f} {f['n']:7d} {lost:5d} {f['median_ms']:10.1f} {f['p99_ms']:8.1f} {f['max_ms']:8.1f}")
    return dict(f, lost=lost, seconds=span)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.environ.get("KELVORA_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--rate", type=float, default=80.0, help="readings/s offered under load")
    parser.add_argument("--calls", type=int, default=200, help="calls of each method per phase")
    parser.add_argument("--seconds", type=float, default=10.0, help="least length of each load phase")
    parser.add_argument("--methods", default=",".join(f"{o}:{m}" for o, m in METHODS),
                        help="object:method pairs to call (comma-separated), default the four status methods")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    methods = [tuple(m.strip().split(":", 1)) for m in args.methods.split(",") if m.strip()]
    if not methods or any(len(m) != 2 or not all(m) for m in methods):
        parser.error("--methods takes object:method pairs")

    os.environ["KELVORA_BUILD_DIR"] = str(Path(args.build_dir).resolve())
    sys.path.insert(0, str(REPO / "hostenv"))
    sys.path.insert(0, str(REPO / "platform" / "bluez"))
    from bluez_sim import sensor_frame
    from gateway import DAEMONS, DEFAULT_NODES, Gateway, Sandbox
    from mqtt_sub import Subscriber

    for name in DAEMONS:
        exe = Path(args.build_dir) / name.split("-")[1] / name
        if not exe.exists():
            sys.exit(f"status_bench: {exe} is not built")

    info = machine()
    print_machine(info)
    out = {"machine": info, "rate": args.rate, "calls": args.calls}
    with Sandbox() as sb:
        gw = Gateway(sb).start_platform()
        sub = Subscriber(sb)
        if not sub.wait_subscribed():
            sys.exit("status_bench: the subscriber did not reach the broker")
        gw.start_daemons()
        paths = gw.add_nodes(DEFAULT_NODES, period_ms=0)
        if not gw.wait_nodes_ready(paths, 60, identified=False):
            sys.exit("status_bench: the nodes were not connected and notifying within 60 s")
        check_alive(gw)
        problems = check_methods(sb, methods)
        if problems:
            gw.stop_daemons()
            sub.stop()
            sys.exit("status_bench: cannot time the status calls:\n  " + "\n  ".join(problems))
        driver = Driver(gw.bluez, list(zip(paths, DEFAULT_NODES)))
        time.sleep(2.0)

        out["idle_calls"] = call_all(sb, args.calls, methods)
        print_calls(f"status calls, idle ({args.calls} rounds)", out["idle_calls"])

        print(f"\nreadings at {args.rate:g}/s, notification -> broker:")
        print(f"  {'phase':24} {'s':>6} {'readings':>7} {'lost':>5} {'median ms':>10} {'p99 ms':>8} {'max ms':>8}")
        seen = len(sub.messages())
        phases = []

        def phase(name, calls):
            nonlocal seen
            time.sleep(1.0)  # the previous phase's traffic settles
            result = {}
            busy = None
            if calls:
                busy = threading.Thread(target=lambda: result.update(call_all(sb, args.calls, methods)), daemon=True)
                busy.start()
            latencies, lost, seen, span = drive(gw, driver, sub, seen, args.rate, args.seconds, sensor_frame, busy)
            if busy is not None:
                busy.join()
            phases.append(dict(latency_line(name, latencies, lost, span), phase=name))
            return result

        phase("no calls", False)
        loaded = phase("status calls", True)
        phase("no calls again", False)
        out["phases"] = phases
        out["loaded_calls"] = loaded
        print_calls(f"status calls under load ({args.rate:g} readings/s, {args.calls} rounds)", loaded)
        check_alive(gw)
        out["exit_statuses"] = gw.stop_daemons()
        sub.stop()

    calls = [ms for key, ms in loaded["times"].items() if not key.endswith("(list)")]
    worst = max((figures(ms)["p99_ms"] for ms in calls if ms), default=float("nan"))
    base = [p["median_ms"] for p in phases if p["phase"] != "status calls"]
    print(f"\nunder load the slowest method's p99 is {worst:.1f} ms per call (the tool's start included); "
          f"reading latency median {phases[1]['median_ms']:.1f} ms with calls, "
          f"{min(base):.1f}-{max(base):.1f} ms without")
    print(f"daemon exit statuses: {out['exit_statuses']}")
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
