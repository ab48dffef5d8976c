"""ZeltoClient against a scripted peer: exact bytes on the wire, retries and faults on demand."""

from __future__ import annotations

import errno
import gc
import os
import struct
import textwrap

import pytest

import zelto_sdk
from child_process import run_client_script
from platforms import WINDOWS, local_endpoint, os_error_text, posix_only, windows_only
from socket_peer import response, tensor_payload

FLOATS = struct.pack("<2f", 1.0, 2.0)
OK = response(0, tensor_payload([2], "float32", FLOATS))
ANSWER = [("request",), ("send", OK)]
ERROR_PIPE_BUSY = 231

# The frame of infer(7, [2], "float32", FLOATS) from a client without a token, byte for byte.
EXAMPLE_FRAME = bytes.fromhex(
    "07000000" "01000000" "3b000000"
    "0100000000000000" "0200000000000000"
    "0700000000000000") + b"float32" + bytes.fromhex(
    "01" "0800000000000000" "0000803f00000040" "00"
    "0000000000000000" "00" "00")


@pytest.mark.parametrize("transport", ["tcp", "pipe"])
def test_request_frame_is_exact(scripted_peer, transport):
    peer = scripted_peer([ANSWER], transport)
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    assert client.infer(7, [2], "FP32", FLOATS) == list(FLOATS)
    assert peer.wait_for("request")[2] == EXAMPLE_FRAME


def test_stream_frame_carries_kind_2_session_and_token(scripted_peer):
    peer = scripted_peer([[("request",), ("send", response(0))]])
    client = zelto_sdk.ZeltoClient(**peer.client_args, api_token="tok")
    assert list(client.infer_stream(7, [2], "float32", FLOATS, session_id="s1")) == []
    frame = peer.wait_for("request")[2]
    options = b"\x01" + b"\x00" * 5 + b"\x01" + struct.pack("<Q", 3) + b"tok" + b"\x00" * 7
    body = EXAMPLE_FRAME[12:-2] + b"\x01" + struct.pack("<Q", 2) + b"s1" + options
    assert frame == struct.pack("<III", 7, 2, len(body)) + body


@pytest.mark.parametrize("transport", ["tcp", "pipe"])
def test_connection_closed_while_idle_is_retried_and_the_fresh_one_pooled(scripted_peer, transport):
    peer = scripted_peer([ANSWER + [("close",)], ANSWER + ANSWER], transport)
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    client.infer(7, [2], "float32", FLOATS)
    peer.wait_for("closed", 0)
    assert client.infer(7, [2], "float32", FLOATS) == list(FLOATS)
    assert client.infer(7, [2], "float32", FLOATS) == list(FLOATS)
    assert peer.connections_made() == 2
    assert [event[1] for event in peer.seen if event[0] == "request"] == [0, 1, 1]


@pytest.mark.parametrize("transport, message", [
    ("tcp", os_error_text(errno.ECONNREFUSED)),
    ("pipe", os_error_text(errno.ENOENT)),
])
def test_failed_retry_open_reports_the_open_error(scripted_peer, transport, message):
    peer = scripted_peer([ANSWER + [("close",), ("stop_listening",)]], transport)
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    client.infer(7, [2], "float32", FLOATS)
    peer.wait_for("stopped_listening")
    with pytest.raises(ConnectionError) as raised:
        client.infer(7, [2], "float32", FLOATS)
    assert raised.value.args == (message,)


@pytest.mark.parametrize("answer, exception, message", [
    (response(1, b"Model not loaded"), RuntimeError, "Model not loaded"),
    (response(7), RuntimeError, ""),
    (response(1, b"bad \xff\xfe text \xe2\x82"), RuntimeError, "bad \ufffd\ufffd text \ufffd"),
    (response(0, b"\x01"), RuntimeError, "io error: unexpected end of file"),
    (response(0, tensor_payload([1], "bfloat16", b"x")), RuntimeError,
     "Invalid input: Unsupported dtype: bfloat16"),
    (response(0, tensor_payload([1], "u8", b"x", base64="eA==")), RuntimeError,
     "binary tensor payload must include only one of `data` or `data_base64`"),
])
@pytest.mark.parametrize("method", ["infer", "infer_bytes"])
def test_reported_failures_keep_the_connection(scripted_peer, answer, exception, message, method):
    peer = scripted_peer([[("request",), ("send", answer)] + ANSWER])
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    with pytest.raises(exception) as raised:
        getattr(client, method)(7, [2], "float32", FLOATS)
    assert raised.value.args == (message,)
    assert client.infer(7, [2], "float32", FLOATS) == list(FLOATS)
    assert peer.connections_made() == 1


def test_base64_payload_is_decoded(scripted_peer):
    base64 = [("request",), ("send", response(0, tensor_payload([1], "FLOAT32", base64="AAAAPw==")))]
    peer = scripted_peer([base64 + base64])
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    assert client.infer_tensor(7, [2], "float32", FLOATS) == ([0, 0, 0, 0x3F], [1], "float32")
    assert client.infer_tensor_bytes(7, [2], "float32", FLOATS) == (b"\0\0\0?", [1], "float32")


HALF_HEADER = [("request",), ("send", b"\x00\x00\x00\x00"), ("close",)]


def test_server_closing_after_four_header_bytes(scripted_peer):
    peer = scripted_peer([HALF_HEADER, HALF_HEADER, HALF_HEADER])
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    with pytest.raises(ConnectionError, match="^failed to fill whole buffer$"):
        client.infer(7, [2], "float32", FLOATS)
    stream = client.infer_stream(7, [2], "float32", FLOATS)
    with pytest.raises(RuntimeError, match="^failed to fill whole buffer$"):
        next(stream)
    assert peer.connections_made() == 3  # two attempts of infer, one stream


DATA = [1, 2, 3]
FRAME = response(2, tensor_payload([3], "uint8", bytes(DATA)))


def outcomes(stream) -> list:
    """Every step of a stream: a list of ints, or the text of a RuntimeError; ends with 'end'."""
    seen = []
    while True:
        try:
            seen.append(next(stream))
        except RuntimeError as error:
            seen.append(str(error))
        except StopIteration:
            return seen + ["end"]


@pytest.mark.parametrize("method, item", [("infer_stream", list), ("infer_stream_bytes", bytes)])
@pytest.mark.parametrize("end", [response(0), response(1), response(2), response(3, b"x")])
def test_stream_error_frames_then_data_then_end(scripted_peer, end, method, item):
    frames = (response(1, b"model crashed") + FRAME + response(2, b"junk") +
              response(1, b"\xffbad") + FRAME + end)
    peer = scripted_peer([[("request",), ("send", frames)]])
    stream = getattr(zelto_sdk.ZeltoClient(**peer.client_args), method)(4, [1], "u8", b"a")
    assert outcomes(stream) == ["model crashed", item(DATA), "io error: unexpected end of file",
                                "\ufffdbad", item(DATA), "end"]
    with pytest.raises(StopIteration):
        next(stream)


def test_deleting_an_unfinished_stream_closes_its_connection(scripted_peer):
    peer = scripted_peer([[("request",), ("send", FRAME + FRAME)]])
    stream = zelto_sdk.ZeltoClient(**peer.client_args).infer_stream(4, [1], "u8", b"a")
    assert next(stream) == DATA
    del stream
    gc.collect()
    peer.wait_for("eof", 0)


def test_stream_write_to_a_closed_peer_is_an_os_error(scripted_peer):
    peer = scripted_peer([[("close",)]])
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    # The peer closes at once; a frame large enough not to fit the socket buffers meets the close.
    with pytest.raises(ConnectionError) as raised:
        client.infer_stream(4, [1 << 22], "u8", bytes(1 << 22))
    assert type(raised.value) in (BrokenPipeError, ConnectionResetError)
    assert f"(os error {raised.value.errno})" in str(raised.value)


@pytest.mark.parametrize("arguments", [
    lambda tmp: {"socket_path": str(tmp / "absent.sock")},
    lambda tmp: {"pipe_name": "zelto-absent-" + tmp.name},
])
def test_no_server_at_a_pipe_path(tmp_path, arguments):
    client = zelto_sdk.ZeltoClient(**arguments(tmp_path))
    for call in (client.infer, client.infer_stream):
        with pytest.raises(ConnectionError) as raised:
            call(1, [1], "u8", b"a")
        assert str(raised.value).endswith(os_error_text(errno.ENOENT))


@windows_only("named pipes")
def test_busy_named_pipe_fails_at_once():
    import _winapi

    # One instance, taken by another client: the pipe is busy and the client must not wait.
    path = local_endpoint("")
    server = _winapi.CreateNamedPipe(path, _winapi.PIPE_ACCESS_DUPLEX, _winapi.PIPE_WAIT, 1,
                                     4096, 4096, 0, _winapi.NULL)
    holder = _winapi.CreateFile(path, _winapi.GENERIC_READ | _winapi.GENERIC_WRITE, 0,
                                _winapi.NULL, _winapi.OPEN_EXISTING, 0, _winapi.NULL)
    try:
        with pytest.raises(ConnectionError) as raised:
            zelto_sdk.ZeltoClient(socket_path=path).infer(1, [1], "u8", b"a")
        assert raised.value.args == (os_error_text(ERROR_PIPE_BUSY),)
    finally:
        _winapi.CloseHandle(holder)
        _winapi.CloseHandle(server)


# A pipe name is the named pipe \\.\pipe\NAME on Windows, the socket file /tmp/NAME elsewhere.
def test_pipe_name_reaches_its_endpoint(scripted_peer, tmp_path):
    path = scripted_peer([ANSWER]).client_args["socket_path"]
    link = None
    if WINDOWS:
        name = path.removeprefix("\\\\.\\pipe\\")
    else:
        name = "zelto-peer-" + tmp_path.name
        link = "/tmp/" + name
        os.symlink(path, link)
    try:
        client = zelto_sdk.ZeltoClient(pipe_name=name)
        assert client.infer(7, [2], "float32", FLOATS) == list(FLOATS)
    finally:
        if link:
            os.unlink(link)


HUGE_ANNOUNCEMENT = textwrap.dedent("""
    import sys, zelto_sdk
    sys.path.insert(0, sys.argv[2])
    from platforms import peak_rss_kib
    client = zelto_sdk.ZeltoClient(socket_path=sys.argv[1])
    for call in (client.infer, lambda *a: next(client.infer_stream(*a)), client.infer_bytes,
                 lambda *a: next(client.infer_stream_bytes(*a))):
        try:
            call(7, [1], "u8", b"a")
        except (ConnectionError, RuntimeError) as error:
            print(type(error).__name__, error)
    print(peak_rss_kib())
""")


def test_huge_announced_payload_allocates_only_what_arrives(scripted_peer):
    # Nearly 4 GiB announced, the data's length field claiming all of it, ten data bytes sent.
    size = 0xFFFFFFF0
    head = tensor_payload([1], "uint8", b"")[:-9]  # up to the data's length field
    payload = head + struct.pack("<Q", size - len(head) - 8) + b"0123456789"
    peer = scripted_peer([[("request",), ("send", struct.pack("<II", status, size) + payload),
                           ("close",)] for status in (0, 0, 2, 0, 0, 2)])
    lines = run_client_script(HUGE_ANNOUNCEMENT, peer.client_args["socket_path"],
                              os.path.dirname(__file__), timeout=60)
    assert lines[:4] == ["ConnectionError failed to fill whole buffer",
                         "RuntimeError failed to fill whole buffer"] * 2
    assert int(lines[4]) < 256 * 1024  # KiB: far below the 4 GiB announced


REFUSED_MEMORY = textwrap.dedent("""
    import resource, sys, zelto_sdk
    client = zelto_sdk.ZeltoClient(socket_path=sys.argv[1])
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    # Room for the connection's buffer (the size of the payload) but not also for the result.
    limit = mapped + 40 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    for call in (client.infer_bytes, lambda *a: next(client.infer_stream_bytes(*a))):
        try:
            call(7, [1], "u8", b"a")
        except MemoryError as error:
            print("MemoryError", error.args)
    print(client.infer_bytes(7, [1], "u8", b"a"))
""")


@posix_only("resource limits")
def test_memory_refused_for_a_bytes_result_is_a_memory_error_and_closes_the_connection(
        scripted_peer):
    size = 30 << 20
    large = tensor_payload([size], "uint8", bytes(size))
    peer = scripted_peer([[("request",), ("send", response(status, large))] for status in (0, 2)] +
                         [[("request",), ("send", response(0, tensor_payload([1], "u8", b"k")))]])
    lines = run_client_script(REFUSED_MEMORY, peer.client_args["socket_path"], timeout=60)
    assert lines == ["MemoryError ()", "MemoryError ()", "b'k'"]
    assert peer.connections_made() == 3
