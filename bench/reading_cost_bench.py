#!/usr/bin/python3
"""Instructions per reading of each daemon and of ubusd, counted by
callgrind: repeatable for the same build, whatever else the machine does.

The whole gateway runs twice in a sandbox, every process of interest under
callgrind: once with the first count of readings, once with the second (one
node, one sensor type, readings a minute of reading time apart so that the
report daemon keeps every one). Each run ends once the broker and the cloud
have every reading. The difference of a process's instructions between the
two runs, divided by the difference of the counts, is what one reading costs
it; start-up, shut-down and idle ticks cancel out (to the extent that the
runs last alike: the idle cost over the longer run's extra seconds remains).

    bench/reading_cost_bench.py [--build-dir DIR] [--readings 30,150] [--json FILE] [--profile N]

--profile N also prints, per process, the N functions that cost most per
reading, by their own instructions and with their callees (the same
difference of the two runs, per function, from callgrind_annotate), and keeps
the callgrind files.

Needs root (the sandbox) and valgrind; a build of the daemons and stand-ins
(scripts/bench builds them). Slow: every process runs some 50 times slower.
"""

import argparse
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
PROCESSES = ("kelvora-ble-app", "kelvora-report-app", "kelvora-mqtt-app", "ubusd")
PM_2_5 = 12


def callgrind(out_dir):
    return ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_dir}/callgrind.%p",
            "--dump-instr=no", "--collect-atstart=yes"]


def totals(out_dir, pids):
    """{process: instructions} from the callgrind files of `pids`."""
    counts = {}
    for name, pid in pids.items():
        text = Path(out_dir, f"callgrind.{pid}").read_text(errors="replace")
        found = re.search(r"^(?:summary|totals): *(\d+)", text, re.M)
        if not found:
            raise RuntimeError(f"no instruction total for {name} in callgrind.{pid}")
        counts[name] = int(found.group(1))
    return counts


def annotate(path, inclusive):
    """{function: instructions} of one callgrind file."""
    import subprocess
    out = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no",
                          f"--inclusive={'yes' if inclusive else 'no'}", str(path)],
                         capture_output=True, text=True, check=True).stdout
    counts = {}
    for line in out.splitlines():
        found = re.match(r"\s*([\d,]+)\s+(?:\([\s\d.]+%\)\s+)?(\S.*:.*)$", line)
        if found and not found.group(2).startswith("=>"):
            counts[found.group(2).strip()] = int(found.group(1).replace(",", ""))
    return counts


def profile(out_dir, runs, low, high, top, per_reading):
    """Prints the `top` functions of each process by instructions per
    reading: by their own instructions, then the project's functions with
    their callees (without the thread and loop entries that hold almost all
    of the process's cost)."""
    own = ("/ble/", "/report/", "/mqtt/", "/common/", "/platform/ubus/")
    for name in PROCESSES:
        for inclusive in (False, True):
            before = annotate(Path(out_dir, f"callgrind.{runs[low]['pids'][name]}"), inclusive)
            after = annotate(Path(out_dir, f"callgrind.{runs[high]['pids'][name]}"), inclusive)
            cost = {f: (after.get(f, 0) - before.get(f, 0)) / (high - low) for f in set(before) | set(after)}
            if inclusive:
                cost = {f: v for f, v in cost.items()
                        if any(part in f.split(":", 1)[0] for part in own) and v < 0.8 * per_reading[name]}
            print(f"\n{name}: functions by instructions per reading, "
                  + ("with their callees" if inclusive else "their own"))
            for function, value in sorted(cost.items(), key=lambda kv: -kv[1])[:top]:
                print(f"{value:>10,.0f}  {function[:160]}")


def run(count, out_dir):
    """One gateway, `count` readings; {process: instructions} and the pids."""
    import bluez_sim
    from gateway import DEFAULT_NODES, Gateway, default_config
    from mqtt_sub import Subscriber
    from sandbox import UBUS_SOCKET, Sandbox

    node = DEFAULT_NODES[0]
    with Sandbox() as sb:
        def start_ubusd():
            proc = sb.spawn(callgrind(out_dir) + [sb.exe("ubusd"), "-s", UBUS_SOCKET, "-A", str(sb.acl_dir)])
            if not sb.wait_for(lambda: sb.path(UBUS_SOCKET).exists() or proc.poll() is not None, 60):
                raise RuntimeError("ubusd did not start under callgrind")
            return proc
        sb.start_ubusd = start_ubusd
        gw = Gateway(sb, config=default_config([node])).start_platform()
        sub = Subscriber(sb)
        if not sub.wait_subscribed(timeout=30):
            raise RuntimeError("the subscriber did not reach the broker")
        gw.start_daemons()
        [path] = gw.add_nodes([node], period_ms=0)
        if not gw.wait_nodes_ready([path], 180):
            raise RuntimeError("the node was not identified in time\n" + gw.log("ble.log")[-3000:])
        base = 1700000040
        for i in range(count):
            gw.bluez.notify_sensor(path, bluez_sim.sensor_frame(PM_2_5, 0, 0, base + 60 * i, i))
            time.sleep(0.05)
        delivered = sb.wait_for(lambda: len(sub.messages()) >= count
                                and len(gw.cloud.distinct_readings()) >= count, 300, 0.5)
        if not delivered:
            raise RuntimeError(f"{len(sub.messages())} of {count} readings at the broker, "
                               f"{len(gw.cloud.distinct_readings())} at the cloud")
        pids = {name: gw.daemons[name].pid for name in PROCESSES[:3]}
        pids["ubusd"] = gw.services["ubusd"].pid
        statuses = gw.stop_daemons(timeout=120)
        if any(status != 0 for status in statuses.values()):
            raise RuntimeError(f"a daemon did not stop cleanly: {statuses}")
        sb.stop(gw.services["ubusd"], sig=signal.SIGTERM, timeout=60)
        sub.stop()
        return dict(totals(out_dir, pids), pids=pids)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KELVORA_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--readings", default="30,150", help="the two counts of readings, smaller first")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--profile", type=int, default=0, metavar="N",
                        help="also the N costliest functions of each process per reading")
    args = parser.parse_args()
    low, high = (int(n) for n in args.readings.split(","))
    if not 0 < low < high:
        parser.error("--readings: two counts, the smaller first")
    os.environ["KELVORA_BUILD_DIR"] = str(Path(args.build_dir).resolve())
    out_dir = tempfile.mkdtemp(prefix="kelvora-cost-")
    os.chmod(out_dir, 0o1777)  # the daemons write their counts as their own users
    os.environ["KELVORA_RUN_PREFIX"] = " ".join(callgrind(out_dir))
    for part in ("hostenv", "platform/bluez"):
        sys.path.insert(0, str(REPO / part))

    runs = {}
    for count in (low, high):
        started = time.monotonic()
        runs[count] = run(count, out_dir)
        print(f"run with {count} readings: {time.monotonic() - started:.0f} s", file=sys.stderr)
    per_reading = {name: (runs[high][name] - runs[low][name]) / (high - low) for name in PROCESSES}
    print(f"{'process':<20} {'instructions/reading':>20} {f'total ({low})':>16} {f'total ({high})':>16}")
    for name in PROCESSES:
        print(f"{name:<20} {per_reading[name]:>20,.0f} {runs[low][name]:>16,} {runs[high][name]:>16,}")
    print(f"{'all four':<20} {sum(per_reading.values()):>20,.0f}")
    if args.json:
        Path(args.json).write_text(json.dumps({"readings": [low, high], "totals": runs,
                                               "per_reading": per_reading}, indent=1) + "\n")
    if args.profile:
        profile(out_dir, runs, low, high, args.profile, per_reading)
        print(f"\ncallgrind files: {out_dir}")
    else:
        shutil.rmtree(out_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
