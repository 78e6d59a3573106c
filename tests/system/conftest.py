import os
import re
import shlex
import sys
from pathlib import Path

import pytest

REPO = os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(REPO, "hostenv"))
sys.path.insert(0, os.path.join(REPO, "platform", "bluez"))

from sandbox import Sandbox  # noqa: E402

# --- no secret in what a sandbox wrote ------------------------------------------
#
# Every sandbox of the run, whoever made it, is searched at its close for the
# secrets its test configured: the access token and the MQTT password. Shorter
# values would match by chance.

SECRET_OPTIONS = ("access_token", "password")
SECRET_MIN_LENGTH = 6
_DELTA = re.compile(r"^\w+\.\w+\.(\w+)='((?:[^']|'\\'')*)'$")
_written = {}   # id(sandbox) -> every UCI text written into its configuration
_leaks = []     # what the sandboxes closed since the last test's end left behind


def _uci_secrets(text, found):
    for line in text.splitlines():
        try:
            words = shlex.split(line, comments=True)
        except ValueError:
            continue
        if len(words) == 3 and words[0] in ("option", "list") and words[1] in SECRET_OPTIONS:
            found.setdefault(words[2], words[1])


def configured_secrets(sb):
    """{value: option} of the secrets configured in `sb`: the UCI texts
    written into it, its configuration files and its staged changes as they
    are now; only values of SECRET_MIN_LENGTH or more characters."""
    found = {}
    for text in _written.get(id(sb), []):
        _uci_secrets(text, found)
    for path in sorted(Path(sb.config_dir).glob("*")):
        if path.is_file():
            _uci_secrets(path.read_text(errors="replace"), found)
    for path in sorted((Path(sb.workdir) / "uci-delta").glob("*")):
        for line in path.read_text(errors="replace").splitlines():
            match = _DELTA.match(line)
            if match and match[1] in SECRET_OPTIONS:
                found.setdefault(match[2].replace("'\\''", "'"), match[1])
    return {value: option for value, option in found.items() if len(value) >= SECRET_MIN_LENGTH}


def _outputs(sb):
    """The log files of the sandbox (/var/log inside, crash dumps and rolled
    logs included) and the output files in its work directory."""
    files = []
    log_dir = sb.path("/var/log")
    if log_dir.is_dir():
        files += [(f"/var/log/{p.relative_to(log_dir)}", p) for p in sorted(log_dir.rglob("*")) if p.is_file()]
    workdir = Path(sb.workdir)
    files += [(str(p), p) for p in sorted(list(workdir.glob("*.out")) + list(workdir.glob("*.log")))]
    return files


def secret_leaks(sb, secrets=None):
    """"<file>: <option>" for each output file of `sb` that holds a
    configured secret (configured_secrets unless given)."""
    secrets = configured_secrets(sb) if secrets is None else secrets
    leaks = []
    for name, path in _outputs(sb):
        try:
            data = path.read_bytes()
        except OSError:
            continue
        leaks += [f"{name}: {option}" for value, option in secrets.items() if value.encode() in data]
    return leaks


@pytest.fixture(scope="session", autouse=True)
def _sandboxes_keep_secrets():
    original_write, original_close = Sandbox.write_config, Sandbox.close

    def write_config(self, package, text):
        _written.setdefault(id(self), []).append(text)
        return original_write(self, package, text)

    def close(self):
        try:
            holder = getattr(self, "_holder", None)
            if holder is not None and holder.poll() is None:
                # The last records in before the search; close kills the rest.
                self.stop_processes(kill=False)
                _leaks.extend(f"{self.workdir}: {leak}" for leak in secret_leaks(self))
        finally:
            _written.pop(id(self), None)
            original_close(self)

    Sandbox.write_config, Sandbox.close = write_config, close
    yield
    Sandbox.write_config, Sandbox.close = original_write, original_close


@pytest.fixture(autouse=True)
def no_secret_leaked():
    """Fails the test whose sandboxes (its own, or those of a module fixture
    it set up) left a configured secret in a log or output file."""
    yield
    leaks, _leaks[:] = list(_leaks), []
    if leaks:
        pytest.fail("configured secrets in the sandbox's logs or output:\n" + "\n".join(leaks), pytrace=False)


@pytest.fixture
def sandbox(tmp_path):
    sb = Sandbox(tmp_path / "sb")
    try:
        yield sb
    finally:
        sb.close()


@pytest.fixture
def gateway(sandbox):
    """The platform of the whole gateway (ubusd, uci, BlueZ, broker, cloud)
    with the default configuration; daemons are started by the test."""
    from gateway import Gateway
    return Gateway(sandbox).start_platform()
