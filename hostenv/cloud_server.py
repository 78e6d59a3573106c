#!/usr/bin/python3
"""A local stand-in for the cloud server: an HTTP or HTTPS server that records
every request it receives and answers each with one configured response.

As a script (run it inside a sandbox so that it shares the daemons' network):

    cloud_server.py --port 8080 --record requests.jsonl [--status 201]
                    [--body TEXT] [--header 'Location: /x'] [--delay SECONDS]
                    [--cert server.pem --key server.key] [--print]
                    [--script actions.json]

--script names a JSON list of per-request actions, read again at every
request, so a test may rewrite it: request n (counted from 0) gets action n,
later requests the default answer. An action is an object with "status",
"body", "headers" (list of lines) and "delay" (each optional, defaulting to
the command line), or {"do": "hang"} (record the request and never answer)
or {"do": "reset"} (record it and reset the connection).

Each request becomes one JSON line in the record file:
{"time", "method", "path", "headers": [[name, value], ...], "body"}.
"listening PORT" is printed once the socket accepts; --print also prints each
report's readings as they arrive (the demo's live view).

As a module: `CloudServer(sandbox, ...)` starts the script in a sandbox and
reads back what it recorded; `make_ca` and `make_server_cert` create a private
CA and a server certificate with the openssl tool.
"""

import argparse
import collections
import json
import os
import signal
import socket
import struct
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

SCRIPT = Path(__file__).resolve()


# --- server (script side) ---------------------------------------------------

class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "cloud-stand-in"

    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(10)
            self.request.do_handshake()
        super().setup()

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        cfg = self.server.cfg
        entry = {
            "time": time.time(),
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("utf-8", errors="replace"),
        }
        with self.server.record_lock:
            with open(cfg.record, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry, ensure_ascii=False) + "\n")
            action = _action(cfg, self.server.served)
            self.server.served += 1
        if cfg.print:
            _print_report(entry)
        todo = action.get("do", "respond")
        if todo == "hang":
            # Until the client gives up (its time-out) or the server stops.
            self.close_connection = True
            while self.rfile.read(1):
                pass
            return
        if todo == "reset":
            self.close_connection = True
            # A zero linger time makes the close a reset (RST), not a FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.rfile.close()
            self.connection.close()
            return
        delay = action.get("delay", cfg.delay)
        if delay:
            time.sleep(delay)
        payload = action.get("body", cfg.body).encode()
        self.send_response(action.get("status", cfg.status))
        for line in action.get("headers", cfg.header):
            name, _, value = line.partition(":")
            self.send_header(name.strip(), value.strip())
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = _serve

    def log_message(self, fmt, *args):
        sys.stderr.write("cloud: " + (fmt % args) + "\n")


def _action(cfg, index):
    if not cfg.script:
        return {}
    try:
        with open(cfg.script, encoding="utf-8") as f:
            actions = json.load(f)
    except (OSError, ValueError):
        return {}
    return actions[index] if index < len(actions) else {}


def _print_report(entry):
    try:
        nodes = json.loads(entry["body"]).get("nodes", [])
    except (ValueError, AttributeError):
        print(f"cloud: {entry['method']} {entry['path']} {entry['body'][:200]}", flush=True)
        return
    for node in nodes:
        for reading in node.get("vs", []):
            print(f"cloud: {node.get('id')} {reading.get('k')} ts={reading.get('ts')} "
                  f"v={reading.get('v')}", flush=True)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        sys.stderr.write(f"cloud: connection from {client_address} failed: {sys.exc_info()[1]}\n")


def serve(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--record", required=True, help="JSON lines file of received requests")
    parser.add_argument("--status", type=int, default=200)
    parser.add_argument("--body", default="")
    parser.add_argument("--header", action="append", default=[], help="extra response header line")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds before answering")
    parser.add_argument("--cert", help="PEM certificate chain: serve HTTPS")
    parser.add_argument("--key", help="PEM private key of --cert")
    parser.add_argument("--print", action="store_true", help="print the readings of each report")
    parser.add_argument("--script", help="JSON list of per-request actions")
    cfg = parser.parse_args(argv)

    server = _Server((cfg.host, cfg.port), _Handler)
    server.cfg = cfg
    server.record_lock = threading.Lock()
    server.served = 0
    Path(cfg.record).touch()
    if cfg.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cfg.cert, cfg.key)
        # The handshake runs in the request's thread, so a refused handshake
        # never blocks the accept loop.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print(f"listening {server.server_address[1]}", flush=True)
    server.serve_forever(poll_interval=0.05)
    server.server_close()


# --- certificates -----------------------------------------------------------

def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_ca(directory, name="ca"):
    """Creates a private CA in `directory`; returns (cert path, key path)."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.pem", "-days", "2",
             "-subj", f"/CN=Kelvora test CA {name}",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    return directory / f"{name}.pem", directory / f"{name}.key"


def make_server_cert(directory, ca, name="server", hosts=("127.0.0.1", "localhost")):
    """Creates a server certificate signed by `ca` (from make_ca) for
    `hosts`; returns (cert path, key path)."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    ca_cert, ca_key = ca
    sans = ",".join(("IP:" if h.replace(".", "").isdigit() else "DNS:") + h for h in hosts)
    (directory / f"{name}.ext").write_text(
        f"subjectAltName={sans}\nbasicConstraints=CA:FALSE\n"
        "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={hosts[0]}",
             cwd=directory)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", str(ca_cert), "-CAkey", str(ca_key),
             "-CAcreateserial", "-out", f"{name}.pem", "-days", "2", "-extfile", f"{name}.ext",
             cwd=directory)
    return directory / f"{name}.pem", directory / f"{name}.key"


# --- handle (test side) -----------------------------------------------------

class CloudServer:
    """The script run inside `sandbox` (hostenv/sandbox.py), with the
    requests it recorded."""

    def __init__(self, sandbox, port=8080, status=200, body="", headers=(), delay=0.0,
                 tls=None, live=False, name="cloud", script=None):
        self.sandbox = sandbox
        self.port = port
        self.tls = tls  # (cert, key) or None
        self.record = Path(sandbox.workdir) / f"{name}-requests.jsonl"
        self.args = ["--port", str(port), "--record", str(self.record),
                     "--status", str(status), "--body", body, "--delay", str(delay)]
        for line in headers:
            self.args += ["--header", line]
        if tls:
            self.args += ["--cert", str(tls[0]), "--key", str(tls[1])]
        if live:
            self.args.append("--print")
        self.script = Path(sandbox.workdir) / f"{name}-script.json"
        if script is not None:
            self.set_script(script)
            self.args += ["--script", str(self.script)]
        self.output = Path(sandbox.workdir) / f"{name}.out"
        self.proc = None

    @property
    def url(self):
        return f"{'https' if self.tls else 'http'}://127.0.0.1:{self.port}"

    def start(self, timeout=10.0):
        """Starts the server (again after stop(): same port, same record)."""
        out = open(self.output, "ab")
        # Only this run's output counts: an earlier run already said "listening".
        skip = out.tell()
        self.proc = self.sandbox.spawn(["/usr/bin/python3", "-u", str(SCRIPT), *self.args],
                                       stdout=out, stderr=subprocess.STDOUT)
        out.close()
        self.proc.output = self.output
        listening = lambda: (b"listening" in self.output.read_bytes()[skip:]
                             or self.proc.poll() is not None)
        if not self.sandbox.wait_for(listening, timeout) or self.proc.poll() is not None:
            raise self.sandbox.not_started("cloud server did not start", self.proc)
        return self

    def stop(self):
        if self.proc is not None:
            self.sandbox.stop(self.proc)
            self.proc = None

    def requests(self):
        if not self.record.exists():
            return []
        lines = self.record.read_text(encoding="utf-8").splitlines()
        return [json.loads(line) for line in lines if line.strip()]

    def set_script(self, actions):
        """Replaces the per-request actions (counted from the first request
        the server got)."""
        temporary = self.script.with_suffix(".tmp")
        temporary.write_text(json.dumps(actions))
        os.replace(temporary, self.script)

    def reports(self):
        """Bodies of the POSTs to /gateways/report, parsed."""
        return [json.loads(r["body"]) for r in self.requests()
                if r["method"] == "POST" and r["path"] == "/gateways/report"]

    def report_requests(self):
        return [r for r in self.requests() if r["method"] == "POST" and r["path"] == "/gateways/report"]

    @staticmethod
    def key_of(request):
        return next((v for k, v in request["headers"] if k.lower() == "idempotency-key"), None)

    def by_key(self):
        """What a server that drops copies keeps: the first report of each
        Idempotency-Key, in order of arrival, as (key, parsed body, request
        count with that key)."""
        first = {}
        count = collections.Counter()
        for request in self.report_requests():
            key = self.key_of(request)
            count[key] += 1
            if key not in first:
                first[key] = json.loads(request["body"])
        return [(key, body, count[key]) for key, body in first.items()]

    def distinct_readings(self):
        """(device id, k, ts, v) of every reading under a distinct key, in
        order of arrival."""
        return [(node["id"], r["k"], r["ts"], r["v"]) for _, body, _ in self.by_key()
                for node in body["nodes"] for r in node["vs"]]


if __name__ == "__main__":
    serve()
