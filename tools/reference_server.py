"""Waiting for a child process that announces its listeners: zelto-reference-server, and the
benchmark's peers, print one "listening on KIND WHERE" line per listener and then "ready".

Shared by the tests (tests/python/conftest.py), the benchmark and the tools in this directory,
which also start the server through ReferenceServer.
"""

from __future__ import annotations

import os
import selectors
import signal
import subprocess


class NotReady(RuntimeError):
    """The child closed its output, or printed nothing for the whole timeout, before "ready".
    The message completes "<child> ...": the caller names the child and stops it."""


def wait_until_ready(process: subprocess.Popen, timeout: float) -> dict[str, str]:
    """Reads the child's stdout up to its "ready" line and returns where it listens, kind by
    kind. `timeout` bounds the wait for each chunk of output, not the whole start."""
    assert process.stdout is not None
    # Reads the pipe unbuffered: a buffered readline could swallow several lines at once and
    # leave select() waiting for output that has already arrived.
    fd = process.stdout.fileno()
    listening: dict[str, str] = {}
    pending = b""
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        while True:
            while b"\n" not in pending:
                if not selector.select(timeout):
                    raise NotReady("did not get ready")
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise NotReady("exited before it was ready")
                pending += chunk
            raw, pending = pending.split(b"\n", 1)
            line = raw.decode().strip()
            if line == "ready":
                return listening
            parts = line.split(" ", 3)
            if len(parts) == 4 and parts[:2] == ["listening", "on"]:
                listening[parts[2]] = parts[3]


class ReferenceServer:
    """zelto-reference-server started with `args`, ready when this returns; `listening` maps
    each listener kind ("tcp", "pipe", "hybrid") to where it listens. Its stderr is left to
    this process's."""

    def __init__(self, binary: str, *args: str, timeout: float = 60) -> None:
        self.process = subprocess.Popen([binary, *args], stdout=subprocess.PIPE)
        try:
            self.listening = wait_until_ready(self.process, timeout)
        except NotReady as error:
            self.stop()
            raise RuntimeError(f"reference server {error}") from None

    def stop(self) -> int:
        """Sends SIGTERM and returns the exit status (killed after 30 s)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()
