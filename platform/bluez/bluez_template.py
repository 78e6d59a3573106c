'''Simulated BlueZ with virtual sensor nodes (python-dbusmock template).

Load with `python3 -m dbusmock --system --template bluez_template.py` on a
private system bus. It serves what the gateway uses of bluetoothd:

- "/" ObjectManager: InterfacesAdded / InterfacesRemoved.
- "/org/bluez/hci0" Adapter1: Powered (Properties.Set), SetDiscoveryFilter,
  StartDiscovery, StopDiscovery, RemoveDevice.
- Device1 objects with Connect / Disconnect, and under each device one GATT
  service with the node's characteristics (command, sensor, fota and any
  extra ones), each with StartNotify / StopNotify / WriteValue.

Virtual sensor nodes advertise the gateway's service. While discovery runs,
each advertising node that passes the discovery filter gets its device object
(InterfacesAdded). A connection runs as on real BlueZ: Connected true, then
the GATT objects (InterfacesAdded, first connection or after they were
dropped), then ServicesResolved true, then the Connect reply. A node answers
the info request 04 00 00 on its command characteristic with its info frame,
records every WriteValue, and can notify sensor frames on demand or
periodically, drop its connection, refuse Connect, or leave Connect
unanswered.

BlueZ itself can fail as real BlueZ does: the adapter can be powered off
(every link drops first, Connected false, then Powered and Discovering turn
false, discovery sessions and their filter end, devices that were not
connected go; a Connect answers NotReady until it is on again), removed and
re-added (its devices and their GATT objects go with it), and bluetoothd can
restart: the process leaves the bus without a word and a fresh one returns
on it with the adapter as at the first start and the same virtual nodes,
known to nobody until discovery finds them again.

The control API is the interface org.bluez.Mock on "/" (see the methods
below); platform/bluez/bluez_sim.py wraps it for tests and scripts.

Parameters (-p JSON): "adapter" (default true: create hci0), "powered"
(default false: the adapter starts unpowered).
'''

import json
import math
import os
import sys
import tempfile
import time

import dbus
import dbus.service
from gi.repository import GLib

from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

CONTROL_IFACE = 'org.bluez.Mock'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHAR_IFACE = 'org.bluez.GattCharacteristic1'
PROPS_IFACE = 'org.freedesktop.DBus.Properties'

ADAPTER_PATH = '/org/bluez/hci0'
SERVICE_UUID = '00000001-5fe1-11ed-9b6a-0242ac120002'
ROLE_UUIDS = {
    'command': '00000002-5fe1-11ed-9b6a-0242ac120002',
    'sensor': '00000003-5fe1-11ed-9b6a-0242ac120002',
    'fota': '00000004-5fe1-11ed-9b6a-0242ac120002',
}

# Value kinds of generated readings, by sensor type id: 2 float, 1 signed, 0 unsigned.
_FLOAT_TYPES = {2, 3, 5, 16, 17}
_SIGNED_TYPES = {14}
# Centre values of generated readings, by sensor type id.
_BASE_VALUES = {1: 0, 2: 21.5, 3: 45.0, 4: 300, 5: 1013.2, 6: 40, 7: 0, 8: 600,
                9: 0, 10: 120, 11: 8, 12: 12, 13: 20, 14: -30, 15: 0, 16: 7.0,
                17: 1.2, 18: 0, 19: 0, 20: 0, 21: 0, 22: 0}


class BluezError(dbus.exceptions.DBusException):
    def __init__(self, name, message):
        super().__init__(message, name=name)


def _failed(message):
    return BluezError('org.bluez.Error.Failed', message)


def _variant(value):
    '''Wraps a typed dbus value as a variant member of an a{sv}.'''
    if isinstance(value, dbus.ByteArray):
        return dbus.ByteArray(bytes(value), variant_level=1)
    if isinstance(value, dbus.Array):
        return dbus.Array(value, signature=value.signature, variant_level=1)
    if isinstance(value, dbus.Dictionary):
        return dbus.Dictionary(value, signature=value.signature, variant_level=1)
    return type(value)(value, variant_level=1)


def _props(mapping):
    return dbus.Dictionary({k: _variant(v) for k, v in mapping.items()}, signature='sv')


def _to_json(value):
    if isinstance(value, (bytes, bytearray, dbus.ByteArray)):
        return list(bytes(value))
    if isinstance(value, dict):
        return {str(k): _to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_to_json(v) for v in value]
    if isinstance(value, (bool, dbus.Boolean)):
        return bool(value)
    if isinstance(value, (int, dbus.Byte)):
        return int(value)
    if isinstance(value, float):
        return float(value)
    return str(value)


class Characteristic:
    def __init__(self, node, path, uuid, role):
        self.node = node
        self.path = path
        self.uuid = uuid
        self.role = role
        self.notifying = False
        self.value = b''


class SensorNode:
    '''One virtual sensor node: its advertisement, its device object when
    BlueZ knows it, its connection and its GATT database.'''

    def __init__(self, sim, name, address, options):
        self.sim = sim
        self.name = name
        self.address = address.upper()
        self.path = ADAPTER_PATH + '/dev_' + self.address.replace(':', '_')
        self.options = options
        self.advertising = bool(options.get('advertising', True))
        self.uuids = [str(u) for u in options.get('uuids', [SERVICE_UUID])]
        self.rssi = int(options.get('rssi', -60))
        # Connect: "ok", "fail" (error reply) or "noreply" (never answered).
        self.connect_mode = str(options.get('connect', 'ok'))
        self.connect_delay_ms = int(options.get('connect_delay_ms', 0))
        self.connect_error = str(options.get('connect_error', 'org.bluez.Error.Failed'))
        self.gatt_order = [str(r) for r in options.get('gatt_order', ['command', 'sensor', 'fota'])]
        self.extra_uuids = [str(u) for u in options.get('extra_uuids', [])]
        self.cache_gatt = bool(options.get('cache_gatt', False))
        self.answer_info = bool(options.get('answer_info', True))
        self.info_name = str(options.get('info_name', 'Room1'))
        self.version = [int(v) & 0xFF for v in options.get('version', [1, 2, 3, 45])]
        self.info_frame = options.get('info_frame')
        self.info_delay_ms = int(options.get('info_delay_ms', 20))
        self.period_ms = int(options.get('period_ms', 0))
        self.sensor_types = [int(t) for t in options.get('sensor_types', [11, 12, 13, 2, 3])]
        # RemoveDevice while discovery runs: the node is found again after this
        # many ms (negative: never).
        self.readvertise_ms = int(options.get('readvertise_ms', -1))
        self.failures = {}  # method name -> D-Bus error name
        # Faults of a node that stays in range: the next `refuse_connects`
        # Connect calls answer `refuse_error`; `mute` keeps the sensor quiet
        # while the link stays up: "reconnect" until the next disconnection,
        # "remove" until BlueZ forgets the device, "always", or "" (off).
        self.refuse_connects = int(options.get('refuse_connects', 0))
        self.refuse_error = str(options.get('refuse_error', 'org.bluez.Error.InProgress'))
        self.mute = str(options.get('mute', ''))

        self.known = False          # BlueZ holds the device object
        self.connected = False
        self.services_resolved = False
        self.gatt_present = False
        self.chars = {}             # path -> Characteristic
        self.pending_connect = None
        self.beacon = None
        self.clock_set_at = None    # (node time, monotonic) of the last time set
        self.generation = 0         # bumps on every disconnection
        self.tick = 0
        self.timer_id = None

    # --- object tree ----------------------------------------------------

    def device_props(self):
        return {
            'Address': dbus.String(self.address),
            'AddressType': dbus.String('public'),
            'Name': dbus.String(self.name),
            'Alias': dbus.String(self.name),
            'Paired': dbus.Boolean(False),
            'Trusted': dbus.Boolean(False),
            'Blocked': dbus.Boolean(False),
            'LegacyPairing': dbus.Boolean(False),
            'Connected': dbus.Boolean(self.connected),
            'ServicesResolved': dbus.Boolean(self.services_resolved),
            'UUIDs': dbus.Array(self.uuids, signature='s'),
            'Adapter': dbus.ObjectPath(ADAPTER_PATH),
            'RSSI': dbus.Int16(self.rssi),
        }

    def create_device_object(self):
        if self.known:
            return
        props = _props(self.device_props())
        self.sim.manager.AddObject(self.path, DEVICE_IFACE, props, [])
        obj = mockobject.objects[self.path]
        install(obj, DEVICE_IFACE, 'Connect', '', '', self.dbus_connect, async_reply=True)
        install(obj, DEVICE_IFACE, 'Disconnect', '', '', self.dbus_disconnect)
        self.known = True
        self.sim.journal_add(self.path, 'Discovered', [self.name])
        self.sim.emit_added(self.path, {DEVICE_IFACE: props})

    def remove_device_object(self):
        if not self.known:
            return
        if self.mute in ('reconnect', 'remove'):
            self.mute = ''
        if self.connected:
            self.set_disconnected(remote=False)
        self.remove_gatt()
        self.sim.manager.RemoveObject(self.path)
        self.known = False
        self.sim.emit_removed(self.path, [PROPS_IFACE, DEVICE_IFACE])
        if self.readvertise_ms >= 0:
            GLib.timeout_add(self.readvertise_ms, self._readvertise)

    def vanish(self):
        '''The device object goes with its adapter: no link events, only the
        objects' removal.'''
        if not self.known:
            return
        self.generation += 1
        self.stop_periodic()
        self.connected = False
        self.services_resolved = False
        if self.pending_connect is not None:
            _, err = self.pending_connect
            self.pending_connect = None
            err(BluezError('org.freedesktop.DBus.Error.UnknownObject', 'Device removed'))
        self.remove_gatt()
        self.sim.manager.RemoveObject(self.path)
        self.known = False
        self.sim.emit_removed(self.path, [PROPS_IFACE, DEVICE_IFACE])

    def saved(self):
        '''What a restarted BlueZ process needs to bring the node back.'''
        return {'name': self.name, 'address': self.address, 'options': _to_json(self.options),
                'advertising': self.advertising, 'connect_mode': self.connect_mode,
                'failures': dict(self.failures)}

    def _readvertise(self):
        self.sim.announce(self)
        return False

    def char_layout(self):
        roles = [(r, ROLE_UUIDS[r]) for r in self.gatt_order if r in ROLE_UUIDS]
        roles += [('other', u) for u in self.extra_uuids]
        service = self.path + '/service0010'
        layout = []
        for i, (role, uuid) in enumerate(roles):
            layout.append((f'{service}/char{0x11 + 2 * i:04x}', uuid, role))
        return service, layout

    def create_gatt(self):
        if self.gatt_present:
            return
        service, layout = self.char_layout()
        sprops = _props({'UUID': dbus.String(SERVICE_UUID), 'Primary': dbus.Boolean(True),
                         'Device': dbus.ObjectPath(self.path)})
        self.sim.manager.AddObject(service, SERVICE_IFACE, sprops, [])
        self.sim.emit_added(service, {SERVICE_IFACE: sprops})
        for path, uuid, role in layout:
            flags = ['read', 'write', 'notify'] if role != 'other' else ['read']
            cprops = _props({'UUID': dbus.String(uuid), 'Service': dbus.ObjectPath(service),
                             'Value': dbus.ByteArray(b''), 'Notifying': dbus.Boolean(False),
                             'Flags': dbus.Array(flags, signature='s')})
            self.sim.manager.AddObject(path, CHAR_IFACE, cprops, [])
            obj = mockobject.objects[path]
            char = Characteristic(self, path, uuid, role)
            self.chars[path] = char
            install(obj, CHAR_IFACE, 'StartNotify', '', '', lambda c=char: self.dbus_start_notify(c))
            install(obj, CHAR_IFACE, 'StopNotify', '', '', lambda c=char: self.dbus_stop_notify(c))
            install(obj, CHAR_IFACE, 'WriteValue', 'aya{sv}', '',
                    lambda value, options, c=char: self.dbus_write_value(c, value, options))
            self.sim.emit_added(path, {CHAR_IFACE: cprops})
        self.gatt_present = True

    def remove_gatt(self):
        if not self.gatt_present:
            return
        service, _ = self.char_layout()
        for path in list(self.chars):
            self.sim.manager.RemoveObject(path)
            self.sim.emit_removed(path, [PROPS_IFACE, CHAR_IFACE])
        self.chars.clear()
        self.sim.manager.RemoveObject(service)
        self.sim.emit_removed(service, [PROPS_IFACE, SERVICE_IFACE])
        self.gatt_present = False

    def set_device_props(self, changes):
        obj = mockobject.objects.get(self.path)
        if obj is None:
            return
        for key, value in changes.items():
            obj.props[DEVICE_IFACE][key] = _variant(value)
        obj.EmitSignal(PROPS_IFACE, 'PropertiesChanged', 'sa{sv}as',
                       [DEVICE_IFACE, _props(changes), dbus.Array([], signature='s')])

    def role_char(self, role):
        for char in self.chars.values():
            if char.role == role:
                return char
        return None

    # --- connection -----------------------------------------------------

    def check_failure(self, method):
        error = self.failures.get(method)
        if error:
            raise BluezError(error, f'{method} refused by the simulation')

    def dbus_connect(self, ok, err):
        self.sim.journal_add(self.path, 'Connect', [])
        # Calls awaiting their answer, over all nodes (pacing is per adapter).
        sim = self.sim
        sim.connects_in_flight += 1
        sim.max_connects_in_flight = max(sim.max_connects_in_flight, sim.connects_in_flight)
        answered = [False]

        def settle():
            if not answered[0]:
                answered[0] = True
                sim.connects_in_flight -= 1

        def ok_counted():
            settle()
            ok()

        def err_counted(error):
            settle()
            err(error)
        self._dbus_connect(ok_counted, err_counted)

    def _dbus_connect(self, ok, err):
        if self.refuse_connects > 0:
            self.refuse_connects -= 1
            self.sim.journal_add(self.path, 'ConnectRefused', [self.refuse_error])
            GLib.timeout_add(self.connect_delay_ms, self._connect_refused, err, self.refuse_error)
            return
        error = self.failures.get('Connect')
        if error:
            err(BluezError(error, 'Connect refused by the simulation'))
            return
        if self.connected:
            ok()
            return
        if not self.sim.links_possible():
            err(BluezError('org.bluez.Error.NotReady', 'Resource Not Ready'))
            return
        if self.connect_mode == 'noreply':
            self.pending_connect = (ok, err)
            return
        if self.connect_mode == 'fail':
            GLib.timeout_add(self.connect_delay_ms, self._connect_failed, err)
            return
        GLib.timeout_add(self.connect_delay_ms, self._connect_done, ok, err)

    def _connect_refused(self, err, error):
        err(BluezError(error, 'Connect refused by the simulation'))
        return False

    def _connect_failed(self, err):
        err(BluezError(self.connect_error, 'le-connection-abort-by-local'))
        return False

    def _connect_done(self, ok, err):
        if not self.known:
            err(BluezError('org.freedesktop.DBus.Error.UnknownObject', 'Device removed'))
            return False
        if not self.sim.links_possible():
            err(BluezError('org.bluez.Error.NotReady', 'Resource Not Ready'))
            return False
        self.connected = True
        self.set_device_props({'Connected': dbus.Boolean(True)})
        self.create_gatt()
        self.services_resolved = True
        self.set_device_props({'ServicesResolved': dbus.Boolean(True)})
        ok()
        self.start_periodic()
        return False

    def dbus_disconnect(self):
        self.sim.journal_add(self.path, 'Disconnect', [])
        self.check_failure('Disconnect')
        if not self.connected:
            raise BluezError('org.bluez.Error.NotConnected', 'Not Connected')
        self.set_disconnected(remote=False)

    def set_disconnected(self, remote):
        if self.mute == 'reconnect':
            self.mute = ''
        self.generation += 1
        self.connected = False
        self.services_resolved = False
        for char in self.chars.values():
            char.notifying = False
        self.stop_periodic()
        self.set_device_props({'ServicesResolved': dbus.Boolean(False)})
        self.set_device_props({'Connected': dbus.Boolean(False)})
        if not self.cache_gatt:
            self.remove_gatt()
        self.sim.journal_add(self.path, 'Dropped' if remote else 'Disconnected', [])

    # --- GATT -----------------------------------------------------------

    def dbus_start_notify(self, char):
        self.sim.journal_add(char.path, 'StartNotify', [], role=char.role)
        self.check_failure('StartNotify')
        if not self.connected:
            raise _failed('Not connected')
        if char.notifying:
            return
        char.notifying = True
        self.emit_char(char, {'Notifying': dbus.Boolean(True)})

    def dbus_stop_notify(self, char):
        self.sim.journal_add(char.path, 'StopNotify', [], role=char.role)
        if not char.notifying:
            raise _failed('No notify session started')
        char.notifying = False
        self.emit_char(char, {'Notifying': dbus.Boolean(False)})

    def dbus_write_value(self, char, value, options):
        data = bytes(value)
        self.sim.journal_add(char.path, 'WriteValue', [list(data), _to_json(options)], role=char.role)
        self.check_failure('WriteValue')
        if not self.connected:
            raise _failed('Not connected')
        char.value = data
        if char.role == 'command':
            self.on_command(data)

    def on_command(self, data):
        if data[:3] == b'\x04\x00\x00' and self.answer_info:
            GLib.timeout_add(self.info_delay_ms, self._send_info, self.generation)
        elif len(data) == 7 and data[:3] == b'\x03\x01\x00':
            self.clock_set_at = (int.from_bytes(data[3:7], 'little'), time.monotonic())
        elif len(data) == 4 and data[:3] == b'\x02\x01\x00':
            self.beacon = bool(data[3])

    def info_bytes(self):
        if self.info_frame is not None:
            return bytes(int(b) & 0xFF for b in self.info_frame)
        name = self.info_name.encode()[:10].ljust(10, b'\x00')
        return bytes([0x84, 0x00]) + name + bytes(self.version)

    def _send_info(self, generation):
        if generation == self.generation:
            self.notify('command', self.info_bytes())
        return False

    def emit_char(self, char, changes):
        obj = mockobject.objects.get(char.path)
        if obj is None:
            return
        for key, value in changes.items():
            obj.props[CHAR_IFACE][key] = _variant(value)
        obj.EmitSignal(PROPS_IFACE, 'PropertiesChanged', 'sa{sv}as',
                       [CHAR_IFACE, _props(changes), dbus.Array([], signature='s')])

    def notify(self, role, data):
        '''Notifies `data` on the characteristic of `role`; false when it is
        not there or nobody asked for notifications.'''
        char = self.role_char(role)
        if char is None or not char.notifying or not self.connected:
            return False
        if role == 'sensor' and self.mute:
            return False
        char.value = bytes(data)
        self.emit_char(char, {'Value': dbus.ByteArray(bytes(data))})
        self.sim.journal_add(char.path, 'Notify', [list(bytes(data))], role=role)
        return True

    # --- generated readings ---------------------------------------------

    def node_time(self):
        if self.clock_set_at is None:
            return int(time.time())
        value, at = self.clock_set_at
        return (value + int(time.monotonic() - at)) & 0xFFFFFFFF

    def reading_frame(self, type_id, index=0):
        base = _BASE_VALUES.get(type_id, 0)
        wave = math.sin(self.tick / 5.0 + type_id)
        if type_id in _FLOAT_TYPES:
            kind = 2
            raw = dbus_float_bits(base + wave * max(1.0, abs(base) * 0.05))
        elif type_id in _SIGNED_TYPES:
            kind = 1
            raw = int(base + wave * 10) & 0xFFFFFFFF
        else:
            kind = 0
            raw = max(0, int(base + wave * max(2, base * 0.2)))
        ts = self.node_time()
        return bytes([type_id & 0xFF, index & 0xFF, kind]) + ts.to_bytes(4, 'little') + raw.to_bytes(4, 'little')

    def start_periodic(self):
        if self.period_ms > 0 and self.timer_id is None:
            self.timer_id = GLib.timeout_add(self.period_ms, self._periodic)

    def stop_periodic(self):
        if self.timer_id is not None:
            GLib.source_remove(self.timer_id)
            self.timer_id = None

    def _periodic(self):
        self.tick += 1
        for type_id in self.sensor_types:
            self.notify('sensor', self.reading_frame(type_id))
        return True


def dbus_float_bits(value):
    import struct
    return struct.unpack('<I', struct.pack('<f', value))[0]


def install(obj, interface, name, in_sig, out_sig, handler, async_reply=False):
    '''Puts a method on one mock object only. The call's signature is checked
    as BlueZ checks it; `handler` gets the arguments (and the ok/err reply
    callbacks when `async_reply`).'''
    def method(_self, *args, **kw):
        message = kw.pop('message')
        if (message.get_signature() or '') != in_sig:
            error = BluezError('org.bluez.Error.InvalidArguments',
                               f'{name} takes "{in_sig}", got "{message.get_signature()}"')
            if async_reply:
                kw['err'](error)
                return None
            raise error
        if async_reply:
            handler(*args, kw['ok'], kw['err'])
            return None
        return handler(*args)

    # The attributes dbus-python's method decorator would set.
    method.__name__ = name
    method._dbus_is_method = True
    method._dbus_async_callbacks = ('ok', 'err') if async_reply else None
    method._dbus_interface = interface
    method._dbus_in_signature = in_sig
    method._dbus_out_signature = out_sig
    for keyword in ('sender', 'path', 'rel_path', 'destination', 'connection'):
        setattr(method, f'_dbus_{keyword}_keyword', None)
    method._dbus_message_keyword = 'message'
    method._dbus_args = [f'arg{i}' for i in range(len(list(dbus.Signature(in_sig))))]
    method._dbus_get_args_options = {'byte_arrays': True}
    obj.methods.setdefault(interface, {})[name] = (in_sig, out_sig, '', method)


class Simulation:
    def __init__(self, manager, parameters):
        self.manager = manager
        self.nodes = {}            # device path -> SensorNode
        self.journal = []
        self.discovering = False
        self.discovery_filter = None
        self.parameters = parameters
        # Set by a fault (power off, adapter re-added, restart) until the
        # adapter is powered again.
        self.radio_off = False
        # Discovery runs but reports no device: "restart" until the next
        # StopDiscovery, "power" until the adapter is powered off, "always",
        # or "" (off).
        self.discovery_stall = ''
        self.connects_in_flight = 0
        self.max_connects_in_flight = 0

    def journal_add(self, path, call, args, **extra):
        entry = {'t': time.monotonic(), 'wall': time.time(), 'path': str(path), 'call': call,
                 'args': _to_json(args)}
        entry.update(extra)
        self.journal.append(entry)

    def emit_added(self, path, interfaces):
        self.manager.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
            dbus.ObjectPath(path),
            dbus.Dictionary({k: v for k, v in interfaces.items()}, signature='sa{sv}')])

    def emit_removed(self, path, interfaces):
        self.manager.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [
            dbus.ObjectPath(path), dbus.Array(interfaces, signature='s')])

    def passes_filter(self, node):
        flt = self.discovery_filter or {}
        wanted = [str(u).lower() for u in flt.get('UUIDs', [])]
        if wanted and not any(u.lower() in wanted for u in node.uuids):
            return False
        rssi = flt.get('RSSI')
        if rssi is not None and node.rssi < int(rssi):
            return False
        return True

    def announce(self, node):
        '''Discovery finds an advertising node.'''
        if self.discovery_stall:
            return
        if self.discovering and node.advertising and not node.known and self.passes_filter(node):
            node.create_device_object()

    def node(self, path):
        node = self.nodes.get(str(path))
        if node is None:
            raise BluezError('org.bluez.Mock.NoSuchNode', f'no virtual node at {path}')
        return node

    # --- adapter methods ------------------------------------------------

    def set_discovery_filter(self, flt):
        self.journal_add(ADAPTER_PATH, 'SetDiscoveryFilter', [_to_json(flt)])
        allowed = {'UUIDs', 'RSSI', 'Pathloss', 'Transport', 'DuplicateData', 'Discoverable', 'Pattern'}
        for key in flt:
            if key not in allowed:
                raise BluezError('org.bluez.Error.InvalidArguments', 'Invalid arguments in method call')
        self.discovery_filter = dict(flt)

    def start_discovery(self):
        self.journal_add(ADAPTER_PATH, 'StartDiscovery', [])
        adapter = mockobject.objects[ADAPTER_PATH]
        if not bool(adapter.props[ADAPTER_IFACE]['Powered']):
            raise BluezError('org.bluez.Error.NotReady', 'Resource Not Ready')
        if self.discovering:
            raise BluezError('org.bluez.Error.InProgress', 'Operation already in progress')
        self.discovering = True
        self.set_adapter_prop('Discovering', dbus.Boolean(True))
        for node in list(self.nodes.values()):
            self.announce(node)

    def stop_discovery(self):
        self.journal_add(ADAPTER_PATH, 'StopDiscovery', [])
        if self.discovery_stall == 'restart':
            self.discovery_stall = ''
        if not self.discovering:
            raise _failed('No discovery started')
        self.discovering = False
        self.set_adapter_prop('Discovering', dbus.Boolean(False))

    def remove_device(self, path):
        self.journal_add(ADAPTER_PATH, 'RemoveDevice', [str(path)])
        node = self.nodes.get(str(path))
        if node is None or not node.known:
            raise BluezError('org.bluez.Error.DoesNotExist', 'Does Not Exist')
        node.remove_device_object()

    def set_adapter_prop(self, name, value):
        adapter = mockobject.objects[ADAPTER_PATH]
        adapter.props[ADAPTER_IFACE][name] = _variant(value)
        adapter.EmitSignal(PROPS_IFACE, 'PropertiesChanged', 'sa{sv}as',
                           [ADAPTER_IFACE, _props({name: value}), dbus.Array([], signature='s')])

    def properties_set(self, interface, name, value):
        self.journal_add(ADAPTER_PATH, 'Set', [str(interface), str(name), _to_json(value)])
        adapter = mockobject.objects[ADAPTER_PATH]
        if interface != ADAPTER_IFACE or name not in adapter.props[ADAPTER_IFACE]:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'No such property')
        if name == 'Powered':
            if not isinstance(value, dbus.Boolean):
                raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'Invalid arguments in method call')
            self.set_powered(bool(value))
            return
        self.set_adapter_prop(name, value)

    def adapter_powered(self):
        adapter = mockobject.objects.get(ADAPTER_PATH)
        return adapter is not None and bool(adapter.props[ADAPTER_IFACE]['Powered'])

    def links_possible(self):
        '''Whether a Connect can succeed. An adapter that has never been
        powered keeps the lenient behaviour the proxy tests rely on; one
        that was powered off, or came back after a fault, needs power.'''
        if ADAPTER_PATH not in mockobject.objects:
            return False
        return self.adapter_powered() or not self.radio_off

    def set_powered(self, on):
        '''Powers the adapter on or off. Off as BlueZ does it: the links drop
        first, then Powered and Discovering turn false, the discovery
        sessions and their filter end and the devices that were not
        connected are removed; the others stay, disconnected.'''
        if on or not self.adapter_powered():
            if on:
                self.radio_off = False
            self.set_adapter_prop('Powered', dbus.Boolean(on))
            return
        self.radio_off = True
        if self.discovery_stall in ('restart', 'power'):
            self.discovery_stall = ''
        self.journal_add(ADAPTER_PATH, 'PoweredOff', [])
        linked = [n for n in self.nodes.values() if n.known and n.connected]
        for node in linked:
            node.set_disconnected(remote=True)
        self.set_adapter_prop('Powered', dbus.Boolean(False))
        if self.discovering:
            self.discovering = False
            self.set_adapter_prop('Discovering', dbus.Boolean(False))
        for node in self.nodes.values():
            if node.pending_connect is not None:
                _, err = node.pending_connect
                node.pending_connect = None
                err(BluezError('org.bluez.Error.NotReady', 'Resource Not Ready'))
        self.discovery_filter = None
        for node in list(self.nodes.values()):
            if node.known and node not in linked:
                node.remove_device_object()

    def remove_adapter(self):
        '''The controller goes (unplugged): its devices and their GATT objects
        are removed, then the adapter itself.'''
        if ADAPTER_PATH not in mockobject.objects:
            raise BluezError('org.bluez.Mock.NoAdapter', 'no adapter')
        self.journal_add(ADAPTER_PATH, 'AdapterRemoved', [])
        for node in self.nodes.values():
            node.vanish()
        self.discovering = False
        self.discovery_filter = None
        self.manager.RemoveObject(ADAPTER_PATH)
        self.emit_removed(ADAPTER_PATH, [PROPS_IFACE, ADAPTER_IFACE])

    def restart(self, down_ms, adapter_delay_ms):
        '''bluetoothd goes without a word and a fresh one returns after
        `down_ms`: the process hands its state to a file and replaces itself
        (same pid, a new bus connection), after a pause. The fresh one
        registers the adapter `adapter_delay_ms` after taking the name, as
        bluetoothd does once the kernel reports the controller.'''
        self.journal_add('/', 'Restart', [down_ms, adapter_delay_ms])
        state = {'parameters': self.parameters, 'journal': self.journal,
                 'adapter_delay_ms': adapter_delay_ms,
                 'nodes': [n.saved() for n in self.nodes.values()]}
        fd, path = tempfile.mkstemp(prefix='bluez-sim-', suffix='.json')
        with os.fdopen(fd, 'w') as f:
            json.dump(state, f)
        env = dict(os.environ, KELVORA_BLUEZ_RESTORE=path)
        argv = ['sh', '-c', 'sleep "$0"; exec "$@"', f'{max(0, down_ms) / 1000:.3f}',
                sys.executable, '-m', 'dbusmock'] + sys.argv[1:]
        sys.stdout.flush()
        sys.stderr.flush()
        os.closerange(3, 4096)  # the bus connection among them: BlueZ leaves the bus now
        os.execve('/bin/sh', argv, env)

    def add_adapter(self, powered):
        props = _props({
            'Address': dbus.String('00:1A:7D:DA:71:13'),
            'AddressType': dbus.String('public'),
            'Name': dbus.String('gateway'),
            'Alias': dbus.String('gateway'),
            'Class': dbus.UInt32(0),
            'Powered': dbus.Boolean(powered),
            'Discoverable': dbus.Boolean(False),
            'Pairable': dbus.Boolean(True),
            'Discovering': dbus.Boolean(False),
            'UUIDs': dbus.Array([], signature='s'),
        })
        self.manager.AddObject(ADAPTER_PATH, ADAPTER_IFACE, props, [])
        adapter = mockobject.objects[ADAPTER_PATH]
        install(adapter, ADAPTER_IFACE, 'SetDiscoveryFilter', 'a{sv}', '', self.set_discovery_filter)
        install(adapter, ADAPTER_IFACE, 'StartDiscovery', '', '', self.start_discovery)
        install(adapter, ADAPTER_IFACE, 'StopDiscovery', '', '', self.stop_discovery)
        install(adapter, ADAPTER_IFACE, 'RemoveDevice', 'o', '', self.remove_device)
        install(adapter, PROPS_IFACE, 'Set', 'ssv', '', self.properties_set)
        self.emit_added(ADAPTER_PATH, {ADAPTER_IFACE: props})


SIM = None


def load(mock, parameters):
    global SIM  # pylint: disable=global-statement
    parameters = parameters or {}
    restore = os.environ.pop('KELVORA_BLUEZ_RESTORE', None)
    state = None
    if restore:
        with open(restore) as f:
            state = json.load(f)
        os.unlink(restore)
        parameters = state['parameters']
    SIM = Simulation(mock, parameters)
    if state:
        SIM.journal = state['journal']
        SIM.journal_add('/', 'Started', [])
        SIM.radio_off = not bool(parameters.get('powered', False))
    if parameters.get('adapter', True):
        powered = bool(parameters.get('powered', False))
        delay = int((state or {}).get('adapter_delay_ms', 0))
        if delay > 0:
            def late():
                SIM.journal_add(ADAPTER_PATH, 'AdapterAdded', [])
                SIM.add_adapter(powered)
                return False
            GLib.timeout_add(delay, late)
        else:
            SIM.add_adapter(powered)
    for saved in (state or {}).get('nodes', []):
        # Not known to the fresh BlueZ: discovery finds them again.
        node = SensorNode(SIM, saved['name'], saved['address'], saved['options'])
        node.advertising = saved['advertising']
        node.connect_mode = saved['connect_mode']
        node.failures = saved['failures']
        SIM.nodes[node.path] = node


# --- control API (org.bluez.Mock on "/") ---------------------------------

@dbus.service.method(CONTROL_IFACE, in_signature='ssa{sv}', out_signature='o')
def AddSensorNode(_self, name, address, options):
    '''Adds a virtual sensor node advertising under `name`. Options: see
    SensorNode (connect, connect_delay_ms, gatt_order, extra_uuids, uuids,
    cache_gatt, answer_info, info_name, version, info_frame, period_ms,
    sensor_types, readvertise_ms, advertising, known). Returns the device
    object path the node gets.'''
    node = SensorNode(SIM, str(name), str(address), {str(k): v for k, v in options.items()})
    if node.path in SIM.nodes:
        raise BluezError('org.bluez.Mock.Exists', f'{node.path} exists')
    SIM.nodes[node.path] = node
    if bool(options.get('known', False)):
        node.create_device_object()
    SIM.announce(node)
    return dbus.ObjectPath(node.path)


@dbus.service.method(CONTROL_IFACE, in_signature='osay', out_signature='b')
def Notify(_self, path, role, data):
    '''Notifies `data` on the node's characteristic of `role` (command,
    sensor, fota); false when it is not subscribed.'''
    return SIM.node(path).notify(str(role), bytes(data))


@dbus.service.method(CONTROL_IFACE, in_signature='aoaay', out_signature='u')
def NotifyBatch(_self, paths, frames):
    '''Notifies each frame on the sensor characteristic of the node at the
    same index, in order (one call for many readings, for load tests);
    returns how many went out.'''
    sent = 0
    for path, data in zip(paths, frames):
        if SIM.node(path).notify('sensor', bytes(data)):
            sent += 1
    return dbus.UInt32(sent)


@dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='')
def DropConnection(_self, path):
    '''The node goes out of range for a moment: the link drops.'''
    node = SIM.node(path)
    if not node.connected:
        raise _failed('Not connected')
    node.set_disconnected(remote=True)


@dbus.service.method(CONTROL_IFACE, in_signature='os', out_signature='')
def SetConnectMode(_self, path, mode):
    '''"ok", "fail" or "noreply" for the following Connect calls.'''
    if mode not in ('ok', 'fail', 'noreply'):
        raise BluezError('org.bluez.Error.InvalidArguments', f'unknown mode {mode}')
    SIM.node(path).connect_mode = str(mode)


@dbus.service.method(CONTROL_IFACE, in_signature='oss', out_signature='')
def FailMethod(_self, path, method, error):
    '''Makes `method` (Connect, Disconnect, StartNotify, WriteValue) of the
    node and its characteristics answer with the D-Bus error `error`; an
    empty error restores normal answers.'''
    node = SIM.node(path)
    if error:
        node.failures[str(method)] = str(error)
    else:
        node.failures.pop(str(method), None)


@dbus.service.method(CONTROL_IFACE, in_signature='on', out_signature='')
def SetRSSI(_self, path, rssi):
    node = SIM.node(path)
    node.rssi = int(rssi)
    node.set_device_props({'RSSI': dbus.Int16(rssi)})


@dbus.service.method(CONTROL_IFACE, in_signature='oa{sv}', out_signature='')
def EmitDeviceProperties(_self, path, properties):
    '''Emits one PropertiesChanged of Device1 with `properties` (values as
    typed by the caller) and stores them.'''
    node = SIM.node(path)
    if not node.known:
        raise BluezError('org.freedesktop.DBus.Error.UnknownObject', f'{path} not known')
    node.set_device_props({str(k): v for k, v in properties.items()})


@dbus.service.method(CONTROL_IFACE, in_signature='ob', out_signature='')
def SetAdvertising(_self, path, on):
    node = SIM.node(path)
    node.advertising = bool(on)
    SIM.announce(node)


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def PowerAdapter(_self, on):
    '''Powers the adapter on or off, as a user or rfkill would.'''
    if ADAPTER_PATH not in mockobject.objects:
        raise BluezError('org.bluez.Mock.NoAdapter', 'no adapter')
    SIM.journal_add(ADAPTER_PATH, 'PowerAdapter', [bool(on)])
    SIM.set_powered(bool(on))


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
def RemoveAdapter(_self):
    '''The adapter is unplugged.'''
    SIM.remove_adapter()


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
def AddAdapter(_self):
    '''The adapter is plugged in again, powered as at the first start.'''
    if ADAPTER_PATH in mockobject.objects:
        raise BluezError('org.bluez.Mock.Exists', 'adapter exists')
    SIM.journal_add(ADAPTER_PATH, 'AdapterAdded', [])
    powered = bool(SIM.parameters.get('powered', False))
    SIM.radio_off = not powered
    SIM.add_adapter(powered)


@dbus.service.method(CONTROL_IFACE, in_signature='uu', out_signature='')
def RestartBluez(_self, down_ms, adapter_delay_ms):
    '''bluetoothd restarts: gone from the bus right after this reply, back
    `down_ms` later, its adapter `adapter_delay_ms` after that.'''
    def restart():
        SIM.manager.connection.flush()
        SIM.restart(int(down_ms), int(adapter_delay_ms))
    GLib.timeout_add(20, restart)


@dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='s')
def NodeState(_self, path):
    '''JSON text of the node's state.'''
    node = SIM.node(path)
    return json.dumps({
        'path': node.path, 'name': node.name, 'known': node.known,
        'connected': node.connected, 'services_resolved': node.services_resolved,
        'gatt': node.gatt_present, 'beacon': node.beacon,
        'clock': node.clock_set_at[0] if node.clock_set_at else None,
        'notifying': {c.role: c.notifying for c in node.chars.values()},
        'chars': {c.role: c.path for c in node.chars.values()},
    })


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='s')
def State(_self):
    '''JSON text of the adapter's state.'''
    adapter = mockobject.objects.get(ADAPTER_PATH)
    return json.dumps({
        'adapter': adapter is not None,
        'powered': bool(adapter.props[ADAPTER_IFACE]['Powered']) if adapter else None,
        'discovering': SIM.discovering,
        'filter': _to_json(SIM.discovery_filter) if SIM.discovery_filter is not None else None,
        'devices': sorted(p for p, n in SIM.nodes.items() if n.known),
        'discovery_stall': SIM.discovery_stall,
        'connects_in_flight': SIM.connects_in_flight,
        'max_connects_in_flight': SIM.max_connects_in_flight,
    })


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='s')
def Journal(_self):
    '''JSON list of the calls and events so far, each {"t" (monotonic), "wall",
    "path", "call", "args"[, "role"]}.'''
    return json.dumps(SIM.journal)


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
def ClearJournal(_self):
    SIM.journal.clear()


@dbus.service.method(CONTROL_IFACE, in_signature='os', out_signature='')
def SetMute(_self, path, mode):
    '''The node stays connected but its sensor stops notifying: "reconnect"
    (until its link next drops), "remove" (until BlueZ forgets it), "always",
    or "" to notify again.'''
    if mode not in ('', 'reconnect', 'remove', 'always'):
        raise BluezError('org.bluez.Error.InvalidArguments', f'unknown mute mode {mode}')
    node = SIM.node(path)
    node.mute = str(mode)
    SIM.journal_add(node.path, 'Mute', [str(mode)])


@dbus.service.method(CONTROL_IFACE, in_signature='ous', out_signature='')
def RefuseConnects(_self, path, count, error):
    '''The next `count` Connect calls of the node answer the D-Bus error
    `error` (default org.bluez.Error.InProgress).'''
    node = SIM.node(path)
    node.refuse_connects = int(count)
    node.refuse_error = str(error) or 'org.bluez.Error.InProgress'


@dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
def StallDiscovery(_self, mode):
    '''Discovery keeps running but reports no device: "restart" (until the
    next StopDiscovery), "power" (until the adapter is powered off),
    "always", or "" to report again (nodes in range are then found).'''
    if mode not in ('', 'restart', 'power', 'always'):
        raise BluezError('org.bluez.Error.InvalidArguments', f'unknown stall mode {mode}')
    SIM.discovery_stall = str(mode)
    SIM.journal_add(ADAPTER_PATH, 'StallDiscovery', [str(mode)])
    if not mode:
        for node in list(SIM.nodes.values()):
            SIM.announce(node)
