"""Argument and result conversions of the inference calls, the stream iterator's Python side,
and the exceptions the calls raise. Conversions that succeed are seen either as the bytes a
scripted peer receives, or, without a server, as the ConnectionError that follows them."""

import errno
import os
import random
import sys
import tempfile

import pytest

from platforms import local_endpoint, os_error_text, posix_only
from socket_peer import response
from zelto_sdk import ZeltoClient

NO_SERVER = local_endpoint(tempfile.gettempdir())  # nothing listens there
OUT_OF_RANGE = "out of range integral type conversion attempted"


def converted(call):
    """Runs a call against NO_SERVER: reaching the connection means every argument converted."""
    with pytest.raises(ConnectionError) as caught:
        call(ZeltoClient(NO_SERVER))
    assert str(caught.value) == os_error_text(errno.ENOENT)
    assert caught.value.errno == errno.ENOENT


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingLength:
    """A sequence whose __len__ does not describe its items."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "model_id, shape, dtype, data",
    [
        (0, [1], "uint8", b"x"),
        (2**32 - 1, [1], "uint8", b"x"),
        (Index(7), (2, 2), "uint8", b"abcd"),
        (True, range(3), "UINT8", bytearray(3)),
        (1, [], "uint8", b""),
        (1, [-1, 2**63 - 1, -(2**63)], "float128", [Index(1), True, 255]),
        (1, b"\x01\x02", "uint8", (120,)),
        (1, [Index(3)], "", memoryview(b"xyz")),
        (1, LyingLength([1, 2], sys.maxsize), "uint8", LyingLength([1], 2**40)),
        (1, LyingLength([1], ValueError("no length")), "uint8", LyingLength([1], -1)),
    ],
)
def test_accepted_arguments(model_id, shape, dtype, data):
    converted(lambda c: c.infer(model_id, shape, dtype, data))


def test_none_is_omitted_for_optional_arguments():
    converted(lambda c: c.infer(1, [1], "uint8", b"x", None, None))
    converted(lambda c: c.infer_tensor(1, [1], "uint8", b"x", additional_inputs=None, session_id=None))
    converted(lambda c: c.infer_stream(1, [1], "uint8", b"x", {"m": ([1], "uint8", b"x")}, ""))


def _gen():
    yield 1


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("1", [1], "uint8", b"x"), {}, TypeError, "argument 'model_id': 'str' object cannot be interpreted as an integer"),
        ((1.0, [1], "uint8", b"x"), {}, TypeError, "argument 'model_id': 'float' object cannot be interpreted as an integer"),
        ((2**32, [1], "uint8", b"x"), {}, OverflowError, OUT_OF_RANGE),
        ((-1, [1], "uint8", b"x"), {}, OverflowError, "can't convert negative int to unsigned"),
        ((2**64, [1], "uint8", b"x"), {}, OverflowError, "int too big to convert"),
        ((1, "12", "uint8", b"x"), {}, TypeError, "argument 'shape': a str cannot be extracted as a sequence"),
        ((1, {1: 1}, "uint8", b"x"), {}, TypeError, "argument 'shape': 'dict' object cannot be converted to 'Sequence'"),
        ((1, {1}, "uint8", b"x"), {}, TypeError, "argument 'shape': 'set' object cannot be converted to 'Sequence'"),
        ((1, _gen(), "uint8", b"x"), {}, TypeError, "argument 'shape': 'generator' object cannot be converted to 'Sequence'"),
        ((1, [1.5], "uint8", b"x"), {}, TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
        ((1, [2**63], "uint8", b"x"), {}, OverflowError, None),
        ((1, [1], 5, b"x"), {}, TypeError, "argument 'dtype': 'int' object cannot be converted to 'PyString'"),
        ((1, [1], b"uint8", b"x"), {}, TypeError, "argument 'dtype': 'bytes' object cannot be converted to 'PyString'"),
        ((1, [1], "\ud800", b"x"), {}, UnicodeEncodeError, None),
        ((1, [1], "uint8", "x"), {}, TypeError, "argument 'data': a str cannot be extracted as a sequence"),
        ((1, [1], "uint8", [256]), {}, OverflowError, OUT_OF_RANGE),
        ((1, [1], "uint8", [-1]), {}, OverflowError, OUT_OF_RANGE),
        ((1, [1], "uint8", [2**70]), {}, OverflowError, "Python int too large to convert to C long"),
        ((1, [1], "uint8", [b"x"]), {}, TypeError, "argument 'data': 'bytes' object cannot be interpreted as an integer"),
        ((1, [1], "uint8", 3), {}, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        # A signed byte view goes through the element path, which refuses its negative values.
        ((1, [1], "uint8", memoryview(b"\xff").cast("b")), {}, OverflowError, OUT_OF_RANGE),
        ((1, [1], "uint8", memoryview(bytes(6)).cast("B", (2, 3))), {}, NotImplementedError, None),
        ((1, [1], "uint8", b"x"), {"additional_inputs": [1]}, TypeError, "argument 'additional_inputs': 'list' object cannot be converted to 'PyDict'"),
        ((1, [1], "uint8", b"x"), {"additional_inputs": {"m": [[1], "uint8", b"x"]}}, TypeError, "argument 'additional_inputs': 'list' object cannot be converted to 'PyTuple'"),
        ((1, [1], "uint8", b"x"), {"additional_inputs": {"m": ([1], "uint8")}}, ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ((1, [1], "uint8", b"x"), {"additional_inputs": {1: ([1], "uint8", b"x")}}, TypeError, "argument 'additional_inputs': 'int' object cannot be converted to 'PyString'"),
        ((1, [1], "uint8", b"x"), {"additional_inputs": {"m": ("12", "uint8", b"x")}}, TypeError, "argument 'additional_inputs': a str cannot be extracted as a sequence"),
        ((1, [1], "uint8", b"x"), {"additional_inputs": {"m": ([1], "uint8", [300])}}, OverflowError, OUT_OF_RANGE),
        ((1, [1], "uint8", b"x"), {"session_id": 3}, TypeError, "argument 'session_id': 'int' object cannot be converted to 'PyString'"),
        ((1, [1], "uint8", b"x"), {"session_id": "\udc80"}, UnicodeEncodeError, None),
        # Conversion runs in parameter order and stops at the first failure.
        (("x", "y", 5, "z"), {"session_id": 3}, TypeError, "argument 'model_id': 'str' object cannot be interpreted as an integer"),
        ((1, [1], 5, [256]), {}, TypeError, "argument 'dtype': 'int' object cannot be converted to 'PyString'"),
        # Additional-input dtypes are checked before any connection is made.
        ((1, [1], "uint8", b"x"), {"additional_inputs": {"m": ([1], "Float128", b"x")}}, ValueError, "Invalid input: Unsupported dtype: float128"),
    ],
)
@pytest.mark.parametrize("method", ["infer", "infer_tensor", "infer_stream"])
def test_conversion_errors(method, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(ZeltoClient(NO_SERVER), method)(*args, **kwargs)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message


def test_released_memoryview_is_refused_like_any_iteration():
    view = memoryview(b"ab")
    view.release()
    with pytest.raises(ValueError, match="^operation forbidden on released memoryview object$"):
        ZeltoClient(NO_SERVER).infer(1, [2], "uint8", view)


# ---- Exact request bytes --------------------------------------------------------------------


def _recorded_requests(scripted_peer, calls):
    """Runs each call against a peer that records the request and answers with an error."""
    peer = scripted_peer([[("request",), ("send", response(1, b"recorded"))] * len(calls)])
    client = ZeltoClient(**peer.client_args, max_pool_size=1)
    requests = []
    for call in calls:
        with pytest.raises(RuntimeError, match="^recorded$"):
            call(client)
        requests.append(peer.wait_for("request", 0)[2])
    return requests


class BytesSubclass(bytes):
    pass


def test_byte_buffers_send_the_same_request_as_a_list(scripted_peer):
    values = bytes(range(256)) * 3 + b"\x00\xff"
    as_bytes = bytes(values)
    variants = [
        list(values),
        as_bytes,
        bytearray(values),
        memoryview(as_bytes),
        memoryview(bytearray(values)),
        memoryview(bytes(b for v in values for b in (v, 0)))[::2],  # strided: element path
        memoryview(as_bytes).cast("B"),
        BytesSubclass(values),
        tuple(values),
    ]
    calls = [lambda c, d=d: c.infer(1, [len(values)], "uint8", d) for d in variants]
    calls.append(lambda c: c.infer(1, [0], "uint8", memoryview(as_bytes)[0:0]))
    calls.append(lambda c: c.infer(1, [0], "uint8", []))
    requests = _recorded_requests(scripted_peer, calls)
    assert all(r == requests[0] for r in requests[: len(variants)])
    assert values in requests[0]
    assert requests[-2] == requests[-1]


def test_optional_arguments_shape_the_request(scripted_peer):
    base = (3, [1], "uint8", b"x")
    requests = _recorded_requests(
        scripted_peer,
        [
            lambda c: c.infer(*base),
            lambda c: c.infer(*base, additional_inputs={}),
            lambda c: c.infer(*base, additional_inputs=None, session_id=None),
            lambda c: c.infer(*base, session_id=""),
            lambda c: c.infer(*base, additional_inputs={"m": ([1], "uint8", b"\x01")}),
            lambda c: c.infer(*base, additional_inputs={"m": ([1], "u8", bytearray(b"\x01"))}),
        ],
    )
    plain, empty_extras, nones, empty_session, extras, extras_alias = requests
    assert plain == empty_extras == nones
    assert empty_session != plain  # an empty session id is present
    assert extras != plain and extras == extras_alias  # dtype names travel canonical
    assert plain[:4] == (3).to_bytes(4, "little")


# ---- Results --------------------------------------------------------------------------------


def test_infer_returns_one_int_per_byte(reference_server):
    client = ZeltoClient(socket_path=reference_server.pipe_path)
    data = bytes(random.Random(7).randrange(256) for _ in range(100_000)) + bytes(range(256))
    out = client.infer(1, [len(data)], "uint8", data)
    assert type(out) is list and out == list(data)
    assert all(type(v) is int for v in out[:300])
    assert client.infer(1, [], "uint8", b"") == []


def test_infer_tensor_returns_data_shape_and_canonical_dtype(reference_server):
    client = ZeltoClient(socket_path=reference_server.pipe_path)
    out = client.infer_tensor(1, (1, 4), "FP32", bytes(12) + b"\x00\x00\x80\x3f")
    assert out == ([0] * 12 + [0, 0, 128, 63], [1, 4], "float32")
    assert type(out) is tuple
    data, shape, dtype = client.infer_tensor(1, [-1, 2**63 - 1], "u8", b"x")
    assert (data, shape, dtype) == ([120], [-1, 2**63 - 1], "uint8")


def test_server_and_dtype_errors(reference_server):
    client = ZeltoClient(socket_path=reference_server.pipe_path)
    with pytest.raises(RuntimeError) as caught:
        client.infer(99, [1], "uint8", b"x")
    assert caught.value.args == ("model 99 is not loaded",)
    with pytest.raises(ValueError) as caught:
        client.infer(1, [1], "float128", b"x")
    assert str(caught.value) == "Invalid input: Unsupported dtype: float128"
    # The client stays usable after both.
    assert client.infer(1, [1], "uint8", b"x") == [120]


# ---- Streams --------------------------------------------------------------------------------


def test_stream_items_error_items_and_the_end(reference_server):
    client = ZeltoClient(socket_path=reference_server.pipe_path)
    it = client.infer_stream(4, [3, 2], "uint8", b"abcdef")
    assert iter(it) is it
    assert list(it) == [[97, 98], [99, 100], [101, 102]]

    flaky = client.infer_stream(5, [2, 1], "uint8", b"ab")
    assert next(flaky) == [97]
    with pytest.raises(RuntimeError, match="deliberate error"):
        next(flaky)
    assert next(flaky) == [98]
    with pytest.raises(StopIteration):
        next(flaky)


def test_stream_iterator_type(scripted_peer):
    peer = scripted_peer([[("request",), ("send", response(0))]])
    it = ZeltoClient(**peer.client_args).infer_stream(1, [1], "uint8", b"x")
    cls = type(it)
    assert cls.__name__ == "StreamIterator" and cls.__module__ == "builtins"
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match="^No constructor defined for StreamIterator$"):
        cls()
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_end_of_stream_is_remembered(scripted_peer):
    # The peer ends the stream and closes: reading on would fail with "failed to fill whole
    # buffer", so a second StopIteration shows that the end was remembered.
    peer = scripted_peer([[("request",), ("send", response(3, b"x")), ("close",)]])
    it = ZeltoClient(**peer.client_args).infer_stream(1, [1], "uint8", b"x")
    assert list(it) == []
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_broken_stream_reads_are_runtime_errors(scripted_peer):
    peer = scripted_peer([[("request",), ("send", b"\x02\x00\x00\x00"), ("close",)]])
    it = ZeltoClient(**peer.client_args).infer_stream(1, [1], "uint8", b"x")
    with pytest.raises(RuntimeError) as caught:
        next(it)
    assert caught.value.args == ("failed to fill whole buffer",)


def test_destroying_an_unfinished_iterator_closes_its_connection(scripted_peer):
    peer = scripted_peer([[("request",)]])  # then holds the connection until the client ends it
    it = ZeltoClient(**peer.client_args).infer_stream(1, [1], "uint8", b"x")
    assert peer.wait_for("request", 0)[2].startswith(b"\x01\x00\x00\x00\x02\x00\x00\x00")
    del it
    peer.wait_for("eof", 0)


@posix_only("a socket shut for reading fails its writer with EPIPE; a named pipe has no "
            "half-close")
def test_stream_write_failure_raises_by_error_category(scripted_peer):
    # The peer stops receiving and keeps the connection; a request far larger than the socket
    # buffer cannot be written completely, so the write fails with EPIPE.
    peer = scripted_peer([[("shutdown_read",), ("await", "never")]])
    with pytest.raises(BrokenPipeError) as caught:
        ZeltoClient(**peer.client_args).infer_stream(1, [1 << 23], "uint8", bytes(1 << 23))
    assert isinstance(caught.value, ConnectionError)
    assert caught.value.errno == 32 and caught.value.strerror is None
    assert caught.value.args == (f"{os.strerror(32)} (os error 32)",)
