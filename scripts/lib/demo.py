"""Live view of the gateway in a sandbox (run by scripts/demo)."""

import argparse
import json
import os
import shutil
import signal
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "hostenv"))

from gateway import DEFAULT_NODES, Gateway, Sandbox, default_config  # noqa: E402
from mqtt_sub import Subscriber  # noqa: E402

import health  # noqa: E402

WATCHED_BLE = ("Connected to", "Disconnected from", "Retry to connect", "Skip ")


def follow(read, seen, emit, keep):
    text = read()
    if len(text) > seen[0]:
        for line in text[seen[0]:].splitlines():
            if keep(line):
                emit(line)
        seen[0] = len(text)


def main():
    parser = argparse.ArgumentParser(description="Runs the gateway with virtual sensor nodes.")
    parser.add_argument("--period", type=float, default=5.0, help="seconds between a node's readings")
    parser.add_argument("--duration", type=float, default=0, help="stop after this many seconds")
    parser.add_argument("--health-every", type=float, default=10.0,
                        help="seconds between health tables when the output is not a terminal")
    args = parser.parse_args()

    logs_dir = REPO / "demo-logs"
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())

    with Sandbox() as sb:
        gw = Gateway(sb, config=default_config())
        print("demo: starting ubusd, uci, simulated BlueZ, mosquitto and the cloud stand-in ...")
        gw.start_platform()
        sub = Subscriber(sb)
        sub.wait_subscribed()
        gw.start_daemons()
        paths = gw.add_nodes(period_ms=int(args.period * 1000))
        print(f"demo: {len(paths)} virtual sensor nodes advertising: "
              + ", ".join(name for name, _, _ in DEFAULT_NODES))
        print("demo: readings appear below (mqtt = broker, cloud = reports every 30 s); Ctrl-C stops\n")

        if sys.stdout.isatty():
            view = health.TerminalView(sys.stdout, lambda: tuple(shutil.get_terminal_size()))
        else:
            view = health.PlainView(sys.stdout, every=args.health_every)
        poller = health.Poller(lambda argv: sb.ubus(*argv, timeout=5))
        poller.start()
        try:
            watch(args, gw, sub, view, poller, stop)
        finally:
            poller.stop()
            view.close()

        print("\ndemo: stopping ...")
        statuses = gw.stop_daemons()
        sub.stop()
        gw.copy_logs(logs_dir)
        for name, status in statuses.items():
            print(f"demo: {name} exit status {status}")
        print(f"demo: daemon logs in {logs_dir} (ble.log, report.log, mqtt-app.log); "
              f"platform output was in {sb.workdir} (removed)")
    return 0


def watch(args, gw, sub, view, poller, stop):
    """Prints what happens until `stop` is set, with the health table
    refreshed whenever the poller has a new set of replies."""
    ble_seen, msgs_seen, posts_seen = [0], 0, 0
    shown = 0
    started = time.monotonic()
    while not stop.is_set():
        generation, replies = poller.latest()
        if generation != shown and replies is not None:
            view.update(replies)
            shown = generation
        follow(lambda: gw.log("ble.log"), ble_seen,
               lambda line: print("ble:   " + line.split("] ", 2)[-1]),
               lambda line: any(w in line for w in WATCHED_BLE))
        messages = sub.messages()
        for m in messages[msgs_seen:]:
            print(f"mqtt:  {m['topic']} {m['payload']}")
        msgs_seen = len(messages)
        requests = gw.cloud.requests()
        for r in requests[posts_seen:]:
            try:
                nodes = json.loads(r["body"]).get("nodes", [])
                summary = "; ".join(f"{n['id']}: {len(n.get('vs', []))} readings" for n in nodes)
            except (ValueError, KeyError, AttributeError):
                summary = r["body"][:120]
            print(f"cloud: {r['method']} {r['path']} ({len(r['body'])} bytes) {summary}")
            print(f"       {r['body'][:300]}{'...' if len(r['body']) > 300 else ''}")
        posts_seen = len(requests)
        for name, proc in list(gw.daemons.items()):
            if proc.poll() is not None:
                print(f"demo: {name} ended with status {proc.returncode}")
                stop.set()
        if args.duration and time.monotonic() - started > args.duration:
            stop.set()
        stop.wait(0.2)


if __name__ == "__main__":
    sys.exit(main())
