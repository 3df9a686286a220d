"""The type stubs match the built module, and type checkers find them."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def test_stubtest_agrees_with_the_module(tmp_path):
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "norva_core", "norva_shm",
         "--allowlist", str(ALLOWLIST)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
    )
    assert r.returncode == 0, r.stdout + r.stderr


def test_mypy_checks_user_code_against_the_stubs(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent(
        """\
        import norva_core
        store = norva_core.SupervisorCore()
        version: int | None = store.get_version("k")
        desc = norva_core.shm.BufferDescriptor("seg", 8, (2,), "u4")
        name: str = desc.name
        store.write(1, "v")
        """
    ))
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(user)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
    )
    # Exactly the one deliberate mistake: a key that is not a str.
    assert r.returncode == 1, r.stdout
    assert 'Argument 1 to "write" of "SupervisorCore" has incompatible type "int"' in r.stdout
    assert "Found 1 error" in r.stdout
