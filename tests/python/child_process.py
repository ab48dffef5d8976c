"""Clients run in child processes under a watchdog, so a call that hangs (a silent peer, a
regression in how waits end) fails the test after a generous time instead of holding up the run.

Two kinds of child:

- `Child` and `run`: a child running a function of the test module, forked (spawned on
  Windows, which has no fork: the function and its arguments are then pickled). It talks to
  the test over a pipe: `body(control, *args)` may send and receive on `control`; what it
  returns (or the repr of what it raised) is the child's result, and the child then waits for
  finish() before it exits, so the test can look at the peer while the child's descriptors are
  still open.
- `ClientScript` and `run_client_script`: a script in a fresh interpreter, for what a forked
  child cannot show: a process that starts clean (limits, signal handlers, its own fork()s), or
  several processes at once. Its output lines are its result.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import subprocess
import sys
from typing import Any, Callable

from platforms import WINDOWS

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
        context = multiprocessing.get_context("spawn" if WINDOWS else "fork")
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


class ClientScript:
    """`script` started with `args` in a fresh interpreter. It runs in a session of its own, so
    a script that hangs, or a child it forked, is killed with it by lines()."""

    def __init__(self, script: str, *args: str) -> None:
        self._process = subprocess.Popen([sys.executable, "-c", script, *args],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         text=True, start_new_session=True)

    def lines(self, timeout: float = 30) -> list[str]:
        """The lines the script printed, once it exited with status 0 within `timeout`."""
        try:
            out, err = self._process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            if WINDOWS:  # no sessions: the script alone is killed
                self._process.kill()
            else:
                os.killpg(self._process.pid, signal.SIGKILL)
            self._process.communicate()
            raise AssertionError(f"the client script did not end within {timeout} s") from None
        assert self._process.returncode == 0, err
        return out.splitlines()


def run_client_script(script: str, *args: str, timeout: float = 30) -> list[str]:
    """Runs `script` with `args` and returns the lines it printed."""
    return ClientScript(script, *args).lines(timeout)
