#!/usr/bin/python3
'''Simulated BlueZ on a private system bus: start-up helpers and the control
client that tests, the demo and the shell use.

    from bluez_sim import start_system_bus, start_bluez, BluezControl

As a command (the bus address comes from --address or
DBUS_SYSTEM_BUS_ADDRESS):

    bluez_sim.py serve DIR [--powered] [--quiet] [--no-bluez]
                                              bus + BlueZ in DIR until SIGTERM, Ctrl-C
                                              or the end of the calling process
    bluez_sim.py add-node NAME MAC [KEY=JSON ...]
    bluez_sim.py notify PATH ROLE HEX         e.g. notify /org/bluez/hci0/dev_.. sensor 0b0002...
    bluez_sim.py drop PATH
    bluez_sim.py connect-mode PATH ok|fail|noreply
    bluez_sim.py fail PATH METHOD [ERROR]     no ERROR: normal answers again
    bluez_sim.py mute PATH reconnect|remove|always|off
    bluez_sim.py refuse PATH COUNT [ERROR]    the next COUNT Connect calls fail (InProgress)
    bluez_sim.py stall-discovery restart|power|always|off
    bluez_sim.py state [PATH]
    bluez_sim.py journal
    bluez_sim.py restart-bluez [DOWN_MS [ADAPTER_MS]]
                                              bluetoothd leaves the bus, back DOWN_MS later,
                                              its adapter ADAPTER_MS after that
    bluez_sim.py remove-adapter | add-adapter
    bluez_sim.py power on|off                 the adapter, as a user or rfkill would
'''

import argparse
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TEMPLATE = HERE / 'bluez_template.py'
BUS_CONFIG = HERE / 'system-bus.conf.in'
# The BLE daemon's D-Bus policy as the package installs it.
BLE_POLICY = HERE.parents[1] / 'packaging/openwrt/kelvora/files/kelvora-ble-app.dbus.conf'
PYTHON = '/usr/bin/python3'

CONTROL_IFACE = 'org.bluez.Mock'
ROLE_UUIDS = {
    'command': '00000002-5fe1-11ed-9b6a-0242ac120002',
    'sensor': '00000003-5fe1-11ed-9b6a-0242ac120002',
    'fota': '00000004-5fe1-11ed-9b6a-0242ac120002',
}


def write_bus_config(directory):
    '''Writes the bus configuration into `directory`; returns (config path,
    bus address).'''
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    socket = directory / 'system_bus_socket'
    config = directory / 'system-bus.conf'
    config.write_text(BUS_CONFIG.read_text().replace('@SOCKET@', str(socket))
                      .replace('@POLICY@', str(BLE_POLICY)))
    return config, f'unix:path={socket}'


def bus_command(config):
    return ['dbus-daemon', '--nofork', '--nopidfile', f'--config-file={config}']


def bluez_command(parameters=None, logfile=None):
    argv = [PYTHON, '-m', 'dbusmock', '--system', '--template', str(TEMPLATE)]
    if logfile:
        argv += ['-l', str(logfile)]
    if parameters:
        argv += ['-p', json.dumps(parameters)]
    return argv


def wait_for(predicate, timeout, interval=0.01):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def start_system_bus(directory, spawn=None):
    '''Starts dbus-daemon on a socket in `directory`; returns (process,
    address). `spawn(argv, env)` starts a process (default: Popen).'''
    config, address = write_bus_config(directory)
    spawn = spawn or (lambda argv, env: subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL))
    proc = spawn(bus_command(config), dict(os.environ))
    path = address.split('=', 1)[1]

    def accepting():
        import socket
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            try:
                probe.connect(path)
                return True
            except OSError:
                return False

    if not wait_for(accepting, 5):
        proc.kill()
        raise RuntimeError('dbus-daemon did not start')
    return proc, address


def start_bluez(address, parameters=None, logfile=None, spawn=None, timeout=10):
    '''Starts the simulated BlueZ on the bus at `address`; returns (process,
    BluezControl) once org.bluez answers.'''
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
    spawn = spawn or (lambda argv, env: subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                                          stdout=subprocess.DEVNULL))
    proc = spawn(bluez_command(parameters, logfile or os.devnull), env)
    control = BluezControl(address)
    if not control.wait_ready(timeout, proc):
        proc.kill()
        raise RuntimeError('simulated BlueZ did not start')
    return proc, control


def _typed(value):
    import dbus
    if isinstance(value, bool):
        return dbus.Boolean(value)
    if isinstance(value, int):
        return dbus.Int32(value)
    if isinstance(value, float):
        return dbus.Double(value)
    if isinstance(value, str):
        return dbus.String(value)
    if isinstance(value, (bytes, bytearray)):
        return dbus.Array([dbus.Int32(b) for b in value], signature='i')
    if isinstance(value, (list, tuple)):
        if all(isinstance(v, str) for v in value) and value:
            return dbus.Array(value, signature='s')
        return dbus.Array([dbus.Int32(int(v)) for v in value], signature='i')
    raise TypeError(f'option value {value!r}')


class BluezControl:
    '''Client of the simulation's control interface.'''

    def __init__(self, address):
        import dbus
        self._dbus = dbus
        self.address = address
        self._bus = None

    @property
    def bus(self):
        if self._bus is None:
            self._bus = self._dbus.bus.BusConnection(self.address)
        return self._bus

    def _control(self):
        return self._dbus.Interface(self.bus.get_object('org.bluez', '/'), CONTROL_IFACE)

    def wait_ready(self, timeout=10, proc=None):
        def ready():
            if proc is not None and proc.poll() is not None:
                return True
            try:
                self.state()
                return True
            except self._dbus.exceptions.DBusException:
                self._bus = None
                return False
        return wait_for(ready, timeout, 0.02) and (proc is None or proc.poll() is None)

    def close(self):
        if self._bus is not None:
            self._bus.close()
            self._bus = None

    # --- virtual nodes --------------------------------------------------

    def add_node(self, name, address, **options):
        '''Adds a virtual sensor node; returns its device object path.'''
        opts = self._dbus.Dictionary({k: _typed(v) for k, v in options.items()}, signature='sv')
        return str(self._control().AddSensorNode(name, address, opts))

    def notify(self, path, role, data):
        return bool(self._control().Notify(path, role, self._dbus.ByteArray(bytes(data))))

    def notify_sensor(self, path, frame):
        return self.notify(path, 'sensor', frame)

    def drop(self, path):
        self._control().DropConnection(path)

    def set_connect_mode(self, path, mode):
        self._control().SetConnectMode(path, mode)

    def fail_method(self, path, method, error='org.bluez.Error.Failed'):
        self._control().FailMethod(path, method, error or '')

    def set_mute(self, path, mode):
        '''The node stays connected and stops notifying: "reconnect",
        "remove", "always", or "" (see SetMute).'''
        self._control().SetMute(path, mode)

    def refuse_connects(self, path, count, error='org.bluez.Error.InProgress'):
        self._control().RefuseConnects(path, self._dbus.UInt32(count), error)

    def stall_discovery(self, mode):
        '''Discovery reports no device: "restart", "power", "always" or "".'''
        self._control().StallDiscovery(mode)

    def set_rssi(self, path, rssi):
        self._control().SetRSSI(path, self._dbus.Int16(rssi))

    def set_advertising(self, path, on):
        self._control().SetAdvertising(path, bool(on))

    # --- faults of BlueZ itself -----------------------------------------

    def restart_bluez(self, down_ms=300, adapter_delay_ms=0, timeout=10):
        '''bluetoothd restarts: the simulation leaves the bus at once and a
        fresh one with the same adapter and virtual nodes is back `down_ms`
        later (its adapter `adapter_delay_ms` after the name). Returns once
        it answers again.'''
        old = self.bus.get_name_owner('org.bluez')
        self._control().RestartBluez(self._dbus.UInt32(down_ms), self._dbus.UInt32(adapter_delay_ms))

        def back():
            try:
                if self.bus.get_name_owner('org.bluez') == old:
                    return False
                self.state()
                return True
            except self._dbus.exceptions.DBusException:
                return False
        if not wait_for(back, timeout + down_ms / 1000, 0.02):
            raise RuntimeError('simulated BlueZ did not come back')

    def remove_adapter(self):
        self._control().RemoveAdapter()

    def add_adapter(self):
        self._control().AddAdapter()

    def power_adapter(self, on):
        self._control().PowerAdapter(bool(on))

    # --- observation ----------------------------------------------------

    def node_state(self, path):
        return json.loads(self._control().NodeState(path))

    def state(self):
        return json.loads(self._control().State())

    def journal(self):
        return json.loads(self._control().Journal())

    def clear_journal(self):
        self._control().ClearJournal()

    def calls(self, call, path=None, role=None):
        '''Journal entries of one kind, optionally for one object path (a
        device path also matches its characteristics) or role.'''
        out = []
        for entry in self.journal():
            if entry['call'] != call:
                continue
            if path is not None and not (entry['path'] == path or entry['path'].startswith(path + '/')):
                continue
            if role is not None and entry.get('role') != role:
                continue
            out.append(entry)
        return out

    def writes(self, path=None, role='command'):
        '''(monotonic time, bytes) of every WriteValue, oldest first.'''
        return [(e['t'], bytes(e['args'][0])) for e in self.calls('WriteValue', path, role)]


def sensor_frame(type_id, index, kind, ts, raw):
    '''An 11-byte sensor frame; `raw` is the 32-bit value field.'''
    return (bytes([type_id & 0xFF, index & 0xFF, kind & 0xFF]) + int(ts).to_bytes(4, 'little')
            + (int(raw) & 0xFFFFFFFF).to_bytes(4, 'little'))


def _die_with_parent():
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _serve(directory, powered, quiet, bluez=True):
    '''Bus and BlueZ until SIGTERM or SIGINT; the address goes to stdout.'''
    def stop(_signum, _frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    procs = []

    def spawn(argv, env):
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL if quiet else None, preexec_fn=_die_with_parent)
        procs.append(proc)
        return proc

    try:
        _, address = start_system_bus(directory, spawn)
        if bluez:
            start_bluez(address, {'powered': powered}, spawn=spawn)
        if not quiet:
            print(address, flush=True)
        # Also ends when the process that started it has gone (a test that
        # crashed), so that no bus outlives it.
        parent = os.getppid()
        while os.getppid() == parent:
            time.sleep(0.2)
    finally:
        for proc in reversed(procs):
            proc.terminate()
            proc.wait()


def _main():
    parser = argparse.ArgumentParser(description='simulated BlueZ control')
    parser.add_argument('--address', default=os.environ.get('DBUS_SYSTEM_BUS_ADDRESS'))
    sub = parser.add_subparsers(dest='cmd', required=True)
    p = sub.add_parser('serve')
    p.add_argument('dir')
    p.add_argument('--powered', action='store_true')
    p.add_argument('--quiet', action='store_true', help='no address on stdout, no bus messages')
    p.add_argument('--no-bluez', action='store_true', help='the bus alone')
    p = sub.add_parser('add-node')
    p.add_argument('name')
    p.add_argument('mac')
    p.add_argument('options', nargs='*', metavar='KEY=JSON')
    p = sub.add_parser('notify')
    p.add_argument('path')
    p.add_argument('role')
    p.add_argument('hex')
    p = sub.add_parser('drop')
    p.add_argument('path')
    p = sub.add_parser('connect-mode')
    p.add_argument('path')
    p.add_argument('mode')
    p = sub.add_parser('fail')
    p.add_argument('path')
    p.add_argument('method')
    p.add_argument('error', nargs='?', default='')
    p = sub.add_parser('mute')
    p.add_argument('path')
    p.add_argument('mode', choices=['reconnect', 'remove', 'always', 'off'])
    p = sub.add_parser('refuse')
    p.add_argument('path')
    p.add_argument('count', type=int)
    p.add_argument('error', nargs='?', default='org.bluez.Error.InProgress')
    p = sub.add_parser('stall-discovery')
    p.add_argument('mode', choices=['restart', 'power', 'always', 'off'])
    p = sub.add_parser('state')
    p.add_argument('path', nargs='?')
    sub.add_parser('journal')
    p = sub.add_parser('restart-bluez')
    p.add_argument('down_ms', nargs='?', type=int, default=300)
    p.add_argument('adapter_ms', nargs='?', type=int, default=0)
    sub.add_parser('remove-adapter')
    sub.add_parser('add-adapter')
    p = sub.add_parser('power')
    p.add_argument('state', choices=['on', 'off'])
    args = parser.parse_args()

    if args.cmd == 'serve':
        return _serve(args.dir, args.powered, args.quiet, not args.no_bluez)

    if not args.address:
        parser.error('no bus address (--address or DBUS_SYSTEM_BUS_ADDRESS)')
    control = BluezControl(args.address)
    if args.cmd == 'add-node':
        options = {}
        for item in args.options:
            key, _, value = item.partition('=')
            options[key] = json.loads(value)
        print(control.add_node(args.name, args.mac, **options))
    elif args.cmd == 'notify':
        ok = control.notify(args.path, args.role, bytes.fromhex(args.hex))
        return 0 if ok else 1
    elif args.cmd == 'drop':
        control.drop(args.path)
    elif args.cmd == 'connect-mode':
        control.set_connect_mode(args.path, args.mode)
    elif args.cmd == 'fail':
        control.fail_method(args.path, args.method, args.error)
    elif args.cmd == 'mute':
        control.set_mute(args.path, '' if args.mode == 'off' else args.mode)
    elif args.cmd == 'refuse':
        control.refuse_connects(args.path, args.count, args.error)
    elif args.cmd == 'stall-discovery':
        control.stall_discovery('' if args.mode == 'off' else args.mode)
    elif args.cmd == 'state':
        print(json.dumps(control.node_state(args.path) if args.path else control.state(), indent=2))
    elif args.cmd == 'journal':
        for entry in control.journal():
            print(json.dumps(entry))
    elif args.cmd == 'restart-bluez':
        control.restart_bluez(args.down_ms, args.adapter_ms)
    elif args.cmd == 'remove-adapter':
        control.remove_adapter()
    elif args.cmd == 'add-adapter':
        control.add_adapter()
    elif args.cmd == 'power':
        control.power_adapter(args.state == 'on')
    return 0


if __name__ == '__main__':
    sys.exit(_main())
