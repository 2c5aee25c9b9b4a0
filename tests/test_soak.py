"""The soak and fault run of tools/soak.py at a reduced scale (the full scale is its default; see
docs/reliability.md). It runs in a process of its own, so its descriptor and memory figures are its own."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

from support import under_address_sanitizer

TOOL = Path(__file__).resolve().parent.parent / "tools" / "soak.py"
CALLS, RECONNECTS, CANCELS = 5000, 100, 300


def test_soak_at_reduced_scale():
    # AddressSanitizer keeps freed memory resident on purpose, so resident size says nothing there.
    rss_slack = -1 if under_address_sanitizer() else 16
    args = ["--calls", str(CALLS), "--reconnects", str(RECONNECTS), "--cancels", str(CANCELS),
            "--time-limit", "150", "--rss-slack", str(rss_slack)]
    proc = subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True, timeout=240,
                          stdin=subprocess.DEVNULL)
    figures = json.loads(proc.stdout)
    assert figures["faults"] == [] and proc.returncode == 0, (figures, proc.stderr[-3000:])

    outcomes = figures["outcomes"]
    # Where nothing went wrong, every call got its own answer.
    assert outcomes["sequential"] == {"own answer": CALLS}
    assert outcomes["after reconnect"] == {"own answer": RECONNECTS}
    assert set(outcomes["cancels: good"]) == {"own answer"}
    assert set(outcomes["cancels: cancelled"]) <= {"cancelled", "own answer"}
    assert sum(outcomes["cancels: cancelled"].values()) == CANCELS
    # Under reconnects, calls also ended with the engine's transport errors, and most still got through.
    reconnects = outcomes["reconnects"]
    assert set(reconnects) - {"own answer"} <= {
        k for k in reconnects if k.startswith(("error: no websocket connected", "error: connection missing",
                                               "error: websocket closed", "error: websocket recv failed: ",
                                               "error: websocket send failed: ", "error: timeout waiting response"))
    }
    assert reconnects["own answer"] > sum(reconnects.values()) // 2
    assert figures["drop_ways"] == {w: RECONNECTS // 4 for w in ("reset", "close", "fin", "replace")}
    assert figures["fds_after"] <= figures["fds_before"]
