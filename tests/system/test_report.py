"""kelvora-report-app as a process: readings sent on the bus, reports received
by a local cloud server.

The daemon uploads every 30 seconds (first cycle at start), so every scenario
below runs in its own sandbox, all at once, on one timeline of about a minute:
cycle 2 (~30 s after start) and cycle 3 (~60 s). The tests then check what
each scenario recorded.
"""

import json
import signal
import threading
import time
import traceback
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from cloud_server import make_ca, make_server_cert
from sandbox import Sandbox, SandboxError

N1 = "0123456789AB"
N2 = "0123456789AC"
N1_2 = "0123456789AB_2"
TOKEN = "tok-3f9a"
PERIOD = 30.0
REPORT_HEADERS = [("cache-control", "no-cache"), ("Content-Type", "application/json"),
                  ("Authorization", f"Bearer {TOKEN}")]


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def tavrin(url=None, token=TOKEN, sys_extra=()):
    lines = ["config sys 'sys'", f"\tlist whitelist '{N1}'"]
    if url is not None:
        lines.append(f"\toption url '{url}'")
    lines += [f"\toption {name} '{value}'" for name, value in sys_extra]
    lines += ["", "config auth 'auth'", f"\toption access_token '{token}'", ""]
    return "\n".join(lines)


class ReportBox:
    """One sandbox with ubusd, the uci service, a cloud stand-in and the daemon."""

    def __init__(self, workdir, config):
        self.cloud = None
        self.proc = None
        self.t0 = None
        self.sb = Sandbox(workdir)
        try:
            # Name look-ups inside ask 127.0.0.1 only.
            resolv = Path(workdir) / "resolv.conf"
            resolv.write_text("nameserver 127.0.0.1\n")
            self.mount(resolv, "/etc/resolv.conf")
            self.sb.start_ubusd()
            self.sb.start_uci({"tavrin": config})
        except BaseException:
            self.sb.close()
            raise

    def mount(self, source, target):
        self.sb.bind(source, target)

    def start_cloud(self, **kw):
        self.cloud = self.sb.start_cloud(**kw)
        return self.cloud

    def start_daemon(self, env=None):
        self.proc = self.sb.spawn([self.sb.exe("kelvora-report-app")], env=env)
        self.t0 = time.monotonic()
        assert self.sb.wait_log("report.log", "Report App Start : ", 10), self.log()
        # Configuration and registration follow the start record within
        # milliseconds; the first (empty) cycle runs at once.
        time.sleep(1.0)

    def send(self, payload):
        r = self.sb.ubus("send", "kelvora.report", compact(payload))
        assert r.returncode == 0, r.stderr

    def reading(self, device_id, sensor_type, ts, v):
        self.send({"data": {"ts": ts, "v": v}, "device_id": device_id, "sensor_type": sensor_type})

    def until(self, seconds):
        """Sleeps until `seconds` after the daemon's start."""
        delay = self.t0 + seconds - time.monotonic()
        if delay > 0:
            time.sleep(delay)

    def wait_requests(self, count, by):
        """Waits until the cloud holds `count` requests, at most until `by`
        seconds after start."""
        return self.sb.wait_for(lambda: len(self.cloud.requests()) >= count,
                                max(0.0, self.t0 + by - time.monotonic()), 0.1)

    def wait_log(self, text, by):
        return self.sb.wait_for(lambda: text in self.log(), max(0.0, self.t0 + by - time.monotonic()), 0.1)

    def log(self):
        return self.sb.read_log("report.log")

    def records(self, severity):
        return [line.split("] ", 2)[-1] for line in self.log().splitlines()
                if f" {severity} [" in line]

    def alive(self):
        return self.proc.poll() is None

    def sigterm(self):
        """Sends SIGTERM; returns (exit status, seconds to exit)."""
        start = time.monotonic()
        rc = self.sb.stop(self.proc, signal.SIGTERM, timeout=10)
        return rc, time.monotonic() - start

    def close(self):
        self.sb.close()


# --- scenarios: each returns what its tests check ---------------------------

MALFORMED = [
    {"data": {"ts": 100, "v": 1}, "sensor_type": "PM_2_5"},                        # no device_id
    {"data": {"ts": 100, "v": 1}, "device_id": N1},                                # no sensor_type
    {"device_id": N1, "sensor_type": "PM_2_5"},                                    # no data
    {"data": {"ts": 100, "v": 1}, "device_id": 42, "sensor_type": "PM_2_5"},       # id not a string
    {"data": {"ts": 100, "v": 1}, "device_id": N1, "sensor_type": True},           # type not a string
    {"data": [100, 1], "device_id": N1, "sensor_type": "PM_2_5"},                  # data an array
    {"data": {"ts": "100", "v": 1}, "device_id": N1, "sensor_type": "PM_2_5"},     # ts a string
    {"data": {"ts": False, "v": 1}, "device_id": N1, "sensor_type": "PM_2_5"},     # ts a boolean
]


def scenario_main(box):
    """Thinning, grouping and the request of a cycle, then a cycle with one node."""
    box.start_daemon()
    r = box.reading
    r(N1, "PM_2_5", 100, 12)       # admitted (100 after the initial 0)
    r(N1, "TEMP", 30, 20.5)        # below 60: dropped, but TEMP now comes second
    r(N1, "PM_2_5", 130, 13)       # 30 after 100: dropped
    box.send(MALFORMED[0])
    r(N1, "TEMP", 59, 20.6)        # still below 60: dropped
    r(N1, "PM_2_5", 160, 14)       # 60 after 100: admitted
    for payload in MALFORMED[1:]:
        box.send(payload)
    r(N1, "TEMP", 60, 20.7)        # admitted
    r(N1, "PM_2_5", 161, 15)       # 1 after 160: dropped
    r(N2, "PM_2_5", 100, 30)       # other node: its own queue
    r(N1, "HUM", 1000, 40)         # admitted
    r(N1, "HUM", 500, 41)          # clock went back: admitted
    r(N1, "HUM", 530, 42)          # 30 after 500: dropped
    box.send({"data": {"k": "bogus", "ts": 100, "v": 7}, "device_id": N1_2, "sensor_type": "PM_10"})
    r(N1, "PM_2_5", 220, 16.5)     # admitted
    sent_by = time.monotonic() - box.t0
    box.wait_requests(1, PERIOD + 15)
    alive_after_malformed = box.alive()
    # Cycle 3: only N2 has something new; N1 keeps its thinning state.
    r(N1, "PM_2_5", 250, 17)       # 30 after 220: dropped
    r(N2, "PM_2_5", 200, 31)
    box.wait_requests(2, 2 * PERIOD + 15)
    box.until(2 * PERIOD + 5)
    requests = box.cloud.requests()
    rc, seconds = box.sigterm()
    return dict(sent_by=sent_by, requests=requests, alive=alive_after_malformed,
                rc=rc, seconds=seconds, errors=box.records("ERROR"), warnings=box.records("WARN "),
                log=box.log())


def two_readings_then_idle_cycle(box):
    box.start_daemon()
    box.reading(N1, "PM_2_5", 100, 1)
    box.reading(N1, "PM_2_5", 200, 2)
    box.wait_requests(1, PERIOD + 15)
    box.until(2 * PERIOD + 5)  # cycle 3 with nothing waiting
    return dict(requests=box.cloud.requests(), errors=box.records("ERROR"),
                warnings=box.records("WARN "), alive=box.alive(), rc=box.sigterm()[0])


def scenario_unreachable(box, make_reachable):
    """Cycle 2 cannot reach the server; it becomes reachable before cycle 3."""
    box.start_daemon()
    box.reading(N1, "PM_2_5", 100, 1)
    failed = box.wait_log(make_reachable.warning, PERIOD + 15)
    warnings_at_failure = box.records("WARN ")
    make_reachable(box)
    box.reading(N1, "PM_2_5", 200, 2)
    box.wait_requests(1, 2 * PERIOD + 15)
    return dict(failed=failed, warnings_at_failure=warnings_at_failure,
                requests=box.cloud.requests(), rc=box.sigterm()[0])


def start_server(box):
    box.start_cloud(status=201)


start_server.warning = "Failed to connect() to host."


def resolve_and_start_server(box):
    hosts = Path(box.sb.workdir) / "hosts"
    hosts.write_text("127.0.0.1 localhost\n127.0.0.1 cloud.invalid\n")
    box.mount(hosts, "/etc/hosts")
    box.start_cloud(status=201)


resolve_and_start_server.warning = "Couldn't resolve host."


def scenario_no_server_address(box):
    box.start_daemon()
    box.reading(N1, "PM_2_5", 100, 1)
    box.until(PERIOD + 4)
    return dict(requests=box.cloud.requests(), errors=box.records("ERROR"),
                warnings=box.records("WARN "), alive=box.alive(), rc=box.sigterm()[0])


def scenario_tls(box):
    box.start_daemon()
    box.reading(N1, "PM_2_5", 100, 1)
    box.wait_requests(1, PERIOD + 4)
    box.until(PERIOD + 4)
    return dict(requests=box.cloud.requests(), errors=box.records("ERROR"),
                warnings=box.records("WARN "), cloud_output=box.cloud.output.read_text(),
                rc=box.sigterm()[0])


def run_scenarios(scenarios, open_box):
    """Runs every scenario at once, each on the box `open_box(name)` opens
    (closed afterwards); a scenario's result, or its traceback as
    {"failure": ...} for the test that reads it."""
    def run(name):
        box = None
        try:
            box = open_box(name)
            return scenarios[name](box)
        except Exception:
            return {"failure": traceback.format_exc()}
        finally:
            if box is not None:
                box.close()

    with ThreadPoolExecutor(max_workers=len(scenarios)) as pool:
        futures = {name: pool.submit(run, name) for name in scenarios}
        return {name: f.result() for name, f in futures.items()}


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    root = tmp_path_factory.mktemp("report")
    ca = make_ca(root / "pki")
    server_tls = make_server_cert(root / "pki", ca)
    stranger_ca = make_ca(root / "pki", name="stranger")
    stranger_tls = make_server_cert(root / "pki", stranger_ca, name="stranger-server")
    http = "http://127.0.0.1:8080"
    https = "https://127.0.0.1:8443"

    def plain(status, body="", headers=()):
        return (tavrin(http), dict(status=status, body=body, headers=headers), two_readings_then_idle_cycle)

    scenarios = {
        "main": (tavrin(http), dict(status=201, body='{"saved":true}'), scenario_main),
        "created": plain(201, '{"saved":true}'),
        "not_found": plain(404, "no such gateway"),
        "redirect": plain(302, "", ("Location: /elsewhere",)),
        "server_down": (tavrin(http), None, lambda b: scenario_unreachable(b, start_server)),
        "no_name": (tavrin("http://cloud.invalid:8080", sys_extra=[("allow_http", "1")]), None,
                    lambda b: scenario_unreachable(b, resolve_and_start_server)),
        "no_address": (tavrin(None), dict(status=201), scenario_no_server_address),
        "tls_private_ca": (tavrin(https, sys_extra=[("ca_file", ca[0])]),
                           dict(port=8443, status=201, tls=server_tls), scenario_tls),
        "tls_unknown_ca": (tavrin(https), dict(port=8443, status=201, tls=server_tls), scenario_tls),
        "tls_not_verified": (tavrin(https, sys_extra=[("tls_verify", "0")]),
                             dict(port=8443, status=201, tls=stranger_tls), scenario_tls),
    }

    def open_box(name):
        config, cloud, _ = scenarios[name]
        box = ReportBox(root / name, config)
        if cloud is not None:
            box.start_cloud(**cloud)
        return box

    return run_scenarios({name: body for name, (_, _, body) in scenarios.items()}, open_box)


def outcome(outcomes, name):
    result = outcomes[name]
    assert "failure" not in result, result.get("failure")
    return result


def header_pairs(request):
    return [(k, v) for k, v in request["headers"]]


def readings(request):
    return [(n["id"], r["k"], r["ts"], r["v"]) for n in json.loads(request["body"])["nodes"] for r in n["vs"]]


# --- tests ------------------------------------------------------------------

def test_thinning_grouping_and_the_report_request(outcomes):
    o = outcome(outcomes, "main")
    assert o["sent_by"] < PERIOD - 5, "readings were not all sent before cycle 2"
    requests = o["requests"]
    assert len(requests) == 2, requests
    first = requests[0]
    assert first["method"] == "POST" and first["path"] == "/gateways/report"
    for header in REPORT_HEADERS:
        assert header in header_pairs(first), first["headers"]

    nodes = {
        N1: {"id": N1, "vs": [
            {"k": "PM_2_5", "ts": 100, "v": 12}, {"k": "PM_2_5", "ts": 160, "v": 14},
            {"k": "PM_2_5", "ts": 220, "v": 16.5},
            {"k": "TEMP", "ts": 60, "v": 20.7},
            {"k": "HUM", "ts": 1000, "v": 40}, {"k": "HUM", "ts": 500, "v": 41}]},
        N2: {"id": N2, "vs": [{"k": "PM_2_5", "ts": 100, "v": 30}]},
        N1_2: {"id": N1_2, "vs": [{"k": "PM_10", "ts": 100, "v": 7}]},
    }
    # The order of nodes is free; the exact bytes otherwise are not.
    order = [n["id"] for n in json.loads(first["body"])["nodes"]]
    assert sorted(order) == sorted(nodes)
    assert first["body"] == compact({"nodes": [nodes[i] for i in order]})

    # Cycle 3: only the node with something new; N1's 250 was thinned.
    assert requests[1]["body"] == compact({"nodes": [{"id": N2, "vs": [{"k": "PM_2_5", "ts": 200, "v": 31}]}]})
    assert requests[1]["time"] - requests[0]["time"] == pytest.approx(PERIOD, abs=3)


def test_malformed_events_are_logged_and_dropped(outcomes):
    o = outcome(outcomes, "main")
    assert o["alive"]
    dropped = [e for e in o["errors"] if e.startswith("Event dropped : ")]
    assert len(dropped) == len(MALFORMED), o["errors"]
    assert all("Signal" in e or "Terminate" in e or e.startswith("Event dropped") for e in o["errors"])


def test_token_over_plain_http_warns_once_and_sigterm_ends_promptly(outcomes):
    o = outcome(outcomes, "main")
    assert o["warnings"] == [
        "Server is not https : the access token is sent in clear text to http://127.0.0.1:8080"]
    assert o["rc"] == 0
    assert o["seconds"] < 1.0
    assert o["errors"][-2:] == ["Signal Catch : 15", "Terminate program.."]


def test_created_with_a_body_is_success_and_an_idle_cycle_sends_nothing(outcomes):
    o = outcome(outcomes, "created")
    assert len(o["requests"]) == 1
    assert readings(o["requests"][0]) == [(N1, "PM_2_5", 100, 1), (N1, "PM_2_5", 200, 2)]
    assert o["errors"] == [] and len(o["warnings"]) == 1  # the plain-http warning only
    assert o["alive"] and o["rc"] == 0


def same_request_each_time(requests):
    keys = {next(v for k, v in r["headers"] if k == "Idempotency-Key") for r in requests}
    return len(keys) == 1 and len({r["body"] for r in requests}) == 1


def test_not_found_is_logged_and_the_report_sent_again(outcomes):
    o = outcome(outcomes, "not_found")
    # Kept for a retry within one period (back-off), unchanged.
    assert len(o["requests"]) >= 2
    assert same_request_each_time(o["requests"])
    assert readings(o["requests"][0]) == [(N1, "PM_2_5", 100, 1), (N1, "PM_2_5", 200, 2)]
    assert o["errors"] == ["Server Error ( 404 ) : no such gateway"] * len(o["requests"])
    assert o["rc"] == 0


def test_redirect_is_not_followed_and_not_taken_for_delivery(outcomes):
    o = outcome(outcomes, "redirect")
    assert len(o["requests"]) >= 2
    assert {(r["method"], r["path"]) for r in o["requests"]} == {("POST", "/gateways/report")}
    assert same_request_each_time(o["requests"])
    assert o["errors"] == []
    assert o["warnings"][1:] == ["Report not confirmed : HTTP 302"] * len(o["requests"])
    assert o["rc"] == 0


@pytest.mark.parametrize("name,warning", [("server_down", "Failed to connect() to host."),
                                          ("no_name", "Couldn't resolve host.")])
def test_readings_wait_while_the_server_cannot_be_reached(outcomes, name, warning):
    o = outcome(outcomes, name)
    assert o["failed"], "no failed cycle"
    assert [w for w in o["warnings_at_failure"] if not w.startswith("Server is not https")] == [warning]
    # Once reachable: one report, the kept reading first.
    assert len(o["requests"]) == 1
    assert readings(o["requests"][0]) == [(N1, "PM_2_5", 100, 1), (N1, "PM_2_5", 200, 2)]
    assert o["rc"] == 0


def test_empty_server_address_fails_quietly(outcomes):
    o = outcome(outcomes, "no_address")
    assert o["requests"] == []
    assert o["errors"] == [] and o["warnings"] == []
    assert o["alive"] and o["rc"] == 0


def test_tls_private_ca_is_accepted_when_configured(outcomes):
    o = outcome(outcomes, "tls_private_ca")
    assert len(o["requests"]) == 1
    assert readings(o["requests"][0]) == [(N1, "PM_2_5", 100, 1)]
    assert ("Authorization", f"Bearer {TOKEN}") in header_pairs(o["requests"][0])
    assert o["errors"] == [] and o["warnings"] == []


def test_tls_unknown_ca_is_refused_before_anything_is_sent(outcomes):
    o = outcome(outcomes, "tls_unknown_ca")
    assert o["requests"] == []
    # The daemon did connect, and gave up in the handshake: one warning with
    # libcurl's text per attempt.
    assert "unknown ca" in o["cloud_output"], o["cloud_output"]
    assert o["errors"] == [] and o["warnings"]
    assert all(w.startswith("Report not confirmed : SSL") for w in o["warnings"]), o["warnings"]
    assert o["rc"] == 0


def test_tls_verification_can_be_turned_off(outcomes):
    o = outcome(outcomes, "tls_not_verified")
    assert len(o["requests"]) == 1
    assert o["warnings"] == ["TLS verification is off : the server's certificate is not checked"]


def test_a_box_whose_set_up_fails_leaves_nothing_running(tmp_path, monkeypatch):
    boxes = []

    def uci_that_fails(sb, configs=None):
        boxes.append(sb)
        raise SandboxError("uci service did not register")

    monkeypatch.setattr(Sandbox, "start_uci", uci_that_fails)
    with pytest.raises(SandboxError):
        ReportBox(tmp_path / "box", tavrin())
    sb, = boxes
    assert sb._procs, "ubusd was not started"
    running = [p.args for p in sb._procs + [sb._holder] if p.poll() is None]
    assert running == []
