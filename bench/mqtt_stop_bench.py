#!/usr/bin/env python3
"""SIGTERM-to-exit time of kelvora-mqtt-app with the broker up, down and
refusing (after the refusal back-off has grown to several seconds), and with
publishing disabled. Prints figures; asserts nothing.

    /usr/bin/python3 bench/mqtt_stop_bench.py --build-dir build [--runs 5]
"""

import argparse
import os
import signal
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def measure(sandbox_cls, case, wait_s):
    with sandbox_cls() as sb:
        sb.start_ubusd()
        enable = "0" if case == "disabled" else "1"
        sb.start_uci({"tavrin": f"config mqtt 'mqtt'\n\toption enable '{enable}'\n"
                                f"\toption host '127.0.0.1'\n\toption port '1883'\n"})
        if case == "up":
            sb.start_mosquitto()
        elif case == "refusing":
            sb.start_mosquitto(extra="allow_anonymous false\n")
        app = sb.spawn([sb.exe("kelvora-mqtt-app")])
        sb.wait_log("mqtt-app.log", "MQTT App Start", 5)
        time.sleep(wait_s)
        begin = time.monotonic()
        status = sb.stop(app, signal.SIGTERM, timeout=30)
        return (time.monotonic() - begin) * 1000, status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    os.environ["KELVORA_BUILD_DIR"] = str(Path(args.build_dir).resolve())
    sys.path.insert(0, str(REPO / "hostenv"))
    from sandbox import Sandbox

    # Refusing: about 7.5 s in, the client waits 8 s before its next attempt.
    for case, wait_s in (("up", 1.0), ("down", 1.5), ("refusing", 7.5), ("disabled", 1.0)):
        figures = [measure(Sandbox, case, wait_s) for _ in range(args.runs)]
        times = [ms for ms, _ in figures]
        statuses = sorted({status for _, status in figures}, key=str)
        print(f"broker {case:9s} SIGTERM to exit: median {statistics.median(times):7.1f} ms, "
              f"max {max(times):7.1f} ms over {len(times)} runs; exit statuses {statuses}")


if __name__ == "__main__":
    main()
