"""The process side shared by the scripted peers.

A shared-memory or hybrid peer runs `serve(*args, actions, reports, ready)` in a spawned process:
it sets `ready` once it serves, takes one scripted answer from `actions` per request (when there
is one) and sends a report of every request it received on `reports`. The stream peers (socket
and hybrid) listen on a local endpoint with local_listener and read their requests with
recv_exact.
"""

from __future__ import annotations

import gc
import multiprocessing
import os
import socket
import struct
from typing import Any, Callable

from platforms import WINDOWS, region_path


def remove_region(name: str) -> None:
    """Removes region NAME's file and the object its clients share beside it, if they exist.
    Windows refuses to delete a file that is mapped: a client the test left in a reference cycle
    is collected first."""
    for path in (region_path(name), region_path(name + ".zelto-clients")):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        except PermissionError:
            gc.collect()
            os.unlink(path)


def local_listener(path: str) -> Any:
    """A listener on local endpoint `path`: a named pipe on Windows (named_pipes.PipeListener),
    a Unix-domain socket elsewhere."""
    if WINDOWS:
        from named_pipes import PipeListener

        return PipeListener(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(16)
    return listener


def close_abortively(conn: Any) -> None:
    """Closes a connection abortively. TCP sends a reset; a Unix-domain socket resets its client
    only when bytes it sent are left unread; a named pipe is disconnected, which drops what its
    client has not read yet."""
    if isinstance(conn, socket.socket):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
    else:
        conn.reset()


def recv_exact(conn: Any, n: int) -> bytes | None:
    """Exactly `n` bytes from `conn`, or None once the client has closed its end (a close with
    bytes left unread resets the connection: that counts as closed too)."""
    out = bytearray()
    while len(out) < n:
        try:
            chunk = conn.recv(n - len(out))
        except ConnectionResetError:
            return None
        if not chunk:
            return None
        out += chunk
    return bytes(out)


def block_bytes(shape: list[int], dtype_code: int, data: bytes) -> bytes:
    """A TensorBlock as the client must write it."""
    dims = list(shape) + [0] * (8 - len(shape))
    return struct.pack("<IB3x8qQ", len(shape), dtype_code, *dims, len(data)) + data


class PeerProcess:
    """Starts `serve` and waits until it serves; stop() ends it."""

    def __init__(self, serve: Callable[..., None], args: tuple, what: str) -> None:
        context = multiprocessing.get_context("spawn")
        self._actions, actions = context.Pipe()
        reports, self._reports = context.Pipe()
        ready = context.Event()
        self._process = context.Process(target=serve, args=(*args, actions, reports, ready),
                                        daemon=True)
        self._process.start()
        if not ready.wait(30):
            self.stop()
            raise RuntimeError(what + " did not start")

    def script(self, *actions: dict) -> None:
        for action in actions:
            self._actions.send(action)

    def next_report(self, timeout: float) -> Any:
        if not self._reports.poll(timeout):
            raise AssertionError("the peer received no request")
        return self._reports.recv()

    def pending_requests(self) -> int:
        count = 0
        while self._reports.poll(0):
            self._reports.recv()
            count += 1
        return count

    def stop(self) -> None:
        self._process.terminate()
        self._process.join(10)
