"""ZeltoClient end to end against zelto-reference-server, over TCP and over a local socket."""

from __future__ import annotations

import math
import os
import signal
import socket
import struct

import pytest

import zelto_sdk
from platforms import WINDOWS, posix_only


def floats(*values: float) -> bytes:
    return struct.pack("<%df" % len(values), *values)


def as_floats(data: list[int]) -> list[float]:
    return list(struct.unpack("<%df" % (len(data) // 4), bytes(data)))


@pytest.fixture(params=["tcp", "pipe"])
def client_args(request, reference_server) -> dict:
    if request.param == "tcp":
        return {"port": reference_server.tcp_port}
    return {"socket_path": reference_server.pipe_path}


def open_sockets() -> set[str]:
    """The socket inodes this process holds open (Linux: /proc/self/fd)."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            continue
        if target.startswith("socket:"):
            found.add(target)
    return found


def test_single_shot_models(client_args):
    client = zelto_sdk.ZeltoClient(**client_args)
    assert client.infer(1, [3], "u8", b"abc") == list(b"abc")
    assert client.infer_tensor(2, [2, 1], "FP32", floats(1.5, -2)) == (list(floats(3, -4)), [2, 1],
                                                                       "float32")
    soft = as_floats(client.infer(3, [2, 2], "float32", floats(0, 0, 0, math.log(3))))
    assert soft == pytest.approx([0.5, 0.5, 0.25, 0.75])
    assert client.infer_tensor(6, [1], "u8", b"x", session_id="sess-7") == (list(b"sess-7"), [6],
                                                                           "string")


@pytest.mark.parametrize("model, dtype, data, message", [
    (9, "u8", b"a", "model 9 is not loaded"),
    (2, "int32", bytes(4), "model 2 (scale) takes float32 input, not int32"),
    (3, "float32", floats(1, 2, 3), "model 3 (softmax): shape [2] does not match 3 float32 elements"),
    (4, "u8", b"ab", "model 4 (rows) is a streaming model: send it a stream request"),
])
@pytest.mark.parametrize("method", ["infer", "infer_bytes"])
def test_server_errors_are_runtime_errors_and_the_connection_stays(client_args, model, dtype, data,
                                                                   message, method):
    client = zelto_sdk.ZeltoClient(**client_args)
    with pytest.raises(RuntimeError) as raised:
        getattr(client, method)(model, [2], dtype, data)
    assert raised.value.args == (message,)
    before = set() if WINDOWS else open_sockets()
    assert client.infer(1, [1], "u8", b"z") == [122]
    assert before == (set() if WINDOWS else open_sockets())


@pytest.mark.parametrize("model, shape, dtype, data, session_id", [
    (1, [3], "u8", b"abc", None),
    (1, [0], "u8", b"", None),
    (2, [2, 1], "FP32", floats(1.5, -2), None),
    (3, [2, 2], "float32", floats(0, 0, 0, math.log(3)), None),
    (6, [1], "u8", b"x", "sess-7"),
])
def test_bytes_twins_answer_as_the_lists(client_args, model, shape, dtype, data, session_id):
    client = zelto_sdk.ZeltoClient(**client_args)
    values, out_shape, out_dtype = client.infer_tensor(model, shape, dtype, data,
                                                       session_id=session_id)
    got = client.infer_bytes(model, shape, dtype, data, session_id=session_id)
    assert type(got) is bytes and got == bytes(values)
    assert client.infer_tensor_bytes(model, shape, dtype, data, None, session_id) == (
        bytes(values), out_shape, out_dtype)


@posix_only("/proc/self/fd")
def test_unknown_main_dtype_is_refused_after_connecting(client_args):
    client = zelto_sdk.ZeltoClient(**client_args)
    outside = open_sockets()
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: float128$"):
        client.infer(1, [1], "Float128", b"a")
    assert len(open_sockets() - outside) == 1  # the new connection waits in the pool


@posix_only("/proc/self/fd")
@pytest.mark.parametrize("pool_size, kept", [(None, 1), (0, 0), (1, 1)])
def test_pool_keeps_and_reuses_connections(client_args, pool_size, kept):
    if pool_size is not None:
        client_args = dict(client_args, max_pool_size=pool_size)
    outside = open_sockets()
    client = zelto_sdk.ZeltoClient(**client_args)
    assert open_sockets() == outside  # nothing is opened before the first request
    held = []
    for _ in range(3):
        client.infer(1, [1], "u8", b"a")
        held.append(open_sockets() - outside)
    assert [len(h) for h in held] == [kept] * 3
    assert held[0] == held[2]  # the same connection every time
    del client
    assert open_sockets() == outside


@pytest.mark.parametrize("method, item", [("infer_stream", list), ("infer_stream_bytes", bytes)])
def test_streams(client_args, method, item):
    stream = getattr(zelto_sdk.ZeltoClient(**client_args), method)
    assert list(stream(4, [3, 2], "u8", b"abcdef")) == [item(b"ab"), item(b"cd"), item(b"ef")]
    assert list(stream(2, [1], "float32", floats(4))) == [item(floats(8))]
    assert list(stream(4, [0], "u8", b"")) == []
    flaky = stream(5, [2], "u8", b"xy")
    assert next(flaky) == item(b"x")
    with pytest.raises(RuntimeError, match=r"^model 5 \(flaky rows\): a deliberate error after row 0$"):
        next(flaky)
    assert next(flaky) == item(b"y")
    for _ in range(2):  # the end is remembered: no read waits for a frame that never comes
        with pytest.raises(StopIteration):
            next(flaky)


def test_stream_of_unknown_model_yields_the_error_then_ends(client_args):
    stream = zelto_sdk.ZeltoClient(**client_args).infer_stream(9, [1], "u8", b"a")
    with pytest.raises(RuntimeError, match="^model 9 is not loaded$"):
        next(stream)
    assert list(stream) == []


@pytest.mark.parametrize("size", [1 << 20, 16 << 20])
def test_large_tensors_round_trip(client_args, size):
    data = bytes(range(256)) * (size // 256)
    assert bytes(zelto_sdk.ZeltoClient(**client_args).infer(1, [size], "u8", data)) == data


@posix_only("SIGTERM and SIGINT, socket files")
def test_server_stops_on_sigterm_and_sigint_and_replaces_stale_files(start_reference_server,
                                                                     tmp_path):
    path = tmp_path / "stale.sock"
    stale = socket.socket(socket.AF_UNIX)
    stale.bind(str(path))
    stale.close()  # a socket file nobody listens on, as after a crash
    for stop_signal in (signal.SIGTERM, signal.SIGINT):
        server = start_reference_server("--pipe", str(path))
        assert zelto_sdk.ZeltoClient(socket_path=str(path)).infer(1, [1], "u8", b"k") == [107]
        server.process.send_signal(stop_signal)
        status, err = server.stop()
        assert (status, err) == (0, "")
        assert not path.exists()
        with socket.socket(socket.AF_UNIX) as again:
            again.bind(str(path))  # recreate the stale file for the next round
