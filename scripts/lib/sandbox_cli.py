"""scripts/sandbox: a command inside the gateway's host environment."""

import argparse
import os
import signal
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "hostenv"))

from gateway import Gateway, Sandbox, default_config  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description="Runs a command in the gateway's sandbox.")
    parser.add_argument("--daemons", action="store_true", help="start the three daemons too")
    parser.add_argument("--nodes", action="store_true", help="add the default virtual sensor nodes")
    parser.add_argument("--config", help="UCI file to use as package tavrin")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        command = ["bash", "--norc", "-i"]

    # Ctrl-C reaches the foreground command; this process only tears down.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    with Sandbox() as sb:
        config = Path(args.config).read_text() if args.config else default_config()
        gw = Gateway(sb, config=config).start_platform()
        if args.daemons:
            gw.start_daemons()
        if args.nodes:
            gw.add_nodes()
        env = dict(sb.env)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = gw.bus_address
        env["PATH"] = f"{REPO / 'platform/bluez'}:{env['PATH']}"
        env["PS1"] = "(kelvora-sandbox) \\w# "
        print(f"sandbox: ubus socket /var/run/ubus/ubus.sock, config dir {sb.config_dir}, "
              f"system bus {gw.bus_address}, broker 127.0.0.1:1883, cloud {gw.cloud.url}",
              file=sys.stderr)
        rc = subprocess.call(sb._wrap(command), env=env,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        if args.daemons:
            gw.copy_logs(REPO / "sandbox-logs")
            gw.stop_daemons()
            print(f"sandbox: daemon logs copied to {REPO / 'sandbox-logs'}", file=sys.stderr)
    return rc


if __name__ == "__main__":
    sys.exit(main())
