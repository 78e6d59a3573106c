#!/usr/bin/python3
"""How fast kelvora-ble-app recovers from BlueZ's own faults.

In one sandbox (ubusd, the uci service, the simulated BlueZ with virtual
nodes that notify a reading every --period-ms), the BLE daemon runs while
each fault is caused --rounds times: bluetoothd restarting, the adapter
removed and re-added, the adapter powered off and on. For each kind it
prints, from BlueZ's return (the simulation's journal time of the restart's
new process, the adapter's re-adding, the power-on), the time to the
daemon's "set up again" record, to its first reading and to a reading of
every node, median and maximum.

    bench/bluez_faults_bench.py [--build-dir DIR] [--rounds N] [--nodes N] [--period-ms MS]

Needs root (the sandbox is a private mount and network namespace) and a
build of kelvora-ble-app and the platform stand-ins.
"""

import argparse
import os
import statistics
import sys
import time
from datetime import datetime
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
BACK_INFO = "BlueZ adapter /org/bluez/hci0 set up again"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.environ.get("KELVORA_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--nodes", type=int, default=3)
    parser.add_argument("--period-ms", type=int, default=100)
    return parser.parse_args()


def record_times(rig, text):
    """Wall times (epoch seconds) of the log records whose message starts with `text`."""
    return [when.timestamp() for when, _, _ in rig.records(text)]


def main():
    args = parse_args()
    os.environ["KELVORA_BUILD_DIR"] = str(Path(args.build_dir).resolve())
    sys.path.insert(0, str(REPO / "hostenv"))
    sys.path.insert(0, str(REPO / "platform" / "bluez"))
    from sandbox import Sandbox
    from test_ble import Rig, tavrin

    ids = ["0123456789%02X" % (0xA0 + i) for i in range(args.nodes)]
    faults = {
        "bluetoothd restart": (lambda bz: bz.restart_bluez(down_ms=300), "Started"),
        "adapter removed, re-added": (lambda bz: (bz.remove_adapter(), time.sleep(0.3), bz.add_adapter()),
                                      "AdapterAdded"),
        "adapter powered off, on": (lambda bz: (bz.power_adapter(False), time.sleep(0.3), bz.power_adapter(True)),
                                    "PowerAdapter"),
    }
    figures = {kind: {"setup": [], "first": [], "all": []} for kind in faults}

    with Sandbox() as sb:
        rig = Rig(sb, tavrin(whitelist=ids))
        bz = rig.bz
        for i, device_id in enumerate(ids):
            bz.add_node("Kelvora-" + device_id, "C0:FF:EE:00:01:%02X" % i, period_ms=args.period_ms,
                        sensor_types=[2])
        rig.start()
        if not sb.wait_for(lambda: len(bz.calls("StartNotify")) >= 3 * len(ids), 20):
            sys.exit("the nodes did not connect")
        for _ in range(args.rounds):
            for kind, (cause, marker) in faults.items():
                setups = len(rig.records(BACK_INFO))
                cause(bz)
                if not sb.wait_for(lambda: len(rig.records(BACK_INFO)) > setups, 30, 0.05):
                    sys.exit(f"{kind}: the adapter was not set up again:\n" + sb.read_log("ble.log")[-3000:])
                back = max(e["wall"] for e in bz.journal() if e["call"] == marker)

                def readings_after():
                    out = {}
                    for when, _, message in rig.records("{\"data\""):
                        stamp = when.timestamp()
                        if stamp < back:
                            continue
                        for device_id in ids:
                            if device_id in message and device_id not in out:
                                out[device_id] = stamp
                    return out

                if not sb.wait_for(lambda: len(readings_after()) == len(ids), 30, 0.05):
                    sys.exit(f"{kind}: not every node reported again")
                stamps = readings_after()
                figures[kind]["setup"].append(record_times(rig, BACK_INFO)[-1] - back)
                figures[kind]["first"].append(min(stamps.values()) - back)
                figures[kind]["all"].append(max(stamps.values()) - back)
                time.sleep(0.5)
        warnings = len(rig.messages(severity="WARN"))
        rig.stop()

    print(f"{args.rounds} rounds, {len(ids)} nodes notifying every {args.period_ms} ms; "
          f"{warnings} warning records for {args.rounds * len(faults)} outages")
    print(f"{'fault':28} {'set up':>18}   {'first reading':>18}   {'every node':>18}")
    print(f"{'(ms from the return)':28} {'median':>9}{'max':>9}   {'median':>9}{'max':>9}   {'median':>9}{'max':>9}")
    for kind, values in figures.items():
        cells = [f"{statistics.median(values[key]) * 1000:9.0f}{max(values[key]) * 1000:9.0f}"
                 for key in ("setup", "first", "all")]
        print(f"{kind:28} " + "   ".join(cells))

if __name__ == "__main__":
    main()
