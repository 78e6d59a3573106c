"""The demo's health table (scripts/lib/health.py) fed with example replies of
the status objects: formatting, members a daemon does not give, failed
calls, and the plain output for a pipe or a file. No sandbox needed."""

import io
import json
import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "lib"))

import health  # noqa: E402

BLE_STATUS = {"version": "1.0.0", "uptime": 42, "adapter": {"present": True, "powered": True, "discovering": True},
              "clock_trusted": True, "nodes": 2, "readings_decoded": 17, "events_sent": 17, "send_failures": 1}
BLE_NODES = {"nodes": [
    {"device_id": "0123456789AB", "name": "Kelvora-Env-0123456789AB", "version": "2.1", "state": "identified",
     "last_reading_age": 3, "readings": 12, "reconnects": 0, "rssi": -61},
    {"device_id": "0123456789AC", "name": "Kelvora-Air-0123456789AC", "version": "2.1", "state": "connecting",
     "last_reading_age": None, "readings": 0, "reconnects": 2, "rssi": None},
]}
REPORT_STATUS = {"version": "1.0.0", "uptime": 41, "url": "http://127.0.0.1:8080", "waiting": 5,
                 "oldest_waiting_age": 12, "delivered": 30, "dropped": 0,
                 "last_attempt": {"time": 1700000000, "outcome": "refused", "http_status": 503},
                 "last_success": {"time": 1699999970}, "failures": {"refused": 2, "transport": 1}}
MQTT_STATUS = {"version": "1.0.0", "uptime": 40, "enabled": True, "connected": False, "broker": "127.0.0.1:1883",
               "received": 17, "published": 16, "failed": 1, "reconnects": 3}


def replies(**over):
    r = {("kelvora.ble", "status"): BLE_STATUS, ("kelvora.ble", "nodes"): BLE_NODES,
         ("kelvora.report", "status"): REPORT_STATUS, ("kelvora.mqtt", "status"): MQTT_STATUS}
    for key, value in over.items():  # kelvora_ble_nodes=... replaces ("kelvora.ble", "nodes")
        obj, method = key.rsplit("_", 1)
        r[(obj.replace("_", "."), method)] = value
    return r


def cells(lines, first):
    """The cells of the line whose first cell is `first`."""
    (line,) = [ln for ln in lines if ln.split()[:1] == [first]]
    return re.split(r"\s{2,}", line.strip())


def test_table_of_full_replies():
    lines = health.table(replies())
    assert cells(lines, "node") == ["node", "name", "state", "last reading", "readings"]
    assert cells(lines, "0123456789AB") == ["0123456789AB", "Kelvora-Env-0123456789AB", "identified", "3 s", "12"]
    # No reading yet: the age shows "-".
    assert cells(lines, "0123456789AC") == ["0123456789AC", "Kelvora-Air-0123456789AC", "connecting", "-", "0"]
    assert cells(lines, "daemon") == ["daemon", "connected", "waiting", "delivered", "failures"]
    assert cells(lines, "ble") == ["ble", "yes", "-", "17", "1"]
    # Failures by class are summed; the last attempt's outcome stands for the link.
    assert cells(lines, "report") == ["report", "refused", "5", "30", "3"]
    assert cells(lines, "mqtt") == ["mqtt", "no", "-", "16", "1"]
    # Columns line up with their headings.
    node_lines = lines[:3]
    for heading in ("name", "state", "readings"):
        col = node_lines[0].index(heading)
        assert all(ln[col - 2:col] == "  " and ln[col] != " " for ln in node_lines[1:])


def test_members_not_given_show_a_dash():
    lines = health.table(replies(
        kelvora_ble_status={"version": "1.0.0", "uptime": 1},
        kelvora_ble_nodes={"nodes": [{"device_id": "0123456789AB"}, "junk", {"state": ["odd"], "readings": "x"}]},
        kelvora_report_status={"waiting": "many", "failures": {"refused": "x"}, "last_attempt": None},
        kelvora_mqtt_status={"connected": 1, "published": True, "failed": float("nan")}))
    assert cells(lines, "0123456789AB") == ["0123456789AB", "-", "-", "-", "-"]
    assert any(re.split(r"\s{2,}", ln.strip()) == ["-", "-", "-", "-", "-"] for ln in lines)
    assert cells(lines, "ble") == ["ble", "-", "-", "-", "-"]
    assert cells(lines, "report") == ["report", "-", "-", "-", "-"]
    # A number is not a boolean link state, and a boolean is not a counter.
    assert cells(lines, "mqtt") == ["mqtt", "1", "-", "-", "-"]


def test_daemon_not_on_the_bus_and_nodes_keyed_by_id():
    lines = health.table(replies(kelvora_mqtt_status="Not found",
                                 kelvora_ble_nodes={"0123456789AD": {"name": "n", "state": "connected",
                                                                     "last_reading_age": 0.25, "readings": 4}}))
    assert cells(lines, "mqtt") == ["mqtt", "-", "-", "-", "-", "(Not found)"]
    assert cells(lines, "0123456789AD") == ["0123456789AD", "n", "connected", "0.2 s", "4"]
    lines = health.table(replies(kelvora_ble_nodes="Not found"))
    assert "(no nodes: Not found)" in lines
    assert "(no nodes)" in health.table(replies(kelvora_ble_nodes={"nodes": []}))


def test_call_through_the_ubus_tool():
    seen = []

    def run(result):
        def f(argv):
            seen.append(argv)
            if isinstance(result, Exception):
                raise result
            return subprocess.CompletedProcess(argv, result[0], result[1], "")
        return f

    assert health.call(run((0, json.dumps(MQTT_STATUS))), "kelvora.mqtt", "status") == MQTT_STATUS
    assert seen[-1][:1] == ["-S"] and seen[-1][-3:] == ["call", "kelvora.mqtt", "status"]
    assert health.call(run((4, "")), "kelvora.mqtt", "status") == "Not found"
    assert health.call(run((3, "")), "kelvora.ble", "nodes") == "Method not found"
    assert health.call(run((77, "")), "kelvora.ble", "nodes") == "ubus status 77"
    assert health.call(run((0, "{oops")), "kelvora.ble", "nodes") == "unreadable reply"
    assert health.call(run((0, "[1]")), "kelvora.ble", "nodes") == "unreadable reply"
    assert health.call(run(subprocess.TimeoutExpired("ubus", 5)), "kelvora.ble", "nodes").startswith("ubus failed")


def test_plain_output_every_n_seconds_and_on_change():
    out = io.StringIO()
    now = [100.0]
    view = health.PlainView(out, every=10, clock=lambda: now[0])

    def printed():
        text = out.getvalue()
        out.seek(0)
        out.truncate()
        return text.splitlines()

    assert view.update(replies())
    first = printed()
    assert first and all(ln.startswith("health: ") for ln in first)
    assert not any("\033" in ln for ln in first)
    assert [ln[len("health: "):] for ln in first] == health.table(replies())
    # Counters and ages move all the time: no new table for them before 10 s.
    now[0] += 5
    busier = dict(BLE_NODES["nodes"][0], readings=13, last_reading_age=1)
    assert not view.update(replies(kelvora_ble_nodes={"nodes": [busier, BLE_NODES["nodes"][1]]}))
    assert printed() == []
    # A node changing state, or a daemon its link, shows at once.
    now[0] += 1
    up = dict(BLE_NODES["nodes"][1], state="connected")
    assert view.update(replies(kelvora_ble_nodes={"nodes": [BLE_NODES["nodes"][0], up]}))
    assert "connected" in cells([ln[8:] for ln in printed()], "0123456789AC")
    now[0] += 1
    assert view.update(replies(kelvora_ble_nodes={"nodes": [BLE_NODES["nodes"][0], up]},
                               kelvora_mqtt_status=dict(MQTT_STATUS, connected=True)))
    assert cells([ln[8:] for ln in printed()], "mqtt")[1] == "yes"
    now[0] += 1
    assert view.update(replies(kelvora_ble_nodes={"nodes": [BLE_NODES["nodes"][0], up]},
                               kelvora_mqtt_status="Not found"))
    printed()
    now[0] += 9.5
    assert not view.update(replies(kelvora_ble_nodes={"nodes": [BLE_NODES["nodes"][0], up]},
                                   kelvora_mqtt_status="Not found"))
    now[0] += 0.5
    assert view.update(replies(kelvora_ble_nodes={"nodes": [BLE_NODES["nodes"][0], up]},
                               kelvora_mqtt_status="Not found"))


def test_terminal_view_keeps_the_table_above_a_scroll_region():
    out = io.StringIO()
    size = [(80, 40)]
    view = health.TerminalView(out, lambda: size[0])
    view.update(replies())
    text = out.getvalue()
    height = 1 + len(health.table(replies()))  # the time line and the table
    # Scrolling starts below the table and its rule, down to the last row.
    assert f"\033[{height + 2};40r" in text
    assert f"\033[{height + 1};1H\033[2K" + "-" * 72 in text
    # The cursor is saved and restored around the redraw.
    assert text.rindex("\0337") < text.rindex("\0338")
    out.seek(0)
    out.truncate()
    view.update(replies())
    assert "r" not in re.findall(r"\033\[[0-9;]*([a-zA-Z])", out.getvalue())  # same size: region kept
    out.seek(0)
    out.truncate()
    size[0] = (30, 8)  # a small terminal keeps a few scrolling lines; lines are cut to its width
    view.update(replies())
    text = out.getvalue()
    assert "\033[6;8r" in text
    drawn = re.findall(r"\033\[\d+;1H\033\[2K([^\033]*)", text)
    assert len(drawn) == 5 and all(len(d) <= 30 for d in drawn)
    view.close()
    assert out.getvalue().endswith("\033[r\033[8;1H\n")


def test_poller_refreshes_every_interval():
    calls = []

    def run(argv):
        calls.append(argv[-2:])
        return subprocess.CompletedProcess(argv, 0, json.dumps({"uptime": len(calls)}), "")

    poller = health.Poller(run, interval=0.05)
    assert poller.latest() == (0, None)
    poller.start()
    try:
        deadline = time.monotonic() + 10
        while poller.latest()[0] < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        poller.stop()
    generation, latest = poller.latest()
    assert generation >= 2
    assert set(latest) == set(health.CALLS)
    assert calls[:4] == [list(c) for c in health.CALLS]
