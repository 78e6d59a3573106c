"""The ubus command line tool against the bus daemon: output and exit codes.

The programs may be swapped through the environment (KELVORA_TEST_UBUSD,
KELVORA_TEST_UBUS_TOOL, KELVORA_TEST_UBUS_TESTD), for instance for the
platform's own ubusd or tool: both must behave the same."""

import os
import re
import time

import pytest

from sandbox import BUILD, UBUS_SOCKET


def _program(variable, built):
    return os.environ.get(variable) or str(BUILD / built)


UBUSD = _program("KELVORA_TEST_UBUSD", "platform/ubus/ubusd")
UBUS = _program("KELVORA_TEST_UBUS_TOOL", "platform/ubus/ubus")
TESTD = _program("KELVORA_TEST_UBUS_TESTD", "tests/unit/ubus/ubus_testd")


@pytest.fixture
def bus(sandbox):
    sandbox.spawn([UBUSD, "-s", UBUS_SOCKET])
    assert sandbox.wait_for(lambda: sandbox.path(UBUS_SOCKET).exists(), 5)
    served = sandbox.spawn([TESTD, "-o", "test"], stdout=None)
    assert sandbox.wait_for(lambda: "test" in sandbox.run([UBUS, "list"]).stdout.split(), 5, 0.02)
    yield sandbox
    sandbox.stop(served)


def ubus(sb, *args, timeout=15):
    return sb.run([UBUS] + list(args), timeout=timeout)


def test_list_names_objects_sorted_and_verbose_shows_signatures(bus):
    bus.spawn([TESTD, "-o", "alpha"])
    assert bus.wait_for(lambda: "alpha" in ubus(bus, "list").stdout.split(), 5, 0.02)
    r = ubus(bus, "list")
    assert (r.returncode, r.stdout, r.stderr) == (0, "alpha\ntest\n", "")
    assert ubus(bus, "list", "te*").stdout == "test\n"

    r = ubus(bus, "-v", "list", "test")
    lines = r.stdout.splitlines()
    assert re.fullmatch(r"'test' @[0-9a-f]{8}", lines[0])
    assert '\t"echo":{}' in lines
    assert '\t"status":{"code":"Integer"}' in lines
    assert '\t"args":{"s":"String","i":"Integer","t":"Table","a":"Array","b":"Boolean",' \
           '"d":"(unknown)","l":"(unknown)"}' in lines

    r = ubus(bus, "list", "nothing")
    assert (r.returncode, r.stdout, r.stderr) == (4, "", "Command failed: Not found\n")


def test_call_prints_each_reply_indented_with_tabs(bus):
    r = ubus(bus, "call", "test", "echo", '{"a":1,"t":{"s":"x","l":[true,null,2.5]},"e":{}}')
    assert r.returncode == 0
    assert r.stdout == ('{\n\t"a": 1,\n\t"t": {\n\t\t"s": "x",\n\t\t"l": [\n\t\t\ttrue,\n\t\t\tnull,\n'
                        '\t\t\t2.500000\n\t\t]\n\t},\n\t"e": {\n\t\t\n\t}\n}\n')
    r = ubus(bus, "call", "test", "multi")
    assert r.stdout == '{\n\t"n": 1\n}\n{\n\t"n": 2\n}\n'
    r = ubus(bus, "-S", "call", "test", "echo", '{"big":5000000000,"s":"é\\""}')
    assert r.stdout == '{"big":5000000000,"s":"é\\""}\n'
    r = ubus(bus, "call", "test", "status", '{"code":0}')
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


def test_call_failures_exit_with_the_status(bus):
    r = ubus(bus, "call", "nothing", "echo")
    assert (r.returncode, r.stdout, r.stderr) == (4, "", "Command failed: Not found\n")

    # Standard error is not a terminal here: the command is named and the
    # exit status is the negated ubus status.
    r = ubus(bus, "call", "test", "echo", "{bad")
    assert (r.returncode, r.stderr) == (256 - 12, "Command failed: ubus call test echo {bad (Parsing message data failed)\n")
    r = ubus(bus, "call", "test", "status", '{"code":4}')
    assert (r.returncode, r.stderr) == (256 - 4, 'Command failed: ubus call test status {"code":4} (Not found)\n')
    r = ubus(bus, "call", "test", "missing")
    assert (r.returncode, r.stderr) == (256 - 3, "Command failed: ubus call test missing (Method not found)\n")
    r = ubus(bus, "-t", "1", "call", "test", "never")
    assert (r.returncode, r.stderr) == (256 - 7, "Command failed: ubus call test never (Request timed out)\n")

    # -S: plain status, nothing on standard error.
    r = ubus(bus, "-S", "call", "test", "echo", "[1]")
    assert (r.returncode, r.stdout, r.stderr) == (12, "", "")


def test_send_and_listen(bus):
    listener = bus.spawn([UBUS, "listen", "kelvora.report", "kelvora.web*"])
    out = bus.workdir / f"{os.path.basename(UBUS)}.{len(bus._procs) - 1}.out"

    def printed():
        return out.read_text() if out.exists() else ""

    # Probe until the listener is subscribed.
    assert bus.wait_for(lambda: ubus(bus, "send", "kelvora.report", '{"probe":1}').returncode == 0
                        and "probe" in printed(), 5, 0.05)
    base = printed()
    assert ubus(bus, "send", "kelvora.report",
                '{"data":{"ts":1601267072,"v":25.0},"device_id":"0123456789AB","sensor_type":"PM_1_0"}'
                ).returncode == 0
    assert ubus(bus, "send", "kelvora.websocket").returncode == 0
    assert ubus(bus, "send", "other", '{"x":1}').returncode == 0
    assert bus.wait_for(lambda: printed().count("\n") >= base.count("\n") + 2, 5)
    time.sleep(0.1)
    assert printed()[len(base):] == (
        '{ "kelvora.report": {"data":{"ts":1601267072,"v":25.000000},'
        '"device_id":"0123456789AB","sensor_type":"PM_1_0"} }\n'
        '{ "kelvora.websocket": {} }\n')
    assert bus.stop(listener) == 0

    r = ubus(bus, "send", "ubus.object.add", "{}")
    assert (r.returncode, r.stderr) == (6, "Command failed: Permission denied\n")
    r = ubus(bus, "send", "kelvora.report", "not json")
    assert (r.returncode, r.stderr) == (12, "Command failed: Parsing message data failed\n")


def test_listen_with_timeout_ends_by_itself(bus):
    start = time.monotonic()
    r = ubus(bus, "-t", "1", "listen", "nothing")
    assert (r.returncode, r.stdout) == (0, "")
    assert time.monotonic() - start < 10


def test_usage_and_missing_daemon(sandbox):
    r = sandbox.run([UBUS])
    assert r.returncode == 1 and r.stderr.startswith("Usage: ")
    r = sandbox.run([UBUS, "call"])
    assert r.returncode == 255 and r.stderr == "Failed to connect to ubus\n"
    sandbox.spawn([UBUSD, "-s", UBUS_SOCKET])
    assert sandbox.wait_for(lambda: sandbox.path(UBUS_SOCKET).exists(), 5)
    assert sandbox.wait_for(lambda: sandbox.run([UBUS, "list"]).returncode == 0, 5)
    r = sandbox.run([UBUS, "frobnicate"])
    assert r.returncode == 254 and "Usage: " in r.stderr
    r = sandbox.run([UBUS, "call", "test"])
    assert r.returncode == 254 and "Usage: " in r.stderr
