"""The gateway across restarts of the bus daemon and of the uci service, as
procd respawns them after a crash: readings flow again (those notified while
the bus was away included, in order), websocket commands reach the nodes
again and new nodes are still recorded in UCI."""

import json
import time

from gateway import DAEMONS, Gateway, LOGS
from mqtt_sub import Subscriber

import bluez_sim

BASE_TS = 1700000000
NODE_A = ("Kelvora-Room1-0123456789AB", "C0:FF:EE:00:00:01", (12,))
NODE_B = ("Kelvora-Room2-0123456789AC", "C0:FF:EE:00:00:02", (2,))
NODE_C = ("Kelvora-Lab-0123456789AD", "C0:FF:EE:00:00:03", (4,))
TOPIC_A = "kelvora/0123456789AB/PM_2_5"
LOST = "Lost the bus connection, reconnecting"
RESTORED = "Bus connection restored"


def pm_frame(ts, value):
    return bluez_sim.sensor_frame(12, 0, 0, ts, value)



def readings(sub, topic):
    return [json.loads(m["payload"]) for m in sub.messages() if m["topic"] == topic]


def records(gw, daemon, text):
    return [line for line in gw.log(LOGS[daemon]).splitlines() if line.endswith("] " + text)]


def recorded_in_uci(gw, device_id):
    return f"option device_id '{device_id}'" in (gw.sandbox.read_config("tavrin") or "")


def start(sandbox, nodes):
    gw = Gateway(sandbox).start_platform()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    gw.start_daemons()
    paths = gw.add_nodes(nodes, period_ms=0)
    assert gw.wait_nodes_ready(paths), gw.log("ble.log")[-3000:]
    return gw, sub, paths


def test_readings_and_commands_flow_again_after_the_bus_daemon_restarts(sandbox):
    gw, sub, (path_a,) = start(sandbox, [NODE_A])
    assert gw.bluez.notify_sensor(path_a, pm_frame(BASE_TS, 10))
    assert sandbox.wait_for(lambda: readings(sub, TOPIC_A), 10)

    gw.stop_service("ubusd")
    for daemon in DAEMONS:
        assert sandbox.wait_for(lambda: records(gw, daemon, LOST), 5), daemon
    # Notified while the bus is away: kept by the BLE daemon.
    assert gw.bluez.notify_sensor(path_a, pm_frame(BASE_TS + 60, 11))
    assert gw.bluez.notify_sensor(path_a, pm_frame(BASE_TS + 120, 12))
    time.sleep(1.5)
    assert readings(sub, TOPIC_A) == [{"ts": BASE_TS, "v": 10}]

    gw.start_service("ubusd")
    back = time.monotonic()
    assert gw.bluez.notify_sensor(path_a, pm_frame(BASE_TS + 180, 13))
    want = [{"ts": BASE_TS + 60 * i, "v": 10 + i} for i in range(4)]
    assert sandbox.wait_for(lambda: len(readings(sub, TOPIC_A)) >= 4, 10), gw.log("ble.log")[-2000:]
    print(f"kept and new readings at the broker {time.monotonic() - back:.2f} s after ubusd's return")
    time.sleep(0.5)
    assert readings(sub, TOPIC_A) == want  # in order, each once

    for daemon in DAEMONS:
        assert sandbox.wait_for(lambda: records(gw, daemon, RESTORED), 5), daemon
        assert len(records(gw, daemon, LOST)) == 1 and len(records(gw, daemon, RESTORED)) == 1, daemon
        assert gw.daemons[daemon].poll() is None, daemon

    # Commands of the websocket service reach the node again.
    gw.bluez.clear_journal()
    assert sandbox.ubus("send", "kelvora.websocket",
                        '{"type":"beacon","device_id":"0123456789AB","beacon":true}').returncode == 0
    assert sandbox.wait_for(
        lambda: bytes.fromhex("02010001") in [w for _, w in gw.bluez.writes(path_a)], 5), gw.log("ble.log")[-2000:]

    # The cloud gets every reading (a minute apart, so none is thinned out).
    def at_cloud():
        return [{"ts": r["ts"], "v": r["v"]} for report in gw.cloud.reports()
                for node in report["nodes"] if node["id"] == "0123456789AB" for r in node["vs"]]
    assert sandbox.wait_for(lambda: len(at_cloud()) >= 4, 40, 0.5)
    assert at_cloud() == want

    assert gw.stop_daemons() == {name: 0 for name in DAEMONS}


def test_new_nodes_are_recorded_after_the_bus_and_the_uci_service_restart(sandbox):
    gw, sub, _ = start(sandbox, [NODE_A])
    assert recorded_in_uci(gw, "0123456789AB")

    # The uci service keeps its process and reconnects by itself.
    gw.restart_service("ubusd")
    assert sandbox.wait_for(lambda: "uci" in sandbox.ubus("list").stdout.split(), 10)
    for daemon in DAEMONS:
        assert sandbox.wait_for(lambda: records(gw, daemon, RESTORED), 5), daemon
    (path_b,) = gw.add_nodes([NODE_B], period_ms=0)
    assert gw.wait_nodes_ready([path_b])
    assert sandbox.wait_for(lambda: recorded_in_uci(gw, "0123456789AC"), 10), gw.log("ble.log")[-2000:]
    assert gw.services["uci"].poll() is None
    uci_out = sorted(sandbox.workdir.glob("uci-service.*.out"))[0].read_text()
    assert uci_out.count("bus connection lost") == 1 and uci_out.count("bus connection restored") == 1

    # A uci service that is itself restarted.
    gw.restart_service("uci")
    (path_c,) = gw.add_nodes([NODE_C], period_ms=0)
    assert gw.wait_nodes_ready([path_c])
    assert sandbox.wait_for(lambda: recorded_in_uci(gw, "0123456789AD"), 10), gw.log("ble.log")[-2000:]
    assert recorded_in_uci(gw, "0123456789AB") and recorded_in_uci(gw, "0123456789AC")

    # Readings of the newest node still flow.
    assert gw.bluez.notify_sensor(path_c, bluez_sim.sensor_frame(4, 0, 0, BASE_TS, 400))
    assert sandbox.wait_for(lambda: readings(sub, "kelvora/0123456789AD/LX"), 10)
    assert gw.stop_daemons() == {name: 0 for name in DAEMONS}
