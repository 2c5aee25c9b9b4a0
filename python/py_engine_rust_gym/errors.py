"""How an environment fails: a command the engine reports as failed, or a UI peer that is not there."""

from __future__ import annotations


class EngineError(RuntimeError):
    """An engine command failed; the message carries the engine's own text.

    ``command`` is the engine method that failed and ``engine_text`` what the engine said, for example
    ``RpcError(seq=5, fnId=21, err=3, sub=5): units (element 5) must be a whole number >= 1, got 0``.
    """

    def __init__(self, command: str, engine_text: str):
        super().__init__(f"{command} failed: {engine_text}")
        self.command = command
        self.engine_text = engine_text

    def __reduce__(self):
        # Rebuilt from its two fields, so it crosses process boundaries (Ray, multiprocessing) intact.
        return type(self), (self.command, self.engine_text)


class PeerError(RuntimeError):
    """No UI peer to talk to: none connected in time, its process exited, or it went away and stayed away.

    ``log_tail`` holds the last lines of a peer process this package launched ("" otherwise).
    """

    def __init__(self, message: str, log_tail: str = ""):
        super().__init__(message + (f"\nlast lines of the UI peer's log:\n{log_tail}" if log_tail else ""))
        self.message = message
        self.log_tail = log_tail

    def __reduce__(self):
        return type(self), (self.message, self.log_tail)
