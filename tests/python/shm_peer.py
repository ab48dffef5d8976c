"""A scripted shared-memory server for tests, running in its own process.

The extension module keeps the interpreter lock during a call, so the peer cannot be a thread of
the test process. The test creates a region (`Region`), starts the peer on it, queues the answers
it wants (`Peer.script`) and reads back every request entry the peer took together with the
input block it found (`Peer.next_request`). A request with no scripted answer is echoed.

The peer is the only consumer of the request queue and the only producer of the response queue,
so plain aligned 64-bit loads and stores of the index cells (through ctypes) are enough on its
side; the client uses compare-and-swap on its side.
"""

from __future__ import annotations

import ctypes
import mmap
import queue
import struct
import threading
import time
import uuid
from dataclasses import dataclass
from typing import Any

from peer_process import PeerProcess, block_bytes, remove_region
from platforms import create_region_file, region_path

MAGIC = 0x41494D4F
REQUEST_QUEUE = 64
RESPONSE_QUEUE = REQUEST_QUEUE + 1024 * 40
TENSOR_AREA = 94208
TENSOR_AREA_SIZE = 2 * 1024 * 1024
OUTPUT_AREA = TENSOR_AREA + TENSOR_AREA_SIZE
OUTPUT_AREA_SIZE = 1024 * 1024
REGION_SIZE = OUTPUT_AREA + OUTPUT_AREA_SIZE
CAPACITY = 1021
BLOCK_HEADER = 80


class Queue:
    """A view of one queue: index cells through ctypes, entries through the mmap."""

    def __init__(self, region: mmap.mmap, offset: int, entry_size: int) -> None:
        self.region, self.offset, self.entry_size = region, offset, entry_size
        self.tail = ctypes.c_uint64.from_buffer(region, offset)
        self.committed = ctypes.c_uint64.from_buffer(region, offset + entry_size)
        self.head = ctypes.c_uint64.from_buffer(region, offset + 2 * entry_size)

    def slot(self, index: int) -> int:
        return self.offset + (3 + index) * self.entry_size

    def pop(self) -> bytes | None:
        head = self.head.value
        if head == self.committed.value:
            return None
        at = self.slot(head)
        entry = bytes(self.region[at:at + self.entry_size])
        self.head.value = (head + 1) % CAPACITY
        return entry

    def push(self, entry: bytes) -> None:
        tail = self.tail.value
        while (tail + 1) % CAPACITY == self.head.value:
            time.sleep(0.0001)
        at = self.slot(tail)
        self.region[at:at + self.entry_size] = entry
        self.tail.value = (tail + 1) % CAPACITY
        self.committed.value = (tail + 1) % CAPACITY


class Region:
    """Region NAME laid out like the reference server's region; removed by remove()."""

    def __init__(self, size: int = REGION_SIZE, header: bytes | None = None) -> None:
        self.name = "zelto-shm-test-" + uuid.uuid4().hex[:12]
        self.path = create_region_file(self.name)
        with open(self.path, "wb") as f:
            f.truncate(size)
            f.write(header if header is not None else struct.pack(
                "<IIQQQQ", MAGIC, 1, REQUEST_QUEUE, RESPONSE_QUEUE, TENSOR_AREA, TENSOR_AREA_SIZE))

    def read(self, offset: int, size: int) -> bytes:
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(size)

    def write(self, offset: int, data: bytes) -> None:
        with open(self.path, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def cells(self, queue: int, entry_size: int) -> tuple[int, int, int]:
        """(tail, committed, head) of the queue at `queue`."""
        return tuple(struct.unpack("<Q", self.read(queue + i * entry_size, 8))[0]  # type: ignore
                     for i in range(3))

    def set_cells(self, queue: int, entry_size: int, tail: int, committed: int, head: int) -> None:
        for i, value in enumerate((tail, committed, head)):
            self.write(queue + i * entry_size, struct.pack("<Q", value))

    def remove(self) -> None:
        remove_region(self.name)


@dataclass
class Request:
    entry: bytes  # the 40-byte RequestEntry as taken from the queue
    block: bytes  # tensor_size bytes found at tensor_offset

    @property
    def request_id(self) -> int:
        return struct.unpack_from("<Q", self.entry, 0)[0]

    @property
    def timestamp_ns(self) -> int:
        return struct.unpack_from("<Q", self.entry, 16)[0]

    @property
    def tensor_offset(self) -> int:
        return struct.unpack_from("<Q", self.entry, 24)[0]


def response(request_id: int, status: int = 0, output_offset: int = 0, error_offset: int = 0) -> bytes:
    """A 48-byte ResponseEntry; the fields clients do not read are filled with junk."""
    return struct.pack("<QB7sQQQQ", request_id, status, b"\xee" * 7, 0x1111, output_offset,
                       0x2222, error_offset)


# Answers a test can script, one per request. {"write": [(offset, bytes), ...]} first writes
# those bytes into the region, then the first matching key of the others wins:
#   {"ignore": True}                    no answer at all
#   {"foreign": [ids]}                  answers for these ids first, then an echo
#   {"status": S, "text": B}            failure with an error text block holding B
#   {"status": S}                       failure with error_offset 0
#   {"offset": X}                       success naming output offset X, whatever lies there
#   {"nbytes": N}                       success with an output block that claims N data bytes
#   {"error_offset": X}                 failure naming error text offset X
# Anything else, or nothing scripted: echo (input block copied to the output area).


def _answer(region: mmap.mmap, responses: Queue, request_id: int, block: bytes, action: dict) -> None:
    for offset, data in action.get("write", []):
        region[offset:offset + len(data)] = data
    if action.get("ignore"):
        return
    for foreign in action.get("foreign", []):
        responses.push(response(foreign, 1, 0, 0))
    if "text" in action:
        text = action["text"]
        region[OUTPUT_AREA:OUTPUT_AREA + 8 + len(text)] = struct.pack("<Q", len(text)) + text
        responses.push(response(request_id, action["status"], 0, OUTPUT_AREA))
    elif "status" in action:
        responses.push(response(request_id, action["status"]))
    elif "offset" in action:
        responses.push(response(request_id, 0, action["offset"]))
    elif "nbytes" in action:
        region[OUTPUT_AREA:OUTPUT_AREA + BLOCK_HEADER] = block_bytes([1], 0, b"")[:72] + struct.pack(
            "<Q", action["nbytes"])
        responses.push(response(request_id, 0, OUTPUT_AREA))
    elif "error_offset" in action:
        responses.push(response(request_id, 1, 0, action["error_offset"]))
    else:
        (nbytes,) = struct.unpack_from("<Q", block, 72)
        out = block[:BLOCK_HEADER + nbytes]
        region[OUTPUT_AREA:OUTPUT_AREA + len(out)] = out
        responses.push(response(request_id, 0, OUTPUT_AREA))


def _serve(name: str, actions: Any, reports: Any, ready: Any) -> None:
    with open(region_path(name), "r+b") as f:
        region = mmap.mmap(f.fileno(), 0)
    requests = Queue(region, REQUEST_QUEUE, 40)
    responses = Queue(region, RESPONSE_QUEUE, 48)
    # Reports go out from a thread of their own: a test that does not read them must not block
    # the answers once the pipe's buffer is full.
    outbox: queue.SimpleQueue = queue.SimpleQueue()
    threading.Thread(target=lambda: [reports.send(outbox.get()) for _ in iter(int, 1)],
                     daemon=True).start()
    ready.set()
    while True:
        entry = requests.pop()
        if entry is None:
            time.sleep(0.0001)
            continue
        request_id, offset, size = struct.unpack_from("<Q16xQQ", entry)
        block = bytes(region[offset:offset + min(size, REGION_SIZE)])
        outbox.put((entry, block))
        action = actions.recv() if actions.poll() else {}
        _answer(region, responses, request_id, block, action)


class Peer(PeerProcess):
    """The peer process serving `region`; stop() ends it."""

    def __init__(self, region: Region) -> None:
        super().__init__(_serve, (region.name,), "shm peer")

    def next_request(self, timeout: float = 10) -> Request:
        return Request(*self.next_report(timeout))
