import subprocess
import sys

import pytest

import norva_core


@pytest.fixture(autouse=True)
def _no_overrides():
    """Physics overrides are process-wide: every test starts and ends without any."""
    norva_core.clear_physics_overrides()
    yield
    norva_core.clear_physics_overrides()


def run_python(code: str) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter (for what only a first import shows)."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
