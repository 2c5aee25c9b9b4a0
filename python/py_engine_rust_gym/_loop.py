"""A private asyncio event loop running in one background thread: the synchronous facade's engine room."""

from __future__ import annotations

import asyncio
import threading
import time
from collections.abc import Coroutine
from typing import Any, TypeVar

from gymnasium.error import ClosedEnvironmentError

T = TypeVar("T")

THREAD_NAME = "py_engine_rust_gym-loop"
# Stopping waits this long for the loop's remaining work to see its cancellation.
_STOP_SECS = 10.0

REENTERED = (
    "{what} was called from the environment's own event loop, where its hooks run, so it would wait for "
    "itself for ever; in a hook, await session.call(name, ...) instead"
)


class LoopThread:
    """Owns one event loop and the daemon thread that runs it.

    ``run`` may be called from any thread but the loop's own; ``stop`` from any thread, once or more.
    """

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._main, name=THREAD_NAME, daemon=True)
        self._thread.start()

    def on_loop_thread(self) -> bool:
        return threading.current_thread() is self._thread

    def _main(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def run(self, coro: Coroutine[Any, Any, T], what: str = "the environment") -> T:
        """Runs ``coro`` on the loop and waits for its result; every engine wait inside it has a deadline.

        ``what`` names the caller's method in the errors: ``ClosedEnvironmentError`` after ``stop``, and
        ``RuntimeError`` when called from the loop's own thread (a hook calling back into its environment).
        """
        if threading.current_thread() is self._thread:
            coro.close()
            raise RuntimeError(REENTERED.format(what=what))
        if not self._thread.is_alive():
            coro.close()
            raise ClosedEnvironmentError(f"{what} was called after the environment was closed")
        future = asyncio.run_coroutine_threadsafe(coro, self.loop)
        try:
            return future.result()
        except BaseException:
            # Interrupted (KeyboardInterrupt): the work must not go on behind the caller's back.
            future.cancel()
            raise

    def cpu_time(self) -> float:
        """CPU seconds the loop's thread has used so far."""
        return self.run(_thread_time(), "loop_cpu_time()")

    def stop(self) -> None:
        """Cancels what still runs on the loop, stops it and joins the thread."""
        if not self._thread.is_alive():
            return
        if threading.current_thread() is self._thread:
            raise RuntimeError(REENTERED.format(what="close()"))
        try:
            asyncio.run_coroutine_threadsafe(_cancel_others(), self.loop).result(timeout=_STOP_SECS)
        finally:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join()
            self.loop.close()


async def _thread_time() -> float:
    return time.thread_time()


async def _cancel_others() -> None:
    me = asyncio.current_task()
    tasks = [t for t in asyncio.all_tasks() if t is not me]
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
