import os
import sys

import pytest

REPO = os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(REPO, "hostenv"))
sys.path.insert(0, os.path.join(REPO, "platform", "bluez"))

from sandbox import Sandbox  # noqa: E402


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
