"""A private asyncio event loop running in one background thread: the synchronous facade's engine room."""

from __future__ import annotations

import asyncio
import threading
import time
from collections.abc import Coroutine
from typing import Any, TypeVar

T = TypeVar("T")

THREAD_NAME = "py_engine_rust_gym-loop"


class LoopThread:
    """Owns one event loop and the daemon thread that runs it.

    ``run`` may be called from any thread but this one; ``stop`` from any thread, once or more.
    """

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._main, name=THREAD_NAME, daemon=True)
        self._thread.start()

    def _main(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def run(self, coro: Coroutine[Any, Any, T]) -> T:
        """Runs ``coro`` on the loop and waits for its result; every engine wait inside it has a deadline."""
        if not self._thread.is_alive():
            coro.close()
            raise RuntimeError("the environment is closed")
        future = asyncio.run_coroutine_threadsafe(coro, self.loop)
        try:
            return future.result()
        except BaseException:
            # Interrupted (KeyboardInterrupt): the work must not go on behind the caller's back.
            future.cancel()
            raise

    def cpu_time(self) -> float:
        """CPU seconds the loop's thread has used so far."""
        return self.run(_thread_time())

    def stop(self) -> None:
        """Cancels what still runs on the loop, stops it and joins the thread."""
        if not self._thread.is_alive():
            return
        if threading.current_thread() is self._thread:
            raise RuntimeError("an environment cannot be closed from its own event loop")
        try:
            asyncio.run_coroutine_threadsafe(_cancel_others(), self.loop).result(timeout=10)
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
