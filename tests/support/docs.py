"""The code of the documentation, as the tests run it."""

from __future__ import annotations

import re
import subprocess
import sys
from collections.abc import Mapping
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent


def snippet(doc: str, name: str) -> str:
    """The Python block that follows ``<!-- snippet: name -->`` in ``docs/doc``."""
    text = (ROOT / "docs" / doc).read_text()
    found = re.findall(rf"<!-- snippet: {re.escape(name)} -->\n```python\n(.*?)```\n", text, re.S)
    assert len(found) == 1, f"{doc} has {len(found)} snippets named {name!r}"
    return found[0]


def shrunk(code: str, replacements: Mapping[str, str]) -> str:
    """``code`` with each key replaced by its value; each must occur exactly once, so that the test follows
    the documentation when it changes."""
    for old, new in replacements.items():
        assert code.count(old) == 1, f"{old!r} occurs {code.count(old)} times in the snippet"
        code = code.replace(old, new)
    return code


def run_code(code: str, cwd: Path, timeout: float) -> subprocess.CompletedProcess[str]:
    """Runs ``code`` as a program of its own, warnings as errors; stdout and stderr apart."""
    return subprocess.run(
        [sys.executable, "-W", "error", "-c", code],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )
