"""A client run in a forked child process under a watchdog.

A call that may hang (a silent peer, a regression in how waits end) runs in a child, so a hang
fails the test after a generous time instead of holding up the run. The child talks to the test
over a pipe: `body(control, *args)` may send and receive on `control`; what it returns (or the
repr of what it raised) is the child's result, and the child then waits for finish() before it
exits, so the test can look at the peer while the child's descriptors are still open.
"""

from __future__ import annotations

import multiprocessing
import os
from typing import Any, Callable

WATCHDOG_SECONDS = 20


def _run(control: Any, body: Callable[..., Any], args: tuple) -> None:
    try:
        result = body(control, *args)
    except BaseException as error:  # reported, not raised: the test asserts on it
        result = ("raised", repr(error))
    control.send(("result", result))
    try:
        control.recv()
    except EOFError:
        pass
    os._exit(0)  # no pytest teardown in the child


class Child:
    def __init__(self, body: Callable[..., Any], *args: Any) -> None:
        context = multiprocessing.get_context("fork")
        self.control, child_end = context.Pipe()
        self._process = context.Process(target=_run, args=(child_end, body, args), daemon=True)
        self._process.start()
        child_end.close()

    def receive(self) -> Any:
        """The next message from the child; the child is killed if none comes in time."""
        if not self.control.poll(WATCHDOG_SECONDS):
            self._process.kill()
            self._process.join()
            raise AssertionError(f"the child sent nothing within {WATCHDOG_SECONDS} s: hung")
        return self.control.recv()

    def result(self) -> Any:
        while True:
            message = self.receive()
            if message[0] == "result":
                return message[1]

    def finish(self) -> None:
        try:
            self.control.send("exit")
        except OSError:
            pass  # killed by the watchdog already
        self._process.join(WATCHDOG_SECONDS)
        if self._process.is_alive():
            self._process.kill()
            self._process.join()
            raise AssertionError("the child did not exit")


def run(body: Callable[..., Any], *args: Any) -> Any:
    """Runs body in a child and returns its result."""
    child = Child(body, *args)
    try:
        return child.result()
    finally:
        child.finish()
