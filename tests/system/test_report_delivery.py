"""Confirmed delivery of kelvora-report-app as a process: the cloud stand-in
is scripted per request (time-outs, resets, error statuses, Retry-After), the
daemon is stopped and killed with readings waiting, its spool is damaged.

The daemon's intervals are shortened through its test hooks (period 1 s,
transfer time-out 1.5 s, spool interval 0.5 s), so back-off ceilings are
1, 2, 4 ... s. All scenarios run at once, each in its own sandbox.
"""

import json
import signal
import time
from pathlib import Path

import pytest

from test_report import N1, N2, ReportBox, run_scenarios, tavrin

HTTP = "http://127.0.0.1:8080"
PERIOD = 1.0
TIMEOUT = 1.5
ENV = {"KELVORA_REPORT_PERIOD_MS": str(int(PERIOD * 1000)),
       "KELVORA_REPORT_TIMEOUT_MS": str(int(TIMEOUT * 1000)),
       "KELVORA_REPORT_SPOOL_INTERVAL_MS": "500"}
SPOOL = "/var/run/kelvora-report/report.spool"
SLACK = 0.6  # seconds of scheduling and process start-up allowed on a wait


def send_readings(box, count, start_ts=60, spacing=0.0, nodes=(N1,), types=("PM_2_5", "TEMP")):
    """Offers `count` admissible readings per node and type; returns them as
    (device id, k, ts, v) in the order sent."""
    sent = []
    for i in range(count):
        for node in nodes:
            for k in types:
                ts = start_ts + 60 * i
                v = len(sent)
                box.reading(node, k, ts, v)
                sent.append((node, k, ts, v))
        if spacing:
            time.sleep(spacing)
    return sent


def in_stream_order(readings):
    last = {}
    for node, k, ts, _ in readings:
        if ts <= last.get((node, k), -1):
            return False
        last[(node, k)] = ts
    return True


def confirmed(box, count, timeout):
    """Waits until the daemon counts `count` readings delivered and none waits."""
    return box.sb.wait_for(lambda: (lambda s: s["delivered"] >= count and s["waiting"] == 0)(status(box)),
                           timeout, 0.2)


def status(box):
    r = box.sb.ubus("-S", "call", "kelvora.report", "status")
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def new_box(root, name, url=HTTP):
    return ReportBox(root / name, tavrin(url))


# --- scenarios ------------------------------------------------------------------

FAULTS = {
    # name: actions of the first requests, then 201
    "timeout": [{"do": "hang"}],
    "reset": [{"do": "reset"}],
    "error_500": [{"status": 500, "body": "busy"}] * 3,
    "unavailable_retry_after": [{"status": 503, "body": "later", "headers": ["Retry-After: 7"]}],
    "too_many": [{"status": 429, "body": "slow down"}],
    "unauthorized": [{"status": 401, "body": "bad token"}],
}


def scenario_fault(box, actions):
    box.start_cloud(status=201, script=actions)
    box.start_daemon(env=ENV)
    sent = send_readings(box, 4, spacing=0.3)
    confirmed(box, len(sent), 30)
    time.sleep(1.5)  # a late copy would arrive now
    return dict(sent=sent, requests=box.cloud.report_requests(), by_key=box.cloud.by_key(),
                distinct=box.cloud.distinct_readings(), warnings=box.records("WARN "),
                errors=box.records("ERROR"), rc=box.sigterm()[0])


def scenario_refused(box, code):
    box.start_cloud(status=201, script=[{"status": code, "body": "bad content"}])
    box.start_daemon(env=ENV)
    first = send_readings(box, 2)
    box.wait_requests(1, 10)
    time.sleep(1.5)
    later = send_readings(box, 2, start_ts=600)
    box.sb.wait_for(lambda: len(box.cloud.distinct_readings()) >= len(first) + len(later), 15, 0.2)
    time.sleep(1.5)
    return dict(first=first, later=later, requests=box.cloud.report_requests(),
                distinct=box.cloud.distinct_readings(), errors=box.records("ERROR"), rc=box.sigterm()[0])


def spool_text(lines):
    """A spool file as the daemon writes it: header with size and 64-bit
    FNV-1a checksum of the payload."""
    payload = "".join(line + "\n" for line in lines).encode()
    h = 0xcbf29ce484222325
    for b in payload:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return f"kelvora-report-spool 1 {len(payload)} {h:016x}\n".encode() + payload


def scenario_backlog(box):
    """10,000 readings of 20 nodes wait (put there through the spool, as
    after a long outage); the cloud is away at first, then comes back."""
    nodes = [f"0123456789{n:02X}" for n in range(20)]
    last_ts = 60 * (10000 // 20)
    lines = [f'Q {json.dumps([n, "PM_2_5", last_ts])}' for n in nodes]
    sent = []
    for i in range(10000):
        q = i % 20
        ts = 60 * (i // 20 + 1)
        lines.append(f'W {q} 1700000000 {{"k":"PM_2_5","ts":{ts},"v":{i}}}')
        sent.append((nodes[q], "PM_2_5", ts, i))
    # The spool's directory, as the init script makes it.
    box.sb.prepare("kelvora-report-app")
    box.sb.path(SPOOL).write_bytes(spool_text(lines))
    box.start_daemon(env=ENV)
    failed = box.wait_log("Failed to connect() to host.", 10)
    box.start_cloud(status=201)
    box.sb.wait_for(lambda: len(box.cloud.distinct_readings()) >= len(sent), 60, 0.5)
    time.sleep(1.5)
    return dict(failed=failed, sent=sent, requests=box.cloud.report_requests(),
                distinct=box.cloud.distinct_readings(), log=box.log(), status=status(box),
                rc=box.sigterm()[0])


def scenario_sigterm(box):
    box.start_daemon(env=ENV)  # no cloud yet: every attempt fails to connect
    sent = send_readings(box, 3, nodes=(N1, N2))
    box.sb.wait_for(lambda: status(box)["waiting"] == len(sent), 5, 0.1)
    waiting = status(box)
    rc, _ = box.sigterm()
    box.start_cloud(status=201)
    box.start_daemon(env=ENV)
    # Same minute as the last admitted ones: thinned, the state came back.
    box.reading(N1, "PM_2_5", 60 * 3, 999)
    box.reading(N2, "TEMP", 60 * 3 + 30, 998)
    box.sb.wait_for(lambda: len(box.cloud.distinct_readings()) >= len(sent), 15, 0.2)
    time.sleep(1.5)
    return dict(sent=sent, waiting=waiting, rc_first=rc, requests=box.cloud.report_requests(),
                distinct=box.cloud.distinct_readings(), log=box.log(), status=status(box),
                rc=box.sigterm()[0])


def scenario_sigkill(box):
    # The server takes each report but its answer never arrives: every
    # attempt is a time-out, the report stays in flight with its key.
    box.start_cloud(status=201, script=[{"do": "hang"}] * 100)
    box.start_daemon(env=ENV)
    sent = send_readings(box, 3)
    # The retry comes after the spool took the report in flight.
    box.wait_requests(2, 15)
    box.sb.stop(box.proc, signal.SIGKILL)
    keys_before = {box.cloud.key_of(r) for r in box.cloud.report_requests()}
    box.cloud.set_script([])  # from now on: 201
    box.start_daemon(env=ENV)
    box.sb.wait_for(lambda: len(box.cloud.distinct_readings()) >= len(sent), 15, 0.2)
    time.sleep(1.5)
    return dict(sent=sent, keys_before=keys_before, requests=box.cloud.report_requests(),
                by_key=box.cloud.by_key(), distinct=box.cloud.distinct_readings(), log=box.log(),
                rc=box.sigterm()[0])


CORRUPTIONS = {
    "truncated": lambda good: good[:-9],
    "checksum": lambda good: good.replace(b'"v":1}', b'"v":7}'),
    "garbage": lambda good: b"\x00\xffnot a spool at all\n" * 20,
}


def scenario_corrupt(box):
    box.start_cloud(status=201, script=[{"status": 503, "body": "later"}] * 100)
    box.start_daemon(env=ENV)
    send_readings(box, 2)
    box.wait_requests(1, 10)
    box.sigterm()
    good = box.sb.path(SPOOL).read_bytes()
    results = {}
    for name, damage in CORRUPTIONS.items():
        box.sb.path(SPOOL).write_bytes(damage(good))
        before = box.log()
        box.start_daemon(env=ENV)
        log = box.log()[len(before):]
        aside = box.sb.path(SPOOL + ".bad")
        results[name] = dict(log=log, aside=aside.read_bytes() if aside.exists() else None,
                             alive=box.alive(), status=status(box))
        box.sigterm()
        box.sb.path(SPOOL).unlink(missing_ok=True)
        aside.unlink(missing_ok=True)
    # Still delivers.
    box.cloud.set_script([])
    box.start_daemon(env=ENV)
    box.reading(N1, "PM_2_5", 6000, 1)
    box.sb.wait_for(lambda: any(r[2] == 6000 for r in box.cloud.distinct_readings()), 10, 0.2)
    results["delivered_after"] = any(r[2] == 6000 for r in box.cloud.distinct_readings())
    results["rc"] = box.sigterm()[0]
    return results


def scenario_status(box):
    box.sb.set_installed("kelvora-report-app", "1.4.2-1")
    box.start_cloud(status=201, script=[{"status": 500, "body": "busy"}] * 2)
    box.start_daemon(env=ENV)
    idle = status(box)
    box.reading(N1, "PM_2_5", 100, 1)
    box.reading(N1, "PM_2_5", 130, 2)  # thinned
    box.reading(N1, "TEMP", 100, 3)
    box.sb.wait_for(lambda: status(box)["delivered"] == 2, 15, 0.2)
    time.sleep(0.8)
    done = status(box)
    # Made by the daemon itself: no init script made the directory here.
    modes = [box.sb.path(p).stat().st_mode & 0o777 for p in (SPOOL, str(Path(SPOOL).parent))]
    return dict(idle=idle, done=done, modes=modes, requests=box.cloud.report_requests(), rc=box.sigterm()[0])


REFUSAL = ("Refusing to send the access token over plain http to cloud.test : "
           "set sys.allow_http to 1 to allow it")
CLEAR_TEXT = ("Server is not https : the access token is sent in clear text to http://cloud.test:8080 "
              "(sys.allow_http is 1)")


def records_of(text, severity):
    return [line.split("] ", 2)[-1] for line in text.splitlines() if f" {severity} [" in line]


def scenario_plain_http(box):
    """The cloud under a name of its own, cloud.test, over plain http: nothing
    goes there until allow_http is 1."""
    hosts = Path(box.sb.workdir) / "hosts"
    hosts.write_text("127.0.0.1 localhost\n127.0.0.1 cloud.test\n")
    box.mount(hosts, "/etc/hosts")
    box.start_cloud(status=201)
    box.start_daemon(env=ENV)
    sent = send_readings(box, 2)
    box.sb.wait_for(lambda: status(box)["failures"]["plain_http"] >= 3, 15, 0.2)
    refused = dict(status=status(box), requests=box.cloud.requests(), errors=box.records("ERROR"),
                   warnings=box.records("WARN "))
    box.sigterm()
    box.sb.ubus("call", "uci", "set", json.dumps(
        {"config": "tavrin", "section": "sys", "values": {"allow_http": "1"}}))
    box.sb.ubus("call", "uci", "commit", '{"config":"tavrin"}')
    before = len(box.log())
    box.start_daemon(env=ENV)
    box.sb.wait_for(lambda: len(box.cloud.distinct_readings()) >= len(sent), 15, 0.2)
    time.sleep(1.5)
    rc = box.sigterm()[0]
    log = box.log()[before:]
    allowed = dict(distinct=box.cloud.distinct_readings(), log=log, errors=records_of(log, "ERROR"),
                   warnings=records_of(log, "WARN "))
    return dict(sent=sent, refused=refused, allowed=allowed, rc=rc)


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    root = tmp_path_factory.mktemp("delivery")
    scenarios = {f"fault_{name}": (lambda b, a=actions: scenario_fault(b, a)) for name, actions in FAULTS.items()}
    scenarios.update({
        "refused_400": lambda b: scenario_refused(b, 400),
        "refused_422": lambda b: scenario_refused(b, 422),
        "backlog": scenario_backlog,
        "sigterm": scenario_sigterm,
        "sigkill": scenario_sigkill,
        "corrupt": scenario_corrupt,
        "status": scenario_status,
        "plain_http": scenario_plain_http,
    })

    urls = {"plain_http": "http://cloud.test:8080"}
    return run_scenarios(scenarios, lambda name: new_box(root, name, urls.get(name, HTTP)))


def outcome(outcomes, name):
    result = outcomes[name]
    assert "failure" not in result, result.get("failure")
    return result


# --- tests ----------------------------------------------------------------------

def gaps(requests):
    times = [r["time"] for r in requests]
    return [b - a for a, b in zip(times, times[1:])]


@pytest.mark.parametrize("name", sorted(FAULTS))
def test_every_reading_arrives_once_in_order_despite_the_fault(outcomes, name):
    o = outcome(outcomes, f"fault_{name}")
    assert sorted(o["distinct"]) == sorted(o["sent"]), o["distinct"]
    assert len(o["distinct"]) == len(set(o["distinct"]))  # no reading under two keys
    assert in_stream_order(o["distinct"])
    # The faulty answers were for one report, sent again unchanged.
    failed = len(FAULTS[name])
    first_key = CloudKey.of(o["requests"][0])
    assert [CloudKey.of(r) for r in o["requests"][:failed + 1]] == [first_key] * (failed + 1)
    assert len({r["body"] for r in o["requests"][:failed + 1]}) == 1
    assert o["rc"] == 0


class CloudKey:
    @staticmethod
    def of(request):
        return next(v for k, v in request["headers"] if k.lower() == "idempotency-key")


def test_retries_are_paced_by_back_off_and_retry_after(outcomes):
    # 500 three times: full jitter under ceilings of 1, 2, 4 periods.
    g = gaps(outcome(outcomes, "fault_error_500")["requests"])[:3]
    for gap, ceiling in zip(g, (1, 2, 4)):
        assert PERIOD * ceiling / 30 - 0.05 <= gap <= PERIOD * ceiling + SLACK, g
    # 503 with Retry-After: 7 waits 7 s.
    g = gaps(outcome(outcomes, "fault_unavailable_retry_after")["requests"])
    assert g[0] == pytest.approx(7.0, abs=SLACK), g
    # A time-out: the transfer's own 1.5 s, then at most one period.
    g = gaps(outcome(outcomes, "fault_timeout")["requests"])
    assert TIMEOUT - 0.1 <= g[0] <= TIMEOUT + PERIOD + SLACK, g
    # After a success the period again (a report per period while readings come).
    o = outcome(outcomes, "fault_unauthorized")
    assert all(gap >= PERIOD - 0.1 for gap in gaps(o["requests"])[1:]), gaps(o["requests"])


def test_each_failed_attempt_has_its_record(outcomes):
    assert outcome(outcomes, "fault_error_500")["errors"].count("Server Error ( 500 ) : busy") == 3
    assert "Server Error ( 401 ) : bad token" in outcome(outcomes, "fault_unauthorized")["errors"]
    assert "Server Error ( 429 ) : slow down" in outcome(outcomes, "fault_too_many")["errors"]
    assert "Report not confirmed : Timeout was reached" in outcome(outcomes, "fault_timeout")["warnings"]
    reset = [w for w in outcome(outcomes, "fault_reset")["warnings"] if w.startswith("Report not confirmed : ")]
    assert len(reset) == 1, outcome(outcomes, "fault_reset")["warnings"]


@pytest.mark.parametrize("code", [400, 422])
def test_refused_content_is_dropped_with_its_record_and_later_reports_go_on(outcomes, code):
    o = outcome(outcomes, f"refused_{code}")
    assert o["errors"][:1] == [f"Server Error ( {code} ) : bad content"]
    first_key = CloudKey.of(o["requests"][0])
    assert sum(CloudKey.of(r) == first_key for r in o["requests"]) == 1  # not sent again
    assert sorted(o["distinct"]) == sorted(o["first"] + o["later"])
    assert len(o["distinct"]) == len(set(o["distinct"]))
    assert o["rc"] == 0


def test_a_backlog_of_ten_thousand_drains_in_batches_in_order(outcomes):
    o = outcome(outcomes, "backlog")
    assert o["failed"]
    assert "Spool read : 10000 readings waiting" in o["log"]
    sizes = [sum(len(n["vs"]) for n in json.loads(r["body"])["nodes"]) for r in o["requests"]]
    assert sizes == [2000] * 5, sizes
    assert all(len(r["body"]) < 256 * 1024 for r in o["requests"])
    assert sorted(o["distinct"], key=lambda r: r[3]) == o["sent"]
    assert in_stream_order(o["distinct"])
    # Oldest first: each batch the next 2000 by arrival.
    firsts = [min(r["v"] for n in json.loads(q["body"])["nodes"] for r in n["vs"]) for q in o["requests"]]
    assert firsts == [0, 2000, 4000, 6000, 8000]
    assert o["status"]["waiting"] == 0 and o["status"]["delivered"] == 10000
    assert o["rc"] == 0


def test_sigterm_keeps_readings_and_thinning_across_a_restart(outcomes):
    o = outcome(outcomes, "sigterm")
    assert o["rc_first"] == 0 and o["rc"] == 0
    assert o["waiting"]["waiting"] == len(o["sent"])
    assert f"Spool read : {len(o['sent'])} readings waiting" in o["log"]
    assert sorted(o["distinct"]) == sorted(o["sent"])
    assert len(o["requests"]) == len({CloudKey.of(r) for r in o["requests"]})
    assert o["status"]["thinned"] == 2 and o["status"]["admitted"] == 0


def test_sigkill_loses_nothing_spooled_and_the_key_lets_the_server_drop_copies(outcomes):
    o = outcome(outcomes, "sigkill")
    assert sorted(o["distinct"]) == sorted(o["sent"])
    # The report in flight at the kill is sent again under its key.
    assert o["keys_before"] & {key for key, _, _ in o["by_key"]}
    resent = [count for key, _, count in o["by_key"] if key in o["keys_before"]]
    assert max(resent) >= 2
    assert "Spool read : " in o["log"]
    assert o["rc"] == 0


@pytest.mark.parametrize("damage", sorted(CORRUPTIONS))
def test_a_damaged_spool_is_set_aside_with_a_record(outcomes, damage):
    o = outcome(outcomes, "corrupt")
    r = o[damage]
    assert r["alive"]
    assert f"Spool unreadable : " in r["log"] and f"moved to {SPOOL}.bad" in r["log"], r["log"]
    assert r["aside"] is not None
    assert r["status"]["waiting"] == 0
    assert o["delivered_after"] and o["rc"] == 0


def test_status_object_shows_what_happened(outcomes):
    o = outcome(outcomes, "status")
    idle, done = o["idle"], o["done"]
    assert idle["waiting"] == 0 and idle["last_attempt"] is None and idle["last_success"] is None
    assert set(done) == {"version", "uptime", "url", "tls_verify", "waiting", "in_flight",
                         "oldest_waiting_age", "last_attempt", "last_success", "next_attempt",
                         "admitted", "thinned", "delivered", "dropped", "attempts", "failures", "spool"}
    assert done["version"] == "1.4.2-1"
    assert 1 <= done["uptime"] <= 30
    assert done["url"] == HTTP and done["tls_verify"] is True
    assert done["waiting"] == 0 and done["in_flight"] == 0 and done["oldest_waiting_age"] == 0
    assert done["admitted"] == 2 and done["thinned"] == 1 and done["delivered"] == 2
    assert done["dropped"] == {"bound": 0, "refused": 0, "unconfigured": 0}
    # The cloud refused twice, then took the report.
    assert done["attempts"] == 3 == len(o["requests"])
    assert done["failures"]["http_5xx"] == 2
    assert sum(done["failures"].values()) == 2
    assert done["last_attempt"]["outcome"] == "delivered" and done["last_attempt"]["http_status"] == 201
    assert abs(done["last_attempt"]["time"] - o["requests"][-1]["time"]) <= 2
    assert done["last_success"] == done["last_attempt"]["time"]
    assert 0 <= done["next_attempt"] <= PERIOD + 1
    assert done["spool"]["path"] == SPOOL and done["spool"]["size"] > 0
    assert done["spool"]["last_write"] is not None
    assert o["modes"] == [0o600, 0o700]
    assert o["rc"] == 0


def test_plain_http_to_another_host_sends_nothing_until_allow_http(outcomes):
    o = outcome(outcomes, "plain_http")
    refused = o["refused"]
    # Not a request, not a look-up: one error record at start, none per attempt.
    assert refused["requests"] == []
    assert refused["errors"] == [REFUSAL] and refused["warnings"] == []
    s = refused["status"]
    assert s["waiting"] == len(o["sent"]) and s["delivered"] == 0
    assert s["attempts"] == s["failures"]["plain_http"] == sum(s["failures"].values()) >= 3
    assert s["last_attempt"]["outcome"] == "unsent" and s["last_attempt"]["error"] == REFUSAL
    # The readings waited in the spool; with the option they go, with one warning.
    allowed = o["allowed"]
    assert f"Spool read : {len(o['sent'])} readings waiting" in allowed["log"]
    assert sorted(allowed["distinct"]) == sorted(o["sent"])
    assert allowed["warnings"] == [CLEAR_TEXT]
    assert allowed["errors"] == ["Signal Catch : 15", "Terminate program.."]
    assert o["rc"] == 0
