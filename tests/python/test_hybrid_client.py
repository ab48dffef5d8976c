"""ZeltoHybridClient against a scripted peer process and against the reference server."""

from __future__ import annotations

import errno
import gc
import os
import struct
import time
import uuid

import pytest

import zelto_sdk
from conftest import ReferenceServer
from platforms import BROKEN_PIPE, WINDOWS, local_endpoint, os_error_text, peak_rss_kib, posix_only
from hybrid_peer import (OUTPUT_AREA, REGION_SIZE, TENSOR_AREA, Peer, block_bytes, create_region,
                         remove_region, write_block)

Client = zelto_sdk.ZeltoHybridClient


def unique(prefix: str) -> str:
    return prefix + uuid.uuid4().hex[:12]


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def settled_thread_count(expected: int) -> int:
    """The thread count once it reaches `expected` (a joined thread can linger in /proc for a
    moment), or whatever it is after five seconds."""
    deadline = time.monotonic() + 5
    while thread_count() != expected and time.monotonic() < deadline:
        time.sleep(0.001)
    return thread_count()


@pytest.fixture(scope="module")
def region():
    name = unique("zelto-hybrid-test-")
    create_region(name)
    yield name
    remove_region(name)


@pytest.fixture(scope="module")
def module_peer(region):
    peer = Peer(region)
    yield peer
    peer.stop()


@pytest.fixture
def peer(module_peer):
    yield module_peer
    assert module_peer.pending_requests() == 0, "a test left requests unread"


@pytest.fixture
def client(region, peer):
    return Client(region, peer.path)


def test_request_frame_and_input_block_bytes(client, peer):
    data = bytes(range(16))
    before = time.time_ns()
    assert client.infer([2, 2], "float32", data) == list(data)
    after = time.time_ns()
    request = peer.next_request()
    assert request.frame[:28] == struct.pack("<IIIQIBB2x", 0, 4, 40, 1, 0, 0, 0)
    assert before <= request.timestamp_ns <= after
    assert (request.shm_offset, request.shm_size) == (TENSOR_AREA, 96)
    assert request.block == block_bytes([2, 2], 0, data)


@pytest.mark.parametrize("shape,dtype,code,data", [
    ([], "uint8", 0, b""),
    ([3], "INT64", 3, bytes(24)),
    ([1, 1, 1, 1, 1, 1, 1, 2], "fp64", 1, bytes(16)),
    ([-1, 5], "i32", 2, b"\x01\x02"),
    ([4], "float16", 0, b"\xff" * 8),
    ([1], "utf8", 0, b"hi"),
])
def test_block_carries_shape_code_and_data_as_given(client, peer, shape, dtype, code, data):
    assert client.infer(shape, dtype, data) == list(data)
    request = peer.next_request()
    assert request.shm_size == 80 + len(data)
    assert request.block == block_bytes(shape, code, data)


def test_ids_are_used_up_by_calls_that_fail_before_sending(client, peer):
    assert client.infer([1], "u8", b"w") == [ord("w")]
    first = peer.next_request().request_id
    with pytest.raises(ValueError) as dtype_error:
        client.infer([1], "bfloat16", b"ab")
    assert dtype_error.value.args == ("Invalid input: Unsupported dtype: bfloat16",)
    with pytest.raises(ValueError) as dims_error:
        client.infer([1] * 9, "float32", b"")
    assert dims_error.value.args == ("Invalid input: tensor has 9 dimensions, at most 8 are "
                                     "supported",)
    with pytest.raises(RuntimeError) as pool_error:
        client.infer([1], "u8", bytes(1024 * 1024))
    assert pool_error.value.args == (
        "SHM tensor pool exhausted (required=1048656 bytes, largest_slot=1048576 bytes, "
        "layout=class0(base=131072 slot_size=262144 slots=4), "
        "class1(base=1179648 slot_size=1048576 slots=1))",)
    assert client.infer([1], "u8", b"x") == [ord("x")]
    assert peer.next_request().request_id == first + 4


# Each failure comes after the slot was leased. Six failing calls of 200 KiB would exhaust the
# five slots that fit them if any failure kept its slot.
@pytest.mark.parametrize("action,exception,text", [
    (None, ValueError, "Invalid input: Unsupported dtype: f32"),
    ({"status": 3, "payload": b"model exploded"}, RuntimeError, "model exploded"),
    ({"status": 7, "payload": b"ok\xff"}, RuntimeError, "ok\ufffd"),
    ({"status": 1, "payload": b""}, RuntimeError, ""),
    ({"status": 0, "payload": bytes(39)}, RuntimeError, "io error: unexpected end of file"),
    ({"offset": REGION_SIZE - 79}, RuntimeError,
     f"Output tensor block at offset {REGION_SIZE - 79} does not fit in the shared memory "
     f"region of {REGION_SIZE} bytes"),
])
def test_failures_release_the_slot_and_keep_the_client_usable(client, peer, action, exception,
                                                              text):
    data = bytes(200 * 1024)
    for _ in range(6):
        if action is not None:
            peer.script(action)
        with pytest.raises(exception) as failure:
            client.infer([len(data)], "f32" if action is None else "u8", data)
        assert failure.value.args == (text,)
    assert client.infer([2], "u8", b"ok") == [ord("o"), ord("k")]
    for _ in range(7 if action is not None else 1):
        peer.next_request()


def test_payload_longer_than_a_response_is_accepted(client, peer):
    peer.script({"echo": True, "extra": 8})
    assert client.infer([3], "u8", b"abc") == [97, 98, 99]
    peer.next_request()


@pytest.mark.parametrize("offset,data,nbytes,fits", [
    (REGION_SIZE - 80, b"", None, True),
    (REGION_SIZE - 82, b"zz", None, True),
    (REGION_SIZE - 82, b"zz", 3, False),
    (OUTPUT_AREA, b"abc", 2**63, False),
    (OUTPUT_AREA, b"abc", 2**64 - 1, False),
    (2**64 - 8, None, None, False),
])
def test_output_block_must_lie_inside_the_region(client, peer, region, offset, data, nbytes,
                                                 fits):
    if data is not None:
        write_block(region, offset, data, nbytes)
    peer.script({"offset": offset})
    if fits:
        assert client.infer([1], "u8", b"q") == list(data)
    else:
        with pytest.raises(RuntimeError) as failure:
            client.infer([1], "u8", b"q")
        assert failure.value.args == (f"Output tensor block at offset {offset} does not fit in "
                                      f"the shared memory region of {REGION_SIZE} bytes",)
    peer.next_request()


@pytest.mark.parametrize("raw", [
    b"",
    b"\x00\x00\x00\x00",
    struct.pack("<II", 0, 40) + bytes(10),
    struct.pack("<II", 0, 0xFFFFFFFF) + bytes(100),
])
def test_server_closing_mid_answer_is_early_eof_and_the_connection_is_kept(client, peer, raw):
    peer.script({"raw": raw})
    peak_before = peak_rss_kib()
    with pytest.raises(RuntimeError) as failure:
        client.infer([1], "u8", b"a")
    assert failure.value.args == ("early eof",)
    # A 4 GiB announcement costs memory only as bytes arrive.
    assert peak_rss_kib() - peak_before < 64 * 1024
    peer.next_request()
    # The broken connection stays in the client: it is never reopened.
    with pytest.raises(RuntimeError) as again:
        client.infer([1], "u8", b"a")
    assert again.value.args == (os_error_text(BROKEN_PIPE),)


@pytest.mark.parametrize("path_form", [
    pytest.param("plain", marks=posix_only("socket files in /tmp")),
    "pipe namespace",
])
def test_open_failure_then_success_once_the_server_starts(region, path_form):
    name = unique("zelto-hybrid-late-")
    path = "/tmp/" + name if path_form == "plain" else "\\\\.\\pipe\\" + name
    client = Client(region, path)
    with pytest.raises(RuntimeError) as failure:
        client.infer([1], "u8", b"a")
    assert failure.value.args == (f"Failed to open named pipe '{path}': "
                                  f"{os_error_text(errno.ENOENT)}",)
    peer = Peer(region, path if WINDOWS else "/tmp/" + name)
    try:
        assert client.infer([1], "u8", b"b") == [98]
        peer.next_request()
    finally:
        peer.stop()


@posix_only("socket file path limits and refusals")
@pytest.mark.parametrize("make_path,reason", [
    (lambda tmp: "/tmp/" + "x" * 103, "path must be shorter than 108 bytes"),
    (lambda tmp: str(tmp / "not-a-socket"), "Connection refused (os error 111)"),
])
def test_open_failure_texts(region, tmp_path, make_path, reason):
    path = make_path(tmp_path)
    (tmp_path / "not-a-socket").write_bytes(b"")
    with pytest.raises(RuntimeError) as failure:
        Client(region, path).infer([1], "u8", b"a")
    assert failure.value.args == (f"Failed to open named pipe '{path}': {reason}",)


@posix_only("threads counted in /proc/self/task, processors in sched_getaffinity")
def test_two_clients_each_have_a_runtime_and_destroying_one_leaves_the_other(region, peer):
    gc.collect()  # clients of earlier tests may still be held by their tracebacks
    baseline = thread_count()
    first = Client(region, peer.path)
    second = Client(region, peer.path)
    workers = (thread_count() - baseline) // 2
    assert workers == len(os.sched_getaffinity(0))
    assert first.infer([1], "u8", b"1") == [49]
    assert second.infer([1], "u8", b"2") == [50]
    del first
    gc.collect()
    assert settled_thread_count(baseline + workers) == baseline + workers
    assert second.infer([1], "u8", b"3") == [51]
    # The clients of one region share one numbering, so no two requests carry the same id.
    ids = [peer.next_request().request_id for _ in range(3)]
    assert ids == [ids[0], ids[0] + 1, ids[0] + 2]
    del second
    gc.collect()
    assert settled_thread_count(baseline) == baseline


def test_missing_region_is_a_connection_error():
    with pytest.raises(ConnectionError) as failure:
        Client(unique("zelto-hybrid-absent-"), "unused")
    assert failure.value.args == ("Shared memory error: Opening the shared memory failed, "
                                  "os error 2",)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    shm_name = unique("zelto-hybrid-ref-")
    server = ReferenceServer("--shm", shm_name, "--hybrid",
                             local_endpoint(tmp_path_factory.mktemp("hybrid")))
    yield shm_name, server.listening["hybrid"]
    server.stop()


@pytest.mark.parametrize("size", [0, 64, 64 * 1024, 1024 * 1024 - 80])
def test_end_to_end_against_the_reference_server(reference, size):
    client = Client(*reference)
    data = os.urandom(size)
    for _ in range(3):
        assert client.infer([size], "uint8", data) == list(data)
