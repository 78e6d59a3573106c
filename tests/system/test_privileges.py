"""Least privilege: the daemons run as their own users, and the bus lets a
local user do only what ubusd's ACL files and the D-Bus policy grant. The
ACL files and the users are the package's own (packaging/openwrt/kelvora)."""

import os
import stat

from gateway import DEFAULT_NODES, LOGS, Gateway, default_config
from sandbox import OTHER_USER, PACKAGE, WEBSOCKET_USER

NODE = DEFAULT_NODES[0]
READING = '{"data":[{"' + NODE[0][-12:] + '":{"PM_2_5":[[1700000040,7]]}}]}'


def proc_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return fields


def test_daemons_run_unprivileged_and_other_users_are_kept_off_the_bus(sandbox):
    gw = Gateway(sandbox, default_config(nodes=[NODE], token="privilege-token")).start_platform()
    gw.start_daemons()
    [path] = gw.add_nodes([NODE], period_ms=0)
    assert gw.wait_nodes_ready([path]), gw.log("ble.log")[-3000:]
    # The BLE daemon committed its node record: tavrin stays 0600.
    assert "config node" in sandbox.read_config("tavrin")

    for name, (_, uid, _, gid) in sandbox.users.items():
        status = proc_status(gw.daemons[name].pid)
        assert status["Uid"] == [str(uid)] * 4 and status["Gid"] == [str(gid)] * 4, name
        assert status["NoNewPrivs"] == ["1"] and int(status["CapEff"][0], 16) == 0, name
        assert os.stat(sandbox.path(f"/var/log/{LOGS[name]}")).st_uid == uid, name

    other = sandbox.as_user(OTHER_USER[0])
    ubus = sandbox.exe("ubus")

    def run(prefix, *args):
        return sandbox.run(prefix + [ubus, *args], timeout=10)

    # A command from another user never reaches the BLE daemon; the websocket
    # service's user may send one.
    r = run(other, "send", "kelvora.websocket", '{"type":"from-other"}')
    assert r.returncode != 0 and "Permission denied" in r.stderr, r
    r = run(sandbox.as_user(WEBSOCKET_USER[0]), "send", "kelvora.websocket", '{"type":"from-websocket"}')
    assert r.returncode == 0, r
    assert gw.sandbox.wait_log("ble.log", '{"type":"from-websocket"}')
    assert '"from-other"' not in gw.log("ble.log")

    # Forged readings and listening in are refused to another user; so are
    # the status objects and the settings, which ubusd even hides from it.
    for args in (("send", "kelvora.report", READING), ("-t", "1", "listen", "kelvora.report")):
        r = run(other, *args)
        assert r.returncode != 0 and "Permission denied" in r.stderr, (args, r)
    for obj, method, *arg in (("kelvora.ble", "status"), ("kelvora.ble", "nodes"),
                              ("kelvora.report", "status"), ("kelvora.mqtt", "status"),
                              ("uci", "get", '{"config":"tavrin"}')):
        r = run(other, "call", obj, method, *arg)
        assert r.returncode != 0 and "(Not found)" in r.stderr, (obj, r)
    # Root still has them.
    for obj in ("kelvora.ble", "kelvora.report", "kelvora.mqtt"):
        assert run([], "call", obj, "status").returncode == 0, obj
    assert "privilege-token" in run([], "call", "uci", "get", '{"config":"tavrin"}').stdout

    config = sandbox.config_dir / "tavrin"
    assert stat.S_IMODE(os.stat(config).st_mode) == 0o600
    r = sandbox.run(other + ["cat", str(config)])
    assert r.returncode != 0 and "Permission denied" in r.stderr

    # D-Bus: only the BLE daemon's user may call BlueZ.
    r = sandbox.run(other + ["dbus-send", "--system", "--print-reply", "--dest=org.bluez", "/",
                             "org.freedesktop.DBus.ObjectManager.GetManagedObjects"])
    assert r.returncode != 0 and "AccessDenied" in r.stderr, r
    ble_user = sandbox.users["kelvora-ble-app"][0]
    r = sandbox.run(sandbox.as_user(ble_user, "kelvora") +
                    ["dbus-send", "--system", "--print-reply", "--dest=org.bluez", "/",
                     "org.freedesktop.DBus.ObjectManager.GetManagedObjects"])
    assert r.returncode == 0, r

    # Nothing a healthy gateway does was refused on the way.
    for name in gw.daemons:
        assert "Permission denied" not in gw.log(name), name


def test_prepare_takes_over_leftovers_but_never_what_they_point_to(sandbox):
    """Files a root-run daemon left become the daemon's; a symbolic link is
    changed itself, not its target; a spool directory that exists and is
    someone else's is not handed over."""
    logs = sandbox.path("/var/log")
    (logs / "ble.log").write_text("old\n")
    (logs / "ble.1.log").write_text("older\n")
    victim = sandbox.path("/var/run/victim")
    victim.write_text("root's\n")
    os.symlink("/var/run/victim", logs / "ble.2.log")
    shared = sandbox.path("/var/run/shared")
    shared.mkdir(mode=0o755)

    run = lambda *args: sandbox.run(["sh", str(PACKAGE / "files/kelvora-prepare"), *args])
    assert run("ble", "kelvora-ble").returncode == 0
    assert run("report", "kelvora-report", "/var/run/shared").returncode == 0
    assert run("report", "kelvora-report", "/var/run/kelvora-report").returncode == 0

    uid = {user: number for user, number, _, _ in sandbox.users.values()}
    log_dir = os.stat(logs)
    assert stat.S_IMODE(log_dir.st_mode) == 0o1775 and log_dir.st_gid == sandbox.users["kelvora-ble-app"][3]
    for f in ("ble.log", "ble.1.log"):
        assert os.stat(logs / f).st_uid == uid["kelvora-ble"], f
    assert os.lstat(logs / "ble.2.log").st_uid == uid["kelvora-ble"]
    assert os.stat(victim).st_uid == 0
    assert os.stat(shared).st_uid == 0 and stat.S_IMODE(os.stat(shared).st_mode) == 0o755
    own = os.stat(sandbox.path("/var/run/kelvora-report"))
    assert own.st_uid == uid["kelvora-report"] and stat.S_IMODE(own.st_mode) == 0o700


