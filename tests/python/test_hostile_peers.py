"""Broken and malicious peers against every client.

Each answer comes from a peer in another process. Whatever it sends, the call must end with a
clear Python exception (never a crash, a hang or an allocation of what the peer merely
announces), and the client must go on working wherever a fresh connection or the same one can
still serve it. The cases here complete those of test_client_peer.py, test_shm_client.py and
test_hybrid_client.py.
"""

from __future__ import annotations

import errno
import os
import random
import re
import signal
import socket
import struct
import time
import uuid
from collections.abc import Callable, Iterator

import pytest

import child_process
import hybrid_peer
import shm_peer
import zelto_sdk
from platforms import (BROKEN_PIPE, WINDOWS, create_region_file, not_under_wine, os_error_text,
                       peak_rss_kib, posix_only, region_path)
from socket_peer import response, tensor_payload, text_bytes

# ---- ZeltoClient ----------------------------------------------------------------------------

DATA = [1, 2, 3]
FRAME = response(2, tensor_payload([3], "uint8", bytes(DATA)))
ANSWER = [("request",), ("send", response(0, tensor_payload([3], "uint8", bytes(DATA))))]
NO_SHAPE = struct.pack("<Q", 0)
HUGE_SIZE = 0xFFFFFFF0

# What arrives before the connection ends: a response frame cut short somewhere.
CUTS = {
    "nothing": b"",
    "half_header": b"\x00\x00\x00\x00",
    "half_payload": struct.pack("<II", 0, 100) + bytes(50),
    "huge_payload_size": struct.pack("<II", 0, HUGE_SIZE) + b"0123456789",
    "error_text_cut": struct.pack("<II", 1, 64) + b"Model not",
}
WINE_HIDES_RESETS = not_under_wine("a receive after the peer's abortive close ends the stream")
# How it ends, and the error text the client then reports.
ENDINGS = {
    "close": "failed to fill whole buffer",
    "reset": os_error_text(errno.ECONNRESET),
}
CUT_CASES = [pytest.param(transport, cut, ending,
                          marks=[WINE_HIDES_RESETS] * (transport == "tcp"))
             for transport, ending in [("pipe", "close"), ("pipe", "reset"), ("tcp", "reset")]
             for cut in CUTS
             if not (ending == "close" and cut in ("nothing", "half_header"))]  # elsewhere


def ending_text(transport: str, ending: str) -> str:
    # A named pipe has no reset: its disconnected client finds the end of the stream.
    return ENDINGS["close" if WINDOWS and transport == "pipe" else ending]


def cut_script(cut: str, ending: str) -> list[tuple]:
    # The request is left unread before a reset: a local socket resets only then.
    first = ("peek_request",) if ending == "reset" else ("request",)
    return [first, ("send", CUTS[cut]), (ending,)]


@pytest.mark.parametrize("transport, cut, ending", CUT_CASES)
def test_frame_cut_short_is_a_connection_error_and_the_client_recovers(
        scripted_peer, transport, cut, ending):
    broken = cut_script(cut, ending)
    peer = scripted_peer([broken, broken, ANSWER], transport)
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    peak = peak_rss_kib()
    with pytest.raises(ConnectionError) as raised:
        client.infer(7, [3], "u8", bytes(DATA))  # the first attempt and its one retry
    assert type(raised.value) is ConnectionError
    assert raised.value.args == (ending_text(transport, ending),)
    assert peak_rss_kib() - peak < 64 * 1024  # nothing near the 4 GiB that may be announced
    assert client.infer(7, [3], "u8", bytes(DATA)) == DATA
    assert peer.connections_made() == 3


@pytest.mark.parametrize("transport, cut, ending", CUT_CASES)
def test_stream_cut_short_is_a_runtime_error_and_the_client_recovers(
        scripted_peer, transport, cut, ending):
    # The connection ends once the first frame was taken: a disconnected pipe drops what its
    # client has not read yet.
    first, _, end = cut_script(cut, ending)
    broken = [first, ("send", FRAME + CUTS[cut]), ("await", "first frame taken"), end]
    peer = scripted_peer([broken, [("request",), ("send", FRAME + response(0))]], transport)
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    stream = client.infer_stream(7, [3], "u8", bytes(DATA))
    assert next(stream) == DATA
    peer.signal("first frame taken")
    with pytest.raises(RuntimeError) as raised:
        next(stream)
    assert raised.value.args == (ending_text(transport, ending),)
    del stream
    assert list(client.infer_stream(7, [3], "u8", bytes(DATA))) == [DATA]


def record(shape: bytes = NO_SHAPE, dtype: bytes = text_bytes(b"u8"), rest: bytes = b"") -> bytes:
    return shape + dtype + rest


# Complete frames whose tensor payload does not decode. The whole frame was read, so the same
# connection serves the next call.
GARBAGE = {
    "shape_count_huge": (struct.pack("<Q", 2**63) + bytes(16), "io error: unexpected end of file"),
    "dtype_length_huge": (NO_SHAPE + struct.pack("<Q", 2**64 - 1) + b"uint8", "io error: "),
    "dtype_invalid_utf8": (record(dtype=text_bytes(b"\xffu8"), rest=b"\x01" + text_bytes(b"")),
                           "string is not valid utf8: invalid utf-8 sequence of 1 bytes from "
                           "index 0"),
    "dtype_incomplete_utf8": (record(dtype=text_bytes(b"u8\xe2\x82")),
                              "string is not valid utf8: incomplete utf-8 byte sequence from "
                              "index 2"),
    "option_tag": (record(rest=b"\x02"), "tag for enum is not valid, found 2"),
    "data_length_huge": (record(rest=b"\x01" + struct.pack("<Q", 2**64 - 1) + b"abc"),
                         "io error: unexpected end of file"),
    "base64_length_huge": (record(rest=b"\x00\x01" + struct.pack("<Q", 2**62) + b"AAAA"),
                           "io error: "),
    "base64_line_break": (tensor_payload([1], "u8", base64="AAAA\nAAA="),
                          "Invalid symbol 10, offset 4."),
    "base64_unpadded": (tensor_payload([1], "u8", base64="AAAAPw"), "Invalid padding"),
    "neither_data": (tensor_payload([1], "u8"),
                     "binary tensor payload must include `data` or `data_base64`"),
}


@pytest.mark.parametrize("payload, message", GARBAGE.values(), ids=GARBAGE.keys())
def test_undecodable_payload_is_a_runtime_error_on_a_kept_connection(scripted_peer, payload,
                                                                      message):
    peer = scripted_peer([
        [("request",), ("send", response(0, payload))] + ANSWER,
        [("request",), ("send", FRAME + response(2, payload) + FRAME + response(0))],
    ])
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    with pytest.raises(RuntimeError) as raised:
        client.infer(7, [3], "u8", bytes(DATA))
    assert raised.value.args == (message,)
    assert client.infer(7, [3], "u8", bytes(DATA)) == DATA
    # In a stream the bad frame is one error item; the frames after it still arrive.
    stream = client.infer_stream(7, [3], "u8", bytes(DATA))
    items: list = []
    for _ in range(3):
        try:
            items.append(next(stream))
        except RuntimeError as error:
            items.append(str(error))
    assert items == [DATA, message, DATA]
    with pytest.raises(StopIteration):
        next(stream)
    assert peer.connections_made() == 2


@pytest.mark.parametrize("seed", range(6))
def test_random_payloads_fail_cleanly(scripted_peer, seed):
    rng = random.Random(seed)
    payloads = [bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 200))) for _ in range(8)]
    peer = scripted_peer([[step for p in payloads for step in (("request",),
                                                              ("send", response(0, p)))]
                          + ANSWER])
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    for _ in payloads:
        try:
            client.infer(7, [3], "u8", bytes(DATA))
        except RuntimeError as error:
            assert len(error.args) == 1 and isinstance(error.args[0], str)
    assert client.infer(7, [3], "u8", bytes(DATA)) == DATA
    assert peer.connections_made() == 1


# ---- ZeltoClient: a silent peer never holds a call ----------------------------------------

class Alarm(Exception):
    pass


def interrupted_by_alarm(call: Callable[[], object]) -> tuple:
    """Runs call with an alarm whose handler raises Alarm 0.3 s later."""
    def on_alarm(signum, frame):
        raise Alarm()

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    started = time.monotonic()
    try:
        call()
    except Alarm:
        return ("alarm", time.monotonic() - started < 5)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    return ("returned",)


# Peers that take the request and then never finish the answer.
STALLS = {
    "nothing": [("request",)],
    "half_header": [("request",), ("send", b"\x00\x00\x00\x00")],
    "byte_per_second": [("request",), ("trickle", response(0, bytes(100)), 1.0)],
    "huge_payload_size": [("request",), ("send", struct.pack("<II", 0, HUGE_SIZE) + bytes(10))],
}


def infer_then_infer_again(control, client_args):
    client = zelto_sdk.ZeltoClient(**client_args)
    outcome = interrupted_by_alarm(lambda: client.infer(7, [3], "u8", bytes(DATA)))
    return outcome, client.infer(7, [3], "u8", bytes(DATA))


@posix_only("SIGALRM")
@pytest.mark.parametrize("stall", STALLS.values(), ids=STALLS.keys())
def test_alarm_ends_a_call_on_a_stalled_peer_and_its_connection_is_closed(scripted_peer, stall):
    peer = scripted_peer([stall, ANSWER])
    child = child_process.Child(infer_then_infer_again, peer.client_args)
    try:
        assert child.result() == (("alarm", True), DATA)
        peer.wait_for("eof", 0)  # closed by the client while it still runs
    finally:
        child.finish()


def stream_interrupted(control, client_args):
    stream = zelto_sdk.ZeltoClient(**client_args).infer_stream(7, [3], "u8", bytes(DATA))
    first = next(stream)
    outcome = interrupted_by_alarm(lambda: next(stream))
    return first, outcome, list(stream)


@posix_only("SIGALRM")
def test_alarm_ends_a_stream_waiting_for_its_next_frame_and_the_stream_is_over(scripted_peer):
    peer = scripted_peer([[("request",), ("send", FRAME)]])
    child = child_process.Child(stream_interrupted, peer.client_args)
    try:
        assert child.result() == (DATA, ("alarm", True), [])
        peer.wait_for("eof", 0)
    finally:
        child.finish()


def connect_to_full_backlog(control):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname())  # the only place in the queue
    host, port = listener.getsockname()
    client = zelto_sdk.ZeltoClient(host=host, port=port)
    return interrupted_by_alarm(lambda: client.infer(7, [3], "u8", bytes(DATA)))


@posix_only("SIGALRM")
def test_alarm_ends_a_tcp_connect_to_a_listener_whose_backlog_is_full():
    assert child_process.run(connect_to_full_backlog) == ("alarm", True)


# ---- Socket clients: socket_timeout bounds every call --------------------------------------

TIMEOUT = 0.3
# The stalled peers, each with the request sent to it: one that reads nothing stalls the write
# of a request larger than the socket buffers hold.
TIMEOUT_STALLS = {**{name: (stall, bytes(DATA)) for name, stall in STALLS.items()},
                  "reads_nothing": ([("await", "go")], bytes(8 << 20))}


def timed_out(call: Callable[[], object]) -> tuple:
    """Runs call; says whether it raised TimeoutError, with its text, within a generous bound."""
    started = time.monotonic()
    try:
        call()
    except TimeoutError as error:
        return ("timeout", str(error), time.monotonic() - started < 5)
    return ("returned",)


def times_out_then_works(control, client_args, data, release_gil):
    client = zelto_sdk.ZeltoClient(**client_args, socket_timeout=TIMEOUT, release_gil=release_gil)
    outcome = timed_out(lambda: client.infer(7, [len(data)], "u8", data))
    return outcome, client.infer(7, [3], "u8", bytes(DATA))


# The stalled connection is closed, and no retry is made on another: the peer's second
# connection serves the next call.
@pytest.mark.parametrize("release_gil", [False, True], ids=["lock_held", "lock_released"])
@pytest.mark.parametrize("stall, data", TIMEOUT_STALLS.values(), ids=TIMEOUT_STALLS.keys())
def test_socket_timeout_ends_a_call_on_a_stalled_peer(scripted_peer, stall, data, release_gil):
    peer = scripted_peer([stall, ANSWER])
    child = child_process.Child(times_out_then_works, peer.client_args, data, release_gil)
    try:
        assert child.result() == (("timeout", "Request timed out", True), DATA)
        peer.signal("go")
        peer.wait_for("eof", 0)
    finally:
        child.finish()


def connect_with_timeout_to_full_backlog(control):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname())  # noqa: F841 (fills the queue)
    host, port = listener.getsockname()
    client = zelto_sdk.ZeltoClient(host=host, port=port, socket_timeout=TIMEOUT)
    return timed_out(lambda: client.infer(7, [3], "u8", bytes(DATA)))


def test_socket_timeout_bounds_a_tcp_connect():
    assert child_process.run(connect_with_timeout_to_full_backlog) == (
        "timeout", "Request timed out", True)


def stream_with_timeout(control, client_args):
    client = zelto_sdk.ZeltoClient(**client_args, socket_timeout=TIMEOUT, release_gil=True)
    stream = client.infer_stream(7, [3], "u8", bytes(DATA))
    first = next(stream)
    time.sleep(2 * TIMEOUT)  # the bound is per frame: time between frames does not count
    second = next(stream)
    return first, second, timed_out(lambda: next(stream)), list(stream)


def test_socket_timeout_bounds_each_stream_frame_and_ends_the_stream(scripted_peer):
    peer = scripted_peer([[("request",), ("send", FRAME + FRAME)]])
    child = child_process.Child(stream_with_timeout, peer.client_args)
    try:
        assert child.result() == (DATA, DATA, ("timeout", "Request timed out", True), [])
        peer.wait_for("eof", 0)
    finally:
        child.finish()


# ---- ZeltoClient: a connection out of step is not reused -----------------------------------

OTHER = response(0, tensor_payload([3], "uint8", bytes([9, 9, 9])))
# An answer followed by bytes nobody asked for, and what the first call gives.
OUT_OF_STEP = {
    "extra_frame": (response(0, tensor_payload([3], "uint8", bytes(DATA))), OTHER, DATA),
    "bytes_after_error": (response(1, b"Model not loaded"), bytes(8), "Model not loaded"),
}


def two_calls_with_a_pause(control, client_args):
    client = zelto_sdk.ZeltoClient(**client_args)
    results = []
    for call in range(2):
        if call == 1:
            control.send(("called",))
            control.recv()  # until the stray bytes wait at the client
        try:
            results.append(client.infer(7, [3], "u8", bytes(DATA)))
        except RuntimeError as error:
            results.append(str(error))
    return results


@pytest.mark.parametrize("together", [True, False], ids=["same_write", "after_the_answer"])
@pytest.mark.parametrize("answer, stray, first",
                         OUT_OF_STEP.values(), ids=OUT_OF_STEP.keys())
def test_bytes_beyond_an_answer_retire_the_connection(scripted_peer, answer, stray, first,
                                                      together):
    # Sent apart, the stray bytes come once the first call has returned: they wait in the idle
    # connection's socket rather than behind its answer.
    sends = ([("send", answer + stray)] if together
             else [("send", answer), ("await", "first call returned"), ("send", stray)])
    peer = scripted_peer([[("request",), *sends, ("mark", "sent"), *ANSWER], ANSWER])
    child = child_process.Child(two_calls_with_a_pause, peer.client_args)
    try:
        assert child.receive() == ("called",)
        peer.signal("first call returned")
        peer.wait_for("mark", 0)
        child.control.send("go")
        assert child.result() == [first, DATA]
        peer.wait_for("eof", 0)
    finally:
        child.finish()


# ---- Region headers (both shared-memory clients) --------------------------------------------

SHM_CLIENTS: dict[str, Callable[[str], object]] = {
    "shm": zelto_sdk.ZeltoShmClient,
    "hybrid": lambda name: zelto_sdk.ZeltoHybridClient(name, "zelto-unused-" + name),
}


def header(request: int = shm_peer.REQUEST_QUEUE, response: int = shm_peer.RESPONSE_QUEUE,
           area: int = shm_peer.TENSOR_AREA, area_size: int = shm_peer.TENSOR_AREA_SIZE) -> bytes:
    return struct.pack("<IIQQQQ", shm_peer.MAGIC, 1, request, response, area, area_size)


NOT_FIT = f"Shared memory error: region layout does not fit in {shm_peer.REGION_SIZE} bytes"
HEADERS = {
    "response_queue_past_end": (header(response=shm_peer.REGION_SIZE - 1024 * 48 + 8), NOT_FIT),
    "response_queue_wraps": (header(response=2**64 - 8), NOT_FIT),
    "request_queue_unaligned": (header(request=shm_peer.REQUEST_QUEUE + 4), NOT_FIT),
    "tensor_area_wraps": (header(area=2**64 - 4096, area_size=8192), NOT_FIT),
    "tensor_area_past_end": (header(area=shm_peer.REGION_SIZE + 8, area_size=0), NOT_FIT),
    "tensor_area_one_byte_long": (header(area_size=shm_peer.REGION_SIZE - shm_peer.TENSOR_AREA + 1),
                                  NOT_FIT),
}


@pytest.mark.parametrize("make_client", SHM_CLIENTS.values(), ids=SHM_CLIENTS.keys())
@pytest.mark.parametrize("raw_header, message", HEADERS.values(), ids=HEADERS.keys())
def test_region_whose_areas_do_not_fit_is_refused(make_client, raw_header, message):
    region = shm_peer.Region(header=raw_header)
    try:
        with pytest.raises(ConnectionError) as raised:
            make_client(region.name)
        assert raised.value.args == (message,)
    finally:
        region.remove()


@pytest.mark.parametrize("make_client", SHM_CLIENTS.values(), ids=SHM_CLIENTS.keys())
@pytest.mark.parametrize("size, message", [
    pytest.param(0, "Shared memory error: Opening the shared memory failed, os error 22",
                 marks=posix_only("mmap() refuses an empty object with EINVAL")),
    (8, "Shared memory error: region layout does not fit in 4096 bytes"),
], ids=["empty", "header_cut"])
def test_region_too_small_for_its_header_is_refused(make_client, size, message):
    name = "zelto-hostile-" + uuid.uuid4().hex[:12]
    with open(create_region_file(name), "wb") as f:
        f.write(struct.pack("<II", shm_peer.MAGIC, 1)[:size])
    try:
        with pytest.raises(ConnectionError) as raised:
            make_client(name)
        assert raised.value.args == (message,)
    finally:
        os.unlink(region_path(name))


# ---- ZeltoShmClient responses ---------------------------------------------------------------

REGION_SIZE = shm_peer.REGION_SIZE
OUTPUT_AREA = shm_peer.OUTPUT_AREA
ONE_SLOT_ONLY = bytes(900 * 1024)  # only the one 1 MiB slot holds it: shows the slot came back


@pytest.fixture
def region() -> Iterator[shm_peer.Region]:
    r = shm_peer.Region()
    yield r
    r.remove()


@pytest.fixture
def peer(region: shm_peer.Region) -> Iterator[shm_peer.Peer]:
    p = shm_peer.Peer(region)
    yield p
    p.stop()


def error_block(offset: int, length: int, text: bytes = b"") -> dict:
    """A failure whose error text block at `offset` claims `length` bytes."""
    return {"write": [(offset, struct.pack("<Q", length) + text)], "error_offset": offset}


def does_not_fit(what: str, offset: int) -> str:
    return (f"{what} at offset {offset} does not fit in the shared memory region of "
            f"{REGION_SIZE} bytes")


SHM_ANSWERS = {
    "error_length_huge": (error_block(OUTPUT_AREA, 2**64 - 1),
                          does_not_fit("Error text block", OUTPUT_AREA)),
    "error_length_one_past_end": (error_block(OUTPUT_AREA, REGION_SIZE - OUTPUT_AREA - 8 + 1),
                                  does_not_fit("Error text block", OUTPUT_AREA)),
    "error_offset_wraps": ({"error_offset": 2**64 - 4},
                           does_not_fit("Error text block", 2**64 - 4)),
    "error_text_ends_at_region_end": (error_block(REGION_SIZE - 11, 3, b"abc"), "abc"),
    "output_ends_at_region_end": (
        {"write": [(REGION_SIZE - 82, shm_peer.block_bytes([2], 0, b"zz"))],
         "offset": REGION_SIZE - 82}, None),
    "output_one_byte_past_end": (
        {"write": [(REGION_SIZE - 82, shm_peer.block_bytes([3], 0, b"zzz")[:80])],
         "offset": REGION_SIZE - 82}, does_not_fit("Output tensor block", REGION_SIZE - 82)),
}


@pytest.mark.parametrize("action, message", SHM_ANSWERS.values(), ids=SHM_ANSWERS.keys())
def test_shm_response_blocks_are_bounded_by_the_region(region, peer, action, message):
    client = zelto_sdk.ZeltoShmClient(region.name)
    for _ in range(2):  # the second call gets the only big slot again: the first released it
        peer.script(action)
        if message is None:
            assert client.infer([1], "uint8", ONE_SLOT_ONLY) == list(b"zz")
        else:
            with pytest.raises(RuntimeError) as raised:
                client.infer([1], "uint8", ONE_SLOT_ONLY)
            assert raised.value.args == (message,)
    assert client.infer([3], "uint8", b"abc") == list(b"abc")


@pytest.mark.parametrize("cells", [(5000, 5000, 0), (2**64 - 1, 0, 0)], ids=["tail", "tail_max"])
def test_request_queue_index_out_of_range_is_full_not_a_stray_write(region, cells):
    region.set_cells(shm_peer.REQUEST_QUEUE, 40, *cells)
    before = region.read(0, REGION_SIZE)
    client = zelto_sdk.ZeltoShmClient(region.name)
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "uint8", b"x")
    assert raised.value.args == ("Queue is full",)
    after = region.read(0, REGION_SIZE)
    # Only the tensor block in the leased slot was written; the queues are untouched.
    assert after[:shm_peer.TENSOR_AREA] == before[:shm_peer.TENSOR_AREA]


# ---- ZeltoHybridClient ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def hybrid_region() -> Iterator[str]:
    name = "zelto-hostile-hybrid-" + uuid.uuid4().hex[:12]
    hybrid_peer.create_region(name)
    yield name
    hybrid_peer.remove_region(name)


@pytest.fixture(scope="module")
def hybrid(hybrid_region: str) -> Iterator[hybrid_peer.Peer]:
    p = hybrid_peer.Peer(hybrid_region)
    yield p
    p.stop()


@pytest.mark.parametrize("raw", [
    b"",
    b"\x00\x00\x00\x00",
    struct.pack("<II", 0, 40) + bytes(10),
    struct.pack("<II", 0, HUGE_SIZE) + bytes(100),
    struct.pack("<II", 3, 100) + b"model exp",
], ids=["nothing", "half_header", "half_response", "huge_payload_size", "error_text_cut"])
def test_hybrid_reset_mid_frame_is_early_eof_and_the_broken_connection_is_kept(
        hybrid_region, hybrid, raw):
    client = zelto_sdk.ZeltoHybridClient(hybrid_region, hybrid.path)
    assert client.infer([1], "u8", b"a") == [97]
    hybrid.script({"raw": raw, "reset": True})
    peak = peak_rss_kib()
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"b")
    assert raised.value.args == ("early eof",)
    assert peak_rss_kib() - peak < 64 * 1024
    # The client never reconnects: its broken connection keeps failing, cleanly.
    with pytest.raises(RuntimeError) as again:
        client.infer([1], "u8", b"c")
    assert again.value.args == (os_error_text(BROKEN_PIPE),)
    first, second = (hybrid.next_request().request_id for _ in range(2))
    assert second == first + 1
    # A new client gets a new connection.
    assert zelto_sdk.ZeltoHybridClient(hybrid_region, hybrid.path).infer([1], "u8", b"d") == [100]
    hybrid.next_request()


# Two calls on one client, each under an alarm whose handler raises where the system has one.
# With "few descriptors", the first call has just enough descriptors to open its connection and
# none to park with.
TWO_CALLS = r"""
import os, signal, sys
import zelto_sdk

if sys.argv[3] == "few descriptors":
    import resource

class Alarm(Exception):
    pass

def ring(*_):
    raise Alarm("rang")

def leave_one_descriptor():
    free = [fd for fd in range(1024) if not is_open(fd)]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (free[1], hard))
    return soft, hard

def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False

alarm = hasattr(signal, "setitimer")
if alarm:
    signal.signal(signal.SIGALRM, ring)
settings = {"socket_timeout": 0.2, "release_gil": True} if sys.argv[3] == "socket timeout" else {}
client = zelto_sdk.ZeltoHybridClient(sys.argv[1], sys.argv[2], **settings)
limits = leave_one_descriptor() if sys.argv[3] == "few descriptors" else None
for data in (b"a", b"b"):
    if alarm:
        signal.setitimer(signal.ITIMER_REAL, 0.5)
    try:
        print(client.infer([1], "u8", data))
    except Exception as e:
        print(f"{type(e).__name__}: {e}")
    if alarm:
        signal.setitimer(signal.ITIMER_REAL, 0)
    if limits:
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)
"""


# A call that ends between its request and the end of the answer leaves the connection out of
# step: it counts as broken, so the next call fails at once instead of taking the late answer.
@pytest.mark.parametrize("action,setting,first", [
    pytest.param({"silent": True}, "", "Alarm: rang", marks=posix_only("SIGALRM")),
    ({"silent": True}, "socket timeout", "TimeoutError: Request timed out"),
    ({"echo": True, "id": 99}, "", r"RuntimeError: Response id 99 does not match request id \d+"),
    pytest.param({"echo": True, "delay": 0.2}, "few descriptors",
                 "RuntimeError: .*Too many open files.*", marks=posix_only("resource limits")),
], ids=["never_answers", "times_out", "answers_another_id", "no_descriptor_to_park"])
def test_hybrid_call_ended_mid_exchange_breaks_the_connection(hybrid_region, hybrid, action,
                                                              setting, first):
    hybrid.script(action)
    lines = child_process.run_client_script(TWO_CALLS, hybrid_region, hybrid.path, setting)
    assert re.fullmatch(first, lines[0])
    assert lines[1:] == ["RuntimeError: " + os_error_text(BROKEN_PIPE)]
    # Only the first call's request reached the peer.
    request_id = hybrid.next_request().request_id
    assert action.get("id") is None or lines[0].endswith(f"request id {request_id}")
    assert hybrid.pending_requests() == 0
