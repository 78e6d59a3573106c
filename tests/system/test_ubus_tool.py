"""The ubus command line tool against the bus daemon: output and exit codes.

The programs may be swapped through the environment (KELVORA_TEST_UBUSD,
KELVORA_TEST_UBUS_TOOL, KELVORA_TEST_UBUS_TESTD), for instance for the
platform's own ubusd or tool: both must behave the same."""

import json
import os
import re
import signal
import time

import pytest

from sandbox import BUILD, UBUS_SOCKET, program


def _program(variable, built):
    return os.environ.get(variable) or str(BUILD / built)


UBUSD = program("ubusd")
UBUS = program("ubus")
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


# --- access lists ----------------------------------------------------------
#
# ubusd -A DIR reads DIR/*.json; clients other than root get only what a
# file grants to their user, primary group or a supplementary group. The
# sandbox gets passwd and group files with the users below; uid NAMELESS
# has no entry.

USERS = {"kvuser": 4701, "kvother": 4702}
GROUPS = {"kvuser": 4701, "kvother": 4702, "kvstat": 4710}
NAMELESS = 4799


class AclBus:
    def __init__(self, sb):
        self.sb = sb
        self.dir = sb.workdir / "acl.d"
        self.dir.mkdir(mode=0o755)
        for name, lines in (("passwd", [f"{u}:x:{i}:{i}::/nonexistent:/usr/sbin/nologin"
                                        for u, i in USERS.items()]),
                            ("group", [f"{g}:x:{i}:" for g, i in GROUPS.items()])):
            text = open(f"/etc/{name}").read()
            (sb.workdir / name).write_text(text + ("" if text.endswith("\n") else "\n") + "\n".join(lines) + "\n")
            sb.bind(sb.workdir / name, f"/etc/{name}")

    def write(self, name, rules, mode=0o644, uid=0):
        path = self.dir / name
        path.write_text(json.dumps(rules))
        os.chown(path, uid, 0)
        os.chmod(path, mode)

    def start(self):
        self.daemon = self.sb.spawn([UBUSD, "-s", UBUS_SOCKET, "-A", str(self.dir)])
        assert self.sb.wait_for(lambda: self.sb.path(UBUS_SOCKET).exists(), 5)
        self.sb.spawn([TESTD, "-o", "test"])
        assert self.sb.wait_for(lambda: "test" in ubus(self.sb, "list").stdout.split(), 5, 0.02)
        return self

    @staticmethod
    def who(uid, groups=()):
        # A test user's primary group has its uid's number.
        ids = ",".join(str(GROUPS[g]) for g in groups)
        return ["setpriv", f"--reuid={uid}", f"--regid={uid}"] + \
            ([f"--groups={ids}"] if groups else ["--clear-groups"])

    def ubus(self, uid, *args, groups=()):
        return self.sb.run(self.who(uid, groups) + [UBUS] + list(args))

    def spawn(self, uid, argv, groups=()):
        return self.sb.spawn(self.who(uid, groups) + argv)

    def listening(self, proc, event):
        """Waits until proc (ubus listen) prints the events named `event`
        that root sends; returns a reader of its output."""
        def printed():
            return proc.output.read_text() if proc.output.exists() else ""
        assert self.sb.wait_for(lambda: ubus(self.sb, "send", event, '{"probe":1}').returncode == 0
                                and "probe" in printed(), 5, 0.05), printed()
        return printed


@pytest.fixture
def acl(sandbox):
    return AclBus(sandbox)


def test_acl_denies_everything_to_other_users_by_default(acl):
    acl.write("kvother.json", {"user": "kvother", "access": {"test": {"methods": ["*"]}},
                               "send": ["*"], "listen": ["*"], "publish": ["*"]})
    acl.start()
    user = USERS["kvuser"]

    # Lookups show no object it may not call; the call finds none.
    assert acl.ubus(user, "list").stdout == ""
    r = acl.ubus(user, "call", "test", "echo")
    assert (r.returncode, r.stdout, r.stderr) == (256 - 4, "", "Command failed: ubus call test echo (Not found)\n")
    r = acl.ubus(user, "send", "kelvora.report", "{}")
    assert (r.returncode, r.stderr) == (6, "Command failed: Permission denied\n")
    r = acl.ubus(user, "-t", "1", "listen", "kelvora.report")
    assert (r.returncode, r.stdout, r.stderr) == (255, "", "Error while registering for event 'kelvora.report': Permission denied\n")
    server = acl.spawn(user, [TESTD, "-o", "mine"])
    assert server.wait(5) == 1
    assert server.output.read_text() == "ubus_testd: add object: Invalid argument\n"

    # A uid without a passwd entry is not served at all.
    r = acl.ubus(NAMELESS, "list")
    assert (r.returncode, r.stdout, r.stderr) == (255, "", "Failed to connect to ubus\n")

    # Root needs no rule; the user the file names gets what it grants.
    r = ubus(acl.sb, "call", "test", "echo", '{"a":1}')
    assert (r.returncode, r.stdout) == (0, '{\n\t"a": 1\n}\n')
    r = acl.ubus(USERS["kvother"], "-S", "call", "test", "multi")
    assert (r.returncode, r.stdout) == (0, '{"n":1}\n{"n":2}\n')


def test_acl_grants_by_user_and_by_supplementary_group(acl):
    acl.write("kvuser.json", {"user": "kvuser",
                              "access": {"te*": {"methods": ["echo"]}},
                              "publish": ["kv.*"], "send": ["kelvora.report"], "listen": ["kelvora.*"]})
    acl.write("kvstat.json", {"group": "kvstat", "access": {"test": {"methods": ["*"]}}})
    acl.start()
    user, other = USERS["kvuser"], USERS["kvother"]

    # The methods granted by a prefix, and no other, are shown and callable.
    r = acl.ubus(user, "-v", "list")
    assert re.fullmatch(r"'test' @[0-9a-f]{8}\n\t\"echo\":\{\}\n", r.stdout), r.stdout
    assert acl.ubus(user, "-S", "call", "test", "echo", '{"a":1}').stdout == '{"a":1}\n'
    r = acl.ubus(user, "call", "test", "multi")
    assert (r.returncode, r.stderr) == (256 - 6, "Command failed: ubus call test multi (Permission denied)\n")

    # Publishing and events by pattern.
    mine = acl.spawn(user, [TESTD, "-o", "kv.mine"])
    assert acl.sb.wait_for(lambda: "kv.mine" in ubus(acl.sb, "list").stdout.split(), 5, 0.02)
    assert acl.spawn(user, [TESTD, "-o", "kvx"]).wait(5) == 1
    assert acl.ubus(user, "send", "kelvora.report", '{"v":1}').returncode == 0
    assert acl.ubus(user, "send", "kelvora.websocket", '{"v":1}').returncode == 6
    r = acl.ubus(user, "-t", "1", "listen", "*")
    assert (r.returncode, r.stderr) == (255, "Error while registering for event '*': Permission denied\n")
    listener = acl.spawn(user, [UBUS, "listen", "kelvora.web*"])
    printed = acl.listening(listener, "kelvora.websocket")
    assert ubus(acl.sb, "send", "kelvora.websocket", '{"type":"beacon"}').returncode == 0
    assert acl.sb.wait_for(lambda: '{ "kelvora.websocket": {"type":"beacon"} }\n' in printed(), 5)
    acl.sb.stop(listener)
    acl.sb.stop(mine)

    # A supplementary group carries its file's grants; without it, nothing.
    r = acl.ubus(other, "-S", "call", "test", "multi", groups=["kvstat"])
    assert (r.returncode, r.stdout) == (0, '{"n":1}\n{"n":2}\n')
    assert acl.ubus(other, "list").stdout == ""
    assert acl.ubus(user, "-S", "call", "test", "multi", groups=["kvstat"]).returncode == 0


def test_acl_ignores_unsafe_files_and_reloads_on_sighup(acl):
    acl.write("echo.json", {"user": "kvuser", "access": {"test": {"methods": ["echo"]}}})
    acl.write("writable.json", {"user": "kvuser", "access": {"test": {"methods": ["multi"]}}}, mode=0o646)
    acl.write("owned.json", {"user": "kvuser", "access": {"test": {"methods": ["args"]}}}, uid=USERS["kvuser"])
    acl.start()
    user = USERS["kvuser"]

    assert acl.ubus(user, "call", "test", "echo").returncode == 0
    assert acl.ubus(user, "call", "test", "multi").returncode == 256 - 6
    assert acl.ubus(user, "call", "test", "args").returncode == 256 - 6

    listener = acl.sb.spawn([UBUS, "listen", "ubus.acl.sequence", "probe"])
    printed = acl.listening(listener, "probe")
    acl.write("multi.json", {"user": "kvuser", "access": {"test": {"methods": ["multi"]}}})
    acl.daemon.send_signal(signal.SIGHUP)
    assert acl.sb.wait_for(lambda: '{ "ubus.acl.sequence": {"sequence":2} }\n' in printed(), 5), printed()
    assert acl.ubus(user, "-S", "call", "test", "multi").stdout == '{"n":1}\n{"n":2}\n'
    assert acl.ubus(user, "call", "test", "args").returncode == 256 - 6
