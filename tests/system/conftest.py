import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "platform", "bluez"))

from sandbox import Sandbox  # noqa: E402


@pytest.fixture
def sandbox(tmp_path):
    sb = Sandbox(tmp_path / "sb")
    try:
        yield sb
    finally:
        sb.close()
