"""How an environment fails, and the one reader of the engine's error texts.

The engine reports every failure as a ``RuntimeError`` or ``ValueError`` whose text has a fixed form;
``parse_engine_error`` turns it into an ``EngineFailure`` (kind, seq, fnId, message) once, so nothing else in
this package matches substrings of it.
"""

from __future__ import annotations

import errno
import re
from dataclasses import dataclass
from typing import Literal


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
    """No UI peer to talk to, or one that cannot be trusted: none connected in time, its process exited,
    it went away and stayed away, it answered a value no environment can use, or a command that changes
    the UI's state was cut off and is not sent again.

    ``log_tail`` holds the last lines of a peer this package launched ("" otherwise).
    """

    def __init__(self, message: str, log_tail: str = ""):
        super().__init__(message + (f"\nlast lines of the UI peer's log:\n{log_tail}" if log_tail else ""))
        self.message = message
        self.log_tail = log_tail

    def __reduce__(self):
        return type(self), (self.message, self.log_tail)


class PeerLost(PeerError):
    """The connection to the peer broke during a command (``failure`` says how). The command is not sent
    again: it may or may not have reached the peer. A step that meets this ends its episode truncated."""

    def __init__(self, message: str, failure: EngineFailure | None = None, log_tail: str = ""):
        super().__init__(message, log_tail)
        self.failure = failure

    def __reduce__(self):
        return type(self), (self.message, self.failure, self.log_tail)


Kind = Literal["transport", "rpc", "codec"]


@dataclass(frozen=True)
class EngineFailure:
    """One engine error text, read: ``kind`` is "transport" (no exchange took place or it broke), "rpc"
    (the peer answered with an error) or "codec" (an answer that does not decode, or an argument the
    engine refused). ``err`` and ``sub`` are the peer's codes of an "rpc" failure."""

    kind: Kind
    message: str
    seq: int | None = None
    fn_id: int | None = None
    err: int | None = None
    sub: int | None = None

    @property
    def wait_timed_out(self) -> bool:
        """``wait_connected`` gave up: no peer connected in its time."""
        return self.kind == "transport" and self.fn_id is None and self.message == "wait_connected timed out"

    @property
    def os_errno(self) -> int | None:
        """The operating system's error number a transport failure reports (" (os error N)"), if any."""
        found = _OS_ERROR.search(self.message) if self.kind == "transport" else None
        return int(found.group(1)) if found else None

    @property
    def address_in_use(self) -> bool:
        return self.os_errno == errno.EADDRINUSE


_TRANSPORT = re.compile(
    r"RpcTransportError\(seq=(?:None|Some\((\d+)\)), fnId=(?:None|Some\((\d+)\))\): (.*)", re.S
)
_RPC = re.compile(r"RpcError\(seq=(\d+), fnId=(\d+), err=(\d+), sub=(\d+)\): (.*)", re.S)
_OS_ERROR = re.compile(r" \(os error (\d+)\)$")


def parse_engine_error(error: BaseException) -> EngineFailure | None:
    """What an exception of an engine command says, or None for one the engine does not make this way
    (a ``TypeError`` of a bad argument, a ``MemoryError``, a bug in a hook)."""
    text = str(error)
    if isinstance(error, ValueError):
        return EngineFailure("codec", text)
    if not isinstance(error, RuntimeError) or isinstance(error, (EngineError, PeerError)):
        return None
    if found := _TRANSPORT.fullmatch(text):
        seq, fn_id, message = found.groups()
        return EngineFailure("transport", message, _int(seq), _int(fn_id))
    if found := _RPC.fullmatch(text):
        seq, fn_id, err, sub, message = found.groups()
        return EngineFailure("rpc", message, int(seq), int(fn_id), int(err), int(sub))
    return None


def _int(digits: str | None) -> int | None:
    return None if digits is None else int(digits)
