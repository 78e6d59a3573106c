#!/usr/bin/python3
"""MQTT subscriber for system tests and the demo.

Run inside a sandbox (the broker listens on the sandbox's loopback):

    mqtt_sub.py [--host H] [--port P] [--topic T]

prints one JSON object per line, flushed: {"subscribed": true} each time a
subscription is in place (again after every reconnection), then for every
message {"time", "topic", "payload", "payload_hex", "qos", "retain"}, with
the QoS and retain flag as the publisher sent them.
It keeps reconnecting while the broker is down. --text prints
"topic payload" lines instead, for a live view.

From a test, Subscriber(sandbox) runs it inside the sandbox and reads what
arrived.
"""

import argparse
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve()


def _main():
    import paho.mqtt.client as mqtt
    from paho.mqtt.subscribeoptions import SubscribeOptions

    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1883)
    parser.add_argument("--topic", default="kelvora/#")
    parser.add_argument("--text", action="store_true")
    parser.add_argument("--username")
    parser.add_argument("--password")
    # A persistent session under this client id: what the broker queued for
    # it while it was away arrives after the reconnection.
    parser.add_argument("--session")
    args = parser.parse_args()

    def emit(record):
        sys.stdout.write(json.dumps(record, ensure_ascii=False) + "\n")
        sys.stdout.flush()

    def on_connect(client, userdata, flags, rc, properties=None):
        if rc == 0:
            # QoS 2 and retain-as-published: what arrives carries the
            # publisher's own QoS and retain flag.
            client.subscribe(args.topic, options=SubscribeOptions(qos=2, retainAsPublished=True))

    def on_subscribe(client, userdata, mid, granted_qos, properties=None):
        if not args.text:
            emit({"subscribed": True})

    def on_message(client, userdata, message):
        payload = message.payload
        if args.text:
            sys.stdout.write(f"{message.topic} {payload.decode('utf-8', 'replace')}\n")
            sys.stdout.flush()
            return
        emit({"time": time.time(), "topic": message.topic,
              "payload": payload.decode("utf-8", "replace"), "payload_hex": payload.hex(),
              "qos": message.qos, "retain": bool(message.retain)})

    client = mqtt.Client(client_id=args.session or "", protocol=mqtt.MQTTv5)
    if args.username:
        client.username_pw_set(args.username, args.password)
    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    client.reconnect_delay_set(min_delay=0.1, max_delay=0.5)
    if args.session:
        from paho.mqtt.properties import Properties
        from paho.mqtt.packettypes import PacketTypes
        properties = Properties(PacketTypes.CONNECT)
        properties.SessionExpiryInterval = 3600
        client.connect_async(args.host, args.port, keepalive=60, clean_start=False,
                             properties=properties)
    else:
        client.connect_async(args.host, args.port, keepalive=60)
    try:
        client.loop_forever(retry_first_connection=True)
    except KeyboardInterrupt:
        pass
    return 0


class Subscriber:
    """mqtt_sub.py running inside `sandbox`; reads its output lines."""

    def __init__(self, sandbox, port=1883, topic="kelvora/#", args=()):
        self._sandbox = sandbox
        self._out = Path(sandbox.workdir) / f"mqtt_sub-{port}-{time.monotonic_ns()}.jsonl"
        self._file = open(self._out, "wb")
        self._err = open(self._out.with_suffix(".err"), "wb")
        self.proc = sandbox.spawn(["/usr/bin/python3", str(HERE), "--port", str(port),
                                   "--topic", topic] + list(args), stdout=self._file, stderr=self._err)

    def _records(self):
        records = []
        for line in self._out.read_text(errors="replace").splitlines():
            try:
                records.append(json.loads(line))
            except ValueError:
                pass  # a line still being written
        return records

    def subscriptions(self):
        return sum(1 for r in self._records() if r.get("subscribed"))

    def messages(self):
        return [r for r in self._records() if "topic" in r]

    def wait_subscribed(self, count=1, timeout=10.0):
        """True once `count` subscriptions were made (one per connection)."""
        return bool(self._sandbox.wait_for(lambda: self.subscriptions() >= count, timeout))

    def wait_messages(self, count, timeout=10.0):
        """The messages once at least `count` arrived (fewer on time-out)."""
        self._sandbox.wait_for(lambda: len(self.messages()) >= count, timeout)
        return self.messages()

    def stop(self):
        self._sandbox.stop(self.proc)
        self._file.close()
        self._err.close()


if __name__ == "__main__":
    sys.exit(_main())
