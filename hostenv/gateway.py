"""The whole gateway on one host: a sandbox with the platform's services
(ubusd, the uci service, a private system bus with simulated BlueZ, mosquitto
on 127.0.0.1:1883, a local cloud server) and the three daemons as they run on
the router. Used by the end-to-end tests, the demo, scripts/sandbox and the
benchmarks."""

import ctypes
import os
import resource
import signal
from pathlib import Path

from cloud_server import CloudServer
from sandbox import LOGS, UBUS_SOCKET, Sandbox, SandboxError

CLOUD_PORT = 8080
MQTT_PORT = 1883

# Virtual sensor nodes of the default set-up: name (ending in the device id),
# address, sensor type ids they report, commented with the names the frames
# decode to.
DEFAULT_NODES = [
    ("Kelvora-Room1-0123456789AB", "C0:FF:EE:00:00:01", [11, 12, 13]),   # PM_1_0, PM_2_5, PM_10
    ("Kelvora-Room2-0123456789AC", "C0:FF:EE:00:00:02", [2, 3, 14]),     # AT, RH, PS (a signed value)
    ("Kelvora-Lab-0123456789AD", "C0:FF:EE:00:00:03", [4, 5, 8]),        # LX, AP, CD
]


def default_config(nodes=DEFAULT_NODES, url=f"http://127.0.0.1:{CLOUD_PORT}", token="demo-token",
                   mqtt_enable="1"):
    whitelist = "".join(f"\tlist whitelist '{name[-12:]}'\n" for name, _, _ in nodes)
    return (
        "config sys 'sys'\n"
        f"{whitelist}"
        f"\toption url '{url}'\n"
        "\n"
        "config auth 'auth'\n"
        f"\toption access_token '{token}'\n"
        "\n"
        "config mqtt 'mqtt'\n"
        f"\toption enable '{mqtt_enable}'\n"
        "\toption host '127.0.0.1'\n"
        f"\toption port '{MQTT_PORT}'\n"
    )


DAEMONS = ("kelvora-report-app", "kelvora-mqtt-app", "kelvora-ble-app")
# Raw stack frames a crashing daemon leaves next to its log.
CRASH_DUMPS = {name: log[:-len(".log")] + ".crash" for name, log in LOGS.items()}

_libc = ctypes.CDLL(None, use_errno=True)


def _no_core_files():
    # A crash test ends daemons by SIGSEGV/SIGABRT on purpose.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


class Gateway:
    def __init__(self, sandbox, config=None, live_cloud=False):
        self.sandbox = sandbox
        self.config = config if config is not None else default_config()
        self.live_cloud = live_cloud
        self.bus_address = None
        self.bluez = None
        self.cloud = None
        self.daemons = {}
        self.services = {}
        self.nodes = []  # (name, address, options) of every virtual node added

    # --- platform ----------------------------------------------------------

    def start_platform(self):
        sb = self.sandbox
        self.services["ubusd"] = sb.start_ubusd()
        self.services["uci"] = sb.start_uci({"tavrin": self.config})

        self.bluez = sb.start_bluez()
        self.bus_address = sb.bus_address
        self.services["mosquitto"] = sb.start_mosquitto(MQTT_PORT)
        self.cloud = CloudServer(sb, port=CLOUD_PORT, status=201, body='{"result":"ok"}',
                                 live=self.live_cloud).start()
        return self

    # Services that can be stopped and started again while the daemons run,
    # as procd respawns them on the router.
    SERVICES = ("ubusd", "uci", "bluez", "mosquitto", "cloud")

    def stop_service(self, name):
        """Stops a platform service and returns once it has gone: ubusd and
        the uci service by SIGKILL (a crash, no orderly goodbye on the bus),
        the others by SIGTERM. Returns the exit status where there is one."""
        if name not in self.SERVICES:
            raise ValueError(f"unknown service {name!r}")
        if name == "cloud":
            self.cloud.stop()
            return None
        if name == "bluez":
            return self.sandbox.stop(self.sandbox.bluez_proc)
        proc = self.services.pop(name, None)
        if proc is None:
            return None
        sig = signal.SIGTERM if name == "mosquitto" else signal.SIGKILL
        return self.sandbox.stop(proc, sig=sig)

    def start_service(self, name):
        """Starts a stopped platform service again the way it first started
        (same socket, port and configuration) and returns once it serves; the
        uci service needs ubusd up."""
        if name not in self.SERVICES:
            raise ValueError(f"unknown service {name!r}")
        sb = self.sandbox
        if name == "cloud":
            self.cloud.start()  # same port, same record of requests
            return self.cloud
        if name == "bluez":
            # A fresh BlueZ knows no devices: the nodes come back as they were.
            self.bluez = sb.start_bluez()
            for node_name, address, options in self.nodes:
                self.bluez.add_node(node_name, address, **options)
            return sb.bluez_proc
        if name in self.services and self.services[name].poll() is None:
            return self.services[name]
        if name == "ubusd":
            # A killed ubusd leaves its socket file behind; wait for the new one.
            sb.path(UBUS_SOCKET).unlink(missing_ok=True)
            self.services[name] = sb.start_ubusd()
        elif name == "uci":
            self.services[name] = sb.start_uci()
        else:
            self.services[name] = sb.start_mosquitto(MQTT_PORT)
        return self.services[name]

    def restart_service(self, name):
        self.stop_service(name)
        return self.start_service(name)

    def add_nodes(self, nodes=DEFAULT_NODES, period_ms=2000, **options):
        """Adds advertising virtual nodes; returns their device paths."""
        paths = []
        for name, address, types in nodes:
            # The name a node reports in its info frame: "Room1" of "Kelvora-Room1-<id>".
            parts = name.split("-")
            info = {"info_name": parts[1]} if len(parts) > 2 and "info_name" not in options else {}
            node_options = dict(period_ms=period_ms, sensor_types=list(types), **info, **options)
            paths.append(self.bluez.add_node(name, address, **node_options))
            self.nodes.append((name, address, node_options))
        return paths

    def wait_nodes_ready(self, paths, timeout=30, identified=True):
        """Waits until every node path is connected with its sensor notifying
        and, with `identified`, the BLE daemon has logged as many identified
        nodes; false on time-out."""
        def ready():
            for path in paths:
                state = self.bluez.node_state(path)
                if not state.get("connected") or not state.get("notifying", {}).get("sensor"):
                    return False
            return not identified or self.log("ble.log").count("Connected to ") >= len(paths)
        return self.sandbox.wait_for(ready, timeout, 0.1)

    # --- daemons -----------------------------------------------------------

    def start_daemon(self, name, core_files=True, env=None):
        kw = {} if core_files else {"preexec_fn": _no_core_files}
        self.daemons[name] = self.sandbox.spawn([self.sandbox.exe(name)], env=env, **kw)
        return self.daemons[name]

    def worker_threads(self, name):
        """Kernel thread ids of a running daemon other than its main thread."""
        pid = self.daemons[name].pid
        try:
            tids = [int(t) for t in os.listdir(f"/proc/{pid}/task")]
        except FileNotFoundError:
            return []
        return sorted(t for t in tids if t != pid)

    def signal_thread(self, name, tid, sig):
        """Delivers `sig` to one thread of a daemon, as a fault in it would."""
        if _libc.tgkill(self.daemons[name].pid, tid, int(sig)) != 0:
            raise OSError(ctypes.get_errno(), "tgkill")

    def crash_dump(self, name):
        return self.sandbox.path(f"/var/log/{CRASH_DUMPS[name]}")

    def start_daemons(self, names=DAEMONS, env=None):
        """Starts the daemons; `env` maps a daemon's name to extra
        environment variables (its test hooks)."""
        # The listeners come first so that no early reading is missed.
        for name in names:
            self.start_daemon(name, env=(env or {}).get(name))
            if name != "kelvora-ble-app":
                self.sandbox.wait_for(lambda: self._registered_report_listener(name), 5, 0.05)
        return self

    def _registered_report_listener(self, name):
        log = self.sandbox.read_log(LOGS[name])
        return bool(log) or self.daemons[name].poll() is not None

    def stop_daemons(self, timeout=10.0):
        """SIGTERM to every daemon, the producer first; their exit statuses."""
        statuses = {}
        for name in reversed(list(self.daemons)):
            statuses[name] = self.sandbox.stop(self.daemons[name], timeout=timeout)
        self.daemons.clear()
        return statuses

    def log(self, name):
        return self.sandbox.read_log(LOGS.get(name, name))

    def copy_logs(self, target):
        target = Path(target)
        target.mkdir(parents=True, exist_ok=True)
        for name in ("ble.log", "report.log", "mqtt-app.log"):
            text = self.sandbox.read_log(name)
            if text:
                (target / name).write_text(text)
        return target


__all__ = ["Gateway", "Sandbox", "SandboxError", "default_config", "DEFAULT_NODES", "DAEMONS",
           "CLOUD_PORT", "MQTT_PORT"]
