"""infer_into: the output written into the caller's buffer, on every client."""

from __future__ import annotations

import array
import mmap
import uuid

import pytest

import zelto_sdk
from conftest import ReferenceServer
from platforms import local_endpoint


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    region = "zelto-into-" + uuid.uuid4().hex[:12]
    hybrid = local_endpoint(tmp_path_factory.mktemp("into"))
    started = ReferenceServer("--tcp", "127.0.0.1:0", "--shm", region, "--hybrid", hybrid,
                              "--tensor-area", str(16 << 20))
    started.region, started.hybrid = region, hybrid
    yield started
    started.stop()


class Client:
    """One client of a kind, with its infer_into and infer_bytes taking (data, out)."""

    def __init__(self, kind: str, server: ReferenceServer, release_gil: bool = False) -> None:
        if kind == "tcp":
            self.client = zelto_sdk.ZeltoClient("tcp://" + server.listening["tcp"],
                                                release_gil=release_gil)
            self.prefix: tuple = (1,)
        elif kind == "shm":
            self.client = zelto_sdk.ZeltoShmClient(server.region, release_gil=release_gil)
            self.prefix = ()
        else:
            self.client = zelto_sdk.ZeltoHybridClient(server.region, server.hybrid,
                                                      release_gil=release_gil)
            self.prefix = ()

    def into(self, data: bytes, out) -> int:
        return self.client.infer_into(*self.prefix, [len(data)], "uint8", data, out=out)

    def echo(self, data: bytes) -> bytes:
        return self.client.infer_bytes(*self.prefix, [len(data)], "uint8", data)


KINDS = ["tcp", "shm", "hybrid"]


def buffers(size: int):
    yield "bytearray", bytearray(size)
    yield "memoryview", memoryview(bytearray(size + 8))[8:]
    yield "array", array.array("f", bytes(size))
    anonymous = mmap.mmap(-1, size)
    yield "mmap", anonymous


@pytest.mark.parametrize("release_gil", [False, True])
@pytest.mark.parametrize("size", [0, 64, 3 << 20])
@pytest.mark.parametrize("kind", KINDS)
def test_output_lands_at_the_start_of_any_writable_buffer(server, kind, size, release_gil):
    client = Client(kind, server, release_gil)
    data = bytes(i % 251 for i in range(size))
    for name, out in buffers(size + 16):
        view = memoryview(out).cast("B")
        view[size:] = b"\xee" * 16
        assert client.into(data, out) == size, name
        assert bytes(view[:size]) == data, name
        assert bytes(view[size:]) == b"\xee" * 16, name  # nothing past the output is touched
        view.release()


@pytest.mark.parametrize("kind", KINDS)
def test_an_output_longer_than_the_buffer_is_refused_and_the_client_goes_on(server, kind):
    client = Client(kind, server)
    out = bytearray(10)
    for size in (11, 2 << 20):
        with pytest.raises(ValueError) as caught:
            client.into(bytes(size), out)
        assert str(caught.value) == f"output of {size} bytes does not fit in a buffer of 10 bytes"
        assert client.echo(b"next") == b"next"


@pytest.mark.parametrize("out", [b"read-only", memoryview(bytearray(8))[::2], "text", None, 3])
@pytest.mark.parametrize("kind", KINDS)
def test_a_buffer_that_cannot_be_written_in_place_is_a_type_error(server, kind, out):
    client = Client(kind, server)
    with pytest.raises(TypeError, match="^argument 'out' must be a writable, C-contiguous buffer$"):
        client.into(b"abc", out)
    assert client.echo(b"next") == b"next"


def test_out_is_keyword_only_and_required():
    with pytest.raises(TypeError, match=r"^ZeltoClient\.infer_into\(\) missing 1 required "
                                        r"keyword-only argument: 'out'$"):
        zelto_sdk.ZeltoClient().infer_into(1, [1], "uint8", b"a")
    with pytest.raises(TypeError, match="takes from 4 to 6 positional arguments"):
        zelto_sdk.ZeltoClient().infer_into(1, [1], "uint8", b"a", None, None, bytearray(1))
