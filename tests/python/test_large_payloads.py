"""Large and odd-sized payloads through every client, end to end against the reference server.

These go through the fast paths of the module: requests sent in one gathering write around the
caller's data, bytes inputs used without a copy by the shared-memory clients, and result lists
built in one pass. Whatever the path, the answer must be the exact echo, as a plain list.
"""

from __future__ import annotations

import sys
import time
import uuid
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import zelto_sdk
from conftest import ReferenceServer
from platforms import local_endpoint

SIZES = [0, 1, 70_001, (1 << 20) + 3]
INPUT_KINDS: dict[str, Callable[[bytes], Any]] = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "list": list,
}


def pattern(size: int) -> bytes:
    return bytes((i * 31 + 7) & 0xFF for i in range(min(size, 4096))) * (size // 4096 + 1)


@pytest.fixture(scope="module")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[dict[str, str]]:
    directory = tmp_path_factory.mktemp("large")
    name = "zelto-large-" + uuid.uuid4().hex[:10]
    server = ReferenceServer("--tcp", "127.0.0.1:0", "--pipe", local_endpoint(directory),
                             "--shm", name, "--tensor-area", str(40 << 20),
                             "--hybrid", local_endpoint(directory))
    yield {"tcp": server.listening["tcp"], "unix": server.listening["pipe"], "shm": name,
           "hybrid": server.listening["hybrid"]}
    status, err = server.stop()
    assert status == 0, err


@pytest.fixture(scope="module")
def clients(server: dict[str, str]) -> dict[str, Callable[[Any, int], list[int]]]:
    tcp = zelto_sdk.ZeltoClient("tcp://" + server["tcp"])
    unix = zelto_sdk.ZeltoClient(socket_path=server["unix"])
    shm = zelto_sdk.ZeltoShmClient(server["shm"])
    hybrid = zelto_sdk.ZeltoHybridClient(server["shm"], server["hybrid"])
    return {
        "tcp": lambda data, n: tcp.infer(1, [n], "uint8", data),
        "unix": lambda data, n: unix.infer(1, [n], "uint8", data),
        "shm": lambda data, n: shm.infer([n], "uint8", data),
        "hybrid": lambda data, n: hybrid.infer([n], "uint8", data),
    }


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind", INPUT_KINDS)
@pytest.mark.parametrize("transport", ["tcp", "unix", "shm", "hybrid"])
def test_echo_is_exact_for_every_input_kind(clients, transport: str, kind: str, size: int) -> None:
    data = pattern(size)[:size]
    result = clients[transport](INPUT_KINDS[kind](data), size)
    assert type(result) is list
    assert len(result) == size
    assert result == list(data)


@pytest.fixture(scope="module")
def bytes_clients(server: dict[str, str]) -> dict[str, Callable[[Any, int], bytes]]:
    tcp = zelto_sdk.ZeltoClient("tcp://" + server["tcp"])
    unix = zelto_sdk.ZeltoClient(socket_path=server["unix"])
    shm = zelto_sdk.ZeltoShmClient(server["shm"])
    hybrid = zelto_sdk.ZeltoHybridClient(server["shm"], server["hybrid"])
    return {
        "tcp": lambda data, n: tcp.infer_bytes(1, [n], "uint8", data),
        "unix": lambda data, n: unix.infer_bytes(1, [n], "uint8", data),
        "shm": lambda data, n: shm.infer_bytes([n], "uint8", data),
        "hybrid": lambda data, n: hybrid.infer_bytes([n], "uint8", data),
        "stream": lambda data, n: b"".join(tcp.infer_stream_bytes(4, [1, n], "uint8", data)),
    }


@pytest.mark.parametrize("size", SIZES + [(6 << 20) + 5])
@pytest.mark.parametrize("transport", ["tcp", "unix", "shm", "hybrid", "stream"])
def test_bytes_results_equal_the_lists(clients, bytes_clients, transport: str, size: int) -> None:
    data = pattern(size)[:size]
    result = bytes_clients[transport](data, size)
    assert type(result) is bytes
    assert result == data
    if transport != "stream":
        assert result == bytes(clients[transport](data, size))


@pytest.mark.parametrize("gap", [0.0, 0.00005, 0.0003, 0.02])
@pytest.mark.parametrize("transport", ["tcp", "unix", "hybrid"])
def test_requests_apart_by_any_gap_are_answered(clients, transport: str, gap: float) -> None:
    # Client and server each poll for a while before they block: requests that come back to
    # back, just inside or just past those windows, or long after, are all answered in order.
    for i in range(20):
        data = bytes([i]) * (i * 37 % 200 + 1)
        assert clients[transport](data, len(data)) == list(data)
        time.sleep(gap)


def test_infer_tensor_data_is_a_full_list(server: dict[str, str]) -> None:
    client = zelto_sdk.ZeltoClient("tcp://" + server["tcp"])
    data = pattern(300_000)[:300_000]
    values, shape, dtype = client.infer_tensor(1, [300_000], "u8", data)
    assert (values, shape, dtype) == (list(data), [300_000], "uint8")


@pytest.mark.parametrize("transport", ["tcp", "shm"])
def test_results_hold_exactly_one_reference_per_item(clients, transport: str) -> None:
    # Every item of a result is one of the interpreter's shared small ints: building a result
    # must take one reference per item and dropping it must give them all back.
    data = bytes([200]) * 50_000
    before = sys.getrefcount(200)
    result = clients[transport](data, len(data))
    # A few references more or less come and go with the interpreter's own bookkeeping; a
    # reference too many or too few per item would show as tens of thousands.
    assert abs(sys.getrefcount(200) - (before + len(data))) < 100
    del result
    assert abs(sys.getrefcount(200) - before) < 100


@pytest.mark.parametrize("items", [[200] * 50_000, [True, 200, False] * 20_000])
def test_list_input_leaves_reference_counts_as_they_were(clients, items: list[int]) -> None:
    # Exact ints of an input list are read without a reference of their own, other items with
    # one: either way the conversion must give back exactly what it took.
    before = sys.getrefcount(200), sys.getrefcount(True)
    assert clients["shm"](items, len(items)) == [int(item) for item in items]
    after = sys.getrefcount(200), sys.getrefcount(True)
    assert all(abs(a - b) < 100 for a, b in zip(after, before))


@pytest.mark.parametrize("transport", ["tcp", "unix", "shm", "hybrid"])
def test_multi_megabyte_echo(clients, transport: str) -> None:
    # Large enough for the buffers that are advised as huge-page backed.
    size = (6 << 20) + 5
    data = pattern(size)[:size]
    assert clients[transport](bytearray(data), size) == list(data)


class Mutating:
    """A byte value whose __index__ changes the list being converted, as a list iterator sees it."""

    def __init__(self, value: int, change: Callable[[list[Any]], None]) -> None:
        self.value, self.change = value, change
        self.target: list[Any] = []

    def __index__(self) -> int:
        self.change(self.target)
        return self.value


@pytest.mark.parametrize("change, expected", [
    (lambda items: items.clear(), [1, 2]),            # the list ends where it now ends
    (lambda items: items.append(9), [1, 2, 3, 9]),    # items appended meanwhile are taken too
    (lambda items: items.__setitem__(2, 7), [1, 2, 7]),
])
def test_list_data_is_read_as_its_iterator_reads_it(server: dict[str, str], change,
                                                    expected: list[int]) -> None:
    client = zelto_sdk.ZeltoClient("tcp://" + server["tcp"])
    item = Mutating(2, change)
    data: list[Any] = [1, item, 3]
    item.target = data
    assert client.infer(1, [3], "uint8", data) == expected
