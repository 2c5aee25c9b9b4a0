"""A plain-text progress bar for the examples: steps done, steps per second and a note."""

from __future__ import annotations

import sys
import time


class Progress:
    """On stderr: redrawn in place on a terminal, a line every 10 % otherwise (logs, pipes)."""

    def __init__(self, total: int, enabled: bool = True, width: int = 30, unit: str = "steps"):
        self.total = max(1, total)
        self.done = 0
        self.width = width
        self.unit = unit
        self.enabled = enabled
        self.tty = sys.stderr.isatty()
        self.t0 = time.perf_counter()
        self._last_decile = -1

    def update(self, n: int, note: str) -> None:
        self.done += n
        if not self.enabled:
            return
        frac = min(1.0, self.done / self.total)
        filled = int(round(frac * self.width))
        elapsed = time.perf_counter() - self.t0
        rate = self.done / elapsed if elapsed > 0 else 0.0
        line = (f"[{'#' * filled}{'.' * (self.width - filled)}] {self.done:>5}/{self.total} {self.unit} "
                f"{rate:7.0f}/s  {note}")
        if self.tty:
            sys.stderr.write("\r" + line + "\033[K")
            sys.stderr.flush()
        else:
            decile = int(frac * 10)
            if decile != self._last_decile:
                self._last_decile = decile
                sys.stderr.write(line + "\n")
                sys.stderr.flush()

    def close(self) -> None:
        if self.enabled and self.tty:
            sys.stderr.write("\n")
            sys.stderr.flush()
