"""The whole gateway: virtual sensor nodes -> kelvora-ble-app -> ubus ->
kelvora-report-app -> cloud and kelvora-mqtt-app -> mosquitto -> subscriber."""

import collections
import json
import os
import struct

from gateway import DAEMONS, DEFAULT_NODES, Gateway
from mqtt_sub import Subscriber

import bluez_sim

BASE_TS = 1700000000
NODE_A = ("Kelvora-Room1-0123456789AB", "C0:FF:EE:00:00:01", (12, 14))
NODE_B = ("Kelvora-Room2-0123456789AC", "C0:FF:EE:00:00:02", (2,))


def f32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def as_bus_number(value):
    """A number as it comes out of ubus: doubles arrive exactly as sent."""
    return value


# (node, type id, index, kind, ts offset, value)
FRAMES = [
    (NODE_A, 12, 0, 0, 0, 12),
    (NODE_B, 2, 3, 2, 0, 21.5),
    (NODE_A, 14, 0, 1, 0, -125),
    (NODE_A, 12, 0, 0, 30, 13),
    (NODE_A, 14, 0, 1, 59, -1),
    (NODE_A, 12, 0, 0, 61, 3000000000),
    (NODE_A, 14, 0, 1, 60, -2147483648),
    (NODE_A, 12, 0, 0, 90, 15),
    (NODE_B, 2, 3, 2, 100, 0.1),
    (NODE_A, 12, 0, 0, 125, 16),
]
NAMES = {12: "PM_2_5", 14: "PS", 2: "AT"}


def frame_bytes(type_id, index, kind, ts, value):
    raw = f32_bits(value) if kind == 2 else value & 0xFFFFFFFF
    return bluez_sim.sensor_frame(type_id, index, kind, ts, raw)


def reading_key(node, index):
    device_id = node[0][-12:]
    return device_id if index == 0 else f"{device_id}_{index}"


def expected_value(kind, value):
    # A float frame carries single precision, widened to a double.
    return as_bus_number(struct.unpack("<f", struct.pack("<f", value))[0]) if kind == 2 else value


def thinned(frames):
    """Readings the cloud should get: per node key and type, one whose ts is
    at least 60 s after the last one admitted."""
    last = {}
    out = collections.defaultdict(list)
    for node, type_id, index, kind, offset, value in frames:
        key = (reading_key(node, index), NAMES[type_id])
        ts = BASE_TS + offset
        if (ts - last.get(key, 0)) & 0xFFFFFFFF > 59:
            last[key] = ts
            out[key].append({"k": NAMES[type_id], "ts": ts, "v": expected_value(kind, value)})
    return out


def daemons_in_sandbox(sandbox):
    """Daemon processes still living in the sandbox's mount namespace."""
    own_ns = os.readlink(f"/proc/{sandbox.pid}/ns/mnt")
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/ns/mnt") != own_ns:
                continue
            comm = open(f"/proc/{entry}/comm").read().strip()
        except OSError:
            continue
        if comm.startswith("kelvora-"):
            found.append((int(entry), comm))
    return found



def test_readings_reach_the_broker_once_and_the_cloud_thinned(sandbox):
    gw = Gateway(sandbox).start_platform()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    gw.start_daemons()
    paths = dict(zip((NODE_A, NODE_B), gw.add_nodes([NODE_A, NODE_B], period_ms=0)))
    assert gw.wait_nodes_ready(list(paths.values())), gw.log("ble.log")[-3000:]

    for node, type_id, index, kind, offset, value in FRAMES:
        assert gw.bluez.notify_sensor(paths[node], frame_bytes(type_id, index, kind, BASE_TS + offset, value))
    # Neither an unknown type id nor a short frame makes a reading.
    assert gw.bluez.notify_sensor(paths[NODE_A], frame_bytes(0, 0, 0, BASE_TS, 1))
    assert gw.bluez.notify_sensor(paths[NODE_A], frame_bytes(12, 0, 0, BASE_TS, 1)[:10])

    # Every reading reaches the broker exactly once, topic and body exact.
    expected = collections.Counter()
    for node, type_id, index, kind, offset, value in FRAMES:
        topic = f"kelvora/{reading_key(node, index)}/{NAMES[type_id]}"
        body = {"ts": BASE_TS + offset, "v": expected_value(kind, value)}
        expected[(topic, json.dumps(body, sort_keys=True))] += 1
    messages = sub.wait_messages(len(FRAMES), timeout=20)
    sandbox.wait_for(lambda: False, 1.0)  # anything extra would arrive now
    messages = sub.messages()
    got = collections.Counter((m["topic"], json.dumps(json.loads(m["payload"]), sort_keys=True))
                              for m in messages)
    assert got == expected
    for m in messages:
        assert m["qos"] == 0 and not m["retain"]
        assert " " not in m["payload"]
    # In order per topic.
    for node, type_id, index, _, _, _ in FRAMES:
        topic = f"kelvora/{reading_key(node, index)}/{NAMES[type_id]}"
        ts = [json.loads(m["payload"])["ts"] for m in messages if m["topic"] == topic]
        want = [BASE_TS + f[4] for f in FRAMES if f[0] == node and f[1] == type_id]
        assert ts == want

    # The cloud gets the thinned readings within one 30 s cycle.
    want = thinned(FRAMES)
    total = sum(len(v) for v in want.values())

    def received():
        out = collections.defaultdict(list)
        for report in gw.cloud.reports():
            for node in report["nodes"]:
                for reading in node["vs"]:
                    out[(node["id"], reading["k"])].append(reading)
        return out

    assert sandbox.wait_for(lambda: sum(len(v) for v in received().values()) >= total, 40, 0.5)
    assert dict(received()) == dict(want)
    for request in gw.cloud.requests():
        headers = {k.lower(): v for k, v in request["headers"]}
        assert request["method"] == "POST" and request["path"] == "/gateways/report"
        assert headers["authorization"] == "Bearer demo-token"
        assert headers["content-type"].startswith("application/json")

    # SIGTERM stops the whole system cleanly.
    statuses = gw.stop_daemons()
    assert statuses == {name: 0 for name in DAEMONS}
    assert daemons_in_sandbox(sandbox) == []
    for name, log in (("kelvora-ble-app", "ble.log"), ("kelvora-report-app", "report.log"),
                      ("kelvora-mqtt-app", "mqtt-app.log")):
        assert "Signal Catch : 15" in gw.log(log), name


def test_default_nodes_stream_readings_to_broker_and_cloud(sandbox):
    """The demo's set-up: every default node connects and its periodic
    readings reach the broker, and the first report reaches the cloud."""
    gw = Gateway(sandbox).start_platform()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    gw.start_daemons()
    gw.add_nodes(period_ms=500)
    ids = {name[-12:] for name, _, _ in DEFAULT_NODES}

    def topics_from_every_node():
        seen = {m["topic"].split("/")[1] for m in sub.messages()}
        return ids <= seen
    assert sandbox.wait_for(topics_from_every_node, 40, 0.2), gw.log("ble.log")[-3000:]
    assert sandbox.wait_for(lambda: gw.cloud.reports(), 35, 0.5)
    reported = {node["id"] for report in gw.cloud.reports() for node in report["nodes"]}
    assert reported & ids
    assert gw.stop_daemons() == {name: 0 for name in DAEMONS}


def bits(value):
    """A double's bit pattern: tells -0.0 from 0.0 and catches any rounding."""
    return struct.unpack("<Q", struct.pack("<d", value))[0] if isinstance(value, float) else value


# Raw 32-bit value fields of float frames and what each must arrive as: the
# single-precision value widened to a double, every digit kept.
EXACT_FLOATS = [
    (0x3DCCCCCD, 0.10000000149011612),      # 0.1f
    (0x34210FB0, 1.500000053056283e-07),    # 1.5e-7f
    (0x80000000, -0.0),                     # -0.0f
    (0x7F7FFFFF, 3.4028234663852886e+38),   # largest finite float
    (0x00000001, 1.401298464324817e-45),    # smallest subnormal float
]
# (type id, kind, raw, value) of integer frames: unsigned and signed extremes.
EXACT_INTEGERS = [
    (12, 0, 0, 0),
    (12, 0, 0xFFFFFFFF, 4294967295),
    (14, 1, 0x80000000, -2147483648),
]
# Events sent on the bus by hand, as another producer would.
HAND_SENT = [1.5e-7, 1e300, -2.5e-300, 123456789.125]


def test_values_cross_the_bus_exactly(sandbox):
    gw = Gateway(sandbox).start_platform()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    gw.start_daemons()
    (path,) = gw.add_nodes([NODE_A], period_ms=0)
    assert gw.wait_nodes_ready([path]), gw.log("ble.log")[-3000:]
    device_id = NODE_A[0][-12:]

    # One reading per minute of reading time, so that the cloud keeps each one.
    expected = {}  # (device id, sensor type, ts) -> value
    ts = BASE_TS
    for raw, value in EXACT_FLOATS:
        assert gw.bluez.notify_sensor(path, bluez_sim.sensor_frame(2, 0, 2, ts, raw))
        expected[(device_id, "AT", ts)] = value
        ts += 60
    for type_id, kind, raw, value in EXACT_INTEGERS:
        assert gw.bluez.notify_sensor(path, bluez_sim.sensor_frame(type_id, 0, kind, ts, raw))
        expected[(device_id, NAMES[type_id], ts)] = value
        ts += 60
    for value in HAND_SENT:
        event = {"data": {"k": "VOC", "ts": ts, "v": value}, "device_id": "HANDSENT0001",
                 "sensor_type": "VOC"}
        result = sandbox.ubus("send", "kelvora.report", json.dumps(event))
        assert result.returncode == 0, result.stderr
        expected[("HANDSENT0001", "VOC", ts)] = value
        ts += 60

    def at_broker():
        out = {}
        for m in sub.messages():
            _, device, sensor_type = m["topic"].split("/")
            body = json.loads(m["payload"])
            out[(device, sensor_type, body["ts"])] = body["v"]
        return out

    assert sandbox.wait_for(lambda: len(at_broker()) >= len(expected), 20, 0.1), at_broker()
    broker = at_broker()
    assert {k: bits(v) for k, v in broker.items()} == {k: bits(v) for k, v in expected.items()}
    # Integers stay JSON integers; doubles stay JSON numbers that read back as doubles.
    for m in sub.messages():
        body = json.loads(m["payload"])
        assert type(body["v"]) is type(expected[tuple(m["topic"].split("/")[1:]) + (body["ts"],)])
        assert ("." in m["payload"] or "e" in m["payload"]) == isinstance(body["v"], float), m["payload"]

    def at_cloud():
        out = {}
        for report in gw.cloud.reports():
            for node in report["nodes"]:
                for reading in node["vs"]:
                    out[(node["id"], reading["k"], reading["ts"])] = reading["v"]
        return out

    assert sandbox.wait_for(lambda: len(at_cloud()) >= len(expected), 40, 0.5), at_cloud()
    assert {k: bits(v) for k, v in at_cloud().items()} == {k: bits(v) for k, v in expected.items()}
    for key, value in expected.items():
        assert type(at_cloud()[key]) is type(value), key
    assert gw.stop_daemons() == {name: 0 for name in DAEMONS}
