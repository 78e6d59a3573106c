"""Whitelisted nodes whose info frames carry hostile names: anyone in radio
range can imitate a node, so what it says about itself reaches the log, the
status object, the MQTT discovery and the cloud only as harmless text."""

import json
import re

from gateway import DAEMONS, Gateway, default_config
from mqtt_sub import Subscriber

# (advertised name, address, sensor types, name field of the info frame, the
# name as the gateway keeps it: well-formed printable UTF-8, anything else
# one U+FFFD each)
NODES = [
    ("Kelvora-Q-0123456789AB", "C0:FF:EE:00:00:01", [12],
     b"it's\"\n\rok", "it's\"\ufffd\ufffdok"),
    ("Kelvora-E-0123456789AC", "C0:FF:EE:00:00:02", [2],
     b"\x1bc<script>", "\ufffdc<script>"),
    ("Kelvora-U-0123456789AD", "C0:FF:EE:00:00:03", [4],
     b"K\xc3\xa4\xff\xc0\xaf-01\xe2", "K\xe4\ufffd\ufffd\ufffd-01\ufffd"),
]
VERSION = bytes([1, 2, 3, 45])
RECORD = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (FATAL|ERROR|WARN |INFO |DEBUG|VERB ) "
                    r"\[\d+\] \[[^\[\]]+@\d+\] .*")


def info_frame(field):
    assert len(field) <= 10
    return bytes([0x84, 0x00]) + field.ljust(10, b"\x00") + VERSION


def test_hostile_names_stay_harmless_text_everywhere(sandbox):
    ids = [name[-12:] for name, *_ in NODES]
    kept = {name[-12:]: text for name, _, _, _, text in NODES}
    config = default_config(nodes=[node[:3] for node in NODES]) + "\toption ha_discovery '1'\n"
    gw = Gateway(sandbox, config=config).start_platform()
    sub = Subscriber(sandbox, topic="#")
    assert sub.wait_subscribed()
    gw.start_daemons(env={"kelvora-report-app": {"KELVORA_REPORT_PERIOD_MS": "1000"}})
    paths = [gw.add_nodes([(name, address, types)], period_ms=500, info_frame=info_frame(field))[0]
             for name, address, types, field, _ in NODES]
    assert gw.wait_nodes_ready(paths), gw.log("ble.log")[-3000:]

    def discovery():
        """Node discovery records by device id, the payload's raw bytes."""
        out = {}
        for m in sub.messages():
            match = re.fullmatch(r"homeassistant/sensor/kelvora_(\w{12})/\w+/config", m["topic"])
            if match and m["payload_hex"]:
                out[match[1]] = bytes.fromhex(m["payload_hex"])
        return out
    assert sandbox.wait_for(lambda: set(discovery()) == set(ids), 20), sub.messages()
    reported = lambda: {node["id"] for report in gw.cloud.reports() for node in report["nodes"]}  # noqa: E731
    assert sandbox.wait_for(lambda: reported() >= set(ids), 20), gw.cloud.requests()
    assert gw.daemons["kelvora-ble-app"].poll() is None

    # The log: well-formed UTF-8, no control byte but the line ends, one
    # record a line; each name as kept.
    raw = sandbox.path("/var/log/ble.log").read_bytes()
    text = raw.decode("utf-8")
    assert not re.search(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", text)
    lines = text.splitlines()
    assert [line for line in lines if not RECORD.fullmatch(line)] == []
    connected = sorted(line.split("] ", 2)[2] for line in lines if "] Connected to " in line)
    assert connected == sorted(f"Connected to {kept[i]}({i}) v1.2.3+45" for i in ids)

    # The status object: valid JSON with the kept names.
    nodes = json.loads(sandbox.ubus("-S", "call", "kelvora.ble", "nodes").stdout)["nodes"]
    assert {n["device_id"]: (n["name"], n["version"]) for n in nodes} == \
        {i: (kept[i], "1.2.3+45") for i in ids}
    assert json.loads(sandbox.ubus("-S", "call", "kelvora.ble", "status").stdout)["nodes"] == 3

    # MQTT: discovery payloads are JSON in well-formed UTF-8 naming the device
    # as kept; no topic carries a name, only device ids.
    for device_id, payload in discovery().items():
        assert json.loads(payload.decode("utf-8"))["device"]["name"] == kept[device_id]
    assert all(re.fullmatch(r"[A-Za-z0-9_/-]+", m["topic"]) for m in sub.messages())

    # The cloud: every body is JSON of ids and readings.
    for request in gw.cloud.report_requests():
        assert {n["id"] for n in json.loads(request["body"])["nodes"]} <= set(ids)

    # The registry reads back through the uci service, one section per node.
    reply = sandbox.ubus("call", "uci", "get", '{"config":"tavrin","type":"node"}')
    sections = json.loads(reply.stdout)["values"].values()
    assert sorted((s["device_id"], s["obj_path"]) for s in sections) == sorted(zip(ids, paths))

    assert gw.stop_daemons() == {name: 0 for name in DAEMONS}
