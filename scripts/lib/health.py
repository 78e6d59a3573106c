"""The demo's health table: the daemons' status objects on ubus, one line per
node and one per daemon. A member that a daemon does not give shows "-"."""

import json
import math
import threading
import time

CALLS = (("kelvora.ble", "status"), ("kelvora.ble", "nodes"),
         ("kelvora.report", "status"), ("kelvora.mqtt", "status"))

# ubus status codes as the `ubus` tool returns them.
UBUS_ERRORS = {1: "Invalid command", 2: "Invalid argument", 3: "Method not found", 4: "Not found",
               5: "No response", 6: "Permission denied", 7: "Request timed out",
               8: "Operation not supported", 9: "Unknown error", 10: "Connection failed",
               11: "Out of memory", 12: "Parsing message data failed", 13: "System error"}

NODE_COLUMNS = ("node", "name", "state", "last reading", "readings")
DAEMON_COLUMNS = ("daemon", "connected", "waiting", "delivered", "failures")


def call(run, obj, method):
    """One status call through `run(argv)` (a CompletedProcess-like result of
    the `ubus` tool's arguments): the reply as a dict, or the error as text."""
    try:
        result = run(["-S", "-t", "2", "call", obj, method])
    except Exception as e:  # a hung or missing tool must not end the demo
        return f"ubus failed: {e}"
    if result.returncode != 0:
        return UBUS_ERRORS.get(result.returncode, f"ubus status {result.returncode}")
    try:
        reply = json.loads(result.stdout or "{}")
    except ValueError:
        return "unreadable reply"
    return reply if isinstance(reply, dict) else "unreadable reply"


def text(value):
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        if not math.isfinite(value):
            return "-"
        return f"{value:.0f}" if value == int(value) else f"{value:.1f}"
    if isinstance(value, (dict, list)):
        return "-"
    return str(value)


def count(value):
    """A counter, or the sum of a table of counters (failures by class)."""
    if isinstance(value, bool):
        return None
    if isinstance(value, (int, float)):
        return value
    if isinstance(value, dict):
        parts = [v for v in value.values() if isinstance(v, (int, float)) and not isinstance(v, bool)]
        return sum(parts) if parts else None
    return None


def age(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return "-"
    return f"{text(value)} s"


def node_entries(reply):
    """The entries of a `nodes` reply: a list under "nodes", or a table keyed
    by device id."""
    if not isinstance(reply, dict):
        return []
    if isinstance(reply.get("nodes"), list):
        return [e for e in reply["nodes"] if isinstance(e, dict)]
    entries = []
    for key, entry in sorted(reply.items()):
        if isinstance(entry, dict):
            entries.append(dict(entry, device_id=entry.get("device_id", key)))
    return entries


def daemon_rows(replies):
    ble, report, mqtt = (replies.get((obj, "status")) for obj in ("kelvora.ble", "kelvora.report", "kelvora.mqtt"))
    rows = []

    def member(reply, name):
        return reply.get(name) if isinstance(reply, dict) else None

    adapter = member(ble, "adapter")
    powered = None
    if isinstance(adapter, dict) and isinstance(adapter.get("powered"), bool):
        powered = adapter.get("powered") and adapter.get("present", True) is not False
    rows.append(("ble", powered, count(member(ble, "waiting")), count(member(ble, "events_sent")),
                 count(member(ble, "send_failures")), ble))
    last = member(report, "last_attempt")
    outcome = last.get("outcome") if isinstance(last, dict) else None
    rows.append(("report", outcome if isinstance(outcome, str) else member(report, "connected"),
                 count(member(report, "waiting")), count(member(report, "delivered")),
                 count(member(report, "failures")), report))
    rows.append(("mqtt", member(mqtt, "connected"), count(member(mqtt, "waiting")),
                 count(member(mqtt, "published")), count(member(mqtt, "failed")), mqtt))
    return rows


def table(replies):
    """The table's lines for `replies`, {(object, method): dict or error text}."""
    nodes = [(text(e.get("device_id")), text(e.get("name")), text(e.get("state")),
              age(e.get("last_reading_age")), text(count(e.get("readings"))))
             for e in node_entries(replies.get(("kelvora.ble", "nodes")))]
    daemons = []
    notes = []
    for name, connected, waiting, delivered, failures, reply in daemon_rows(replies):
        daemons.append((name, text(connected), text(waiting), text(delivered), text(failures)))
        notes.append(f"  ({reply})" if isinstance(reply, str) else "")
    nodes_reply = replies.get(("kelvora.ble", "nodes"))
    lines = _columns([NODE_COLUMNS] + nodes)
    if isinstance(nodes_reply, str):
        lines.append(f"(no nodes: {nodes_reply})")
    elif not nodes:
        lines.append("(no nodes)")
    lines += [line + note for line, note in zip(_columns([DAEMON_COLUMNS] + daemons), [""] + notes)]
    return lines


def _columns(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]


def signature(replies):
    """What makes the plain output print the table at once: nodes coming,
    going or changing state, a daemon's link or reachability changing."""
    nodes = tuple((e.get("device_id"), e.get("state"))
                  for e in node_entries(replies.get(("kelvora.ble", "nodes"))))
    daemons = tuple((row[0], text(row[1]), isinstance(row[5], str)) for row in daemon_rows(replies))
    return nodes, daemons


class PlainView:
    """For output that is not a terminal: the table as lines prefixed
    "health:" every `every` seconds, and at once when its signature changes."""

    def __init__(self, out, every=10.0, clock=time.monotonic):
        self.out, self.every, self.clock = out, every, clock
        self.last_time = None
        self.last_signature = None

    def line(self, text_line):
        self.out.write(text_line + "\n")
        self.out.flush()

    def update(self, replies):
        now = self.clock()
        sig = signature(replies)
        if self.last_time is not None and now - self.last_time < self.every and sig == self.last_signature:
            return False
        self.last_time, self.last_signature = now, sig
        for line in table(replies):
            self.out.write("health: " + line + "\n")
        self.out.flush()
        return True

    def close(self):
        pass


class TerminalView:
    """For a terminal: the table stays in the top lines, the readings scroll
    below it in a scroll region; the table is redrawn in place."""

    def __init__(self, out, size):
        self.out, self.size = out, size  # size() -> (columns, rows)
        self.height = 0
        self.rows = 0

    def _region(self, height):
        columns, rows = self.size()
        if height == self.height and rows == self.rows:
            return
        self.height, self.rows = height, rows
        # Keep at least a few scrolling lines on a small terminal.
        top = min(height + 1, max(rows - 3, 1))
        self.out.write("\0337" "\033[%d;%dr" "\0338" % (top + 1, rows))
        self.out.write("\033[%d;1H" % rows)

    def line(self, text_line):
        self.out.write(text_line + "\n")
        self.out.flush()

    def update(self, replies):
        lines = table(replies)
        columns = self.size()[0]
        lines = [f"health {time.strftime('%H:%M:%S')}"] + lines
        self._region(len(lines))
        shown = lines[:max(self.rows - 4, 1)]
        self.out.write("\0337")
        for i, line in enumerate(shown):
            self.out.write("\033[%d;1H\033[2K%s" % (i + 1, line[:columns]))
        self.out.write("\033[%d;1H\033[2K%s" % (len(shown) + 1, "-" * min(columns, 72)))
        self.out.write("\0338")
        self.out.flush()
        return True

    def close(self):
        # Give the whole screen back and leave the cursor below everything.
        self.out.write("\033[r\033[%d;1H\n" % max(self.rows, 1))
        self.out.flush()


class Poller:
    """Asks every status method once per `interval` on its own thread, so
    that a slow call never holds up the readings' output."""

    def __init__(self, run, interval=1.0):
        self.run, self.interval = run, interval
        self.replies = None
        self.generation = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, name="health", daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=5)

    def latest(self):
        with self._lock:
            return self.generation, self.replies

    def _loop(self):
        while not self._stop.is_set():
            started = time.monotonic()
            replies = {(obj, method): call(self.run, obj, method) for obj, method in CALLS}
            with self._lock:
                self.replies = replies
                self.generation += 1
            self._stop.wait(max(0.0, self.interval - (time.monotonic() - started)))
