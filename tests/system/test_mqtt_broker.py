"""kelvora-mqtt-app against a real mosquitto as deployments run it: user
names and passwords, a TLS listener whose certificate comes from a CA made
here, retained availability topics, an outage of the broker, Home Assistant
discovery, and the daemon's status object on ubus."""

import json
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from mqtt_sub import Subscriber
from test_mqtt import APP, EXAMPLE, EXAMPLE_BODY, EXAMPLE_TOPIC, messages, records, send, \
    start_app, stop_app, wait_record

USER, PASSWORD = "gateway", "s3cret"
NODE = "0123456789AB"
PACKAGE = Path(__file__).resolve().parents[2] / "packaging/openwrt/kelvora/Makefile"
# The origin of every discovery record: the daemon, its installed version, the package's URL.
ORIGIN = {"name": "kelvora-mqtt-app", "sw_version": "1.4.2-1",
          "support_url": re.search(r"^KELVORA_URL:=(\S+)$", PACKAGE.read_text(), re.M).group(1)}


def mqtt_section(**options):
    options = {"enable": "1", "host": "127.0.0.1", **options}
    return "config mqtt 'mqtt'\n" + "".join(
        f"\toption {name} '{value}'\n" for name, value in options.items() if value is not None)


def status(sandbox):
    result = sandbox.ubus("-S", "call", "kelvora.mqtt", "status")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def reading(ts, sensor_type="PM_2_5", device_id=NODE, value=12):
    return {"device_id": device_id, "sensor_type": sensor_type, "data": {"ts": ts, "v": value}}


def ubus_send_all(sandbox, events, pause=0.0):
    for event in events:
        send(sandbox, event)
        if pause:
            time.sleep(pause)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """A CA and a server certificate for 127.0.0.1 that it signed."""
    d = tmp_path_factory.mktemp("pki")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def run(*argv):
        subprocess.run(["openssl", *argv], cwd=d, check=True, capture_output=True)

    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Test CA")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    (d / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2", "-extfile", "san.ext")
    for name in ("ca.pem", "server.pem", "server.key"):
        (d / name).chmod(0o644)
    # The daemon's own user reads ca.pem, as it would a CA file on the router.
    d.chmod(0o755)
    return d


def start_secured_broker(sandbox, pki=None):
    """Anonymous clients refused; USER/PASSWORD accepted on 1883 and, with
    `pki`, on a TLS listener on 8883. Logs every connection to a file."""
    passwords = sandbox.workdir / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(passwords), USER, PASSWORD], check=True,
                   capture_output=True)
    passwords.chmod(0o644)
    log = sandbox.workdir / "mosquitto.log"
    # Root keeps its rights (the test's folders are not the mosquitto user's).
    extra = (f"user root\nallow_anonymous false\npassword_file {passwords}\nlog_dest file {log}\n"
             "log_type all\nconnection_messages true\n")
    if pki is not None:
        extra += (f"listener 8883 127.0.0.1\ncafile {pki}/ca.pem\ncertfile {pki}/server.pem\n"
                  f"keyfile {pki}/server.key\n")
    sandbox.start_mosquitto(extra=extra)
    return log


def subscriber(sandbox, topic="kelvora/#", **kw):
    sub = Subscriber(sandbox, topic=topic, args=["--username", USER, "--password", PASSWORD], **kw)
    assert sub.wait_subscribed()
    return sub


def test_wrong_password_is_refused_with_one_error_and_the_right_one_lets_readings_flow(sandbox):
    start_secured_broker(sandbox)
    sub = subscriber(sandbox)
    app = start_app(sandbox, mqtt_section(username=USER, password="wrong"))
    refused = "Connection Failed : Connection Refused: not authorised."
    assert wait_record(sandbox, refused, count=3, timeout=10)
    found = records(sandbox, refused)
    gaps = [(b[0] - a[0]).total_seconds() for a, b in zip(found, found[1:])]
    assert all(gap >= 0.8 for gap in gaps), gaps  # paced, not at once
    errors = [m for _, s, m in records(sandbox) if s == "ERROR"]
    assert errors == [f'Broker refused user "{USER}" : Connection Refused: not authorised.']
    state = status(sandbox)
    assert state["connected"] is False
    assert state["last_disconnect"] == "Connection Refused: not authorised."
    assert state["reconnects"] >= 2
    send(sandbox, EXAMPLE)
    stop_app(sandbox, app)
    assert sub.messages() == []

    sandbox.ubus("call", "uci", "set", json.dumps(
        {"config": "tavrin", "section": "mqtt", "values": {"password": PASSWORD}}))
    sandbox.ubus("call", "uci", "commit", '{"config":"tavrin"}')
    app = sandbox.spawn([sandbox.exe(APP)])
    assert wait_record(sandbox, "Connection Success")
    send(sandbox, EXAMPLE)
    got = sub.wait_messages(1)
    assert [(m["topic"], m["payload"]) for m in got] == [(EXAMPLE_TOPIC, EXAMPLE_BODY)]
    stop_app(sandbox, app)


@pytest.mark.parametrize("trusted", [True, False], ids=["test-ca", "system-store"])
def test_tls_connects_only_with_the_ca_that_signed_the_broker(sandbox, pki, trusted):
    log = start_secured_broker(sandbox, pki)
    sub = subscriber(sandbox)
    app = start_app(sandbox, mqtt_section(
        port="8883", tls="1", username=USER, password=PASSWORD, client_id="gw-tls",
        ca_file=str(pki / "ca.pem") if trusted else None))
    if trusted:
        assert wait_record(sandbox, "Connection Success")
        send(sandbox, EXAMPLE)
        assert [m["payload"] for m in sub.wait_messages(1)] == [EXAMPLE_BODY]
        assert "New client connected" in log.read_text() and "gw-tls" in log.read_text()
    else:
        assert wait_record(sandbox, "TLS Error : ")
        time.sleep(2.5)  # a few more attempts
        assert len(messages(sandbox, "TLS Error : ")) == 1
        assert "certificate verify failed" in messages(sandbox, "TLS Error : ")[0]
        assert messages(sandbox, "Connection Success") == []
        send(sandbox, EXAMPLE)
        time.sleep(0.5)
        assert sub.messages() == []
        # The broker never saw a CONNECT: no client id, user or password in clear.
        text = log.read_text()
        assert "gw-tls" not in text and USER + " " not in text.replace("u'" + USER, "")
        assert status(sandbox)["connected"] is False
    stop_app(sandbox, app)


def test_availability_outage_and_status(sandbox):
    """Gateway and node status retained; a 20 s broker outage loses nothing
    and keeps the order; "offline" as the last will after SIGKILL."""
    persistence = sandbox.workdir / "broker-db"
    persistence.mkdir()
    # The subscriber's session (and what is queued for it) survives the restart.
    extra = f"user root\npersistence true\npersistence_location {persistence}/\nqueue_qos0_messages true\n"
    broker = sandbox.start_mosquitto(extra=extra)
    sub = Subscriber(sandbox, args=["--session", "watcher"])
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(availability="1", client_id="gw1", node_timeout="3"))
    assert wait_record(sandbox, "Connection Success")
    gateway = "kelvora/gateway/gw1/status"
    got = sub.wait_messages(1)
    assert [(m["topic"], m["payload"], m["retain"]) for m in got] == [(gateway, "online", True)]

    state = status(sandbox)
    assert state["enabled"] is True and state["connected"] is True
    assert state["broker"] == "127.0.0.1:1883" and state["client_id"] == "gw1"
    assert state["version"] == "1.4.2-1" and state["uptime"] >= 0
    assert abs(state["since"] - time.time()) < 5
    assert (state["received"], state["published"], state["failed"], state["reconnects"]) == (0, 0, 0, 0)

    send(sandbox, reading(1))
    got = sub.wait_messages(3)[1:]
    assert [(m["topic"], m["payload"], m["retain"]) for m in got] == [
        (f"kelvora/{NODE}/status", "online", True),
        (f"kelvora/{NODE}/PM_2_5", '{"ts":1,"v":12}', False)]

    sandbox.stop(broker)
    assert wait_record(sandbox, "Connection Lost : ")
    assert [s for _, s, _ in records(sandbox, "Connection Lost : ")] == ["WARN"]
    events = [reading(ts) for ts in range(2, 42)]
    ubus_send_all(sandbox, events, pause=0.5)  # 20 s
    state = status(sandbox)
    assert state["connected"] is False and state["last_disconnect"]
    assert state["queued"] >= 38, state  # every reading, the node's "offline" maybe too
    assert state["dropped"] == 0
    assert len(messages(sandbox, "Connection Lost : ")) == 1

    sandbox.start_mosquitto(extra=extra)
    assert wait_record(sandbox, "Connection Success", count=2, timeout=15)
    # Status messages (the gateway's "online", the node's "offline"/"online")
    # come between the readings in a number that depends on timing.
    def published():
        return [m["payload"] for m in sub.messages() if m["topic"] == f"kelvora/{NODE}/PM_2_5"]
    sandbox.wait_for(lambda: len(published()) >= 41, 15)
    assert published() == ['{"ts":%d,"v":12}' % ts for ts in range(1, 42)]
    state = status(sandbox)
    assert state["connected"] is True and state["queued"] == 0 and state["reconnects"] == 1
    assert state["received"] == 41 and state["failed"] == 0
    assert state["published"] >= 41

    # No reading for longer than node_timeout: the node goes offline.
    assert sandbox.wait_for(lambda: [m["payload"] for m in sub.messages()
                                     if m["topic"] == f"kelvora/{NODE}/status"][-1:] == ["offline"], 8)

    count = len(sub.messages())
    app.send_signal(signal.SIGKILL)
    app.wait()
    got = sub.wait_messages(count + 1)[count:]
    assert [(m["topic"], m["payload"], m["retain"]) for m in got] == [(gateway, "offline", True)]


def test_clean_stop_says_offline(sandbox):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox, topic="kelvora/gateway/#")
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(availability="1", client_id="gw2"))
    assert wait_record(sandbox, "Connection Success")
    stop_app(sandbox, app)
    got = sub.wait_messages(2)
    assert [(m["payload"], m["retain"]) for m in got] == [("online", True), ("offline", True)]


def test_three_options_put_only_the_readings_on_the_wire(sandbox):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox, topic="#")
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(port="1883"))
    assert wait_record(sandbox, "Connection Success")
    send(sandbox, EXAMPLE)
    got = sub.wait_messages(1)
    time.sleep(0.5)
    assert [(m["topic"], m["payload_hex"], m["qos"], m["retain"]) for m in sub.messages()] == [
        (EXAMPLE_TOPIC, EXAMPLE_BODY.encode().hex(), 0, False)]
    stop_app(sandbox, app)
    assert [s for _, s, _ in records(sandbox) if s in ("WARN", "ERROR") and
            not records(sandbox, "Signal")] == []


def config_of(messages_, sensor_type):
    return [m for m in messages_ if m["topic"] == f"homeassistant/sensor/kelvora_{NODE}/{sensor_type}/config"]


def test_home_assistant_discovery(sandbox):
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox, topic="homeassistant/sensor/#")  # the gateway's record: test below
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(ha_discovery="1", client_id="gw3", node_timeout="120"))
    assert wait_record(sandbox, "Connection Success")
    ubus_send_all(sandbox, [reading(1, "PM_2_5"), reading(2, "AT", value=21.5), reading(3, "PM_2_5"),
                            reading(4, "XX")])
    got = sub.wait_messages(3)
    time.sleep(0.5)
    assert len(sub.messages()) == 3  # one per node and type, not per reading
    availability = [{"topic": "kelvora/gateway/gw3/status"}, {"topic": f"kelvora/{NODE}/status"}]
    device = {"identifiers": [f"kelvora_{NODE}"], "manufacturer": "Kelvora", "model": "Sensor node",
              "name": NODE, "via_device": "kelvora_gw3"}
    pm = config_of(got, "PM_2_5")
    assert len(pm) == 1 and pm[0]["retain"] is True
    assert json.loads(pm[0]["payload"]) == {
        "availability": availability, "availability_mode": "all", "device": device,
        "device_class": "pm25", "origin": ORIGIN, "state_class": "measurement",
        "state_topic": f"kelvora/{NODE}/PM_2_5", "suggested_display_precision": 0,
        "unique_id": f"kelvora_{NODE}_PM_2_5", "unit_of_measurement": "\u00b5g/m\u00b3",
        "value_template": "{{ value_json.v }}"}
    at = config_of(got, "AT")
    assert json.loads(at[0]["payload"]) == {
        "availability": availability, "availability_mode": "all", "device": device,
        "device_class": "temperature", "origin": ORIGIN, "state_class": "measurement",
        "state_topic": f"kelvora/{NODE}/AT", "suggested_display_precision": 1,
        "unique_id": f"kelvora_{NODE}_AT", "unit_of_measurement": "\u00b0C",
        "value_template": "{{ value_json.v }}"}
    plain = json.loads(config_of(got, "XX")[0]["payload"])
    assert "device_class" not in plain and "unit_of_measurement" not in plain

    # Home Assistant's birth message: every record again.
    assert sandbox.run(["mosquitto_pub", "-h", "127.0.0.1", "-t", "homeassistant/status",
                        "-m", "online"]).returncode == 0
    got = sub.wait_messages(6)
    assert len(config_of(got, "PM_2_5")) == 2 and len(config_of(got, "AT")) == 2
    assert config_of(got, "AT")[1]["payload"] == at[0]["payload"]

    # The node leaves the whitelist: its records are removed.
    send_ws = sandbox.ubus("send", "kelvora.websocket", json.dumps(
        {"device_id": NODE, "device_type": "sensor", "type": "unsubscribe"}))
    assert send_ws.returncode == 0
    got = sub.wait_messages(9)
    removed = got[6:]
    assert sorted(m["topic"].split("/")[3] for m in removed) == ["AT", "PM_2_5", "XX"]
    assert all(m["payload"] == "" and m["retain"] for m in removed)
    stop_app(sandbox, app)


def test_home_assistant_gets_the_gateway_and_each_types_interval(sandbox):
    """The gateway is a device of its own that every node is linked through;
    the records say where they come from and leave names to Home Assistant;
    a type read every 20 s expires after three of its intervals, not after
    node_timeout."""
    sandbox.start_mosquitto()
    sub = Subscriber(sandbox, topic="homeassistant/#")
    assert sub.wait_subscribed()
    app = start_app(sandbox, mqtt_section(ha_discovery="1", client_id="gw4", node_timeout="600"))
    assert wait_record(sandbox, "Connection Success")
    send(sandbox, reading(1, "AT", value=21.5))
    first = time.monotonic()
    ubus_send_all(sandbox, [reading(1, "PM_2_5"), reading(1, "RH", value=40),
                            reading(1, "AP", value=1013.25), reading(1, "XX", value=7)])
    assert len(sub.wait_messages(6)) == 6

    # Retained: a subscriber that comes later gets every record, and the
    # gateway's state.
    late = Subscriber(sandbox, topic="#")
    assert late.wait_subscribed()
    retained = {m["topic"]: m["payload"] for m in late.wait_messages(8) if m["retain"]}
    gateway = json.loads(retained.pop("homeassistant/binary_sensor/kelvora_gw4/status/config"))
    assert gateway == {
        "device": {"identifiers": ["kelvora_gw4"], "manufacturer": "Kelvora", "model": "Gateway",
                   "name": "gw4", "sw_version": "1.4.2-1"},
        "device_class": "connectivity", "origin": ORIGIN, "payload_off": "offline",
        "payload_on": "online", "state_topic": "kelvora/gateway/gw4/status",
        "unique_id": "kelvora_gw4_status"}
    assert retained.pop("kelvora/gateway/gw4/status") == gateway["payload_on"]
    assert retained.pop(f"kelvora/{NODE}/status") == "online"
    configs = {topic.split("/")[3]: json.loads(payload) for topic, payload in retained.items()}
    assert sorted(configs) == ["AP", "AT", "PM_2_5", "RH", "XX"]
    for config in configs.values():
        assert config["device"]["via_device"] == gateway["device"]["identifiers"][0]
        assert config["origin"] == ORIGIN
        assert "expire_after" not in config  # no interval seen yet
    precision = {t: c.get("suggested_display_precision") for t, c in configs.items() if "name" not in c}
    assert precision == {"AP": 1, "AT": 1, "PM_2_5": 0, "RH": 0}
    assert configs["XX"]["name"] == "XX" and configs["XX"]["state_class"] == "measurement"

    time.sleep(max(0.0, 20 - (time.monotonic() - first)))
    send(sandbox, reading(21, "AT", value=21.7))
    got = sub.wait_messages(7)
    assert [m["topic"].split("/")[3] for m in got[6:]] == ["AT"]
    assert json.loads(got[6]["payload"]) == {**configs["AT"], "expire_after": 60}
    stop_app(sandbox, app)

