"""A shared-memory server that answers every request after a fixed delay (echo), for measuring
what a client costs while it waits for a slow answer.

    python slow_peer.py NAME DELAY_MS

creates the region /dev/shm/NAME laid out like the reference server's, prints "ready", and then
for each request prints "published ID NS": the request id and the CLOCK_MONOTONIC time right
after its response was published, so the client's wake-up delay can be measured against it.
Stops (and removes the region) when stdin closes.

It is the only consumer of the request queue and the only producer of the response queue, so
plain aligned 64-bit stores of the index cells suffice on its side (native "Q": one store).
"""

from __future__ import annotations

import mmap
import os
import struct
import sys
import threading
import time

MAGIC = 0x41494D4F
CAPACITY = 1021
REQUEST_QUEUE = 64
RESPONSE_QUEUE = REQUEST_QUEUE + 1024 * 40
TENSOR_AREA = 94208
TENSOR_AREA_SIZE = 1 << 20
OUTPUT_AREA = TENSOR_AREA + TENSOR_AREA_SIZE
REGION_SIZE = OUTPUT_AREA + TENSOR_AREA_SIZE
CELL = struct.Struct("Q")


class Queue:
    def __init__(self, region: mmap.mmap, offset: int, entry: int) -> None:
        self.region, self.offset, self.entry = region, offset, entry

    def cell(self, index: int) -> int:
        return CELL.unpack_from(self.region, self.offset + index * self.entry)[0]

    def set_cell(self, index: int, value: int) -> None:
        CELL.pack_into(self.region, self.offset + index * self.entry, value)

    def pop(self) -> bytes | None:
        head = self.cell(2)
        if head == self.cell(1):
            return None
        at = self.offset + (3 + head) * self.entry
        entry = self.region[at:at + self.entry]
        self.set_cell(2, (head + 1) % CAPACITY)
        return entry

    def push(self, entry: bytes) -> None:
        tail = self.cell(0)
        at = self.offset + (3 + tail) * self.entry
        self.region[at:at + self.entry] = entry
        self.set_cell(0, (tail + 1) % CAPACITY)
        self.set_cell(1, (tail + 1) % CAPACITY)


def main() -> None:
    name, delay_ns = sys.argv[1], int(float(sys.argv[2]) * 1_000_000)
    path = "/dev/shm/" + name
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        os.ftruncate(fd, REGION_SIZE)
        region = mmap.mmap(fd, REGION_SIZE)
    finally:
        os.close(fd)
    struct.pack_into("<IIQQQQ", region, 0, MAGIC, 1, REQUEST_QUEUE, RESPONSE_QUEUE, TENSOR_AREA,
                     TENSOR_AREA_SIZE)
    requests = Queue(region, REQUEST_QUEUE, 40)
    responses = Queue(region, RESPONSE_QUEUE, 48)
    stop = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    print("ready", flush=True)
    try:
        while not stop.is_set():
            entry = requests.pop()
            if entry is None:
                time.sleep(0.0001)
                continue
            seen = time.monotonic_ns()
            request_id, offset, size = struct.unpack_from("<Q16xQQ", entry)
            (nbytes,) = struct.unpack_from("<Q", region, offset + 72)
            block = region[offset:offset + min(size, 80 + nbytes)]
            region[OUTPUT_AREA:OUTPUT_AREA + len(block)] = block
            # Sleep most of the delay, then spin the rest so the answer leaves on time.
            while time.monotonic_ns() < seen + delay_ns - 2_000_000:
                time.sleep(0.001)
            while time.monotonic_ns() < seen + delay_ns:
                pass
            responses.push(struct.pack("<QB7xQQQQ", request_id, 0, 0, OUTPUT_AREA, 0, 0))
            print(f"published {request_id} {time.monotonic_ns()}", flush=True)
    finally:
        region.close()
        os.unlink(path)


if __name__ == "__main__":
    main()
