"""A private host environment for one test: mount and network namespace with
fresh tmpfs over /var/run and /var/log, loopback up, and the platform's
services started inside on demand. Everything is torn down on close."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KELVORA_BUILD_DIR", REPO / "build")).resolve()
UBUS_SOCKET = "/var/run/ubus/ubus.sock"

_EXES = {
    "ubusd": "platform/ubus/ubusd",
    "ubus": "platform/ubus/ubus",
    "uci-service": "platform/uci/uci-service",
    "kelvora-ble-app": "ble/kelvora-ble-app",
    "kelvora-report-app": "report/kelvora-report-app",
    "kelvora-mqtt-app": "mqtt/kelvora-mqtt-app",
}

_HOLDER = r"""
set -e
for d in /var/run /var/log; do mount -t tmpfs -o mode=0755 tmpfs "$(readlink -f $d)"; done
mkdir -p /var/run/ubus
ip link set lo up 2>/dev/null || true
echo ready
exec sleep infinity
"""


def _bluez_sim():
    import sys
    path = str(REPO / "platform" / "bluez")
    if path not in sys.path:
        sys.path.insert(0, path)
    import bluez_sim
    return bluez_sim


class SandboxError(RuntimeError):
    pass


class Sandbox:
    def __init__(self, workdir=None):
        self._own_workdir = workdir is None
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="kelvora-sb-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.config_dir = self.workdir / "config"
        self.config_dir.mkdir(exist_ok=True)
        self.env = dict(os.environ)
        self.env["PATH"] = f"{BUILD / 'platform/ubus'}:{REPO / 'platform/opkg'}:{self.env.get('PATH', '')}"
        self.env["OPKG_STATUS"] = str(self.workdir / "opkg-status")
        self._procs = []
        self.bus_address = None
        self._bluez = []
        self.bluez_proc = None
        self._holder = subprocess.Popen(
            ["unshare", "--mount", "--net", "--propagation", "private", "sh", "-c", _HOLDER],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
        line = self._holder.stdout.readline()
        if line.strip() != b"ready":
            self._holder.kill()
            raise SandboxError("could not create the sandbox namespace (root needed)")
        self.pid = self._holder.pid

    # --- processes -------------------------------------------------------

    def exe(self, name):
        rel = _EXES.get(name)
        path = BUILD / rel if rel else Path(name)
        return str(path)

    def _wrap(self, argv):
        return ["nsenter", "-t", str(self.pid), "-m", "-n", "--"] + [str(a) for a in argv]

    def spawn(self, argv, env=None, stdout=None, stderr=None, **kw):
        """Starts argv inside the sandbox; stdout/stderr go to files in the
        work directory unless given."""
        name = Path(str(argv[0])).name
        if stdout is None:
            stdout = open(self.workdir / f"{name}.{len(self._procs)}.out", "wb")
        if stderr is None:
            stderr = subprocess.STDOUT
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        proc = subprocess.Popen(self._wrap(argv), env=full_env, stdout=stdout, stderr=stderr,
                                stdin=subprocess.DEVNULL, start_new_session=True, **kw)
        self._procs.append(proc)
        return proc

    def run(self, argv, timeout=15, env=None, check=False, input=None):
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        return subprocess.run(self._wrap(argv), env=full_env, capture_output=True, text=True,
                              timeout=timeout, check=check, input=input)

    def ubus(self, *args, timeout=15):
        return self.run([self.exe("ubus")] + list(args), timeout=timeout)

    def stop(self, proc, sig=signal.SIGTERM, timeout=5.0):
        """Signals a spawned process and returns its exit status (None if it
        had to be killed)."""
        if proc.poll() is not None:
            return proc.returncode
        # nsenter execs the target, so the Popen pid is the program's.
        proc.send_signal(sig)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return None

    # --- files inside ----------------------------------------------------

    def path(self, inside):
        """Host path of a file inside the sandbox's mounts. Symbolic links on
        the way (/var/run -> /run) resolve inside the sandbox's root, not the
        host's."""
        root = Path(f"/proc/{self.pid}/root")
        resolved = "/"
        for part in Path(str(inside)).parts[1:]:
            step = os.path.join(resolved, part)
            host = root / step.lstrip("/")
            if host.is_symlink():
                step = os.path.normpath(os.path.join(resolved, os.readlink(host)))
            resolved = step
        return root / resolved.lstrip("/")

    def read_log(self, name):
        p = self.path(f"/var/log/{name}")
        return p.read_text(errors="replace") if p.exists() else ""

    def write_config(self, package, text):
        (self.config_dir / package).write_text(text)

    def read_config(self, package):
        p = self.config_dir / package
        return p.read_text() if p.exists() else None

    def set_installed(self, package, version):
        with open(self.env["OPKG_STATUS"], "a") as f:
            f.write(f"Package: {package}\nVersion: {version}\nStatus: install user installed\n\n")

    # --- waiting ---------------------------------------------------------

    @staticmethod
    def wait_for(predicate, timeout=10.0, interval=0.02):
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() >= deadline:
                return value
            time.sleep(interval)

    def wait_log(self, name, text, timeout=10.0):
        return self.wait_for(lambda: text in self.read_log(name), timeout)

    # --- services --------------------------------------------------------

    def start_ubusd(self):
        proc = self.spawn([self.exe("ubusd"), "-s", UBUS_SOCKET])
        if not self.wait_for(lambda: self.path(UBUS_SOCKET).exists(), 5):
            raise SandboxError("ubusd did not start")
        return proc

    def start_uci(self, configs=None):
        for package, text in (configs or {}).items():
            self.write_config(package, text)
        delta = self.workdir / "uci-delta"
        delta.mkdir(exist_ok=True)
        proc = self.spawn([self.exe("uci-service"), "-c", str(self.config_dir), "-d", str(delta)])
        ok = self.wait_for(lambda: "uci" in self.ubus("list").stdout.split(), 5, 0.05)
        if not ok:
            raise SandboxError("uci service did not register")
        return proc

    def start_mosquitto(self, port=1883, extra=""):
        conf = self.workdir / f"mosquitto-{port}.conf"
        conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n{extra}")
        proc = self.spawn(["mosquitto", "-c", str(conf)])
        listening = lambda: self.run(["sh", "-c", f"ss -ltn | grep -q '127.0.0.1:{port} '"]).returncode == 0
        if not self.wait_for(listening, 5, 0.05):
            raise SandboxError("mosquitto did not start")
        return proc

    def start_cloud(self, **kw):
        """The cloud stand-in (tests/system/cloud_server.py) on 127.0.0.1;
        returns its CloudServer handle (url, requests(), reports(), stop())."""
        from cloud_server import CloudServer
        return CloudServer(self, **kw).start()

    def start_dbus(self):
        """A private system bus; every process started after this reaches it
        through DBUS_SYSTEM_BUS_ADDRESS."""
        bluez_sim = _bluez_sim()
        proc, self.bus_address = bluez_sim.start_system_bus(
            self.workdir / "system-bus", spawn=lambda argv, env: self.spawn(argv, env=env))
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus_address
        return proc

    def start_bluez(self, parameters=None):
        """Simulated BlueZ on the private system bus (started first when
        needed); returns its control client (platform/bluez/bluez_sim.py)."""
        if self.bus_address is None:
            self.start_dbus()
        bluez_sim = _bluez_sim()
        proc, control = bluez_sim.start_bluez(
            self.bus_address, parameters, logfile=self.workdir / "bluez.log",
            spawn=lambda argv, env: self.spawn(argv, env=env))
        self._bluez.append(control)
        self.bluez_proc = proc
        return control

    # --- teardown --------------------------------------------------------

    def close(self):
        for control in self._bluez:
            control.close()
        for proc in reversed(self._procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + 3
        for proc in self._procs:
            try:
                proc.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait()
        if self._holder.poll() is None:
            self._holder.kill()
            self._holder.wait()
        if self._own_workdir and not os.environ.get("KELVORA_KEEP_SANDBOX"):
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
