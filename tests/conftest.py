import subprocess
import sys
import textwrap

import pytest


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (the same one as the tests) and returns the result."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


@pytest.fixture
def python():
    """Runs code in a fresh interpreter and fails the test if it exits non-zero; returns stdout."""

    def run(code: str) -> str:
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run
