"""A scripted hybrid server for tests, running in its own process.

The extension module keeps the interpreter lock during a call, so the peer cannot be a thread of
the test process. The test creates a shared region, starts the peer on a local endpoint, queues the
answers it wants (`Peer.script`) and reads back every request frame the peer received together
with the input block it found in the region (`Peer.next_request`). A request with no scripted
answer is echoed: the input data is copied into an output block in the peer's output area.
"""

from __future__ import annotations

import contextlib
import os
import queue
import socket
import struct
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import Any

# block_bytes and remove_region are imported from here by the tests
from peer_process import (PeerProcess, block_bytes, local_listener, recv_exact,  # noqa: F401
                          remove_region)
from platforms import WINDOWS, create_region_file, local_endpoint, region_path
from socket_peer import response

MAGIC = 0x41494D4F
REQUEST_QUEUE = 4096
RESPONSE_QUEUE = REQUEST_QUEUE + 1024 * 40
TENSOR_AREA = 0x20000
TENSOR_AREA_SIZE = 2 * 1024 * 1024
OUTPUT_AREA = TENSOR_AREA + TENSOR_AREA_SIZE
OUTPUT_SLOT = 256 * 1024
OUTPUT_SLOTS = 4
REGION_SIZE = OUTPUT_AREA + OUTPUT_SLOT * OUTPUT_SLOTS
BLOCK_HEADER = 80


def create_region(name: str) -> None:
    """Creates region NAME with a valid header, empty queues and a 2 MiB tensor area."""
    with open(create_region_file(name), "wb") as f:
        f.truncate(REGION_SIZE)
        f.write(struct.pack("<IIQQQQ", MAGIC, 1, REQUEST_QUEUE, RESPONSE_QUEUE, TENSOR_AREA,
                            TENSOR_AREA_SIZE))


def write_block(region_name: str, offset: int, data: bytes, nbytes: int | None = None) -> None:
    """Writes an output block at `offset`; `nbytes` may lie about the data length."""
    with open(region_path(region_name), "r+b") as f:
        f.seek(offset)
        f.write(struct.pack("<IB3x8qQ", 1, 0, len(data), *[0] * 7,
                            len(data) if nbytes is None else nbytes) + data)


@dataclass
class Request:
    frame: bytes  # the 52 bytes as received
    block: bytes  # shm_size bytes found at shm_offset

    @property
    def request_id(self) -> int:
        return struct.unpack_from("<Q", self.frame, 12)[0]

    @property
    def timestamp_ns(self) -> int:
        return struct.unpack_from("<Q", self.frame, 28)[0]

    @property
    def shm_offset(self) -> int:
        return struct.unpack_from("<Q", self.frame, 36)[0]

    @property
    def shm_size(self) -> int:
        return struct.unpack_from("<Q", self.frame, 44)[0]


# Answers a test can script, one per request:
#   {"echo": True, "extra": N}   echo, with N bytes after the 40-byte HybridResponse
#   {"echo": True, "id": I}      echo, but the answer's metadata names request id I
#   {"silent": True}             no answer; the connection stays open until the client ends it
#   {"echo": True, "delay": S}   echo after S seconds (the client has long parked by then)
#   {"status": S, "payload": B}  a frame with that status and payload
#   {"offset": X}                status 0 naming output offset X, whatever lies there
#   {"raw": B}                   these bytes, then the connection is closed
#   {"raw": B, "reset": True}    the same, but the request's last byte is left unread, so the
#                                close resets the connection instead of ending it


def _hybrid_response(request_id: int, offset: int, extra: int = 0) -> bytes:
    metadata = struct.pack("<Q", request_id) + b"\xee" * 16
    return response(0, metadata + struct.pack("<QQ", offset, 0x7777) + b"\x55" * extra)


def _serve(path: str, region_name: str, actions: Any, reports: Any, ready: Any) -> None:
    region = open(region_path(region_name), "r+b", buffering=0)
    listener = local_listener(path)
    lock = threading.Lock()
    counter = [0]
    # The test reads reports only between calls, so a report larger than the pipe's buffer
    # must not hold up the answer: a thread of its own sends them.
    outbox: queue.Queue = queue.Queue()

    def send_reports() -> None:
        while True:
            reports.send(outbox.get())

    threading.Thread(target=send_reports, daemon=True).start()

    def read_region(offset: int, size: int) -> bytes:
        with lock:
            region.seek(offset)
            return region.read(size)

    def echo(request_id: int, block: bytes, extra: int) -> bytes:
        (nbytes,) = struct.unpack_from("<Q", block, 72)
        with lock:
            offset = OUTPUT_AREA + OUTPUT_SLOT * (counter[0] % OUTPUT_SLOTS)
            counter[0] += 1
            region.seek(offset)
            region.write(block[:BLOCK_HEADER] + block[BLOCK_HEADER:BLOCK_HEADER + nbytes])
        return _hybrid_response(request_id, offset, extra)

    def handle(conn: Any) -> None:
        # A client that gave up on its connection shuts it down: an answer sent then fails.
        with conn, contextlib.suppress(OSError):
            while True:
                # The last byte stays unread until the action is known (see "reset").
                head = recv_exact(conn, 51)
                last = conn.recv(1, socket.MSG_PEEK) if head is not None else b""
                if head is None or not last:
                    return
                frame = head + last
                (request_id,) = struct.unpack_from("<Q", frame, 12)
                offset, size = struct.unpack_from("<QQ", frame, 36)
                block = read_region(offset, min(size, REGION_SIZE))
                with lock:
                    outbox.put((frame, block))
                    action = actions.recv() if actions.poll() else {"echo": True}
                if not action.get("reset"):
                    conn.recv(1)
                if "raw" in action:
                    conn.sendall(action["raw"])
                    return
                time.sleep(action.get("delay", 0))
                if "silent" in action:
                    while conn.recv(4096):
                        pass
                    return
                if "status" in action:
                    conn.sendall(response(action["status"], action["payload"]))
                elif "offset" in action:
                    conn.sendall(_hybrid_response(request_id, action["offset"]))
                else:
                    conn.sendall(echo(action.get("id", request_id), block, action.get("extra", 0)))

    ready.set()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


class Peer(PeerProcess):
    """The peer process; stop() ends it and removes its socket file, if any."""

    def __init__(self, region_name: str, path: str | None = None) -> None:
        self.path = path or local_endpoint(tempfile.gettempdir())
        super().__init__(_serve, (self.path, region_name), "hybrid peer")

    def next_request(self, timeout: float = 10) -> Request:
        return Request(*self.next_report(timeout))

    def stop(self) -> None:
        super().stop()
        if not WINDOWS:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path)
