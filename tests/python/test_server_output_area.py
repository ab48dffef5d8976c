"""The reference server's output area: an answer's block is never handed to another call while
its client may still be copying it out, and when no block is free the call gets an error
instead of someone else's data."""

from __future__ import annotations

import time
import uuid

import pytest

import child_process
import zelto_sdk
from platforms import local_endpoint

PAYLOAD = 200 * 1024


def region_server(start_reference_server, tmp_path, tensor_area: int) -> tuple[str, str]:
    region = "zelto-outputs-" + uuid.uuid4().hex[:8]
    path = local_endpoint(tmp_path)
    start_reference_server("--shm", region, "--hybrid", path, "--tensor-area", str(tensor_area))
    return region, path


# A process calling for `seconds` with payloads unique to it and to the call; prints its calls
# and how many answers were not its own.
WORKER = r"""
import os, sys, time, zelto_sdk
region, path, size, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
client = zelto_sdk.ZeltoHybridClient(region, path)
calls = wrong = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    data = (os.getpid().to_bytes(4, "little") + calls.to_bytes(4, "little")) * (size // 8)
    wrong += client.infer_bytes([len(data)], "uint8", data) != data
    calls += 1
print(calls, wrong)
"""


def test_processes_sharing_a_small_output_area_each_get_their_own_answers(
        start_reference_server, tmp_path):
    # Three connections each keep one 200 KiB answer: they fit in 1 MiB, but a ring of that
    # size overwrites answers that are still being copied out. (That tensor area has four input
    # slots of 256 KiB: one to spare.)
    region, path = region_server(start_reference_server, tmp_path, 1 << 20)
    workers = [child_process.ClientScript(WORKER, region, path, str(PAYLOAD), "2.5")
               for _ in range(3)]
    results = [worker.lines(timeout=60) for worker in workers]
    for lines in results:
        calls, wrong = map(int, lines[0].split())
        assert calls > 0
        assert wrong == 0


def test_a_connection_keeps_its_answer_until_its_next_request_or_close(
        start_reference_server, tmp_path):
    # The smallest output area (64 KiB) holds one 40 KiB answer at a time.
    region, path = region_server(start_reference_server, tmp_path, 1 << 16)
    data = bytes(range(256)) * 160
    holder = zelto_sdk.ZeltoHybridClient(region, path)
    other = zelto_sdk.ZeltoHybridClient(region, path)
    assert holder.infer_bytes([len(data)], "uint8", data) == data
    with pytest.raises(RuntimeError) as full:
        other.infer_bytes([len(data)], "uint8", data)
    assert full.value.args == ("output area full",)
    assert holder.infer_bytes([len(data)], "uint8", data) == data  # frees its own first
    del holder  # closes its connection; the server frees the block once it sees that
    deadline = time.monotonic() + 10
    while True:
        try:
            assert other.infer_bytes([len(data)], "uint8", data) == data
            break
        except RuntimeError as error:
            assert error.args == ("output area full",) and time.monotonic() < deadline
