"""kelvora-ble-app as a process: the node registry in the uci service, a
private system bus with the simulated BlueZ and its virtual sensor nodes,
and a listener on the ubus events the daemon sends and receives."""

import json
import signal
import time
from datetime import datetime

APP = "kelvora-ble-app"
LOG = "ble.log"
ID = "0123456789AB"
ID2 = "0123456789AC"
NAME = "Kelvora-" + ID
MAC = "C0:FF:EE:00:00:01"
PATH = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01"
SERVICE_UUID = "00000001-5fe1-11ed-9b6a-0242ac120002"

# 0B 00 02 ...: PM_1_0, index 0, float 25.0 at 1601267072.
PM_FRAME = bytes.fromhex("0b000280657" "15f0000c841")
# 02 07 01 ...: AT, index 7, signed -125 at 1700000000.
AT_INDEXED_FRAME = bytes.fromhex("02070100f1536583ffffff")
PM_EVENT = ('{"data":{"ts":1601267072,"v":25.000000},"device_id":"0123456789AB",'
            '"sensor_type":"PM_1_0"}')
AT_EVENT = '{"data":{"ts":1700000000,"v":-125},"device_id":"0123456789AB_7","sensor_type":"AT"}'


def tavrin(whitelist=(ID,), nodes=()):
    text = "config sys 'sys'\n" + "".join(f"\tlist whitelist '{w}'\n" for w in whitelist)
    for path, device_id in nodes:
        text += f"\nconfig node\n\toption obj_path '{path}'\n\toption device_id '{device_id}'\n" \
                "\toption time '1700000000'\n"
    return text


class Rig:
    """ubusd, the uci service with `config`, simulated BlueZ (unless
    `bluez` is false) and a listener on both events; the daemon on start()."""

    def __init__(self, sandbox, config=None, bluez=True):
        self.sb = sandbox
        sandbox.start_ubusd()
        sandbox.start_uci({"tavrin": config if config is not None else tavrin()})
        self.bz = sandbox.start_bluez() if bluez else None
        self.events_file = sandbox.workdir / "events.txt"
        self.listener = sandbox.spawn([sandbox.exe("ubus"), "listen", "kelvora.report", "kelvora.websocket"],
                                      stdout=open(self.events_file, "wb"))
        # The listener is registered once it sees an event of its own.
        probe = '{"type":"probe"}'
        assert sandbox.wait_for(lambda: self.send_command(probe) and "probe" in self.events_file.read_text(), 5, 0.1)
        self.app = None

    def start(self, env=None, wait=True):
        self.app = self.sb.spawn([self.sb.exe(APP)], env=env)
        if wait and self.bz is not None:
            assert self.sb.wait_for(lambda: self.bz.calls("StartDiscovery"), 10), self.sb.read_log(LOG)
        return self.app

    def stop(self):
        status = self.sb.stop(self.app, timeout=10)
        self.app = None
        return status

    def send_command(self, text):
        return self.sb.ubus("send", "kelvora.websocket", text).returncode == 0

    def events(self, name):
        """Payloads (compact text as ubus listen prints them) of every event
        `name` seen so far, probes left out."""
        out = []
        for line in self.events_file.read_text().splitlines():
            prefix = '{ "%s": ' % name
            if line.startswith(prefix) and line.endswith(" }"):
                payload = line[len(prefix):-2]
                if payload != '{"type":"probe"}':
                    out.append(payload)
        return out

    def records(self, text=None):
        """(time, severity, message) of every record, or of those whose
        message starts with `text`."""
        out = []
        for line in self.sb.read_log(LOG).splitlines():
            parts = line.split("] ", 2)
            if len(parts) < 3 or len(line) < 30:
                continue
            when = datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
            if text is None or parts[2].startswith(text):
                out.append((when, line[24:29].strip(), parts[2]))
        return out

    def messages(self, text=None, severity=None):
        return [m for _, s, m in self.records(text) if severity is None or s == severity]

    def wait_record(self, text, count=1, timeout=10.0):
        return self.sb.wait_for(lambda: len(self.records(text)) >= count, timeout)

    def node_up(self, path=PATH, timeout=10.0):
        """Waits until the node at `path` has subscribed to all three
        characteristics."""
        return self.sb.wait_for(lambda: len(self.bz.calls("StartNotify", path)) >= 3, timeout)


def writes(bz, path=PATH):
    return [bytes(e["args"][0]) for e in bz.calls("WriteValue", path, role="command")]


def test_whitelisted_devices_become_nodes(sandbox):
    rig = Rig(sandbox)
    bz = rig.bz
    bz.add_node(NAME, MAC)
    bz.add_node(ID, "C0:FF:EE:00:00:02")             # 12 characters: not a sensor name
    bz.add_node("Other-0123456789CD", "C0:FF:EE:00:00:03")
    bz.add_node("Lower-0123456789ab", "C0:FF:EE:00:00:04")
    bz.add_node("Foreign-0123456789AB", "C0:FF:EE:00:00:05", uuids=["0000180d-0000-1000-8000-00805f9b34fb"])
    rig.start()
    assert rig.node_up()

    # Start-up on the bus: powered, filtered to the service, discovering.
    calls = [e["call"] for e in bz.journal() if e["path"] == "/org/bluez/hci0"]
    assert calls[:3] == ["Set", "SetDiscoveryFilter", "StartDiscovery"]
    assert bz.calls("Set")[0]["args"] == ["org.bluez.Adapter1", "Powered", True]
    assert bz.calls("SetDiscoveryFilter")[0]["args"] == [{"UUIDs": [SERVICE_UUID]}]
    assert bz.state()["powered"] is True
    assert "TODO: Discovery Filter에 RSSI를 넣을지 검토하자" in rig.messages(severity="VERB")

    assert sandbox.wait_for(lambda: rig.events("kelvora.websocket"), 5)
    assert rig.messages("Skip ") == ["Skip Other-0123456789CD", "Skip Lower-0123456789ab"]
    assert [e["path"] for e in bz.calls("Connect")] == [PATH]
    assert rig.events("kelvora.websocket") == [
        '{"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"}']
    config = sandbox.read_config("tavrin")
    assert config.count("config node") == 1
    assert f"option obj_path '{PATH}'" in config and f"option device_id '{ID}'" in config
    assert rig.stop() == 0


def test_node_identifies_itself_and_gets_the_time(sandbox):
    rig = Rig(sandbox)
    rig.bz.add_node(NAME, MAC, gatt_order=["sensor", "fota", "command"])
    rig.start()
    assert rig.wait_record("Connected to ")
    assert rig.records("Connected to ")[0][1:] == ("INFO", "Connected to Room1(0123456789AB) v1.2.3+45")
    assert rig.wait_record("Update UNIX Epoch Time for Room1(0123456789AB)", timeout=5)
    assert sandbox.wait_for(lambda: len(writes(rig.bz)) == 2, 2)

    # Subscriptions in announcement order, the info request once right after
    # the command characteristic, the time set about 2 s after the info frame.
    journal = [e for e in rig.bz.journal() if e["path"].startswith(PATH + "/")]
    steps = [(e["call"], e.get("role")) for e in journal if e["call"] in ("StartNotify", "WriteValue")]
    assert steps == [("StartNotify", "sensor"), ("StartNotify", "fota"), ("StartNotify", "command"),
                     ("WriteValue", "command"), ("WriteValue", "command")]
    assert writes(rig.bz)[0] == bytes([0x04, 0x00, 0x00])
    info = rig.bz.calls("Notify", PATH, role="command")[0]
    time_set = rig.bz.calls("WriteValue", PATH, role="command")[1]
    frame = bytes(time_set["args"][0])
    assert frame[:3] == bytes([0x03, 0x01, 0x00]) and len(frame) == 7
    assert abs(int.from_bytes(frame[3:], "little") - time_set["wall"]) <= 2
    assert 1.9 <= time_set["t"] - info["t"] <= 3.0
    assert rig.bz.node_state(PATH)["clock"] == int.from_bytes(frame[3:], "little")
    assert rig.stop() == 0


def test_sensor_notifications_become_report_events(sandbox):
    rig = Rig(sandbox)
    rig.bz.add_node(NAME, MAC)
    rig.start()
    assert rig.node_up()
    for frame in (PM_FRAME, PM_FRAME[:10], bytes([0x00]) + PM_FRAME[1:], AT_INDEXED_FRAME):
        assert rig.bz.notify_sensor(PATH, frame)
    assert sandbox.wait_for(lambda: len(rig.events("kelvora.report")) >= 2, 5)
    time.sleep(0.5)
    # One event per decodable frame; the short frame and the unknown type
    # give none.
    assert rig.events("kelvora.report") == [PM_EVENT, AT_EVENT]
    assert "Wrong Size.. 10" in rig.messages("Wrong Size", severity="ERROR")
    assert rig.stop() == 0


def test_beacon_commands_reach_the_right_node(sandbox):
    rig = Rig(sandbox, tavrin(whitelist=(ID, ID2)))
    other = rig.bz.add_node("Kelvora-" + ID2, "C0:FF:EE:00:00:02", answer_info=False)
    rig.bz.add_node(NAME, MAC, answer_info=False)
    rig.start()
    assert rig.node_up() and rig.node_up(other)
    assert sandbox.wait_for(lambda: writes(rig.bz) and writes(rig.bz, other), 5)

    assert rig.send_command('{"type":"beacon","device_id":"0123456789AB","beacon":true}')
    assert rig.send_command('{"type":"beacon","device_id":"0123456789AB","beacon":false}')
    assert rig.send_command('{"type":"beacon","device_id":"0123456789FF","beacon":true}')
    assert rig.send_command('{"type":"folds","device_id":"0123456789AC","folds":{"a":1,"b":2.9}}')
    assert rig.wait_record("b 2")
    assert writes(rig.bz) == [bytes.fromhex("040000"), bytes.fromhex("02010001"), bytes.fromhex("02010000")]
    assert writes(rig.bz, other) == [bytes.fromhex("040000")]  # folds reach no node
    assert rig.messages("LE_CTRL_BEACON") == ["LE_CTRL_BEACON"] * 3
    assert rig.stop() == 0


def test_dropped_connection_is_retried_once(sandbox):
    rig = Rig(sandbox)
    rig.bz.add_node(NAME, MAC)
    rig.start()
    assert rig.node_up()
    rig.bz.drop(PATH)
    assert rig.wait_record("Retry to connect it.")
    # Reconnected: BlueZ announces the characteristics again and the node
    # subscribes and asks for its info again.
    assert rig.node_up(timeout=10) and sandbox.wait_for(lambda: len(rig.bz.calls("StartNotify", PATH)) == 6, 5)
    assert rig.wait_record("Connected to ", count=2)
    assert rig.messages(severity="ERROR") == ["Disconnected from 0123456789AB", "Retry to connect it."]
    assert len(rig.bz.calls("Connect", PATH)) == 2
    assert rig.bz.notify_sensor(PATH, PM_FRAME)
    assert sandbox.wait_for(lambda: rig.events("kelvora.report"), 5)
    time.sleep(0.3)
    assert rig.events("kelvora.report") == [PM_EVENT]
    assert '{"device_id":"0123456789AB","device_type":"sensor","type":"unsubscribe"}' \
        not in rig.events("kelvora.websocket")
    assert rig.stop() == 0


def test_failed_connection_deletes_the_node(sandbox):
    rig = Rig(sandbox)
    rig.bz.add_node(NAME, MAC, connect="fail", readvertise_ms=500)
    rig.start()
    assert rig.wait_record("Delete Node : 0123456789AB")
    assert sandbox.wait_for(lambda: rig.bz.calls("RemoveDevice"), 5)
    assert rig.bz.calls("RemoveDevice")[0]["args"] == [PATH]
    assert sandbox.wait_for(lambda: len(rig.events("kelvora.websocket")) >= 2, 5)
    assert rig.events("kelvora.websocket")[:2] == [
        '{"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"}',
        '{"device_id":"0123456789AB","device_type":"sensor","type":"unsubscribe"}']
    assert "le-connection-abort-by-local" in rig.messages(severity="ERROR")[0]

    # Found again, it becomes a node afresh; its registry entry stays single.
    rig.bz.set_connect_mode(PATH, "ok")
    assert rig.node_up(timeout=10)
    config = sandbox.read_config("tavrin")
    assert config.count("config node") == 1 and f"option obj_path '{PATH}'" in config
    assert rig.stop() == 0


def test_recorded_nodes_are_removed_from_bluez_at_start(sandbox):
    stale = "/org/bluez/hci0/dev_C0_FF_EE_00_00_09"
    rig = Rig(sandbox, tavrin(nodes=[(PATH, ID), (stale, "0123456789AD")]))
    rig.bz.add_node(NAME, MAC, known=True)   # BlueZ holds it from an earlier run
    rig.start()
    adapter_calls = [(e["call"], e["args"]) for e in rig.bz.journal() if e["path"] == "/org/bluez/hci0"]
    assert adapter_calls[2:5] == [("RemoveDevice", [PATH]), ("RemoveDevice", [stale]), ("StartDiscovery", [])]
    assert rig.messages(severity="ERROR") == ["[org.bluez.Error.DoesNotExist] Does Not Exist"]
    # Discovery announces the removed device again and it becomes a node; the
    # registry keeps its one section per path.
    assert rig.node_up()
    assert rig.records("OBJ PATH  : ")
    time.sleep(0.3)
    config = sandbox.read_config("tavrin")
    assert config.count("config node") == 2 and config.count(f"option obj_path '{PATH}'") == 1
    assert rig.stop() == 0


def test_a_device_announced_again_replaces_its_node(sandbox):
    rig = Rig(sandbox)
    rig.bz.add_node(NAME, MAC, connect="noreply", readvertise_ms=300)
    rig.start()
    assert sandbox.wait_for(lambda: rig.bz.calls("Connect"), 5)
    # While the first connection attempt is pending, another client makes
    # BlueZ forget the device, and discovery finds it again.
    rig.bz.bus.call_blocking("org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1", "RemoveDevice", "o", (PATH,))
    rig.bz.set_connect_mode(PATH, "ok")
    assert rig.wait_record("Replace Node : 0123456789AB")
    assert rig.node_up()
    assert rig.bz.notify_sensor(PATH, PM_FRAME)
    assert sandbox.wait_for(lambda: rig.events("kelvora.report"), 5)
    time.sleep(0.5)
    assert rig.events("kelvora.report") == [PM_EVENT]   # one session, one event
    assert rig.messages("Num of Nodes : ") == ["Num of Nodes : 0"]
    assert rig.events("kelvora.websocket") == [
        '{"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"}',
        '{"device_id":"0123456789AB","device_type":"sensor","type":"unsubscribe"}',
        '{"device_id":"0123456789AB","device_type":"sensor","type":"subscribe"}']
    assert rig.stop() == 0


def test_sigterm_stops_discovery_and_disconnects(sandbox):
    rig = Rig(sandbox, tavrin(whitelist=(ID, ID2)))
    rig.bz.add_node(NAME, MAC)
    other = rig.bz.add_node("Kelvora-" + ID2, "C0:FF:EE:00:00:02")
    rig.start()
    assert rig.node_up() and rig.node_up(other)
    assert rig.stop() == 0
    assert rig.messages(severity="ERROR") == ["Signal Catch : 15", "Terminate program.."]
    # The nodes' own notifications (an answer to the info request may come
    # late on a loaded host) are no calls of the daemon's.
    assert [e["call"] for e in rig.bz.journal() if e["call"] != "Notify"][-5:] == \
        ["StopDiscovery", "Disconnect", "Disconnected", "Disconnect", "Disconnected"]
    assert rig.bz.state()["discovering"] is False
    assert not rig.bz.node_state(PATH)["connected"] and not rig.bz.node_state(other)["connected"]
    assert "Retry to connect it." not in rig.messages()


def test_without_bluez_the_daemon_logs_and_exits_0(sandbox):
    rig = Rig(sandbox, bluez=False)
    sandbox.start_dbus()
    app = rig.start()
    assert app.wait(timeout=10) == 0
    errors = rig.messages(severity="ERROR")
    assert errors and "org.freedesktop.DBus.Error.ServiceUnknown" in errors[0]


def test_without_system_bus_the_daemon_logs_and_exits_0(sandbox):
    rig = Rig(sandbox, bluez=False)
    app = rig.start(env={"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/system_bus_socket"})
    assert app.wait(timeout=10) == 0
    assert len(rig.messages(severity="ERROR")) == 1


def test_bluez_gone_while_running_still_stops_cleanly(sandbox):
    rig = Rig(sandbox)
    rig.bz.add_node(NAME, MAC)
    rig.start()
    assert rig.node_up()
    bluez = [p for p in sandbox._procs if "dbusmock" in " ".join(map(str, p.args))][0]
    assert sandbox.stop(bluez) is not None
    # The daemon sees BlueZ go and drops the node with its announcement.
    assert rig.wait_record("BlueZ left the bus")
    assert sandbox.wait_for(lambda: len(rig.events("kelvora.websocket")) == 2, 5)
    assert rig.events("kelvora.websocket")[1] == \
        '{"device_id":"0123456789AB","device_type":"sensor","type":"unsubscribe"}'
    assert rig.stop() == 0
    # Nothing is left to stop or disconnect on the absent BlueZ.
    assert rig.messages(severity="ERROR") == ["Signal Catch : 15", "Terminate program.."]
    assert rig.messages(severity="WARN") == ["BlueZ left the bus"]
