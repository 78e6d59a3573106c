#!/usr/bin/python3
"""End-to-end benchmark of the gateway in a sandbox.

Virtual sensor nodes notify readings at a stepped rate; each reading carries
its own sequence number as its value, so every MQTT message at the broker is
matched to the notification that caused it. For each step it prints the
readings lost, the notification-to-broker latency (median, 99th percentile),
the pace the broker kept, and each daemon's CPU and resident memory; before
the steps, the same figures for the idle gateway.

    bench/e2e_bench.py [--build-dir DIR] [--rates 20,50,...] [--step-seconds S]
                       [--idle-seconds S] [--max-p99 S] [--json FILE]

Needs root (the sandbox is a private mount and network namespace) and a
build of the daemons and platform stand-ins (scripts/bench does both).
"""

import argparse
import json
import math
import os
import platform
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

DEVICE_ID_LEN = 12
# Sensor type names by id, for the topics the broker should see.
TYPE_NAMES = {2: "AT", 3: "RH", 4: "LX", 5: "AP", 8: "CD", 11: "PM_1_0", 12: "PM_2_5",
              13: "PM_10", 14: "PS"}
CLK_TCK = os.sysconf("SC_CLK_TCK")


# --- process figures ---------------------------------------------------------

def cpu_seconds(pid):
    """utime + stime of the whole process (all its threads), in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # Fields after the command name start at field 3 (state); utime is 14, stime 15.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def memory_kib(pid):
    """(VmRSS, VmHWM) in KiB."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values.get("VmRSS", 0), values.get("VmHWM", 0)


class Meter:
    """CPU share and memory of a set of processes over a window."""

    def __init__(self, pids):
        self.pids = pids  # name -> pid

    def start(self):
        self._t0 = time.monotonic()
        self._cpu0 = {n: cpu_seconds(p) for n, p in self.pids.items()}

    def stop(self):
        wall = time.monotonic() - self._t0
        out = {}
        for name, pid in self.pids.items():
            rss, hwm = memory_kib(pid)
            out[name] = {"cpu_pct": 100.0 * (cpu_seconds(pid) - self._cpu0[name]) / wall,
                         "rss_kib": rss, "hwm_kib": hwm}
        return out


# --- machine -----------------------------------------------------------------

def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem_kib = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    load = os.getloadavg()
    return {"nproc": os.cpu_count(), "cpu": model, "mem_gib": round(mem_kib / 1048576, 1),
            "kernel": platform.release(), "loadavg_at_start": [round(x, 2) for x in load]}


# --- driving the nodes ---------------------------------------------------------

class Driver:
    """Notifies sensor frames through the simulation's control interface on
    one connection (no introspection per call), paced by the monotonic clock."""

    def __init__(self, control, nodes):
        self._bus = control.bus
        self._control = control
        # (device path, type id, topic) in round-robin order.
        self.slots = [(path, type_id, f"kelvora/{name[-DEVICE_ID_LEN:]}/{TYPE_NAMES[type_id]}")
                      for path, (name, _, types) in nodes for type_id in types]
        self.seq = 0

    def notify(self, path, frame):
        import dbus
        return bool(self._bus.call_blocking("org.bluez", "/", "org.bluez.Mock", "Notify", "osay",
                                            [path, "sensor", dbus.ByteArray(frame)]))

    def run(self, rate, seconds, sensor_frame):
        """Offers `rate` readings/s for `seconds`; returns {seq: (topic, send
        time)} with the wall time at which the control call returned."""
        count = max(1, int(round(rate * seconds)))
        sent = {}
        start = time.monotonic()
        for i in range(count):
            due = start + i / rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self.seq += 1
            path, type_id, topic = self.slots[self.seq % len(self.slots)]
            frame = sensor_frame(type_id, 0, 0, int(time.time()), self.seq)
            if not self.notify(path, frame):
                raise RuntimeError(f"node {path} is not notifying (connection lost?)")
            sent[self.seq] = (topic, time.time())
        return sent, time.monotonic() - start

    def notify_times(self):
        """Wall time at which the simulated BlueZ emitted each sensor
        notification, by sequence number; clears the journal."""
        times = {}
        for entry in self._control.journal():
            if entry.get("call") == "Notify" and entry.get("role") == "sensor":
                data = bytes(entry["args"][0])
                if len(data) == 11:
                    times[int.from_bytes(data[7:11], "little")] = entry["wall"]
        self._control.clear_journal()
        return times


class BusTap:
    """`ubus listen kelvora.report` inside the sandbox, each event stamped
    with its wall time on arrival: splits the latency at the bus."""

    def __init__(self, sandbox):
        import subprocess
        import threading
        self.times = {}
        self._proc = sandbox.spawn([sandbox.exe("ubus"), "listen", "kelvora.report"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._sandbox = sandbox
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        for line in self._proc.stdout:
            now = time.time()
            try:
                seq = json.loads(line)["kelvora.report"]["data"]["v"]
            except (ValueError, KeyError, TypeError):
                continue
            self.times[seq] = now

    def stop(self):
        self._sandbox.stop(self._proc)


# --- one step ------------------------------------------------------------------

def percentile(values, q):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[max(0, math.ceil(q / 100.0 * len(ordered)) - 1)]


def collect(sub, sent, seen_count, quiet_s=1.5, limit_s=30.0):
    """Waits until every reading of `sent` reached the broker, or nothing new
    came for `quiet_s`; returns {seq: (topic, arrival time)} of this step's
    readings, how many of them arrived more than once, and the number of
    messages read so far."""
    deadline = time.monotonic() + limit_s
    last_count, last_change = -1, time.monotonic()
    while True:
        messages = sub.messages()
        got, duplicates = {}, 0
        for m in messages[seen_count:]:
            try:
                seq = json.loads(m["payload"])["v"]
            except (ValueError, KeyError, TypeError):
                continue
            if seq in got:
                duplicates += 1
            elif seq in sent:
                got[seq] = (m["topic"], m["time"])
        now = time.monotonic()
        if len(got) != last_count:
            last_count, last_change = len(got), now
        if len(got) >= len(sent) or now - last_change > quiet_s or now > deadline:
            return got, duplicates, len(messages)
        time.sleep(0.2)


def step(gw, driver, sub, meter, rate, seconds, seen_count, max_p99, sensor_frame, tap=None):
    driver.notify_times()  # start from an empty journal
    meter.start()
    sent, send_span = driver.run(rate, seconds, sensor_frame)
    load = meter.stop()
    got, duplicates, seen_count = collect(sub, sent, seen_count)
    emitted = driver.notify_times()

    latencies, wrong_topic = [], 0
    for seq, (topic, arrival) in got.items():
        if topic != sent[seq][0]:
            wrong_topic += 1
        latencies.append(arrival - emitted.get(seq, sent[seq][1]))
    lost = len(sent) - len(got)
    offered = (len(sent) - 1) / send_span if send_span > 0 and len(sent) > 1 else float(rate)
    if len(got) > 1:
        arrivals = sorted(a for _, a in got.values())
        emits = sorted(emitted.get(s, sent[s][1]) for s in got)
        arrival_span = arrivals[-1] - arrivals[0]
        pace = (emits[-1] - emits[0]) / arrival_span if arrival_span > 0 else 0.0
    else:
        pace = 0.0
    result = {
        "rate": rate, "offered": offered, "sent": len(sent), "received": len(got), "lost": lost,
        "duplicates": duplicates, "wrong_topic": wrong_topic,
        "median_ms": 1000 * statistics.median(latencies) if latencies else float("nan"),
        "p99_ms": 1000 * percentile(latencies, 99),
        "max_ms": 1000 * max(latencies) if latencies else float("nan"),
        "pace": pace, "daemons": load,
    }
    if tap is not None:
        to_bus = [tap.times[s] - emitted.get(s, sent[s][1]) for s in sent if s in tap.times]
        to_broker = [a - tap.times[s] for s, (_, a) in got.items() if s in tap.times]
        for key, values in (("ble", to_bus), ("mqtt", to_broker)):
            result[f"{key}_median_ms"] = 1000 * statistics.median(values) if values else float("nan")
            result[f"{key}_p99_ms"] = 1000 * percentile(values, 99)
    # Lossless at this rate: every reading arrived once, on its topic, the
    # broker kept the offered pace and no queue built up.
    result["lossless"] = (lost == 0 and duplicates == 0 and wrong_topic == 0 and pace >= 0.98
                          and result["p99_ms"] <= 1000 * max_p99)
    return result, seen_count


# --- report --------------------------------------------------------------------

SHORT = {"kelvora-ble-app": "ble", "kelvora-report-app": "report", "kelvora-mqtt-app": "mqtt",
         "ubusd": "ubusd"}


def print_machine(m):
    print(f"machine: {m['nproc']} x {m['cpu']}, {m['mem_gib']} GiB, Linux {m['kernel']}, "
          f"load average at start {m['loadavg_at_start'][0]}")


def print_idle(idle, seconds):
    print(f"\nidle ({seconds:.0f} s, nodes connected, no readings):")
    print(f"  {'process':20} {'CPU %':>7} {'RSS KiB':>9}")
    for name, fig in idle.items():
        print(f"  {name:20} {fig['cpu_pct']:7.2f} {fig['rss_kib']:9d}")


def print_steps_header(names, split):
    cols = "".join(f" {SHORT[n] + ' CPU%':>10}" for n in names)
    if split:
        cols += f" {'to bus ms':>13} {'bus->broker':>13}"
    print(f"\n{'rate/s':>7} {'offered':>8} {'sent':>6} {'lost':>5} {'dup':>4} {'median ms':>10} {'p99 ms':>8} "
          f"{'max ms':>8} {'pace':>6}{cols}  lossless")


def print_step(r):
    cols = "".join(f" {fig['cpu_pct']:10.2f}" for fig in r["daemons"].values())
    if "ble_median_ms" in r:
        cols += "".join(f" {r[k + '_median_ms']:6.1f}/{r[k + '_p99_ms']:6.1f}" for k in ("ble", "mqtt"))
    print(f"{r['rate']:7g} {r['offered']:8.1f} {r['sent']:6d} {r['lost']:5d} {r['duplicates']:4d} {r['median_ms']:10.1f} "
          f"{r['p99_ms']:8.1f} {r['max_ms']:8.1f} {r['pace']:6.3f}{cols}  {'yes' if r['lossless'] else 'NO'}",
          flush=True)


def print_summary(best, steps, final_mem):
    print()
    if best is None:
        print("no step was lossless")
    else:
        print(f"highest lossless rate: {best['rate']:g} readings/s "
              f"(median {best['median_ms']:.1f} ms, p99 {best['p99_ms']:.1f} ms notification -> broker)")
        print(f"  {'process':20} {'CPU %':>7} {'RSS KiB':>9}")
        for name, fig in best["daemons"].items():
            print(f"  {name:20} {fig['cpu_pct']:7.2f} {fig['rss_kib']:9d}")
    failed = [s for s in steps if not s["lossless"]]
    if failed:
        top = max(failed, key=lambda s: s["rate"])
        if top["pace"] > 0:
            print(f"at {top['rate']:g} offered the broker received {top['offered'] * top['pace']:.1f} readings/s")
    print("peak resident memory (VmHWM KiB): "
          + ", ".join(f"{SHORT[n]} {fig['hwm_kib']}" for n, fig in final_mem.items()))


# --- main ----------------------------------------------------------------------


def check_alive(gw):
    for name, proc in gw.daemons.items():
        if proc.poll() is not None:
            raise RuntimeError(f"{name} ended with status {proc.returncode}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.environ.get("KELVORA_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--rates", default="20,50,80,90,100,110,130",
                        help="offered readings/s, in increasing order (comma-separated)")
    parser.add_argument("--step-seconds", type=float, default=8.0)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--max-p99", type=float, default=0.5,
                        help="99th-percentile latency (s) above which a step does not count as lossless")
    parser.add_argument("--refine", type=int, default=2,
                        help="extra steps that bisect between the last lossless and the first failed rate")
    parser.add_argument("--split", action="store_true",
                        help="also time each reading on the bus (one more \"kelvora.report\" listener): "
                             "latency notification -> bus and bus -> broker, median/p99")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    os.environ["KELVORA_BUILD_DIR"] = str(Path(args.build_dir).resolve())
    sys.path.insert(0, str(REPO / "hostenv"))
    sys.path.insert(0, str(REPO / "platform" / "bluez"))
    from bluez_sim import sensor_frame
    from gateway import DAEMONS, DEFAULT_NODES, Gateway, Sandbox
    from mqtt_sub import Subscriber

    rates = [float(r) for r in args.rates.split(",") if r.strip()]
    for name in DAEMONS:
        exe = Path(args.build_dir) / {"kelvora-ble-app": "ble", "kelvora-report-app": "report",
                                      "kelvora-mqtt-app": "mqtt"}[name] / name
        if not exe.exists():
            sys.exit(f"e2e_bench: {exe} is not built")

    info = machine()
    print_machine(info)
    started = time.monotonic()
    with Sandbox() as sb:
        gw = Gateway(sb).start_platform()
        sub = Subscriber(sb)
        if not sub.wait_subscribed():
            sys.exit("e2e_bench: the subscriber did not reach the broker")
        gw.start_daemons()
        paths = gw.add_nodes(DEFAULT_NODES, period_ms=0)
        if not gw.wait_nodes_ready(paths, 60, identified=False):
            sys.exit("e2e_bench: the nodes were not connected and notifying within 60 s\n"
                     + gw.log("ble.log")[-3000:])
        check_alive(gw)
        print(f"setup: {len(paths)} virtual nodes connected, {len(DEFAULT_NODES[0][2]) * len(paths)} "
              f"sensor streams, in {time.monotonic() - started:.1f} s")

        pids = {name: gw.daemons[name].pid for name in DAEMONS}
        pids["ubusd"] = gw.services["ubusd"].pid
        meter = Meter(pids)
        driver = Driver(gw.bluez, list(zip(paths, DEFAULT_NODES)))

        time.sleep(2.0)  # let the connection set-up settle
        meter.start()
        time.sleep(args.idle_seconds)
        idle = meter.stop()
        print_idle(idle, args.idle_seconds)

        tap = BusTap(sb) if args.split else None
        print_steps_header(pids, tap is not None)
        steps, seen = [], 0

        def run(rate):
            nonlocal seen
            time.sleep(1.0)  # the previous step's traffic settles
            check_alive(gw)
            result, seen = step(gw, driver, sub, meter, rate, args.step_seconds, seen, args.max_p99,
                                sensor_frame, tap)
            steps.append(result)
            print_step(result)
            return result

        passed, failed = None, None
        for rate in rates:
            result = run(rate)
            if result["lossless"]:
                passed = rate
            else:
                failed = rate
                break
        if passed is not None and failed is not None:
            for _ in range(args.refine):
                mid = round((passed + failed) / 2)
                if mid <= passed or mid >= failed:
                    break
                if run(mid)["lossless"]:
                    passed = mid
                else:
                    failed = mid
        check_alive(gw)
        final_mem = {n: dict(zip(("rss_kib", "hwm_kib"), memory_kib(p))) for n, p in pids.items()}
        statuses = gw.stop_daemons()
        sub.stop()
        if tap is not None:
            tap.stop()

    good = [s for s in steps if s["lossless"]]
    best = max(good, key=lambda s: s["rate"]) if good else None
    print_summary(best, steps, final_mem)
    print(f"daemon exit statuses: {statuses}; benchmark took {time.monotonic() - started:.0f} s")
    if args.json:
        Path(args.json).write_text(json.dumps({
            "machine": info, "idle_seconds": args.idle_seconds, "idle": idle,
            "step_seconds": args.step_seconds, "max_p99_s": args.max_p99, "steps": steps,
            "highest_lossless_rate": best["rate"] if best else None, "final_memory": final_mem,
            "exit_statuses": statuses}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
