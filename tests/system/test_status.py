"""The status objects of the whole gateway, read with the platform's ubus
tool as an operator would: one node that notified a known number of frames,
a cloud that refused the first two reports, a broker that went away."""

import json
import time

from gateway import CLOUD_PORT, DEFAULT_NODES, Gateway, default_config
from cloud_server import CloudServer
from test_e2e import frame_bytes

NODE = DEFAULT_NODES[0]
DEVICE_ID = NODE[0][-12:]
FRAMES = 12
BASE_TS = 1700000040
URL = f"http://127.0.0.1:{CLOUD_PORT}"
# Report every second; the second refusal asks for a pause long enough to
# read the daemon's state while it holds the readings.
REPORT_ENV = {"KELVORA_REPORT_PERIOD_MS": "1000"}
REFUSALS = [{"status": 503, "body": "busy"},
            {"status": 503, "body": "busy", "headers": ["Retry-After: 6"]}]


def call(gw, obj, method="status"):
    r = gw.sandbox.ubus("-S", "call", obj, method)
    assert r.returncode == 0, (obj, method, r.stderr)
    reply = json.loads(r.stdout)
    assert isinstance(reply, dict)
    return reply


def uptime_and_version(reply):
    assert isinstance(reply["uptime"], int) and 0 <= reply["uptime"] < 120
    assert isinstance(reply["version"], str)


def test_status_objects_show_readings_refusals_and_a_stopped_broker(sandbox):
    gw = Gateway(sandbox, default_config(nodes=[NODE])).start_platform()
    gw.cloud.stop()
    gw.cloud = CloudServer(sandbox, port=CLOUD_PORT, status=201, body='{"result":"ok"}',
                           script=REFUSALS, name="refusing-cloud").start()
    gw.start_daemons(env={"kelvora-report-app": REPORT_ENV})
    [path] = gw.add_nodes([NODE], period_ms=0, rssi=-58)
    assert gw.wait_nodes_ready([path]), gw.log("ble.log")[-3000:]
    for i in range(FRAMES):
        assert gw.bluez.notify_sensor(path, frame_bytes(12, 0, 0, BASE_TS + 60 * i, i))

    # kelvora.ble: one identified node with every frame decoded and sent on.
    assert sandbox.wait_for(lambda: call(gw, "kelvora.ble")["events_sent"] == FRAMES, 10, 0.1)
    ble = call(gw, "kelvora.ble")
    uptime_and_version(ble)
    assert ble["adapter"] == {"present": True, "powered": True, "discovering": ble["adapter"]["discovering"]}
    assert ble["clock_trusted"] is True
    assert ble["nodes"] == 1
    assert ble["readings_decoded"] == FRAMES and ble["send_failures"] == 0
    assert ble["dropped"] == {"short_frame": 0, "unknown_type": 0, "no_sensor_type": 0}
    [node] = call(gw, "kelvora.ble", "nodes")["nodes"]
    assert node["device_id"] == DEVICE_ID
    assert node["name"] == "Room1"  # from its info frame
    assert node["state"] == "identified"
    assert node["object_path"] == path
    assert node["readings"] == FRAMES
    assert node["reconnects"] == 0
    assert node["rssi"] == -58
    assert node["version"] and isinstance(node["version"], str)
    assert 0 <= node["last_reading_age"] <= 10

    # kelvora.report after two refusals: everything waits, nothing delivered.
    assert sandbox.wait_for(lambda: len(gw.cloud.report_requests()) >= 2, 15, 0.1)
    report = call(gw, "kelvora.report")
    assert len(gw.cloud.report_requests()) == 2, "the Retry-After pause was not kept"
    uptime_and_version(report)
    assert report["url"] == URL and report["tls_verify"] is True
    assert report["waiting"] == FRAMES and report["in_flight"] == FRAMES
    assert report["admitted"] == FRAMES and report["thinned"] == 0
    assert report["delivered"] == 0
    assert report["dropped"] == {"bound": 0, "refused": 0, "unconfigured": 0}
    assert report["attempts"] == 2
    assert report["failures"]["http_5xx"] == 2
    assert sum(report["failures"].values()) == 2
    assert report["last_attempt"]["http_status"] == 503
    assert report["last_attempt"]["outcome"] == "failed"
    assert abs(report["last_attempt"]["time"] - time.time()) < 10
    assert report["last_success"] is None
    assert 0 < report["oldest_waiting_age"] < 30
    assert 0 <= report["next_attempt"] <= 6

    # After the pause the same report goes through.
    assert sandbox.wait_for(lambda: call(gw, "kelvora.report")["delivered"] == FRAMES, 15, 0.2)
    report = call(gw, "kelvora.report")
    assert report["waiting"] == 0 and report["oldest_waiting_age"] == 0
    assert report["attempts"] == 3
    assert report["last_attempt"]["http_status"] == 201
    assert report["last_attempt"]["outcome"] == "delivered"
    assert report["last_success"] == report["last_attempt"]["time"]
    keys = {CloudServer.key_of(r) for r in gw.cloud.report_requests()}
    assert len(keys) == 1

    # kelvora.mqtt: every reading published, then the broker goes away.
    mqtt = call(gw, "kelvora.mqtt")
    uptime_and_version(mqtt)
    assert mqtt["enabled"] is True and mqtt["connected"] is True
    assert mqtt["broker"] == "127.0.0.1:1883"
    assert mqtt["received"] == FRAMES and mqtt["published"] == FRAMES and mqtt["failed"] == 0
    assert mqtt["reconnects"] == 0
    gw.stop_service("mosquitto")
    assert sandbox.wait_for(lambda: call(gw, "kelvora.mqtt")["connected"] is False, 5, 0.1)
    mqtt = call(gw, "kelvora.mqtt")
    assert mqtt["last_disconnect"]
    assert abs(mqtt["since"] - time.time()) < 10
    assert mqtt["received"] == FRAMES and mqtt["published"] == FRAMES

    # Each answer, once more, for whoever reads the test's output.
    for obj, method in (("kelvora.ble", "status"), ("kelvora.ble", "nodes"),
                        ("kelvora.report", "status"), ("kelvora.mqtt", "status")):
        print(obj, method, gw.sandbox.ubus("-S", "call", obj, method).stdout.strip())
    assert set(gw.stop_daemons().values()) == {0}
