"""A private host environment for one test: mount and network namespace with
fresh tmpfs over /var/run and /var/log, loopback up, and the platform's
services started inside on demand. Everything is torn down on close."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("KELVORA_BUILD_DIR", REPO / "build")).resolve()
# The daemons may come from a build for another machine type (scripts/cross):
# they then run through KELVORA_RUN_PREFIX (e.g. qemu-mipsel), everything
# around them from BUILD.
TARGET_BUILD = Path(os.environ.get("KELVORA_TARGET_BUILD_DIR") or BUILD).resolve()
RUN_PREFIX = os.environ.get("KELVORA_RUN_PREFIX", "").split()
_DAEMONS = ("kelvora-ble-app", "kelvora-report-app", "kelvora-mqtt-app")
UBUS_SOCKET = "/var/run/ubus/ubus.sock"
PACKAGE = REPO / "packaging/openwrt/kelvora"
# The daemons' logs under /var/log.
LOGS = {"kelvora-ble-app": "ble.log", "kelvora-report-app": "report.log", "kelvora-mqtt-app": "mqtt-app.log"}
# The daemons' own directories the init scripts prepare (beside /var/log).
_OWN_DIRS = {"kelvora-report-app": "/var/run/kelvora-report"}
# Users of the tests themselves: the websocket service, and a local user
# with no business on the bus.
WEBSOCKET_USER = ("kelvora-ws", 460)
OTHER_USER = ("kelvora-other", 461)


def program(name):
    """The path of a program the sandbox runs: a daemon from TARGET_BUILD,
    a stand-in from BUILD (the platform's own ubusd and ubus tool where
    KELVORA_TEST_UBUSD, KELVORA_TEST_UBUS_TOOL name them), else `name`."""
    swapped = {"ubusd": "KELVORA_TEST_UBUSD", "ubus": "KELVORA_TEST_UBUS_TOOL"}.get(name)
    if swapped and os.environ.get(swapped):
        return os.environ[swapped]
    rel = _EXES.get(name)
    return str((TARGET_BUILD if name in _DAEMONS else BUILD) / rel if rel else Path(name))


def package_users(makefile=PACKAGE / "Makefile"):
    """{package: (user, uid, group, gid)} from the USERID lines of the
    package Makefile, which creates them on the router."""
    users, package = {}, None
    for line in Path(makefile).read_text().splitlines():
        if line.startswith("define Package/"):
            package = line.split("/", 1)[1].strip()
        elif line.strip().startswith("USERID:=") and package:
            user, group = line.split(":=", 1)[1].strip().split(":")[:2]
            (uname, uid), (gname, gid) = user.split("="), group.split("=")
            users[package] = (uname, int(uid), gname, int(gid))
    return users


def _open_for_traversal(paths):
    """Lets every user pass through the directories down to each path
    (o+x, nothing listed): pytest's temporary directories are 0700, and a
    checkout under /root would be out of the daemons' reach. Says so where
    it changes a directory outside the temporary ones."""
    for path in filter(None, paths):
        for directory in [Path(path), *Path(path).parents]:
            if directory == Path("/") or not directory.is_dir():
                continue
            mode = directory.stat().st_mode
            if not mode & 0o001:
                os.chmod(directory, (mode & 0o7777) | 0o111)
                if not str(directory).startswith(tempfile.gettempdir() + "/"):
                    print(f"sandbox: {directory} made passable (o+x) for the daemons' users",
                          file=sys.stderr)


def _account_files(workdir):
    """passwd and group files: the host's, plus the package's users and the
    tests' own (each with its own group)."""
    passwd = Path("/etc/passwd").read_text()
    group = Path("/etc/group").read_text()
    names = {line.split(":")[0] for line in passwd.splitlines() if line}
    groups = {}
    for user, uid, gname, gid in package_users().values():
        groups.setdefault((gname, gid), []).append(user)
        if user not in names:
            passwd += f"{user}:x:{uid}:{gid}:{user}:/var/run/{user}:/bin/false\n"
    for user, uid in (WEBSOCKET_USER, OTHER_USER):
        groups.setdefault((user, uid), [])
        if user not in names:
            passwd += f"{user}:x:{uid}:{uid}:{user}:/var/run/{user}:/bin/false\n"
    known = {line.split(":")[0] for line in group.splitlines() if line}
    for (gname, gid), members in groups.items():
        if gname not in known:
            group += f"{gname}:x:{gid}:{','.join(members)}\n"
    paths = workdir / "passwd", workdir / "group"
    paths[0].write_text(passwd)
    paths[1].write_text(group)
    return paths

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
mount -t tmpfs -o mode=0755 tmpfs "$(readlink -f /var/run)"
# /var/state (OpenWrt's NTP marker lives there) on a tmpfs; a host without
# it gets /var as an overlay whose upper layer is in the fresh /var/run.
if [ ! -d /var/state ]; then
  mkdir -p /var/run/.var/upper /var/run/.var/work
  mount -t overlay overlay -o lowerdir=/var,upperdir=/var/run/.var/upper,workdir=/var/run/.var/work /var
  mkdir /var/state
fi
mount -t tmpfs -o mode=0755 tmpfs /var/state
# The host's clock is synchronised: the router's NTP client would have said so.
: > /var/state/ntpd-synced
mount -t tmpfs -o mode=0755 tmpfs "$(readlink -f /var/log)"
mkdir -p /var/run/ubus
ip link set lo up 2>/dev/null || true
echo ready
exec sleep infinity
"""

# Binds a file over a path inside the sandbox. A missing target (a minimal
# root has no /etc/hosts) is made in an overlay of its directory whose upper
# layer lives on a tmpfs of this mount namespace, so the host's tree is never
# written. The overlay hides binds made earlier in that directory: they are
# made again (the pairs after the first three arguments). An empty scratch
# argument means the directory is an overlay already.
_BIND = r"""
set -e
source=$1 target=$2 scratch=$3
shift 3
if [ ! -e "$target" ]; then
  if [ -n "$scratch" ]; then
    dir=$(dirname "$target")
    mkdir -p "$scratch"
    mount -t tmpfs -o mode=0755 tmpfs "$scratch"
    mkdir "$scratch/upper" "$scratch/work"
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$scratch/upper,workdir=$scratch/work" "$dir"
    while [ $# -gt 0 ]; do mount --bind "$1" "$2"; shift 2; done
    echo overlay
  fi
  rm -f "$target"  # a dangling symbolic link
  : > "$target"
fi
mount --bind "$source" "$target"
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


def _root_is_mount_point():
    # A chroot into a plain directory has no "/" in its mount table, and
    # unshare cannot make the root's propagation private.
    try:
        with open("/proc/self/mountinfo") as f:
            return any(line.split()[4] == "/" for line in f)
    except OSError:
        return True


def _tail(path, lines=20):
    try:
        text = Path(path).read_text(errors="replace")
    except OSError:
        return ""
    return "\n".join(text.rstrip().splitlines()[-lines:])


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
        self.env["APK_INSTALLED"] = str(self.workdir / "apk-installed")
        self._apk = False
        self._procs = []
        self.bus_address = None
        self._bluez = []
        self.bluez_proc = None
        self._binds = []
        self._overlays = set()
        holder_err = self.workdir / "sandbox-holder.err"
        with open(holder_err, "wb") as err:
            self._holder = subprocess.Popen(
                ["unshare", "--mount", "--net", "--propagation", "private", "sh", "-c", _HOLDER],
                stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL, start_new_session=True)
        line = self._holder.stdout.readline()
        if line.strip() != b"ready":
            self._holder.kill()
            self._holder.wait()
            status = self._holder.returncode
            detail = _tail(holder_err) or "(no output)"
            if not _root_is_mount_point():
                detail += ("\nthe root directory is not a mount point: in a chroot, "
                           "bind-mount its directory onto itself first")
            self._remove_workdir()
            raise SandboxError(f"could not create the sandbox namespace (root needed); "
                               f"exit status {status}:\n{detail}")
        self.pid = self._holder.pid
        # The daemons run as their own users, as procd starts them on the
        # router: they need to reach their programs, the stand-ins they run
        # and files of the work directory (opkg's database, the system bus
        # socket), not to list them.
        _open_for_traversal([self.workdir, REPO, BUILD, TARGET_BUILD, os.environ.get("QEMU_LD_PREFIX")])
        self.users = package_users()
        self._prepared = set()
        passwd, group = _account_files(self.workdir)
        self.bind(passwd, "/etc/passwd")
        self.bind(group, "/etc/group")
        self.acl_dir = self._acl_files()

    # --- processes -------------------------------------------------------

    def exe(self, name):
        return program(name)

    def daemon_of(self, argv):
        """The daemon that argv starts, or None."""
        return next((name for name in _DAEMONS if argv and str(argv[0]) == self.exe(name)), None)

    def as_user(self, user, group=None):
        """A command prefix that runs as `user` the way procd does: its
        groups from /etc/group (initgroups), `group` (default: the user's
        own) and no way to gain privileges."""
        return ["setpriv", f"--reuid={user}", f"--regid={group or user}", "--init-groups",
                "--no-new-privs", "--"]

    def _wrap(self, argv):
        # Entering a mount namespace resets the root directory to the
        # namespace's own; --root keeps the holder's, so that a test run
        # inside a chroot stays inside it.
        argv = [str(a) for a in argv]
        daemon = self.daemon_of(argv)
        if RUN_PREFIX and argv and argv[0].startswith(str(TARGET_BUILD) + "/"):
            argv = RUN_PREFIX + argv
        if daemon:
            user, _, group, _ = self.users[daemon]
            argv = self.as_user(user, group) + argv
        return ["nsenter", "-t", str(self.pid), "-m", "-n", "--root", "--wd=/", "--"] + argv

    def prepare(self, daemon):
        """What the init script runs as root before procd starts `daemon`
        (once; spawning the daemon does it too)."""
        if daemon in self._prepared:
            return
        extra = [_OWN_DIRS[daemon]] if daemon in _OWN_DIRS else []
        r = self.run(["sh", str(PACKAGE / "files/kelvora-prepare"), LOGS[daemon].removesuffix(".log"),
                      self.users[daemon][0], *extra])
        if r.returncode != 0:
            raise SandboxError(f"kelvora-prepare failed for {daemon}: {r.stderr.strip()}")
        self._prepared.add(daemon)

    def _acl_files(self):
        """ubusd's ACL directory: the package's files (root's, 0644, as
        ubusd requires), the websocket service's for WEBSOCKET_USER."""
        directory = self.workdir / "package-acl.d"
        directory.mkdir(mode=0o755)
        for source in (PACKAGE / "files/acl.d").iterdir():
            text = source.read_text().replace("@WEBSOCKET_USER@", WEBSOCKET_USER[0])
            target = directory / source.name.removesuffix(".in")
            target.write_text(text)
            os.chmod(target, 0o644)
        return directory

    def spawn(self, argv, env=None, stdout=None, stderr=None, **kw):
        """Starts argv inside the sandbox; stdout/stderr go to files in the
        work directory unless given."""
        name = Path(str(argv[0])).name
        daemon = self.daemon_of(argv)
        if daemon:
            self.prepare(daemon)
        output = None
        if stdout is None:
            output = self.workdir / f"{name}.{len(self._procs)}.out"
            stdout = open(output, "wb")
        if stderr is None:
            stderr = subprocess.STDOUT
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        try:
            proc = subprocess.Popen(self._wrap(argv), env=full_env, stdout=stdout, stderr=stderr,
                                    stdin=subprocess.DEVNULL, start_new_session=True, **kw)
        finally:
            if output is not None:
                stdout.close()  # the child holds its own copy
        proc.output = output
        self._procs.append(proc)
        return proc

    def not_started(self, message, proc):
        """The error for a service that did not come up: `message`, then its
        exit status (or that it still runs) and the tail of its output, which
        would otherwise vanish with the work directory."""
        status = proc.poll()
        state = "still running" if status is None else f"exit status {status}"
        output = getattr(proc, "output", None)
        detail = (_tail(output) or "(no output)") if output else "(output not captured)"
        return SandboxError(f"{message} ({state}); its output:\n{detail}")

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

    def bind(self, source, target):
        """Bind-mounts the host file `source` over the absolute path `target`
        inside the sandbox; a target that does not exist is made there."""
        target = os.path.normpath(str(target))
        if not os.path.isabs(target):
            raise ValueError(f"not an absolute path: {target}")
        directory = os.path.dirname(target)
        if directory in self._overlays:
            scratch, earlier = "", []
        else:
            scratch = str(self.workdir / f"overlay.{len(self._overlays)}")
            earlier = [p for s, t in self._binds if t.startswith(directory + "/") for p in (s, t)]
        r = self.run(["sh", "-c", _BIND, "bind", str(source), target, scratch, *earlier])
        if r.returncode != 0:
            raise SandboxError(f"could not bind {source} over {target}: {r.stderr.strip()}")
        if r.stdout.strip() == "overlay":
            self._overlays.add(directory)
        self._binds.append((str(source), target))

    def read_log(self, name):
        p = self.path(f"/var/log/{name}")
        return p.read_text(errors="replace") if p.exists() else ""

    def write_config(self, package, text):
        # As the package installs it (install -m0600).
        path = self.config_dir / package
        path.write_text(text)
        os.chmod(path, 0o600)

    def read_config(self, package):
        p = self.config_dir / package
        return p.read_text() if p.exists() else None

    def use_apk(self):
        """A router with apk (OpenWrt 25.12 on): the apk stand-in at
        /usr/bin/apk, where the daemons look for it; set_installed records
        in its database from then on."""
        self.bind(REPO / "platform/apk/apk", "/usr/bin/apk")
        self._apk = True

    def set_installed(self, package, version):
        if self._apk:
            with open(self.env["APK_INSTALLED"], "a") as f:
                f.write(f"P:{package}\nV:{version}\n\n")
            return
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
        proc = self.spawn([self.exe("ubusd"), "-s", UBUS_SOCKET, "-A", str(self.acl_dir)])
        if not self.wait_for(lambda: self.path(UBUS_SOCKET).exists() or proc.poll() is not None, 5) \
                or proc.poll() is not None:
            raise self.not_started("ubusd did not start", proc)
        return proc

    def start_uci(self, configs=None):
        for package, text in (configs or {}).items():
            self.write_config(package, text)
        delta = self.workdir / "uci-delta"
        delta.mkdir(exist_ok=True)
        proc = self.spawn([self.exe("uci-service"), "-c", str(self.config_dir), "-d", str(delta)])
        probes = []

        def registered():
            probes[:] = [self.ubus("list")]
            return "uci" in probes[0].stdout.split()

        ok = self.wait_for(lambda: proc.poll() is not None or registered(), 5, 0.05)
        if not ok or proc.poll() is not None:
            error = self.not_started("uci service did not register", proc)
            if probes and probes[0].returncode != 0:
                error.args = (f"{error}\n'ubus list' failed ({probes[0].returncode}): "
                              f"{probes[0].stderr.strip()}",)
            raise error
        return proc

    def start_mosquitto(self, port=1883, extra=""):
        conf = self.workdir / f"mosquitto-{port}.conf"
        conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n{extra}")
        proc = self.spawn(["mosquitto", "-c", str(conf)])
        listening = lambda: self.run(["sh", "-c", f"ss -ltn | grep -q '127.0.0.1:{port} '"]).returncode == 0
        if not self.wait_for(lambda: proc.poll() is not None or listening(), 5, 0.05) \
                or proc.poll() is not None:
            raise self.not_started("mosquitto did not start", proc)
        return proc

    def start_cloud(self, **kw):
        """The cloud stand-in (hostenv/cloud_server.py) on 127.0.0.1;
        returns its CloudServer handle (url, requests(), reports(), stop())."""
        from cloud_server import CloudServer
        return CloudServer(self, **kw).start()

    def start_dbus(self):
        """A private system bus; every process started after this reaches it
        through DBUS_SYSTEM_BUS_ADDRESS."""
        bluez_sim = _bluez_sim()
        spawned = []
        try:
            proc, self.bus_address = bluez_sim.start_system_bus(
                self.workdir / "system-bus", spawn=lambda argv, env: self._spawn_into(spawned, argv, env))
        except RuntimeError as e:
            raise self.not_started(str(e), spawned[-1]) from None
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus_address
        return proc

    def start_bluez(self, parameters=None):
        """Simulated BlueZ on the private system bus (started first when
        needed); returns its control client (platform/bluez/bluez_sim.py)."""
        if self.bus_address is None:
            self.start_dbus()
        bluez_sim = _bluez_sim()
        spawned = []
        try:
            proc, control = bluez_sim.start_bluez(
                self.bus_address, parameters, logfile=self.workdir / "bluez.log",
                spawn=lambda argv, env: self._spawn_into(spawned, argv, env))
        except RuntimeError as e:
            raise self.not_started(str(e), spawned[-1]) from None
        self._bluez.append(control)
        self.bluez_proc = proc
        return control

    def _spawn_into(self, spawned, argv, env):
        proc = self.spawn(argv, env=env)
        spawned.append(proc)
        return proc

    # --- teardown --------------------------------------------------------

    def stop_processes(self, kill=True):
        """SIGTERM to every process still running, the last started first;
        3 s for all of them to end, then (with `kill`) SIGKILL to the rest."""
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
                if not kill:
                    continue
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait()

    def close(self):
        for control in self._bluez:
            control.close()
        self.stop_processes()
        if self._holder.poll() is None:
            self._holder.kill()
            self._holder.wait()
        self._remove_workdir()

    def _remove_workdir(self):
        if self._own_workdir and not os.environ.get("KELVORA_KEEP_SANDBOX"):
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
