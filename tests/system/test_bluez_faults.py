"""kelvora-ble-app while BlueZ itself fails: bluetoothd restarting, the
adapter unplugged and plugged in again, the adapter powered off and on. The
daemon drops the nodes of the outage, sets the adapter up again once it is
back and reconnects the nodes in range; readings flow again."""

import time

from test_ble import ID, ID2, Rig, tavrin

ADAPTER = "/org/bluez/hci0"
NODES = [("Kelvora-" + ID, "C0:FF:EE:00:00:01"), ("Kelvora-" + ID2, "C0:FF:EE:00:00:02")]
BACK_WITHIN = 30.0
BACK_INFO = "BlueZ adapter /org/bluez/hci0 set up again"


def announcement(device_id, kind):
    return '{"device_id":"%s","device_type":"sensor","type":"%s"}' % (device_id, kind)


class Faults:
    """Two whitelisted virtual nodes notifying a reading every 300 ms, the
    daemon running with both connected and reporting."""

    def __init__(self, sandbox):
        self.sb = sandbox
        self.rig = Rig(sandbox, tavrin(whitelist=(ID, ID2)))
        self.bz = self.rig.bz
        self.paths = [self.bz.add_node(name, mac, period_ms=300, sensor_types=[2]) for name, mac in NODES]
        self.rig.start()
        assert all(self.rig.node_up(p) for p in self.paths)
        assert self.reports_from(0, ID, ID2)

    def reports_from(self, start, *device_ids, timeout=10.0):
        """Waits for a report of every one of `device_ids` (of any node when
        none is given) among the report events after the first `start`."""
        def seen():
            later = self.rig.events("kelvora.report")[start:]
            return bool(later) and all(any('"device_id":"%s"' % d in e for e in later) for d in device_ids)
        return self.sb.wait_for(seen, timeout, 0.02)

    def dropped(self, warning):
        """Waits for the outage's warning and both nodes' unsubscription;
        returns how many report events there were by then."""
        assert self.rig.wait_record(warning, timeout=5), self.rig.messages()
        assert self.sb.wait_for(lambda: all(announcement(d, "unsubscribe") in self.rig.events("kelvora.websocket")
                                            for d in (ID, ID2)), 5)
        # Nothing of the old sessions is still on its way.
        time.sleep(0.3)
        return len(self.rig.events("kelvora.report"))

    def back(self, start, back_at, kind):
        """Both nodes report again within the bound; prints the time from
        BlueZ's return to the first reading."""
        assert self.reports_from(start, timeout=BACK_WITHIN), self.rig.messages()
        first = time.monotonic() - back_at
        assert self.reports_from(start, ID, ID2, timeout=BACK_WITHIN), self.rig.messages()
        both = time.monotonic() - back_at
        print(f"\n{kind}: first reading {first:.2f} s, both nodes {both:.2f} s after BlueZ's return")
        assert self.rig.messages(BACK_INFO) == [BACK_INFO]
        websocket = self.rig.events("kelvora.websocket")
        for device_id in (ID, ID2):
            assert [e for e in websocket if device_id in e] == [
                announcement(device_id, "subscribe"), announcement(device_id, "unsubscribe"),
                announcement(device_id, "subscribe")]

    def setup_after(self, marker):
        """The adapter calls since the journal entry `marker`."""
        journal = self.bz.journal()
        index = max(i for i, e in enumerate(journal) if e["call"] == marker)
        return [(e["call"], e["args"]) for e in journal[index + 1:] if e["path"] == ADAPTER
                and e["call"] in ("Set", "SetDiscoveryFilter", "StartDiscovery", "RemoveDevice")]

    def finish(self):
        assert self.rig.stop() == 0
        # A clean stop on a healthy BlueZ again: discovery stopped, both
        # nodes disconnected.
        assert self.bz.state()["discovering"] is False
        assert not any(self.bz.node_state(p)["connected"] for p in self.paths)


SETUP = [("Set", ["org.bluez.Adapter1", "Powered", True]),
         ("SetDiscoveryFilter", [{"UUIDs": ["00000001-5fe1-11ed-9b6a-0242ac120002"]}]),
         ("StartDiscovery", [])]


def test_bluez_restart(sandbox):
    f = Faults(sandbox)
    f.bz.restart_bluez(down_ms=500)
    back_at = time.monotonic()
    start = f.dropped("BlueZ left the bus")
    f.back(start, back_at, "bluetoothd restart")
    # The fresh BlueZ came back unpowered without discovery; the daemon set
    # it up once.
    assert f.setup_after("Started") == SETUP
    assert f.rig.messages(severity="WARN") == ["BlueZ left the bus"]
    assert f.rig.messages(severity="ERROR") == []
    assert sandbox.read_config("tavrin").count("config node") == 2
    f.finish()


def test_bluez_back_before_its_adapter(sandbox):
    # The fresh bluetoothd takes its name 1.5 s before it has the adapter:
    # the set-up that fails meanwhile (and its retry) stays silent.
    f = Faults(sandbox)
    f.bz.restart_bluez(down_ms=200, adapter_delay_ms=1500)
    start = f.dropped("BlueZ left the bus")
    assert sandbox.wait_for(lambda: f.bz.state()["adapter"], 5)
    back_at = time.monotonic()
    f.back(start, back_at, "bluetoothd restart, adapter 1.5 s later")
    assert f.setup_after("AdapterAdded") == SETUP
    assert f.rig.messages(severity="WARN") == ["BlueZ left the bus"]
    assert f.rig.messages(severity="ERROR") == []
    assert sandbox.read_config("tavrin").count("config node") == 2
    f.finish()


def test_adapter_removed_and_added_again(sandbox):
    f = Faults(sandbox)
    f.bz.remove_adapter()
    start = f.dropped("BlueZ adapter /org/bluez/hci0 removed")
    # Without an adapter the daemon waits quietly.
    time.sleep(1.5)
    assert f.rig.messages(BACK_INFO) == []
    f.bz.add_adapter()
    back_at = time.monotonic()
    f.back(start, back_at, "adapter re-added")
    assert f.setup_after("AdapterAdded") == SETUP
    assert f.rig.messages(severity="WARN") == ["BlueZ adapter /org/bluez/hci0 removed"]
    assert f.rig.messages(severity="ERROR") == []
    f.finish()


def test_adapter_powered_off_and_on(sandbox):
    f = Faults(sandbox)
    f.bz.power_adapter(False)
    start = f.dropped("BlueZ adapter /org/bluez/hci0 powered off")
    # The links dropped before the power went: each node logs its
    # disconnection, and its retry, refused while the adapter is off, stays
    # silent. The devices the links left are removed for rediscovery.
    errors = f.rig.messages(severity="ERROR")
    assert sorted(errors) == sorted(["Disconnected from " + ID, "Retry to connect it.",
                                     "Disconnected from " + ID2, "Retry to connect it."])
    assert sandbox.wait_for(lambda: f.bz.state()["devices"] == [], 5)
    # The daemon leaves the power to whoever switched it off.
    time.sleep(1.5)
    assert f.bz.state()["powered"] is False
    assert f.rig.messages(BACK_INFO) == []
    f.bz.power_adapter(True)
    back_at = time.monotonic()
    f.back(start, back_at, "adapter power cycle")
    assert f.setup_after("PowerAdapter") == SETUP
    assert f.rig.messages(severity="WARN") == ["BlueZ adapter /org/bluez/hci0 powered off"]
    assert f.rig.messages(severity="ERROR") == errors
    f.finish()


def test_one_outage_over_two_faults_is_logged_once(sandbox):
    f = Faults(sandbox)
    f.bz.power_adapter(False)
    start = f.dropped("BlueZ adapter /org/bluez/hci0 powered off")
    # bluetoothd restarts while the adapter is off; the fresh one brings the
    # adapter back and the daemon powers it.
    f.bz.restart_bluez(down_ms=200)
    back_at = time.monotonic()
    f.back(start, back_at, "power off, then bluetoothd restart")
    assert f.rig.messages(severity="WARN") == ["BlueZ adapter /org/bluez/hci0 powered off"]
    f.finish()


def test_connection_attempt_pending_at_power_off(sandbox):
    rig = Rig(sandbox)
    path = rig.bz.add_node("Kelvora-" + ID, "C0:FF:EE:00:00:01", connect="noreply", period_ms=300,
                           sensor_types=[2])
    rig.start()
    assert sandbox.wait_for(lambda: rig.bz.calls("Connect", path), 5)
    rig.bz.power_adapter(False)
    # The attempt fails once the power is off: no record of its own, no
    # removal of a node the outage has already dropped.
    assert rig.wait_record("BlueZ adapter /org/bluez/hci0 powered off", timeout=5)
    assert sandbox.wait_for(lambda: announcement(ID, "unsubscribe") in rig.events("kelvora.websocket"), 5)
    time.sleep(0.5)
    assert rig.messages(severity="ERROR") == []
    assert [e["args"] for e in rig.bz.calls("RemoveDevice")] == [[path]]
    rig.bz.set_connect_mode(path, "ok")
    rig.bz.power_adapter(True)
    assert sandbox.wait_for(lambda: rig.events("kelvora.report"), BACK_WITHIN)
    assert rig.messages(BACK_INFO) == [BACK_INFO]
    assert rig.messages(severity="ERROR") == []
    assert rig.stop() == 0
