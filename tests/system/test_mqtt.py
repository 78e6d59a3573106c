"""kelvora-mqtt-app as a process: UCI settings from the uci service, readings
sent on the bus as "kelvora.report", a mosquitto broker on the sandbox's
loopback and a subscriber that records what the broker delivers."""

import json
import os
import signal
import time
from datetime import datetime

import pytest

from mqtt_sub import Subscriber
from sandbox import Sandbox

APP = "kelvora-mqtt-app"
LOG = "mqtt-app.log"
REFUSED = "Connection Failed : Connection Refused: not authorised."

EXAMPLE = {"device_id": "A1", "sensor_type": "PM_2_5",
           "data": {"v": 12, "ts": 1700000000, "k": "PM_2_5"}}
EXAMPLE_TOPIC = "kelvora/A1/PM_2_5"
EXAMPLE_BODY = '{"k":"PM_2_5","ts":1700000000,"v":12}'


def mqtt_section(enable="1", host="127.0.0.1", port=None):
    text = "config mqtt 'mqtt'\n"
    if enable is not None:
        text += f"\toption enable '{enable}'\n"
    if host is not None:
        text += f"\toption host '{host}'\n"
    if port is not None:
        text += f"\toption port '{port}'\n"
    return text


SYS_SECTION = "config sys 'sys'\n\tlist whitelist '0123456789AB'\n\n"


def start_app(sandbox, tavrin):
    sandbox.start_ubusd()
    if tavrin is not None:
        sandbox.start_uci({"tavrin": tavrin})
    sandbox.set_installed(APP, "1.4.2-1")
    return sandbox.spawn([sandbox.exe(APP)])


def send(sandbox, event):
    text = event if isinstance(event, str) else json.dumps(event, separators=(",", ":"))
    result = sandbox.ubus("send", "kelvora.report", text)
    assert result.returncode == 0, result.stderr


def records(sandbox, text=None):
    """(time, severity, message) of every record, or of those whose message
    starts with `text`."""
    out = []
    for line in sandbox.read_log(LOG).splitlines():
        parts = line.split("] ", 2)
        if len(parts) < 3 or len(line) < 30:
            continue
        when = datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
        severity = line[24:29].strip()
        message = parts[2]
        if text is None or message.startswith(text):
            out.append((when, severity, message))
    return out


def messages(sandbox, text):
    return [m for _, _, m in records(sandbox, text)]


def wait_record(sandbox, text, count=1, timeout=10.0):
    return sandbox.wait_for(lambda: len(records(sandbox, text)) >= count, timeout)


def broker_clients(sandbox, port=1883):
    """Established client connections to the broker."""
    out = sandbox.run(["ss", "-Htn", "state", "established", f"( dport = :{port} )"]).stdout
    return len(out.splitlines())


def stop_app(sandbox, app):
    assert sandbox.stop(app, timeout=5) == 0
    assert records(sandbox, "Signal Catch : ")


def test_reading_is_republished_under_its_topic(sandbox):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    app = start_app(sandbox, SYS_SECTION + mqtt_section(enable="1"))
    assert wait_record(sandbox, "Connection Success")

    send(sandbox, EXAMPLE)
    got = sub.wait_messages(1)
    assert len(got) == 1
    assert got[0]["topic"] == EXAMPLE_TOPIC
    assert got[0]["payload"] == EXAMPLE_BODY
    assert got[0]["qos"] == 0
    assert got[0]["retain"] is False

    # A burst: every event on its own, in the order sent.
    burst = [{"device_id": "0123456789AB" + ("_%d" % i if i else ""), "sensor_type": "TEMP",
              "data": {"ts": 1700000100 + i, "v": 20.5 + i}} for i in range(5)]
    script = "; ".join("ubus send kelvora.report '%s'" % json.dumps(e, separators=(",", ":"))
                       for e in burst)
    assert sandbox.run(["sh", "-c", script]).returncode == 0
    got = sub.wait_messages(6)[1:]
    assert [(m["topic"], m["payload"]) for m in got] == [
        ("kelvora/0123456789AB/TEMP", '{"ts":1700000100,"v":20.5}'),
        ("kelvora/0123456789AB_1/TEMP", '{"ts":1700000101,"v":21.5}'),
        ("kelvora/0123456789AB_2/TEMP", '{"ts":1700000102,"v":22.5}'),
        ("kelvora/0123456789AB_3/TEMP", '{"ts":1700000103,"v":23.5}'),
        ("kelvora/0123456789AB_4/TEMP", '{"ts":1700000104,"v":24.5}'),
    ]
    assert wait_record(sandbox, "mid : ", count=6)
    stop_app(sandbox, app)

    log = records(sandbox)
    assert log[0][1:] == ("INFO", "MQTT App Start : 1.4.2-1")
    assert ("VERB", "127.0.0.1 1883") in [r[1:] for r in log]
    assert [m for _, s, m in log if s == "VERB" and m.startswith("mid : ")] == \
        ["mid : %d" % i for i in range(1, 7)]
    assert not [r for r in log if r[1] == "ERROR" and not r[2].startswith(("Signal", "Terminate"))]
    # The same records on standard output, without colours (not a terminal).
    console = "".join(p.read_text() for p in sandbox.workdir.glob(APP + ".*.out"))
    assert "MQTT App Start : 1.4.2-1" in console
    assert "Connection Success" in console
    assert "\x1b[" not in console


def test_under_apk_the_start_record_and_status_show_apks_version(sandbox):
    sandbox.use_apk()
    sandbox.start_ubusd()
    sandbox.start_uci({"tavrin": SYS_SECTION})
    sandbox.set_installed(APP, "1.4.2-r1")
    app = sandbox.spawn([sandbox.exe(APP)])
    assert wait_record(sandbox, "MQTT is disabled.")
    status = json.loads(sandbox.ubus("-S", "call", "kelvora.mqtt", "status").stdout)
    stop_app(sandbox, app)
    assert records(sandbox)[0][1:] == ("INFO", "MQTT App Start : 1.4.2-r1")
    assert status["version"] == "1.4.2-r1"


@pytest.mark.parametrize("enable,enabled", [
    ("1", True), ("0", False), ("01", True), ("+1", True), ("yes", False)])
def test_enable_option(sandbox, enable, enabled):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(enable=enable))
    if enabled:
        assert wait_record(sandbox, "Connection Success")
        assert broker_clients(sandbox) == 2
    else:
        assert wait_record(sandbox, "MQTT is disabled.")
    send(sandbox, EXAMPLE)
    if enabled:
        assert [m["payload"] for m in sub.wait_messages(1)] == [EXAMPLE_BODY]
    else:
        time.sleep(1.0)
        assert sub.messages() == []
        assert broker_clients(sandbox) == 1  # the subscriber's only
        assert messages(sandbox, "127.0.0.1 ") == []
        assert messages(sandbox, "Connection") == []
    errors = [m for _, s, m in records(sandbox) if s == "ERROR"]
    if enable == "yes":
        assert len(errors) == 1 and "enable" in errors[0] and '"yes"' in errors[0]
    else:
        assert errors == []
    assert app.poll() is None
    stop_app(sandbox, app)


@pytest.mark.parametrize("port,broker_port", [("8883", 8883), (None, 1883), ("88x3", 1883)])
def test_port_option(sandbox, port, broker_port):
    sandbox.start_mosquitto(port=broker_port)
    sub = Subscriber(sandbox, port=broker_port)
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(port=port))
    assert wait_record(sandbox, "Connection Success")
    assert messages(sandbox, "127.0.0.1 ") == [f"127.0.0.1 {broker_port}"]
    send(sandbox, EXAMPLE)
    assert [m["topic"] for m in sub.wait_messages(1)] == [EXAMPLE_TOPIC]
    errors = [m for _, s, m in records(sandbox) if s == "ERROR"]
    if port == "88x3":
        assert len(errors) == 1 and "port" in errors[0] and '"88x3"' in errors[0]
    else:
        assert errors == []
    stop_app(sandbox, app)


@pytest.mark.parametrize("tavrin", [SYS_SECTION, None], ids=["no-section", "no-uci-service"])
def test_without_settings_runs_disabled(sandbox, tavrin):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    app = start_app(sandbox, tavrin)
    assert wait_record(sandbox, "MQTT is disabled.")
    errors = [m for _, s, m in records(sandbox) if s == "ERROR"]
    assert errors == ([] if tavrin else ["lookup_id"])
    for _ in range(3):
        send(sandbox, EXAMPLE)
    time.sleep(1.0)
    assert app.poll() is None
    assert sub.messages() == []
    assert broker_clients(sandbox) == 1
    assert messages(sandbox, "Connection") == []
    stop_app(sandbox, app)


def test_broker_started_after_the_daemon(sandbox):
    app = start_app(sandbox, mqtt_section())
    assert wait_record(sandbox, "127.0.0.1 1883")
    time.sleep(1.5)
    assert messages(sandbox, "Connection Success") == []
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    assert wait_record(sandbox, "Connection Success")
    send(sandbox, EXAMPLE)
    assert [m["payload"] for m in sub.wait_messages(1)] == [EXAMPLE_BODY]
    stop_app(sandbox, app)


def test_broker_restarted_while_running(sandbox):
    broker = sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section())
    assert wait_record(sandbox, "Connection Success")
    send(sandbox, {"device_id": "A1", "sensor_type": "T", "data": {"ts": 1}})
    assert len(sub.wait_messages(1)) == 1

    sandbox.stop(broker)
    time.sleep(0.5)
    sandbox.start_mosquitto()
    assert sub.wait_subscribed(2)
    assert wait_record(sandbox, "Connection Success", count=2)
    send(sandbox, {"device_id": "A1", "sensor_type": "T", "data": {"ts": 2}})
    got = sub.wait_messages(2)
    assert [m["payload"] for m in got] == ['{"ts":1}', '{"ts":2}']
    assert app.poll() is None
    stop_app(sandbox, app)


def test_refusing_broker_is_retried_at_a_growing_interval(sandbox):
    sandbox.start_mosquitto(extra="allow_anonymous false\n")
    app = start_app(sandbox, mqtt_section())
    assert wait_record(sandbox, REFUSED)
    time.sleep(7.5)
    refusals = records(sandbox, REFUSED)
    # Attempts 1, 2 and 4 s apart; retrying at once or every second would
    # give many more records.
    assert 3 <= len(refusals) <= 5, [str(r[0]) for r in refusals]
    assert all(severity == "INFO" for _, severity, _ in refusals)
    gaps = [(b[0] - a[0]).total_seconds() for a, b in zip(refusals, refusals[1:])]
    assert gaps[0] >= 0.8, gaps
    assert all(later >= 1.6 * earlier for earlier, later in zip(gaps, gaps[1:])), gaps
    # Readings meanwhile are lost quietly; the daemon still stops cleanly.
    send(sandbox, EXAMPLE)
    stop_app(sandbox, app)


@pytest.mark.parametrize("sig,number", [(signal.SIGTERM, 15), (signal.SIGINT, 2)])
def test_signal_with_an_open_connection_exits_0(sandbox, sig, number):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section())
    assert wait_record(sandbox, "Connection Success")
    send(sandbox, EXAMPLE)
    assert len(sub.wait_messages(1)) == 1
    start = time.monotonic()
    assert sandbox.stop(app, sig=sig, timeout=5) == 0
    elapsed = time.monotonic() - start
    assert elapsed < 5  # not killed
    assert messages(sandbox, "Signal Catch : ") == [f"Signal Catch : {number}"]
    assert messages(sandbox, "Terminate program..") == ["Terminate program.."]


def test_malformed_events_are_dropped_and_the_daemon_goes_on(sandbox):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox)
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section())
    assert wait_record(sandbox, "Connection Success")
    for event in [
        {"sensor_type": "T", "data": {"ts": 1}},
        {"device_id": "A1", "data": {"ts": 1}},
        {"device_id": "A1", "sensor_type": "T"},
        {"device_id": 7, "sensor_type": "T", "data": {"ts": 1}},
        {"device_id": "A1", "sensor_type": ["T"], "data": {"ts": 1}},
    ]:
        send(sandbox, event)
    send(sandbox, EXAMPLE)
    assert [m["topic"] for m in sub.wait_messages(1)] == [EXAMPLE_TOPIC]
    errors = [m for _, s, m in records(sandbox) if s == "ERROR"]
    assert len(errors) == 5, errors
    assert app.poll() is None
    stop_app(sandbox, app)


@pytest.mark.parametrize("broker", ["down", "refusing"])
def test_stop_is_prompt_while_the_client_waits_to_reconnect(sandbox, broker):
    if broker == "refusing":
        sandbox.start_mosquitto(extra="allow_anonymous false\n")
    app = start_app(sandbox, mqtt_section())
    assert wait_record(sandbox, "127.0.0.1 1883")
    if broker == "refusing":
        # After the fourth refusal the next attempt is 8 s away: longer than
        # the stop below may take.
        assert wait_record(sandbox, REFUSED, count=4, timeout=15)
    else:
        time.sleep(1.5)
    assert sandbox.stop(app, timeout=5) == 0
    assert messages(sandbox, "Signal Catch : ") == ["Signal Catch : 15"]


def test_network_thread_runs_only_while_publishing_is_enabled(sandbox, tmp_path):
    counts = {}
    with Sandbox(tmp_path / "enabled") as enabled:
        for enable, sb in (("0", sandbox), ("1", enabled)):
            app = start_app(sb, mqtt_section(enable=enable))
            assert wait_record(sb, "MQTT is disabled." if enable == "0" else "127.0.0.1 1883")
            time.sleep(0.5)
            counts[enable] = len(os.listdir(f"/proc/{app.pid}/task"))
            stop_app(sb, app)
    # The library's network thread, and nothing else, comes with publishing.
    assert counts["1"] == counts["0"] + 1, counts
