"""Soak test: the whole gateway runs for a few minutes with virtual nodes
notifying readings while ubusd, the uci service, BlueZ, the broker and the
cloud stop and come back at random moments. Afterwards every reading is
accounted for at the broker and at the cloud, and the daemons stop cleanly.

Each reading carries a sequence number as its value, unique over the run, and
a node timestamp 60 s after the previous one of its node and type, so that
every reading is admissible for the cloud and any loss is visible.

Knobs (environment):
    KELVORA_FAULT_SECONDS  length of the soak in seconds (default 180)
    KELVORA_FAULT_SEED     seed of the fault plan (default 20261209)
    KELVORA_FAULT_KINDS    comma-separated services to fault
                           (default ubusd,uci,bluez,mosquitto,cloud)

`pytest -s` shows the fault log and the figures; they are also written to
faults.json in the test's tmp dir, with the daemons' logs beside it.
"""

import collections
import json
import os
import random
import threading
import time

import pytest

from gateway import DAEMONS, DEFAULT_NODES, Gateway
from mqtt_sub import Subscriber

import bluez_sim

SOAK_SECONDS = float(os.environ.get("KELVORA_FAULT_SECONDS", "180"))
SEED = int(os.environ.get("KELVORA_FAULT_SEED", "20261209"))
KINDS = tuple(k.strip() for k in os.environ.get("KELVORA_FAULT_KINDS", ",".join(Gateway.SERVICES))
              .split(",") if k.strip())

TICK = 0.5            # every node notifies one reading per tick, its types in turn
BASE_TS = 1700000000
TS_STEP = 60          # node time between two readings of one node and type
OUTAGE = (2.0, 5.0)   # seconds a service stays away
GAP = (8.0, 16.0)     # seconds between the return of one service and the next fault
QUIET_START = 8.0     # seconds of undisturbed readings before the first fault
QUIET_END = 45.0      # the last fault ends this long before the soak ends: one upload cycle and more
MARGIN = 0.5          # seconds around a broker outage in which a publish may be in flight
BUS_KEEP = 4096       # readings the BLE daemon keeps while ubusd is away, the oldest dropped first
BUS_SETTLE = 3.0      # after ubusd is back, seconds until the daemons are registered again

TYPE_NAMES = {2: "AT", 3: "RH", 4: "LX", 5: "AP", 8: "CD", 11: "PM_1_0", 12: "PM_2_5",
              13: "PM_10", 14: "PS"}

Sent = collections.namedtuple("Sent", "seq device_id type_name ts t")


# --- driving the nodes ---------------------------------------------------------

class Driver(threading.Thread):
    """Notifies one reading per node every TICK through the simulation's
    control interface, on a bus connection of its own. A reading counts as
    sent only when the simulated BlueZ emitted it to a subscribed client."""

    def __init__(self, address, nodes):
        super().__init__(daemon=True)
        self._address = address
        self._nodes = nodes  # [(device path, device id, [type ids])]
        self._halt = threading.Event()
        self._lock = threading.Lock()
        self.sent = []
        self.not_connected = 0   # BlueZ up, node not connected or not subscribed
        self.no_bluez = 0        # nobody owns org.bluez
        self.error = None

    def run(self):
        import dbus
        try:
            bus = dbus.bus.BusConnection(self._address)
            seq, tick = 0, 0
            count = collections.Counter()
            due = time.monotonic()
            while not self._halt.is_set():
                for path, device_id, types in self._nodes:
                    type_id = types[tick % len(types)]
                    seq += 1
                    key = (device_id, type_id)
                    ts = BASE_TS + TS_STEP * count[key]
                    frame = bluez_sim.sensor_frame(type_id, 0, 0, ts, seq)
                    try:
                        ok = bool(bus.call_blocking("org.bluez", "/", "org.bluez.Mock", "Notify", "osay",
                                                    [path, "sensor", dbus.ByteArray(frame)], timeout=2))
                    except dbus.exceptions.DBusException:
                        with self._lock:
                            self.no_bluez += 1
                        continue
                    with self._lock:
                        if ok:
                            count[key] += 1
                            self.sent.append(Sent(seq, device_id, TYPE_NAMES[type_id], ts, time.time()))
                        else:
                            self.not_connected += 1
                tick += 1
                due += TICK
                self._halt.wait(max(0.0, due - time.monotonic()))
            bus.close()
        except Exception as e:  # reported by the test, not lost in the thread
            self.error = repr(e)

    def stop(self):
        self._halt.set()
        self.join(10)

    def snapshot(self):
        with self._lock:
            return list(self.sent)


# --- faults --------------------------------------------------------------------

def plan_faults(rng, kinds, start, end):
    """[(second of the soak, service, outage seconds)]: every kind once in a
    shuffled order, then random kinds, until the window is used up."""
    order = list(kinds)
    rng.shuffle(order)
    plan, t = [], start
    limit = max(len(kinds), int((end - start) / 12))
    while len(plan) < limit:
        kind = order[len(plan)] if len(plan) < len(order) else rng.choice(kinds)
        outage = rng.uniform(*OUTAGE)
        if t + outage > end:
            break
        plan.append((t, kind, outage))
        t += outage + rng.uniform(*GAP)
    return plan


def broker_connections(sandbox):
    out = sandbox.run(["ss", "-tnH", "state", "established", "( sport = :1883 )"]).stdout
    return len([line for line in out.splitlines() if line.strip()])


class Injector:
    """Runs a fault plan against the gateway and records, for each fault,
    when the service went away and when it (and its clients) were back."""

    def __init__(self, gw, sub, t0):
        self.gw, self.sub, self.t0 = gw, sub, t0
        self.faults = []

    def log(self, text):
        print(f"[{time.time() - self.t0:7.2f} s] {text}", flush=True)

    def inject(self, kind, outage):
        gw = self.gw
        fault = {"kind": kind, "outage_s": round(outage, 2)}
        subscriptions = self.sub.subscriptions()
        fault["down_at"] = time.time()
        self.log(f"fault {len(self.faults) + 1}: stop {kind} for {outage:.1f} s")
        gw.stop_service(kind)
        time.sleep(outage)
        fault["start_at"] = time.time()
        gw.start_service(kind)
        fault["up_at"] = time.time()
        if kind == "mosquitto":
            # Back for the test only once the subscriber and the MQTT daemon
            # are connected again; publishes before that are lost by design.
            fault["clients_back"] = bool(
                self.sub.wait_subscribed(subscriptions + 1, timeout=15)
                and gw.sandbox.wait_for(lambda: broker_connections(gw.sandbox) >= 2, 15, 0.1))
        fault["ready_at"] = time.time()
        self.log(f"fault {len(self.faults) + 1}: {kind} back after {fault['ready_at'] - fault['down_at']:.1f} s")
        self.faults.append(fault)
        return fault


# --- accounting ----------------------------------------------------------------

def broker_readings(sub):
    out = []
    for m in sub.messages():
        try:
            body = json.loads(m["payload"])
            _, device_id, type_name = m["topic"].split("/")
            out.append((int(body["v"]), device_id, type_name, body["ts"], m["time"]))
        except (ValueError, KeyError, TypeError):
            out.append((None, m["topic"], m["payload"], None, m["time"]))
    return out


def cloud_readings(cloud):
    out = []
    for report in cloud.reports():
        for node in report.get("nodes", []):
            for r in node.get("vs", []):
                out.append((r.get("v"), node.get("id"), r.get("k"), r.get("ts")))
    return out


def in_window(t, windows):
    return any(a <= t <= b for a, b in windows)


def check_arrivals(name, sent, arrived, excuses, problems):
    """Matches arrivals [(seq, device id, type, ts, ...)] against the sent
    readings: duplicates, strangers and order per stream are problems; each
    missing reading is put down to the first excuse (reason, windows) that
    covers its send time, else counted as unexplained."""
    by_seq = {s.seq: s for s in sent}
    seen = collections.Counter()
    last_seq = {}
    strangers = out_of_order = 0
    for seq, device_id, type_name, ts, *_ in arrived:
        s = by_seq.get(seq)
        if s is None or (s.device_id, s.type_name, s.ts) != (device_id, type_name, ts):
            strangers += 1
            continue
        seen[seq] += 1
        key = (device_id, type_name)
        if seen[seq] == 1:
            if seq < last_seq.get(key, 0):
                out_of_order += 1
            last_seq[key] = seq
    duplicates = sum(n - 1 for n in seen.values())
    lost = collections.Counter()
    unexplained = []
    for s in sent:
        if s.seq in seen:
            continue
        reason = next((r for r, windows in excuses if in_window(s.t, windows)), None)
        if reason is None:
            unexplained.append(s.seq)
            reason = "unexplained"
        lost[reason] += 1
    if duplicates:
        problems.append(f"{name}: {duplicates} duplicate readings")
    if strangers:
        problems.append(f"{name}: {strangers} readings that no node sent (or altered)")
    if out_of_order:
        problems.append(f"{name}: {out_of_order} readings out of order within their stream")
    if unexplained:
        problems.append(f"{name}: {len(unexplained)} readings lost outside any excused window, "
                        f"seq {unexplained[:20]}")
    return {"delivered": len(seen), "duplicates": duplicates, "strangers": strangers,
            "out_of_order": out_of_order, "lost": dict(lost), "unexplained_seqs": unexplained[:50]}


def bus_overflow(faults, sent):
    """Windows of the readings the BLE daemon had to drop: while ubusd was
    away it keeps only the newest BUS_KEEP, so any older ones of the outage
    are gone. Empty unless an outage outlasted the bound."""
    windows = []
    for f in faults:
        if f["kind"] != "ubusd":
            continue
        during = [s.t for s in sent if f["down_at"] <= s.t <= f["up_at"] + BUS_SETTLE]
        if len(during) > BUS_KEEP:
            windows.append((during[0], during[len(during) - BUS_KEEP - 1]))
    return windows


# One record per outage, not per retry: (daemon, text, service whose outage it logs).
OUTAGE_RECORDS = [(name, "Lost the bus connection", "ubusd") for name in DAEMONS] + [
    ("kelvora-ble-app", "BlueZ left the bus", "bluez")]
LOG_FILES = {"kelvora-ble-app": "ble", "kelvora-report-app": "report", "kelvora-mqtt-app": "mqtt-app"}


def check_outage_records(gw, faults, problems):
    counts = {}
    for daemon, text, kind in OUTAGE_RECORDS:
        stem = LOG_FILES[daemon]
        names = [f"{stem}.log"] + [f"{stem}.{i}.log" for i in range(1, 5)]
        found = sum(gw.sandbox.read_log(n).count(text) for n in names)
        outages = sum(1 for f in faults if f["kind"] == kind)
        counts[f"{daemon}: {text}"] = found
        # Once all five files are in use the oldest records may have rolled away.
        rolled = bool(gw.sandbox.read_log(names[-1]))
        if found > outages or (found < outages and not rolled):
            problems.append(f"{daemon}: {found} records \"{text}\" for {outages} {kind} outages")
    return counts



def dead_daemons(gw):
    return {name: proc.returncode for name, proc in gw.daemons.items() if proc.poll() is not None}


# --- the test --------------------------------------------------------------------

@pytest.mark.skipif(not KINDS or set(KINDS) - set(Gateway.SERVICES),
                    reason=f"KELVORA_FAULT_KINDS names a service other than {Gateway.SERVICES}")
def test_gateway_survives_random_service_faults(sandbox, tmp_path):
    gw = Gateway(sandbox).start_platform()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    gw.start_daemons()
    paths = gw.add_nodes(DEFAULT_NODES, period_ms=0)
    assert gw.wait_nodes_ready(paths, 40, identified=False), gw.log("ble.log")[-3000:]

    rng = random.Random(SEED)
    plan = plan_faults(rng, KINDS, QUIET_START, SOAK_SECONDS - QUIET_END)
    nodes = [(path, name[-12:], types) for path, (name, _, types) in zip(paths, DEFAULT_NODES)]
    driver = Driver(gw.bus_address, nodes)
    t0 = time.time()
    injector = Injector(gw, sub, t0)
    injector.log(f"soak of {SOAK_SECONDS:.0f} s, seed {SEED}, {len(plan)} faults planned: "
                 + ", ".join(f"{kind}@{at:.0f}s" for at, kind, _ in plan))
    driver.start()
    problems = []
    try:
        for at, kind, outage in plan:
            delay = t0 + at - time.time()
            if delay > 0:
                time.sleep(delay)
            injector.inject(kind, outage)
            dead = dead_daemons(gw)
            if dead:
                problems.append(f"daemons ended after the {kind} fault: {dead}")
                break
        remaining = t0 + SOAK_SECONDS - time.time()
        if remaining > 0 and not problems:
            time.sleep(remaining)
    finally:
        driver.stop()
    injector.log("soak over")
    sent = driver.snapshot()
    faults = injector.faults

    # What was sent last by every node must arrive at both ends.
    final = {}
    for s in sent:
        final[s.device_id] = s
    want_final = {s.seq for s in final.values()}
    sandbox.wait_for(lambda: want_final <= {r[0] for r in broker_readings(sub)}, 15, 0.2)
    sandbox.wait_for(lambda: want_final <= {r[0] for r in cloud_readings(gw.cloud)}, 40, 0.5)
    time.sleep(1.0)  # a late duplicate would arrive now

    dead = dead_daemons(gw)
    if dead:
        problems.append(f"daemons not running at the end: {dead}")
    if driver.error:
        problems.append(f"driver failed: {driver.error}")

    for i, f in enumerate(faults, 1):
        if f.get("clients_back") is False:
            problems.append(f"fault {i}: subscriber and MQTT daemon not both connected to the broker "
                            "15 s after it came back")

    # Broker: exactly once, except while the broker itself was away.
    broker_down = [(f["down_at"] - MARGIN, f["ready_at"] + MARGIN) for f in faults
                   if f["kind"] == "mosquitto"]
    overflow = bus_overflow(faults, sent)
    bus_excuse = (f"ubusd away longer than the BLE daemon keeps readings ({BUS_KEEP})", overflow)
    broker = check_arrivals("broker", sent, broker_readings(sub),
                            [("broker down (publish while disconnected is lost)", broker_down),
                             bus_excuse], problems)

    # Cloud: every reading is admissible, and the report daemon puts the
    # readings of a failed upload back, so all of them arrive.
    request_times = [r["time"] for r in gw.cloud.requests()]
    arrived = cloud_readings(gw.cloud)
    cloud = check_arrivals("cloud", sent, arrived, [bus_excuse], problems)
    last_ts = {}
    for _, device_id, type_name, ts in arrived:
        key = (device_id, type_name)
        if isinstance(ts, int) and key in last_ts and ts - last_ts[key] < 60:
            problems.append(f"cloud: {key} got ts {ts} only {ts - last_ts[key]} s after the previous one")
        last_ts[key] = ts

    # Every node's readings reach the cloud again after each fault.
    sent_by_seq = {s.seq: s for s in sent}
    cloud_times = collections.defaultdict(list)
    for seq, device_id, _, _ in arrived:
        if seq in sent_by_seq:
            cloud_times[device_id].append(sent_by_seq[seq].t)
    after_fault = []
    for i, f in enumerate(faults, 1):
        missing = [d for _, d, _ in nodes if not any(t > f["ready_at"] for t in cloud_times[d])]
        after_fault.append({"fault": i, "kind": f["kind"], "nodes_missing_at_cloud": missing})
        if missing:
            problems.append(f"cloud: no reading of {missing} sent after fault {i} ({f['kind']})")

    at_broker = {r[0] for r in broker_readings(sub)}
    at_cloud = {r[0] for r in arrived}
    for s in final.values():
        if s.seq not in at_broker:
            problems.append(f"broker: final reading {s.seq} of {s.device_id} missing")
        if s.seq not in at_cloud:
            problems.append(f"cloud: final reading {s.seq} of {s.device_id} missing")
    if len(final) != len(nodes):
        problems.append(f"only {sorted(final)} sent readings at all")

    records = check_outage_records(gw, faults, problems)
    statuses = gw.stop_daemons()
    if statuses != {name: 0 for name in DAEMONS}:
        problems.append(f"exit statuses on SIGTERM: {statuses}")

    figures = {
        "seed": SEED, "soak_seconds": SOAK_SECONDS, "kinds": list(KINDS),
        "faults_per_kind": dict(collections.Counter(f["kind"] for f in faults)),
        "faults": [dict(f, down_s=round(f["down_at"] - t0, 2), ready_s=round(f["ready_at"] - t0, 2))
                   for f in faults],
        "readings_sent": len(sent),
        "not_sent": {"node not connected": driver.not_connected, "BlueZ away": driver.no_bluez},
        "broker": broker, "cloud": cloud, "cloud_after_each_fault": after_fault,
        "cloud_requests": len(request_times), "outage_records": records,
        "exit_statuses": statuses, "problems": problems,
    }
    (tmp_path / "faults.json").write_text(json.dumps(figures, indent=2) + "\n")
    gw.copy_logs(tmp_path / "logs")
    print_figures(figures, tmp_path)
    assert not problems, "\n".join(problems)


def print_figures(fig, tmp_path):
    print(f"\nfaults injected: {sum(fig['faults_per_kind'].values())} "
          + ", ".join(f"{k} {n}" for k, n in sorted(fig["faults_per_kind"].items())))
    print(f"readings sent: {fig['readings_sent']} (not sent: "
          + ", ".join(f"{k} {n}" for k, n in fig["not_sent"].items()) + ")")
    for end in ("broker", "cloud"):
        f = fig[end]
        lost = ", ".join(f"{n} {reason}" for reason, n in f["lost"].items()) or "none"
        print(f"{end}: delivered {f['delivered']}, duplicates {f['duplicates']}, lost {lost}")
    print(f"cloud requests: {fig['cloud_requests']}; exit statuses: {fig['exit_statuses']}")
    print(f"figures: {tmp_path / 'faults.json'}; logs: {tmp_path / 'logs'}")
    for p in fig["problems"]:
        print(f"PROBLEM: {p}")
