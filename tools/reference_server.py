"""Waiting for a child process that announces its listeners: zelto-reference-server, and the
benchmark's peers, print one "listening on KIND WHERE" line per listener and then "ready".

Shared by the tests (tests/python/conftest.py), the benchmark and the tools in this directory,
which also start the server through ReferenceServer.
"""

from __future__ import annotations

import queue
import signal
import subprocess
import sys
import threading

WINDOWS = sys.platform == "win32"


class NotReady(RuntimeError):
    """The child closed its output, or printed nothing for the whole timeout, before "ready".
    The message completes "<child> ...": the caller names the child and stops it."""


def _read_lines_until_ready(stream, lines: queue.Queue) -> None:
    """Hands each line over up to "ready", then None if the output ended before it."""
    while raw := stream.readline():
        line = (raw.decode() if isinstance(raw, bytes) else raw).strip()
        lines.put(line)
        if line == "ready":
            return
    lines.put(None)


def wait_until_ready(process: subprocess.Popen, timeout: float) -> dict[str, str]:
    """Reads the child's stdout up to its "ready" line and returns where it listens, kind by
    kind. `timeout` bounds the wait for each line, not the whole start."""
    assert process.stdout is not None
    # A thread reads, since waiting on a pipe with a time-out has no portable form (select()
    # takes only sockets on Windows); it stops at "ready", leaving the rest of the output to the
    # caller, or when the child's output ends.
    lines: queue.Queue = queue.Queue()
    threading.Thread(target=_read_lines_until_ready, args=(process.stdout, lines),
                     daemon=True).start()
    listening: dict[str, str] = {}
    while True:
        try:
            line = lines.get(timeout=timeout)
        except queue.Empty:
            raise NotReady("did not get ready") from None
        if line is None:
            raise NotReady("exited before it was ready")
        if line == "ready":
            return listening
        parts = line.split(" ", 3)
        if len(parts) == 4 and parts[:2] == ["listening", "on"]:
            listening[parts[2]] = parts[3]


def start_server(command: list[str], **popen_args) -> subprocess.Popen:
    """Starts the server with its standard input a pipe: closing it is how stop_server() asks
    the server to stop on Windows, where there is no SIGTERM to send to a process."""
    return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **popen_args)


def stop_server(process: subprocess.Popen) -> None:
    """Asks a server started by start_server() to stop cleanly: SIGTERM, or on Windows the end
    of its standard input."""
    if process.poll() is not None:
        return
    if WINDOWS:
        assert process.stdin is not None
        process.stdin.close()
    else:
        process.send_signal(signal.SIGTERM)


class ReferenceServer:
    """zelto-reference-server started with `args`, ready when this returns; `listening` maps
    each listener kind ("tcp", "pipe", "hybrid") to where it listens. Its stderr is left to
    this process's."""

    def __init__(self, binary: str, *args: str, timeout: float = 60) -> None:
        self.process = start_server([binary, *args])
        try:
            self.listening = wait_until_ready(self.process, timeout)
        except NotReady as error:
            self.stop()
            raise RuntimeError(f"reference server {error}") from None

    def stop(self) -> int:
        """Asks the server to stop and returns the exit status (killed after 30 s)."""
        stop_server(self.process)
        try:
            return self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()
