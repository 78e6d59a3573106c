"""The procd init scripts, run on the host with recording stand-ins for
procd's helpers and UCI's config functions (procd_harness.sh): what each
script hands procd for its instance decides whether a commit to `tavrin`
restarts that daemon."""

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
FILES = HERE.parents[1] / "packaging" / "openwrt" / "kelvora" / "files"
HARNESS = HERE / "procd_harness.sh"
DAEMONS = ("kelvora-ble-app", "kelvora-report-app", "kelvora-mqtt-app")


def config(whitelist=("0123456789AB", "0123456789AC"), url="https://cloud.example.invalid",
           token="token-1", host="127.0.0.1", port="1883", enable="1", nodes=()):
    text = "config sys 'sys'\n"
    text += "".join(f"\tlist whitelist '{device}'\n" for device in whitelist)
    text += f"\toption url '{url}'\n\n"
    text += f"config auth 'auth'\n\toption access_token \"{token}\"\n\n"
    text += f"config mqtt 'mqtt'\n\toption enable '{enable}'\n\toption host '{host}'\n\toption port {port}\n"
    for obj_path, device_id, time in nodes:
        text += (f"\nconfig node\n\toption obj_path '{obj_path}'\n\toption device_id '{device_id}'\n"
                 f"\toption time '{time}'\n")
    return text


def run(tmp_path, daemon, tavrin):
    uci = tmp_path / "uci"
    uci.mkdir(exist_ok=True)
    (uci / "tavrin").write_text(tavrin)
    result = subprocess.run(["sh", str(HARNESS), str(FILES / f"{daemon}.init"), str(uci)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def instance(lines):
    """The parameters of the one instance the script opens."""
    assert lines.count("close_instance") == 1, lines
    body = lines[lines.index("open_instance ") + 1:lines.index("close_instance")]
    return {line.split(" ", 2)[1]: line.split(" ", 2)[2] for line in body if line.startswith("set_param ")}


def all_instances(tmp_path, tavrin):
    return {daemon: instance(run(tmp_path, daemon, tavrin)) for daemon in DAEMONS}


NODES = [("/org/bluez/hci0/dev_C0_FF_EE_00_00_01", "0123456789AB", "1700000000"),
         ("/org/bluez/hci0/dev_C0_FF_EE_00_00_02", "0123456789AC", "1700000100")]


def test_node_records_never_change_an_instance(tmp_path):
    base = all_instances(tmp_path, config())
    assert all_instances(tmp_path, config(nodes=NODES[:1])) == base
    assert all_instances(tmp_path, config(nodes=NODES)) == base


@pytest.mark.parametrize("change,changed", [
    ({"host": "192.0.2.7"}, {"kelvora-mqtt-app"}),
    ({"port": "8883"}, {"kelvora-mqtt-app"}),
    ({"enable": "0"}, {"kelvora-mqtt-app"}),
    ({"whitelist": ("0123456789AB",)}, {"kelvora-ble-app"}),
    ({"whitelist": ("0123456789AB", "0123456789AC", "0123456789AD")}, {"kelvora-ble-app"}),
    ({"token": "token-2"}, {"kelvora-report-app"}),
    ({"url": "https://other.example.invalid"}, {"kelvora-report-app"}),
], ids=["mqtt-host", "mqtt-port", "mqtt-enable", "whitelist-shorter", "whitelist-longer", "token", "url"])
def test_a_setting_changes_only_its_daemons_instance(tmp_path, change, changed):
    base = all_instances(tmp_path, config(nodes=NODES))
    after = all_instances(tmp_path, config(nodes=NODES, **change))
    assert {daemon for daemon in DAEMONS if after[daemon] != base[daemon]} == changed


@pytest.mark.parametrize("option", ["ca_file '/etc/ssl/private-ca.pem'", "tls_verify '0'"])
def test_tls_options_change_only_the_report_instance(tmp_path, option):
    base = all_instances(tmp_path, config())
    tavrin = config().replace("config auth", f"\toption {option}\n\nconfig auth", 1)
    after = all_instances(tmp_path, tavrin)
    assert {daemon for daemon in DAEMONS if after[daemon] != base[daemon]} == {"kelvora-report-app"}


# Every option a daemon reads at start restarts it when a commit changes it.
OWN_OPTIONS = {
    "kelvora-ble-app": ("sys", ["node_timeout", "clock_trusted", "scan_quiet", "scan_pause", "scan_steps",
                                "scan_hour"]),
    "kelvora-report-app": ("sys", ["allow_http", "spool", "spool_interval"]),
    "kelvora-mqtt-app": ("mqtt", ["username", "password", "tls", "ca_file", "cert_file", "key_file", "tls_verify",
                                  "client_id", "keepalive", "qos", "availability", "node_timeout", "ha_discovery",
                                  "ha_prefix"]),
}


@pytest.mark.parametrize("daemon,section,option", [(d, s, o) for d, (s, options) in OWN_OPTIONS.items()
                                                    for o in options])
def test_each_option_a_daemon_reads_changes_only_its_instance(tmp_path, daemon, section, option):
    base = all_instances(tmp_path, config(nodes=NODES))
    header = f"config {section} '{section}'\n"
    tavrin = config(nodes=NODES).replace(header, f"{header}\toption {option} '7'\n", 1)
    assert tavrin != config(nodes=NODES)
    after = all_instances(tmp_path, tavrin)
    assert {d for d in DAEMONS if after[d] != base[d]} == {daemon}
    # The secret stays out of what procd is told.
    assert "'7'" not in str(after[daemon])


@pytest.mark.parametrize("daemon", DAEMONS)
def test_instance_respawns_for_ever_and_reload_is_procds(tmp_path, daemon):
    lines = run(tmp_path, daemon, (FILES / "tavrin.config").read_text())
    params = instance(lines)
    assert params["command"] == f"/usr/bin/{daemon}"
    # threshold, timeout, retry: a retry count of 0 never stops respawning.
    assert params["respawn"] == "3600 5 0"
    assert params["env"].startswith("KELVORA_SETTINGS=") and len(params["env"]) > len("KELVORA_SETTINGS=")
    assert "reload_trigger tavrin" in lines
    # No reload_service: reload runs start_service and procd compares.
    assert "reload_service defined" not in lines
    # The token is handed to procd only as a digest.
    assert "token-1" not in "\n".join(run(tmp_path, daemon, config()))


def test_harness_reads_uci_quoting_and_lists(tmp_path):
    probe = tmp_path / "probe.init"
    probe.write_text(
        "collect() { SEEN=\"$SEEN[$1]\"; }\n"
        "start_service() {\n"
        "\tconfig_load tavrin\n"
        "\tconfig_get a sys url; config_get b auth access_token; config_get c mqtt port\n"
        "\tconfig_get d mqtt missing fallback\n"
        "\tSEEN=; config_list_foreach sys whitelist collect\n"
        "\techo \"got $a|$b|$c|$d|$SEEN\"\n"
        "}\n"
        "service_triggers() { :; }\n")
    uci = tmp_path / "uci"
    uci.mkdir()
    (uci / "tavrin").write_text(config(url="https://h/x y", token="t'ok"))
    result = subprocess.run(["sh", str(HARNESS), str(probe), str(uci)], capture_output=True, text=True,
                            timeout=30)
    assert result.returncode == 0, result.stderr
    assert "got https://h/x y|t'ok|1883|fallback|[0123456789AB][0123456789AC]" in result.stdout


def _package_users():
    sys.path.insert(0, str(HERE.parents[1] / "hostenv"))
    from sandbox import package_users
    return package_users()


def _log_name(daemon):
    # The daemon's log as its main() opens it.
    source = (HERE.parents[1] / DAEMON_DIRS[daemon] / "main.cpp").read_text()
    return re.search(r'InitFileLogger\("/var/log/([\w-]+)\.log"', source).group(1)


DAEMON_DIRS = {"kelvora-ble-app": "ble", "kelvora-report-app": "report", "kelvora-mqtt-app": "mqtt"}
SPOOL_DIR = "/var/run/kelvora-report"


@pytest.mark.parametrize("daemon", DAEMONS)
def test_each_daemon_runs_as_the_user_its_package_creates_and_its_acl_file_names(tmp_path, daemon):
    user, _, group, _ = _package_users()[daemon]
    lines = run(tmp_path, daemon, config())
    params = instance(lines)
    assert (params["user"], params["group"], params["no_new_privs"]) == (user, group, "1")
    assert json.loads((FILES / "acl.d" / f"{daemon}.json").read_text())["user"] == user
    # Its paths are made its own first, as root.
    own_dir = f" {SPOOL_DIR}" if daemon == "kelvora-report-app" else ""
    assert [line for line in lines if line.startswith("prepare ")] == \
        [f"prepare {_log_name(daemon)} {user}{own_dir}"]


@pytest.mark.parametrize("spool, directory", [
    ("/overlay/kelvora/report.spool", " /overlay/kelvora"),
    ("/report.spool", ""),
    ("report.spool", ""),
])
def test_the_spool_directory_handed_over_is_the_configured_ones_only(tmp_path, spool, directory):
    tavrin = config().replace("config sys 'sys'\n", f"config sys 'sys'\n\toption spool '{spool}'\n", 1)
    lines = run(tmp_path, "kelvora-report-app", tavrin)
    # An empty argument: no directory of its own.
    assert [line.rstrip() for line in lines if line.startswith("prepare ")] == \
        [f"prepare report kelvora-report{directory}"]


def _jail(lines):
    mounts = {"jail_mount": set(), "jail_mount_rw": set()}
    for line in lines:
        kind, _, paths = line.partition(" ")
        if kind in mounts:
            mounts[kind].update(paths.split())
    [jail] = [line.split()[1:] for line in lines if line.startswith("jail ")]
    return jail, mounts["jail_mount"], mounts["jail_mount_rw"]


@pytest.mark.parametrize("daemon, section, options, readable, writable", [
    ("kelvora-ble-app", "sys", {}, {"/var/run/dbus", "/var/state"}, set()),
    ("kelvora-report-app", "sys", {"ca_file": "/etc/ca.pem", "spool": "/overlay/k/report.spool"},
     {"/etc/ca.pem", "/etc/ssl/certs", "/etc/hosts"}, {"/overlay/k"}),
    ("kelvora-mqtt-app", "mqtt", {"ca_file": "/etc/ca.pem", "cert_file": "/etc/c.pem", "key_file": "/etc/k.pem"},
     {"/etc/ca.pem", "/etc/c.pem", "/etc/k.pem", "/etc/ssl/certs"}, set()),
])
def test_each_jail_holds_the_paths_its_daemon_uses_and_nothing_writable_beside(
        tmp_path, daemon, section, options, readable, writable):
    header = f"config {section} '{section}'\n"
    tavrin = config().replace(header, header + "".join(f"\toption {k} '{v}'\n" for k, v in options.items()), 1)
    flags, ro, rw = _jail(run(tmp_path, daemon, tavrin))
    assert flags[0] == _package_users()[daemon][0] and "ronly" in flags and "procfs" in flags
    # The ubus socket's directory (a file bind would keep a dead socket),
    # the shell and databases of the version lookup.
    assert readable | {"/var/run/ubus", "/bin/sh", "/usr/lib/opkg/status", "/lib/apk/db"} <= ro
    assert rw == {"/var/log"} | writable | ({SPOOL_DIR} if daemon == "kelvora-report-app" and not writable else set())
