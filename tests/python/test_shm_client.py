"""ZeltoShmClient against a scripted shared-memory peer and the reference server."""

from __future__ import annotations

import logging
import os
import signal
import struct
import time
import uuid
from collections.abc import Iterator

import pytest

import zelto_sdk
from platforms import posix_only, region_path
from shm_peer import (OUTPUT_AREA, REGION_SIZE, REQUEST_QUEUE, RESPONSE_QUEUE, TENSOR_AREA,
                      TENSOR_AREA_SIZE, Peer, Region, block_bytes)

POOL_LAYOUT = ("class0(base=94208 slot_size=262144 slots=4), "
               "class1(base=1142784 slot_size=1048576 slots=1)")
# Only the single 1 MiB slot holds this much, so a call that gets past the pool shows that the
# slot of the call before was released.
ONE_SLOT_ONLY = bytes(900 * 1024)


@pytest.fixture
def region() -> Iterator[Region]:
    r = Region()
    yield r
    r.remove()


@pytest.fixture
def peer(region: Region) -> Iterator[Peer]:
    p = Peer(region)
    yield p
    p.stop()


def request_cells(region: Region) -> tuple[int, int, int]:
    return region.cells(REQUEST_QUEUE, 40)


class TestAttach:
    def test_missing_region(self) -> None:
        with pytest.raises(ConnectionError) as info:
            zelto_sdk.ZeltoShmClient("zelto-no-such-region-" + uuid.uuid4().hex)
        assert info.value.args == ("Shared memory error: Opening the shared memory failed, os error 2",)

    @pytest.mark.parametrize("header, message", [
        (struct.pack("<IIQQQQ", 0x41494D4E, 2, REQUEST_QUEUE, RESPONSE_QUEUE, 0, 0),
         "Invalid magic number in shared memory"),
        (struct.pack("<IIQQQQ", 0x41494D4F, 2, REQUEST_QUEUE, RESPONSE_QUEUE, 0, 0),
         "Shared memory version mismatch"),
        (struct.pack("<IIQQQQ", 0x41494D4F, 1, REQUEST_QUEUE, RESPONSE_QUEUE, TENSOR_AREA, 2**64 - 1),
         f"Shared memory error: region layout does not fit in {REGION_SIZE} bytes"),
        (struct.pack("<IIQQQQ", 0x41494D4F, 1, REGION_SIZE - 40960 + 8, RESPONSE_QUEUE, 0, 0),
         f"Shared memory error: region layout does not fit in {REGION_SIZE} bytes"),
    ], ids=["magic", "version", "tensor_area", "request_queue"])
    def test_bad_header(self, header: bytes, message: str) -> None:
        r = Region(header=header)
        try:
            with pytest.raises(ConnectionError) as info:
                zelto_sdk.ZeltoShmClient(r.name)
            assert info.value.args == (message,)
        finally:
            r.remove()

    def test_attach_record_goes_to_python_logging(self, region: Region,
                                                  caplog: pytest.LogCaptureFixture) -> None:
        with caplog.at_level(logging.WARNING, logger="zelto_shm::memory"):
            zelto_sdk.ZeltoShmClient(region.name)
        assert caplog.records == []
        with caplog.at_level(logging.INFO, logger="zelto_shm::memory"):
            zelto_sdk.ZeltoShmClient(region.name)
        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            ("zelto_shm::memory", logging.INFO,
             f"Connected to shared memory region '{region.name}' of size {REGION_SIZE} bytes")]


class TestRequests:
    def test_entry_and_block_bytes(self, region: Region, peer: Peer) -> None:
        client = zelto_sdk.ZeltoShmClient(region.name)
        before = time.time_ns()
        assert client.infer([2, 5], "Int64", bytes(range(10))) == list(range(10))
        assert client.infer([], "FP64", b"") == []
        after = time.time_ns()

        first, second = peer.next_request(), peer.next_request()
        for request, request_id, size in ((first, 1, 90), (second, 2, 80)):
            assert before <= request.timestamp_ns <= after
            assert TENSOR_AREA <= request.tensor_offset < TENSOR_AREA + TENSOR_AREA_SIZE
            assert request.entry == struct.pack("<QI2B2xQQQ", request_id, 0, 0, 0,
                                                request.timestamp_ns, request.tensor_offset, size)
        assert first.block == block_bytes([2, 5], 3, bytes(range(10)))
        assert second.block == block_bytes([], 1, b"")

    @pytest.mark.parametrize("dtype, code", [("float32", 0), ("float64", 1), ("int32", 2),
                                             ("i64", 3), ("float16", 0), ("uint8", 0), ("utf8", 0)])
    def test_dtype_codes(self, region: Region, peer: Peer, dtype: str, code: int) -> None:
        zelto_sdk.ZeltoShmClient(region.name).infer([1], dtype, b"\x01")
        assert peer.next_request().block == block_bytes([1], code, b"\x01")

    def test_refused_calls_use_up_ids_and_queue_nothing(self, region: Region, peer: Peer) -> None:
        client = zelto_sdk.ZeltoShmClient(region.name)
        with pytest.raises(ValueError) as info:
            client.infer([1] * 9, "float32", b"")
        assert info.value.args == ("Invalid input: tensor has 9 dimensions, at most 8 are supported",)
        with pytest.raises(ValueError) as info:
            client.infer([1], "BOGUS", b"")
        assert info.value.args == ("Invalid input: Unsupported dtype: bogus",)
        # The pool is checked before the dtype.
        with pytest.raises(RuntimeError) as info:
            client.infer([1], "bogus", bytes(1024 * 1024))
        assert info.value.args == (
            f"SHM tensor pool exhausted (required=1048656 bytes, largest_slot=1048576 bytes, "
            f"layout={POOL_LAYOUT})",)
        assert request_cells(region) == (0, 0, 0)
        assert client.infer([1], "uint8", b"\x07") == [7]
        assert peer.next_request().request_id == 4


class TestResponses:
    def test_foreign_responses_are_consumed_and_dropped(self, region: Region, peer: Peer) -> None:
        client = zelto_sdk.ZeltoShmClient(region.name)
        peer.script({"foreign": [5, 0, 2**64 - 1]})
        assert client.infer([3], "uint8", b"abc") == [97, 98, 99]
        assert region.cells(RESPONSE_QUEUE, 48) == (4, 4, 4)

    @pytest.mark.parametrize("action, message", [
        ({"status": 3}, "Unknown error"),
        ({"status": 1, "text": b"bad \xff input"}, "bad \ufffd input"),
        ({"status": 255, "text": b""}, ""),
        ({"offset": REGION_SIZE - 79},
         f"Output tensor block at offset {REGION_SIZE - 79} does not fit in the shared memory "
         f"region of {REGION_SIZE} bytes"),
        ({"offset": 2**64 - 8},
         f"Output tensor block at offset {2**64 - 8} does not fit in the shared memory "
         f"region of {REGION_SIZE} bytes"),
        ({"nbytes": 2**64 - 1},
         f"Output tensor block at offset {OUTPUT_AREA} does not fit in the shared memory "
         f"region of {REGION_SIZE} bytes"),
        ({"error_offset": REGION_SIZE - 7},
         f"Error text block at offset {REGION_SIZE - 7} does not fit in the shared memory "
         f"region of {REGION_SIZE} bytes"),
    ], ids=["no_text", "lossy_text", "empty_text", "output_header_past_end", "output_offset_wraps",
            "output_nbytes", "error_offset"])
    def test_failures_and_hostile_offsets(self, region: Region, peer: Peer, action: dict,
                                          message: str) -> None:
        client = zelto_sdk.ZeltoShmClient(region.name)
        for _ in range(2):  # the second call gets the only big slot again: it was released
            peer.script(action)
            with pytest.raises(RuntimeError) as info:
                client.infer([1], "uint8", ONE_SLOT_ONLY)
            assert info.value.args == (message,)

    def test_full_request_queue_fails_at_once(self, region: Region) -> None:
        region.set_cells(REQUEST_QUEUE, 40, tail=1020, committed=1020, head=0)
        client = zelto_sdk.ZeltoShmClient(region.name)
        for _ in range(2):
            with pytest.raises(RuntimeError) as info:
                client.infer([1], "uint8", ONE_SLOT_ONLY)
            assert info.value.args == ("Queue is full",)
        assert request_cells(region) == (1020, 1020, 0)

    @posix_only("SIGALRM")
    def test_signal_handler_exception_ends_the_wait(self, region: Region) -> None:
        class Interrupted(Exception):
            pass

        def raise_interrupted(signum: int, frame: object) -> None:
            raise Interrupted()

        client = zelto_sdk.ZeltoShmClient(region.name)
        previous = signal.signal(signal.SIGALRM, raise_interrupted)
        try:
            for _ in range(2):
                signal.setitimer(signal.ITIMER_REAL, 0.05)
                with pytest.raises(Interrupted):
                    client.infer([1], "uint8", ONE_SLOT_ONLY)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert request_cells(region) == (2, 2, 0)

    def test_no_answer_times_out_and_frees_the_slot(self, region: Region, peer: Peer) -> None:
        client = zelto_sdk.ZeltoShmClient(region.name)
        peer.script({"ignore": True})
        with pytest.raises(TimeoutError) as info:
            client.infer([1], "uint8", ONE_SLOT_ONLY)
        assert info.value.args == ("Request timed out",)
        assert client.infer([1], "uint8", ONE_SLOT_ONLY) == list(ONE_SLOT_ONLY)


class TestReferenceServer:
    @pytest.fixture
    def server_region(self, start_reference_server) -> Iterator[str]:
        name = "zelto-shm-e2e-" + uuid.uuid4().hex[:12]
        server = start_reference_server("--shm", name, "--tensor-area", str(8 << 20))
        assert server.listening["shm"] == name
        yield name
        status, err = server.stop()
        assert status == 0, err
        assert not region_path(name).exists()

    def test_round_trips(self, server_region: str) -> None:
        client = zelto_sdk.ZeltoShmClient(server_region)
        for size in (0, 1, 64, 65536, 3 << 20):
            data = os.urandom(size)
            assert client.infer([size], "uint8", data) == list(data)
        assert client.infer([2, 2], "float32", struct.pack("<4f", 1, 2, 3, 4)) == list(
            struct.pack("<4f", 1, 2, 3, 4))

    def test_default_model_and_its_errors(self, start_reference_server) -> None:
        name = "zelto-shm-e2e-" + uuid.uuid4().hex[:12]
        start_reference_server("--shm", name, "--tensor-area", str(1 << 20), "--shm-model", "2")
        client = zelto_sdk.ZeltoShmClient(name)
        assert client.infer([2], "float32", struct.pack("<2f", 1.5, -2)) == list(
            struct.pack("<2f", 3, -4))
        with pytest.raises(RuntimeError) as info:
            client.infer([1], "float32", b"\x00\x00\x80")
        assert info.value.args == ("model 2 (scale): 3 bytes are not a whole number of float32 "
                                   "elements",)
