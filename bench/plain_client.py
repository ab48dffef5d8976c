"""The same three protocols written by hand with the standard library only (socket, struct, mmap):
what a user without zelto_sdk would write. Each client's `infer` returns the output bytes as a list
of ints, like zelto_sdk's, and its `infer_bytes` returns them as a bytes object, like zelto_sdk's
`infer_bytes`, made the cheapest way the standard library offers: a large socket answer is received
straight into the bytes object (`recv(n, MSG_WAITALL)`), a small one is received whole and its data
sliced out (one short copy instead of several system calls), and a shared-memory answer is copied
out of the region once (an mmap slice).

The shared-memory clients assume they are the only client of the region: they push requests and
pop responses with plain aligned 64-bit stores of the index cells instead of compare-and-swap
(Python has no atomic compare-and-swap), which is sound with a single producer on the request
queue and a single consumer on the response queue. Index cells are packed with the native
format "Q" because struct's standard sizes ("<Q") are written byte by byte, and a consumer could
see half of a store.
"""

from __future__ import annotations

import mmap
import os
import socket
import struct
import time

CAPACITY = 1021
BLOCK_HEADER = 80
REQUEST_ENTRY = 40
RESPONSE_ENTRY = 48

_FRAME = struct.Struct("<III")
_RESPONSE_HEADER = struct.Struct("<II")
_U64 = struct.Struct("<Q")
_CELL = struct.Struct("Q")  # native: one 8-byte store (x86-64 and arm64 are little-endian)
_BLOCK_HEAD = struct.Struct("<IB3x8qQ")
_REQUEST = struct.Struct("<QIBB2xQQQ")
_HYBRID_FRAME = struct.Struct("<IIIQIBB2xQQQ")
# base64 absent, no additional inputs, no session id, no options
_REQUEST_TAIL = b"\x00" + b"\x00" * 8 + b"\x00" + b"\x00"


def _recv_exact(sock: socket.socket, size: int) -> bytearray:
    buffer = bytearray(size)
    view = memoryview(buffer)
    got = 0
    while got < size:
        n = sock.recv_into(view[got:])
        if n == 0:
            raise ConnectionError("the server closed the connection")
        got += n
    return buffer


class SocketClient:
    """The socket protocol over TCP ("host:port") or a Unix socket (a path)."""

    def __init__(self, where: str) -> None:
        if where.startswith("/"):
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(where)
        else:
            host, port = where.rsplit(":", 1)
            self.sock = socket.create_connection((host, int(port)))
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def close(self) -> None:
        self.sock.close()

    def infer(self, model_id: int, shape: list[int], dtype: str, data: bytes) -> list[int]:
        self._send(model_id, shape, dtype, data)
        status, size = _RESPONSE_HEADER.unpack(_recv_exact(self.sock, 8))
        payload = _recv_exact(self.sock, size)
        if status != 0:
            raise RuntimeError(payload.decode("utf-8", "replace"))
        return list(_payload_data(payload))

    def infer_bytes(self, model_id: int, shape: list[int], dtype: str, data: bytes) -> bytes:
        self._send(model_id, shape, dtype, data)
        status, size = _RESPONSE_HEADER.unpack(_recv_exact(self.sock, 8))
        if status != 0:
            raise RuntimeError(_recv_exact(self.sock, size).decode("utf-8", "replace"))
        if size <= _WHOLE_PAYLOAD:
            return bytes(_payload_data(_recv_exact(self.sock, size)))
        # The tensor's header piece by piece, so that its data can be received into a bytes
        # object of its own: shape, dtype text, data tag and length.
        (ndim,) = _U64.unpack(_recv_exact(self.sock, 8))
        (text,) = _U64.unpack_from(_recv_exact(self.sock, 8 * ndim + 8), 8 * ndim)
        head = _recv_exact(self.sock, text + 9)
        if head[text] != 1:
            raise RuntimeError("payload carries no raw data")
        (n,) = _U64.unpack_from(head, text + 1)
        rest = size - (8 + 8 * ndim + 8 + text + 9 + n)
        if rest < 0:
            raise RuntimeError("short payload")
        out = self.sock.recv(n, socket.MSG_WAITALL) if n else b""
        if len(out) < n:  # a signal or a closed connection ended the wait early
            out += bytes(_recv_exact(self.sock, n - len(out)))
        _recv_exact(self.sock, rest)  # the base64 tag after the data
        return out

    def _send(self, model_id: int, shape: list[int], dtype: str, data: bytes) -> None:
        name = dtype.encode()
        body_head = struct.pack(f"<Q{len(shape)}qQ{len(name)}sBQ", len(shape), *shape, len(name),
                                name, 1, len(data))
        length = len(body_head) + len(data) + len(_REQUEST_TAIL)
        self.sock.sendall(_FRAME.pack(model_id, 1, length) + body_head + data + _REQUEST_TAIL)


# Socket answers up to this size are received in one piece and their data copied out.
_WHOLE_PAYLOAD = 64 * 1024


def _payload_data(payload: bytearray) -> memoryview:
    """The raw data of a tensor payload (shape, dtype text, data tag and bytes, base64 tag)."""
    (ndim,) = _U64.unpack_from(payload, 0)
    at = 8 + 8 * ndim
    (text,) = _U64.unpack_from(payload, at)
    at += 8 + text
    if payload[at] != 1:
        raise RuntimeError("payload carries no raw data")
    (n,) = _U64.unpack_from(payload, at + 1)
    at += 9
    if at + n > len(payload):
        raise RuntimeError("short payload")
    return memoryview(payload)[at:at + n]


class _Region:
    """The server's region mapped whole; the client's blocks go at the start of its tensor area."""

    def __init__(self, name: str) -> None:
        fd = os.open("/dev/shm/" + name.lstrip("/"), os.O_RDWR)
        try:
            self.map = mmap.mmap(fd, 0)
        finally:
            os.close(fd)
        magic, version, self.requests, self.responses, self.slot, _ = struct.unpack_from(
            "<IIQQQQ", self.map, 0)
        if magic != 0x41494D4F or version != 1:
            raise ConnectionError("not a zelto region")
        self.next_id = 1

    def cell(self, queue: int, entry: int, index: int) -> int:
        return _CELL.unpack_from(self.map, queue + index * entry)[0]

    def set_cell(self, queue: int, entry: int, index: int, value: int) -> None:
        _CELL.pack_into(self.map, queue + index * entry, value)

    def write_block(self, shape: list[int], data: bytes) -> tuple[int, int]:
        dims = list(shape) + [0] * (8 - len(shape))
        _BLOCK_HEAD.pack_into(self.map, self.slot, len(shape), 0, *dims, len(data))
        start = self.slot + BLOCK_HEADER
        self.map[start:start + len(data)] = data
        return self.slot, BLOCK_HEADER + len(data)

    def read_block(self, offset: int) -> list[int]:
        (n,) = _U64.unpack_from(self.map, offset + 72)
        start = offset + BLOCK_HEADER
        return list(self.map[start:start + n])

    def read_block_bytes(self, offset: int) -> bytes:
        (n,) = _U64.unpack_from(self.map, offset + 72)
        start = offset + BLOCK_HEADER
        return self.map[start:start + n]  # an mmap slice is a new bytes object

    def push_request(self, entry: bytes) -> None:
        tail = self.cell(self.requests, REQUEST_ENTRY, 0)
        following = (tail + 1) % CAPACITY
        if following == self.cell(self.requests, REQUEST_ENTRY, 2):
            raise RuntimeError("Queue is full")
        at = self.requests + (3 + tail) * REQUEST_ENTRY
        self.map[at:at + REQUEST_ENTRY] = entry
        self.set_cell(self.requests, REQUEST_ENTRY, 0, following)
        self.set_cell(self.requests, REQUEST_ENTRY, 1, following)

    def pop_response(self) -> bytes | None:
        head = self.cell(self.responses, RESPONSE_ENTRY, 2)
        if head == self.cell(self.responses, RESPONSE_ENTRY, 1):
            return None
        at = self.responses + (3 + head) * RESPONSE_ENTRY
        entry = self.map[at:at + RESPONSE_ENTRY]
        self.set_cell(self.responses, RESPONSE_ENTRY, 2, (head + 1) % CAPACITY)
        return entry


class ShmClient:
    """The request and response queues of a region, waiting by spinning on the response queue."""

    def __init__(self, name: str) -> None:
        self.region = _Region(name)

    def infer(self, shape: list[int], dtype: str, data: bytes) -> list[int]:
        return self.region.read_block(self._exchange(shape, data))

    def infer_bytes(self, shape: list[int], dtype: str, data: bytes) -> bytes:
        return self.region.read_block_bytes(self._exchange(shape, data))

    def _exchange(self, shape: list[int], data: bytes) -> int:
        """Sends one request and waits for its answer; returns the output block's offset. The
        dtype is not sent: the server reads element code 0 for uint8."""
        region = self.region
        request_id = region.next_id
        region.next_id += 1
        offset, size = region.write_block(shape, data)
        region.push_request(_REQUEST.pack(request_id, 0, 0, 0, time.time_ns(), offset, size))
        while True:
            entry = region.pop_response()
            if entry is None:
                continue
            got_id, status = struct.unpack_from("<QB", entry)
            if got_id != request_id:
                continue
            if status != 0:
                raise RuntimeError("the server refused the request")
            return _U64.unpack_from(entry, 24)[0]


class HybridClient:
    """Tensor blocks in the region, the 52-byte control frame over a Unix socket."""

    def __init__(self, name: str, path: str) -> None:
        self.region = _Region(name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)

    def close(self) -> None:
        self.sock.close()

    def infer(self, shape: list[int], dtype: str, data: bytes) -> list[int]:
        return self.region.read_block(self._exchange(shape, data))

    def infer_bytes(self, shape: list[int], dtype: str, data: bytes) -> bytes:
        return self.region.read_block_bytes(self._exchange(shape, data))

    def _exchange(self, shape: list[int], data: bytes) -> int:
        """Sends one request and waits for its answer; returns the output block's offset."""
        region = self.region
        request_id = region.next_id
        region.next_id += 1
        offset, size = region.write_block(shape, data)
        self.sock.sendall(_HYBRID_FRAME.pack(0, 4, 40, request_id, 0, 0, 0, time.time_ns(), offset,
                                             size))
        status, length = _RESPONSE_HEADER.unpack(_recv_exact(self.sock, 8))
        payload = _recv_exact(self.sock, length)
        if status != 0:
            raise RuntimeError(payload.decode("utf-8", "replace"))
        return _U64.unpack_from(payload, 24)[0]
