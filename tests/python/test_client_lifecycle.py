"""A client's life beyond its calls: repr, pickling and copies, close() and `with`, the version,
and the system's error number on errors the system caused."""

from __future__ import annotations

import copy
import errno
import pickle
import re
import threading
import uuid
from pathlib import Path

import pytest

import zelto_sdk
from conftest import ReferenceServer
from platforms import local_endpoint

SLOW_MS = 300


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    directory = tmp_path_factory.mktemp("lifecycle")
    region = "zelto-life-" + uuid.uuid4().hex[:12]
    hybrid = local_endpoint(directory)
    started = ReferenceServer("--tcp", "127.0.0.1:0", "--shm", region, "--hybrid", hybrid,
                              "--tensor-area", str(1 << 20), "--shm-model", "7",
                              "--slow-delay-ms", str(SLOW_MS))
    started.region, started.hybrid = region, hybrid
    yield started
    started.stop()


# Each client kind: how to make one (with a secret token where the class takes one), its repr,
# and a call that echoes b"hello" (slowly, SLOW_MS, for the thread test).
def make(kind: str, server: ReferenceServer, **settings):
    if kind == "tcp":
        return zelto_sdk.ZeltoClient("tcp://" + server.listening["tcp"], api_token="s3cret",
                                     max_pool_size=2, **settings)
    if kind == "shm":
        return zelto_sdk.ZeltoShmClient(server.region, **settings)
    return zelto_sdk.ZeltoHybridClient(server.region, server.hybrid, **settings)


def shown(kind: str, server: ReferenceServer) -> str:
    if kind == "tcp":
        return f"ZeltoClient('tcp://{server.listening['tcp']}')"
    if kind == "shm":
        return f"ZeltoShmClient({server.region!r})"
    return f"ZeltoHybridClient({server.region!r}, {server.hybrid!r})"


def call(client) -> bytes:
    if isinstance(client, zelto_sdk.ZeltoClient):
        return client.infer_bytes(7, [5], "uint8", b"hello")
    return client.infer_bytes([5], "uint8", b"hello")


KINDS = ["tcp", "shm", "hybrid"]


def test_version_is_the_packages():
    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    declared = re.search(r'^version = "([^"]+)"$', pyproject.read_text(), re.M)
    assert declared and zelto_sdk.__version__ == declared.group(1)


@pytest.mark.parametrize("kind", KINDS)
def test_repr_shows_the_endpoint_never_the_token(server, kind):
    client = make(kind, server)
    assert repr(client) == shown(kind, server)
    client.close()
    assert repr(client) == shown(kind, server)


# A copy is a new client with the same settings: it works while the original is closed, and
# the original's connections and mappings stay its own.
@pytest.mark.parametrize("duplicate", [
    lambda c: pickle.loads(pickle.dumps(c)),
    lambda c: pickle.loads(pickle.dumps(c, protocol=0)),
    copy.copy,
    copy.deepcopy,
], ids=["pickle", "pickle-0", "copy", "deepcopy"])
@pytest.mark.parametrize("kind", KINDS)
def test_copies_are_new_clients_with_the_same_settings(server, kind, duplicate):
    original = make(kind, server, release_gil=True)
    assert call(original) == b"hello"
    twin = duplicate(original)
    assert type(twin) is type(original) and twin is not original
    assert repr(twin) == repr(original)
    original.close()
    assert call(twin) == b"hello"
    with pytest.raises(RuntimeError, match="^Client is closed$"):
        call(original)


def test_a_pickled_client_carries_its_token_and_settings(server):
    client = zelto_sdk.ZeltoClient("tcp://" + server.listening["tcp"], api_token="s3cret",
                                   socket_timeout=2.5)
    function, (name, arguments) = client.__reduce__()
    assert function is zelto_sdk._restore_client and name == "ZeltoClient"
    assert arguments == {"endpoint": "tcp://" + server.listening["tcp"], "api_token": "s3cret",
                         "socket_timeout": 2.5}
    with pytest.raises(TypeError):
        zelto_sdk._restore_client("StreamIterator", {})
    assert "_restore_client" not in vars(zelto_sdk)


@pytest.mark.parametrize("kind", KINDS)
def test_close_and_with(server, kind):
    with make(kind, server) as client:
        assert call(client) == b"hello"
    for _ in range(2):  # closing again does nothing
        client.close()
        with pytest.raises(RuntimeError, match="^Client is closed$"):
            call(client)


# close() from another thread waits for the call in flight, which gets its answer.
@pytest.mark.parametrize("kind", KINDS)
def test_close_waits_for_a_call_in_flight(server, kind):
    client = make(kind, server, release_gil=True)
    call(client)
    results: list[object] = []
    started = threading.Event()

    def run() -> None:
        started.set()
        results.append(call(client))

    worker = threading.Thread(target=run)
    worker.start()
    started.wait()
    # The call is inside the engine well before the slow model answers.
    threading.Event().wait(SLOW_MS / 3000)
    client.close()
    assert results == [b"hello"]
    worker.join(10)
    with pytest.raises(RuntimeError, match="^Client is closed$"):
        call(client)


def test_closing_a_socket_client_closes_its_idle_connections(server):
    client = make("tcp", server)
    call(client)
    stream = client.infer_stream_bytes(7, [2], "uint8", b"ab")
    client.close()
    # An open stream keeps its own connection.
    assert b"".join(stream) == b"ab"


@pytest.mark.parametrize("make_failing, kind", [
    (lambda tmp: zelto_sdk.ZeltoClient("tcp://127.0.0.1:1").infer(1, [1], "uint8", b"a"),
     ConnectionError),
    (lambda tmp: zelto_sdk.ZeltoShmClient("zelto-none-" + uuid.uuid4().hex), ConnectionError),
])
def test_errors_the_system_caused_carry_its_number(tmp_path, make_failing, kind):
    with pytest.raises(kind) as caught:
        make_failing(tmp_path)
    number = int(re.search(r"os error (\d+)\)?$", str(caught.value)).group(1))
    assert caught.value.errno == number
    assert caught.value.args == (str(caught.value),)
    assert number in (errno.ECONNREFUSED, errno.ENOENT, 2, 111, 10061)


def test_other_errors_have_no_number():
    with pytest.raises(ValueError) as caught:
        zelto_sdk.ZeltoClient(protocol="carrier-pigeon")
    assert not hasattr(caught.value, "errno")


def echo_in_worker(job: tuple[object, int]) -> bytes:
    client, number = job
    data = number.to_bytes(4, "little")
    if isinstance(client, zelto_sdk.ZeltoClient):
        return client.infer_bytes(1, [4], "uint8", data)
    return client.infer_bytes([4], "uint8", data)


# A process pool started with spawn takes a client in its jobs' arguments; each worker makes its
# own from the pickle.
@pytest.mark.parametrize("kind", KINDS)
def test_clients_travel_to_spawned_workers(kind, tmp_path):
    import multiprocessing

    region = "zelto-spawn-" + uuid.uuid4().hex[:12]
    hybrid = local_endpoint(tmp_path)
    server = ReferenceServer("--tcp", "127.0.0.1:0", "--shm", region, "--hybrid", hybrid,
                             "--tensor-area", str(1 << 20))
    try:
        server.region, server.hybrid = region, hybrid
        client = make(kind, server)
        jobs = [(client, number) for number in range(40)]
        with multiprocessing.get_context("spawn").Pool(2) as pool:
            answers = pool.map(echo_in_worker, jobs, chunksize=5)
        assert answers == [number.to_bytes(4, "little") for number in range(40)]
    finally:
        server.stop()


# The example maps inference over a few hundred items on a Dask cluster of worker processes,
# with a client captured from the driver.
def test_dask_batch_example(reference_server):
    pytest.importorskip("distributed")
    import subprocess
    import sys

    example = Path(__file__).resolve().parents[2] / "examples" / "dask_batch.py"
    finished = subprocess.run(
        [sys.executable, str(example), "--port", str(reference_server.tcp_port), "--items", "300"],
        capture_output=True, text=True, timeout=300)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines()[-1] == "300 items doubled on 2 worker processes, 0 wrong"
