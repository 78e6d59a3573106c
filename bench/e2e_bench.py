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


def private_dirty_kib(pid):
    """Private_Dirty of the whole process (smaps_rollup), in KiB."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Private_Dirty:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def wakeups(pid):
    """Voluntary context switches of all the process's threads: each is a
    wait that ended, i.e. a wake-up."""
    total = 0
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except OSError:
            pass  # the thread ended meanwhile
    return total


class Meter:
    """CPU share, wake-ups and memory of a set of processes over a window."""

    def __init__(self, pids):
        self.pids = pids  # name -> pid

    def start(self):
        self._t0 = time.monotonic()
        self._cpu0 = {n: cpu_seconds(p) for n, p in self.pids.items()}
        self._wake0 = {n: wakeups(p) for n, p in self.pids.items()}

    def stop(self):
        wall = time.monotonic() - self._t0
        out = {}
        for name, pid in self.pids.items():
            rss, hwm = memory_kib(pid)
            out[name] = {"cpu_pct": 100.0 * (cpu_seconds(pid) - self._cpu0[name]) / wall,
                         "cpu_s": cpu_seconds(pid) - self._cpu0[name],
                         "wakeups_per_s": (wakeups(pid) - self._wake0[name]) / wall,
                         "rss_kib": rss, "hwm_kib": hwm, "private_dirty_kib": private_dirty_kib(pid)}
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

    def notify(self, paths, frames):
        import dbus
        return int(self._bus.call_blocking("org.bluez", "/", "org.bluez.Mock", "NotifyBatch", "aoaay",
                                           [dbus.Array(paths, signature="o"),
                                            dbus.Array([dbus.ByteArray(f) for f in frames], signature="ay")]))

    def run(self, rate, seconds, sensor_frame, ts_step=0, count=None):
        """Offers `rate` readings/s for `seconds` (or `count` readings);
        returns {seq: (topic, send time)} with the wall time at which the
        control call returned. The frames due at a moment go out in one
        call (at most every 2 ms), so the simulation keeps up with high
        rates; each one is still journalled when it is emitted. `ts_step`
        moves each stream's timestamp back by that many seconds per reading
        (distinct readings that the report daemon admits)."""
        count = count if count is not None else max(1, int(round(rate * seconds)))
        sent = {}
        start = time.monotonic()
        now_ts = int(time.time())
        i = 0
        while i < count:
            due = start + i / rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(max(delay, 0.002))
            # Everything due by now goes in this call.
            ready = max(i + 1, min(count, int((time.monotonic() - start) * rate) + 1))
            paths, frames, batch = [], [], []
            while i < ready:
                self.seq += 1
                path, type_id, topic = self.slots[self.seq % len(self.slots)]
                ts = now_ts - ts_step * (self.seq // len(self.slots)) if ts_step else int(time.time())
                paths.append(path)
                frames.append(sensor_frame(type_id, 0, 0, ts & 0xFFFFFFFF, self.seq))
                batch.append((self.seq, topic))
                i += 1
            if self.notify(paths, frames) != len(frames):
                raise RuntimeError("a node is not notifying (connection lost?)")
            wall = time.time()
            for seq, topic in batch:
                sent[seq] = (topic, wall)
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


# --- phases (one sandbox each) ----------------------------------------------------

SHORT = {"kelvora-ble-app": "ble", "kelvora-report-app": "report", "kelvora-mqtt-app": "mqtt",
         "ubusd": "ubusd"}


def check_alive(gw):
    for name, proc in gw.daemons.items():
        if proc.poll() is not None:
            raise RuntimeError(f"{name} ended with status {proc.returncode}")


def make_nodes(count):
    """`count` virtual nodes with three sensor types each (the default ones first)."""
    from gateway import DEFAULT_NODES
    if count <= len(DEFAULT_NODES):
        return DEFAULT_NODES[:count]
    nodes = list(DEFAULT_NODES)
    type_sets = [n[2] for n in DEFAULT_NODES]
    for i in range(len(nodes), count):
        nodes.append((f"Kelvora-N{i}-01234567{i:04X}", f"C0:FF:EE:01:{i >> 8:02X}:{i & 0xFF:02X}",
                      type_sets[i % len(type_sets)]))
    return nodes


class Rig:
    """One sandbox: platform, subscriber, daemons, `nodes` connected."""

    def __init__(self, nodes, env=None):
        from gateway import DAEMONS, Gateway, Sandbox, default_config
        from mqtt_sub import Subscriber
        self.nodes = nodes
        self._sb_cm = Sandbox()
        self.sb = self._sb_cm.__enter__()
        try:
            self.sb.env.update(env or {})
            self.gw = Gateway(self.sb, config=default_config(nodes)).start_platform()
            self.sub = Subscriber(self.sb)
            if not self.sub.wait_subscribed():
                raise RuntimeError("the subscriber did not reach the broker")
            self.gw.start_daemons()
            paths = self.gw.add_nodes(nodes, period_ms=0)
            if not self.gw.wait_nodes_ready(paths, 60 + len(nodes), identified=False):
                raise RuntimeError("the nodes were not connected and notifying in time\n"
                                   + self.gw.log("ble.log")[-3000:])
            check_alive(self.gw)
            self.pids = {name: self.gw.daemons[name].pid for name in DAEMONS}
            self.pids["ubusd"] = self.gw.services["ubusd"].pid
            self.driver = Driver(self.gw.bluez, list(zip(paths, nodes)))
            self.seen = 0
            time.sleep(2.0)  # the connection set-up settles
        except BaseException:
            self._sb_cm.__exit__(None, None, None)
            raise

    def close(self):
        statuses = self.gw.stop_daemons()
        self.sub.stop()
        self._sb_cm.__exit__(None, None, None)
        return statuses


def phase_idle(args, sensor_frame):
    rig = Rig(make_nodes(3))
    try:
        meter = Meter(rig.pids)
        meter.start()
        time.sleep(args.idle_seconds)
        return {"idle": meter.stop(), "exit": rig.close()}
    except BaseException:
        rig.close()
        raise


def phase_rates(args, sensor_frame):
    rig = Rig(make_nodes(3))
    tap = BusTap(rig.sb) if args.split else None
    steps = []
    try:
        meter = Meter(rig.pids)

        def run(rate):
            time.sleep(1.0)  # the previous step's traffic settles
            check_alive(rig.gw)
            result, rig.seen = step(rig.gw, rig.driver, rig.sub, meter, rate, args.step_seconds, rig.seen,
                                    args.max_p99, sensor_frame, tap)
            steps.append(result)
            print_step(result)
            return result

        print_steps_header(rig.pids, tap is not None)
        passed, failed = None, None
        for rate in [float(r) for r in args.rates.split(",") if r.strip()]:
            if run(rate)["lossless"]:
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
        final = {n: {"rss_kib": memory_kib(p)[0], "hwm_kib": memory_kib(p)[1]} for n, p in rig.pids.items()}
        if tap is not None:
            tap.stop()
        return {"steps": steps, "highest_lossless_rate": passed, "final_memory": final, "exit": rig.close()}
    except BaseException:
        rig.close()
        raise


def add_cpu_per_reading(result):
    """A step's CPU microseconds per delivered reading, by process."""
    received = max(1, result["received"])
    result["us_per_reading"] = {n: 1e6 * fig["cpu_s"] / received for n, fig in result["daemons"].items()}


def cpu_per_reading_text(result):
    return (", ".join(f"{SHORT[n]} {v:.0f} us" for n, v in result["us_per_reading"].items())
            + f"; lost {result['lost']}")


def phase_nodes(args, sensor_frame):
    out = {}
    for count in [int(c) for c in args.node_counts.split(",") if c.strip()]:
        rig = Rig(make_nodes(count))
        try:
            meter = Meter(rig.pids)
            result, rig.seen = step(rig.gw, rig.driver, rig.sub, meter, args.node_rate, args.node_seconds, rig.seen,
                                    args.max_p99, sensor_frame)
            add_cpu_per_reading(result)
            result["exit"] = rig.close()
            out[str(count)] = result
            print(f"  {count:4d} nodes: {cpu_per_reading_text(result)}, p99 {result['p99_ms']:.1f} ms", flush=True)
        except BaseException:
            rig.close()
            raise
    return {"nodes": out}


def phase_backlog(args, sensor_frame):
    # Uploads wait an hour: every admitted reading stays in the report daemon.
    rig = Rig(make_nodes(3), env={"KELVORA_REPORT_PERIOD_MS": "3600000"})
    try:
        meter = Meter(rig.pids)
        meter.start()
        before = idle_memory = meter.stop()
        del before
        # Distinct timestamps a minute apart per stream: each reading is admitted.
        sent, _ = rig.driver.run(args.backlog_rate, 0, sensor_frame, ts_step=60, count=args.backlog)
        got, _, rig.seen = collect(rig.sub, sent, rig.seen, quiet_s=5.0, limit_s=300.0)
        time.sleep(2.0)
        meter.start()
        time.sleep(1.0)
        loaded = meter.stop()
        waiting = None
        try:
            reply = rig.sb.run([rig.sb.exe("ubus"), "call", "kelvora.report", "status"], timeout=10)
            waiting = json.loads(reply.stdout).get("waiting")
        except Exception:  # an older daemon may have no status object
            pass
        print(f"  backlog: {len(got)} of {len(sent)} readings at the broker, report daemon waiting: {waiting}",
              flush=True)
        return {"backlog": {"sent": len(sent), "at_broker": len(got), "waiting": waiting, "before": idle_memory,
                            "with_backlog": loaded}, "exit": rig.close()}
    except BaseException:
        rig.close()
        raise


def phase_cost(args, sensor_frame):
    """What one reading costs each process: CPU microseconds at each of
    --cost-rates (three nodes, one sandbox), then instructions counted by
    callgrind (reading_cost_bench.py, two sandboxes of its own)."""
    import subprocess
    import tempfile
    out = {"rates": {}}
    rig = Rig(make_nodes(3))
    try:
        meter = Meter(rig.pids)
        for rate in [float(r) for r in args.cost_rates.split(",") if r.strip()]:
            time.sleep(1.0)
            check_alive(rig.gw)
            result, rig.seen = step(rig.gw, rig.driver, rig.sub, meter, rate, args.cost_seconds, rig.seen,
                                    args.max_p99, sensor_frame)
            add_cpu_per_reading(result)
            out["rates"][f"{rate:g}"] = result
            print(f"  {rate:g}/s: {cpu_per_reading_text(result)}", flush=True)
        out["exit"] = rig.close()
    except BaseException:
        rig.close()
        raise
    with tempfile.NamedTemporaryFile(suffix=".json") as counted:
        subprocess.run([sys.executable, str(REPO / "bench" / "reading_cost_bench.py"), "--build-dir",
                        os.environ["KELVORA_BUILD_DIR"], "--readings", args.cost_readings, "--json", counted.name],
                       check=True)
        out["instructions_per_reading"] = json.loads(Path(counted.name).read_text())["per_reading"]
    return out


PHASES = {"idle": phase_idle, "rates": phase_rates, "nodes": phase_nodes, "backlog": phase_backlog,
          "cost": phase_cost}


# --- printing ------------------------------------------------------------------------


def print_machine(m):
    print(f"machine: {m['nproc']} x {m['cpu']}, {m['mem_gib']} GiB, Linux {m['kernel']}, "
          f"load average at start {m['loadavg_at_start'][0]}")


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


def figures(result):
    """The table's rows: (section, figure, value) from one build's phases."""
    rows = []
    daemons = ("kelvora-ble-app", "kelvora-report-app", "kelvora-mqtt-app")
    idle = result.get("idle", {}).get("idle")
    if idle:
        for n in daemons:
            rows.append(("idle", f"{SHORT[n]} CPU %", idle[n]["cpu_pct"]))
        for n in daemons:
            rows.append(("idle", f"{SHORT[n]} wake-ups/s", idle[n]["wakeups_per_s"]))
        for n in daemons:
            rows.append(("idle", f"{SHORT[n]} private dirty KiB", idle[n]["private_dirty_kib"]))
        for n in daemons:
            rows.append(("idle", f"{SHORT[n]} RSS KiB", idle[n]["rss_kib"]))
    rates = result.get("rates")
    if rates:
        rows.append(("rates", "highest lossless readings/s", rates["highest_lossless_rate"]))
        by_rate = {s["rate"]: s for s in rates["steps"]}
        for rate in (20, 100, 500, 1000):
            st = by_rate.get(rate)
            ok = st is not None and st["lossless"]
            rows.append(("rates", f"median ms at {rate}/s", st["median_ms"] if ok else None))
            rows.append(("rates", f"p99 ms at {rate}/s", st["p99_ms"] if ok else None))
        st = by_rate.get(1000)
        for n in daemons:
            rows.append(("1000/s", f"{SHORT[n]} private dirty KiB",
                         st["daemons"][n]["private_dirty_kib"] if st else None))
        for n in daemons:
            rows.append(("1000/s", f"{SHORT[n]} RSS KiB", st["daemons"][n]["rss_kib"] if st else None))
    nodes = result.get("nodes", {}).get("nodes")
    if nodes:
        for count, r in nodes.items():
            for n in daemons:
                rows.append(("nodes", f"{count} nodes: {SHORT[n]} CPU us/reading", r["us_per_reading"][n]))
            rows.append(("nodes", f"{count} nodes: lost", r["lost"]))
    cost = result.get("cost")
    if cost:
        processes = daemons + ("ubusd",)
        for rate, r in cost["rates"].items():
            for n in processes:
                rows.append(("cost", f"{rate}/s: {SHORT[n]} CPU us/reading", r["us_per_reading"][n]))
            rows.append(("cost", f"{rate}/s: three daemons CPU us/reading",
                         sum(r["us_per_reading"][n] for n in daemons)))
            rows.append(("cost", f"{rate}/s: lost", r["lost"]))
        counted = cost["instructions_per_reading"]
        for n in processes:
            rows.append(("cost", f"{SHORT[n]} instructions/reading", counted[n]))
        rows.append(("cost", "three daemons instructions/reading", sum(counted[n] for n in daemons)))
    backlog = result.get("backlog", {}).get("backlog")
    if backlog:
        rows.append(("backlog", "readings waiting in report", backlog["waiting"]))
        for n in daemons:
            rows.append(("backlog", f"{SHORT[n]} private dirty KiB", backlog["with_backlog"][n]["private_dirty_kib"]))
        for n in daemons:
            rows.append(("backlog", f"{SHORT[n]} RSS KiB", backlog["with_backlog"][n]["rss_kib"]))
        before = backlog["before"]["kelvora-report-app"]["private_dirty_kib"]
        after = backlog["with_backlog"]["kelvora-report-app"]["private_dirty_kib"]
        if backlog["waiting"]:
            rows.append(("backlog", "report private dirty B per waiting reading",
                         1024.0 * (after - before) / backlog["waiting"]))
    return rows


def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, float):
        if math.isnan(v):
            return "-"
        return f"{v:.2f}" if abs(v) < 10 else f"{v:.0f}"
    return str(v)


def print_table(current, baseline=None, base_name=""):
    cur = figures(current)
    base = {(s, k): v for s, k, v in figures(baseline)} if baseline else {}
    if baseline:
        print(f"\n| phase | figure | baseline {base_name} | this tree | ratio |")
        print("| --- | --- | ---: | ---: | ---: |")
    else:
        print("\n| phase | figure | value |")
        print("| --- | --- | ---: |")
    for section, key, value in cur:
        if baseline:
            b = base.get((section, key))
            ratio = "-"
            if isinstance(b, (int, float)) and isinstance(value, (int, float)) and b and value is not None:
                ratio = f"{value / b:.3g}"
            print(f"| {section} | {key} | {fmt(b)} | {fmt(value)} | {ratio} |")
        else:
            print(f"| {section} | {key} | {fmt(value)} |")


# --- main ----------------------------------------------------------------------------


def build_baseline(rev, workdir):
    """A worktree of `rev` beside this one (under /tmp) with the daemons and
    the platform stand-ins built; returns its build directory."""
    import subprocess
    tree = Path(workdir) / f"kelvora-baseline-{rev}"
    if not tree.exists():
        subprocess.run(["git", "-C", str(REPO), "worktree", "add", "--detach", str(tree), rev], check=True,
                       stdout=subprocess.DEVNULL)
    build = tree / "build"
    subprocess.run(["nice", "-n", "10", "cmake", "-S", str(tree), "-B", str(build),
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["nice", "-n", "10", "cmake", "--build", str(build), "-j2", "--target", "kelvora-ble-app",
                    "kelvora-report-app", "kelvora-mqtt-app", "ubusd", "ubus_cli", "uci-service"],
                   check=True, stdout=subprocess.DEVNULL)
    return build


def link_floors(build_dir):
    """Private dirty KiB of empty programs linked against nothing, libcurl and
    libmosquittopp (bench/floor/): what the client libraries cost a daemon
    before it does anything."""
    import subprocess
    out = {}
    for name in ("plain", "curl", "mosquitto"):
        exe = Path(build_dir) / "bench" / "floor" / f"link_floor_{name}"
        if not exe.exists():
            continue
        proc = subprocess.Popen([str(exe)], stdout=subprocess.PIPE)
        proc.stdout.readline()  # it has started and resolved its libraries
        out[name] = private_dirty_kib(proc.pid)
        proc.terminate()
        proc.wait()
    return out


def run_worker(phase, build_dir, args):
    """One phase against one build, in a process of its own (the sandbox
    helpers bind the build directory at import)."""
    import subprocess
    import tempfile
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        argv = [sys.executable, str(Path(__file__).resolve()), "--worker", phase, "--build-dir", str(build_dir),
                "--worker-json", out.name]
        for name in ("rates", "step_seconds", "idle_seconds", "max_p99", "refine", "node_counts", "node_rate",
                     "node_seconds", "cost_rates", "cost_seconds", "cost_readings",
                     "backlog", "backlog_rate"):
            argv += ["--" + name.replace("_", "-"), str(getattr(args, name))]
        if args.split:
            argv.append("--split")
        subprocess.run(argv, check=True)
        return json.loads(Path(out.name).read_text() or "{}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.environ.get("KELVORA_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--baseline", metavar="REV",
                        help="also build REV (a git worktree under --baseline-dir) and run every phase on "
                             "it right before this tree's; prints both and the ratios")
    parser.add_argument("--baseline-dir", default="/tmp")
    parser.add_argument("--phases", default="idle,rates,nodes,backlog")
    parser.add_argument("--rates", default="20,100,500,1000,1500,2000",
                        help="offered readings/s, in increasing order (comma-separated)")
    parser.add_argument("--step-seconds", type=float, default=6.0)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--max-p99", type=float, default=0.5,
                        help="99th-percentile latency (s) above which a step does not count as lossless")
    parser.add_argument("--refine", type=int, default=2,
                        help="extra steps that bisect between the last lossless and the first failed rate")
    parser.add_argument("--node-counts", default="1,10,100")
    parser.add_argument("--node-rate", type=float, default=60.0,
                        help="total readings/s of the node-count phase (below the baseline's ceiling)")
    parser.add_argument("--node-seconds", type=float, default=20.0,
                        help="length of each node-count step (CPU is counted in 10 ms ticks: the more "
                             "readings, the finer the per-reading figure)")
    parser.add_argument("--cost-rates", default="60,1000",
                        help="readings/s of the cost phase's CPU figures (comma-separated)")
    parser.add_argument("--cost-seconds", type=float, default=20.0)
    parser.add_argument("--cost-readings", default="30,150",
                        help="the two counts of readings of the cost phase's callgrind runs")
    parser.add_argument("--backlog", type=int, default=10000)
    parser.add_argument("--backlog-rate", type=float, default=1000.0)
    parser.add_argument("--split", action="store_true",
                        help="also time each reading on the bus (one more \"kelvora.report\" listener): "
                             "latency notification -> bus and bus -> broker, median/p99")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--worker-json", help=argparse.SUPPRESS)
    args = parser.parse_args()

    os.environ["KELVORA_BUILD_DIR"] = str(Path(args.build_dir).resolve())
    if args.worker:
        sys.path.insert(0, str(REPO / "hostenv"))
        sys.path.insert(0, str(REPO / "platform" / "bluez"))
        from bluez_sim import sensor_frame
        result = PHASES[args.worker](args, sensor_frame)
        Path(args.worker_json).write_text(json.dumps(result))
        return 0

    for name, sub in (("kelvora-ble-app", "ble"), ("kelvora-report-app", "report"), ("kelvora-mqtt-app", "mqtt")):
        if not (Path(args.build_dir) / sub / name).exists():
            sys.exit(f"e2e_bench: {Path(args.build_dir) / sub / name} is not built")
    info = machine()
    print_machine(info)
    started = time.monotonic()
    base_build = build_baseline(args.baseline, args.baseline_dir) if args.baseline else None
    current, baseline = {}, {}
    for phase in [p for p in args.phases.split(",") if p]:
        # Each phase runs on both builds back to back, so that both meet the
        # same load of the host.
        if base_build:
            print(f"\n== {phase}: baseline {args.baseline}", flush=True)
            baseline[phase] = run_worker(phase, base_build, args)
        print(f"\n== {phase}: this tree", flush=True)
        current[phase] = run_worker(phase, args.build_dir, args)
    print_table(current, baseline if base_build else None, args.baseline or "")
    floors = link_floors(args.build_dir)
    if floors:
        print("\nprivate dirty KiB of an empty program linked against: "
              + ", ".join(f"{k} {v}" for k, v in floors.items()))
    print(f"\nload average at the end {os.getloadavg()[0]:.2f}; benchmark took {time.monotonic() - started:.0f} s")
    if args.json:
        Path(args.json).write_text(json.dumps({"machine": info, "current": current, "baseline": baseline,
                                               "link_floors_kib": floors,
                                               "baseline_rev": args.baseline}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
