"""zelto_sdk.aio: the asyncio clients, against the reference server, on each event loop the
platform has (asyncio's default, and uvloop where it installs)."""

from __future__ import annotations

import asyncio
import os
import pickle
import socket
import subprocess
import sys
import threading
import time

import pytest

import child_process
import zelto_sdk
from platforms import WINDOWS
from socket_peer import response, tensor_payload

SLOW_MS = 200

try:
    import uvloop
except ImportError:  # not on Windows
    uvloop = None

LOOPS = ["asyncio"] + (["uvloop"] if uvloop is not None else [])


@pytest.fixture(params=LOOPS)
def run(request):
    """Runs a coroutine to its end on a new loop of the kind the test is for, bounded so that a
    hang fails the test."""

    def run_on_loop(coroutine, timeout: float = 30):
        bounded = asyncio.wait_for(coroutine, timeout)
        if request.param == "uvloop":
            return uvloop.run(bounded)
        return asyncio.run(bounded)

    return run_on_loop


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    from conftest import ReferenceServer
    from platforms import local_endpoint

    pipe = local_endpoint(tmp_path_factory.mktemp("aio"))
    started = ReferenceServer("--tcp", "127.0.0.1:0", "--pipe", pipe,
                              "--slow-delay-ms", str(SLOW_MS))
    yield started
    started.stop()


@pytest.fixture(params=["tcp", "pipe"])
def endpoint(request, server) -> dict:
    if request.param == "tcp":
        return {"port": server.tcp_port}
    return {"socket_path": server.pipe_path}


def library_threads() -> int:
    if WINDOWS:
        return threading.active_count()
    return len(os.listdir("/proc/self/task"))


# Each method with its arguments: the asyncio client answers exactly as its blocking twin.
CALLS = [
    ("infer", (1, [3], "u8", b"abc")),
    ("infer_tensor", (2, [2, 1], "float32", b"\x00\x00\xc0?\x00\x00\x00\xc0")),
    ("infer_bytes", (1, [3], "u8", b"abc")),
    ("infer_tensor_bytes", (6, [1], "u8", b"x", None, "sess-7")),
    ("infer_bytes", (3, [2], "float32", bytes(8), {"extra": ([1], "u8", b"z")})),
    # Large enough that the runtime may read on what the loop's thread began.
    ("infer_bytes", (1, [256 << 10], "u8", bytes(range(256)) * 1024)),
]


@pytest.mark.parametrize("method, args", CALLS)
def test_answers_as_the_blocking_twin(run, endpoint, method, args):
    expected = getattr(zelto_sdk.ZeltoClient(**endpoint), method)(*args)

    async def main():
        async with zelto_sdk.aio.ZeltoClient(**endpoint) as client:
            call = getattr(client, method)
            # On a new connection (the runtime's), then on the pooled one, where the lone call
            # is answered on the loop's thread, awaited and as a task.
            return [await call(*args), await call(*args), await asyncio.create_task(call(*args))]

    assert run(main()) == [expected] * 3


REFUSED = {"host": "127.0.0.1", "port": 1}


@pytest.mark.parametrize("refused, args, error", [
    (False, (9, [1], "u8", b"a"), RuntimeError),
    (False, (1, [1], "u9", b"a"), ValueError),
    (True, (1, [1], "u8", b"a"), ConnectionError),
], ids=["server_error", "bad_dtype", "refused"])
def test_errors_are_the_blocking_twins(run, endpoint, refused, args, error):
    settings = REFUSED if refused else endpoint
    with pytest.raises(error) as blocking:
        zelto_sdk.ZeltoClient(**settings).infer(*args)

    async def main():
        await zelto_sdk.aio.ZeltoClient(**settings).infer(*args)

    with pytest.raises(error) as raised:
        run(main())
    assert (str(raised.value), getattr(raised.value, "errno", None)) == (
        str(blocking.value), getattr(blocking.value, "errno", None))


def test_binding_errors_and_a_closed_client(run, endpoint):
    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint)
        with pytest.raises(TypeError, match=r"^ZeltoClient.infer_bytes\(\) missing 1 required positional argument: 'data'$"):
            client.infer_bytes(1, [1], "u8")
        out = bytearray(2)
        with pytest.raises(ValueError, match="^output of 3 bytes does not fit in a buffer of 2 bytes$"):
            await client.infer_into(1, [3], "u8", b"abc", out=out)
        assert await client.infer_into(1, [2], "u8", b"ab", out=out) == 2 and out == b"ab"
        await client.close()
        with pytest.raises(RuntimeError, match="^Client is closed$"):
            await client.infer_bytes(1, [1], "u8", b"a")

    run(main())


@pytest.mark.parametrize("method, item", [("infer_stream", list), ("infer_stream_bytes", bytes)])
def test_streams(run, endpoint, method, item):
    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint)
        stream = getattr(client, method)
        rows = [row async for row in stream(4, [3, 2], "u8", b"abcdef")]
        flaky = stream(5, [2], "u8", b"xy")
        first = await flaky.__anext__()
        with pytest.raises(RuntimeError, match=r"^model 5 \(flaky rows\): a deliberate error"):
            await flaky.__anext__()
        rest = [row async for row in flaky]
        return rows, first, rest

    assert run(main()) == ([item(b"ab"), item(b"cd"), item(b"ef")], item(b"x"), [item(b"y")])


def test_a_thousand_calls_in_flight_each_get_their_own_answer(run, endpoint):
    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint)
        await client.infer_bytes(1, [1], "u8", b"a")
        threads = library_threads()
        started = time.monotonic()
        answers = await asyncio.gather(*[
            client.infer_bytes(7, [4], "u8", i.to_bytes(4, "little")) for i in range(1000)])
        return answers, time.monotonic() - started, library_threads() - threads

    answers, took, more_threads = run(main(), timeout=120)
    assert answers == [i.to_bytes(4, "little") for i in range(1000)]
    assert more_threads == 0
    # The calls wait at once: one after another they would take 1000 x SLOW_MS (200 s).
    assert took < 250 * SLOW_MS / 1000


def test_calls_run_as_tasks_and_a_cancelled_call_leaves_nothing_behind(run, endpoint):
    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint, max_pool_size=1)
        task = asyncio.create_task(client.infer_bytes(7, [3], "u8", b"old"))
        await asyncio.sleep(SLOW_MS / 4000)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(client.infer_bytes(7, [3], "u8", b"old"), SLOW_MS / 4000)
        # The next calls get their own answers, never the cancelled calls' late ones.
        return [await client.infer_bytes(7, [3], "u8", b"new") for _ in range(2)]

    assert run(main()) == [b"new", b"new"]


# A peer that stalls the exchange at each stage; the call is cancelled there (wait_for), and the
# next call, on a connection of its own, gets its own answer.
DATA = b"\x01\x02\x03"
ANSWER = [("request",), ("send", response(0, tensor_payload([3], "uint8", DATA)))]
ITEM = response(2, tensor_payload([3], "uint8", DATA))
STAGES = {
    "write": ([("await", "go")], 8 << 20),  # reads nothing: a large request cannot leave
    "read": ([("request",)], 3),  # never answers
    "mid_stream": ([("request",), ("send", ITEM)], 3),  # one item, then nothing
}


@pytest.mark.parametrize("stage", STAGES)
def test_a_call_cancelled_at_any_stage_leaves_the_next_its_own_answer(scripted_peer, stage):
    stall, size = STAGES[stage]
    peer = scripted_peer([stall, ANSWER], transport="tcp")

    async def main():
        client = zelto_sdk.aio.ZeltoClient(**peer.client_args)
        if stage == "mid_stream":
            stream = client.infer_stream_bytes(4, [size], "u8", bytes(size))
            assert await stream.__anext__() == DATA
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(stream.__anext__(), 0.2)
            with pytest.raises(StopAsyncIteration):  # the stream ended with its connection
                await stream.__anext__()
        else:
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(client.infer_bytes(7, [size], "u8", bytes(size)), 0.2)
        return await client.infer_bytes(7, [3], "u8", DATA)

    assert asyncio.run(asyncio.wait_for(main(), 30)) == DATA
    peer.signal("go")
    peer.wait_for("eof", 0)


# A lone call on a pooled connection reads its answer on the loop's thread first; a connection
# dropped after the request left is tried again on a new one, and an answer still coming when
# the loop's thread gives up is read to its end by the runtime.
A, B = (response(0, tensor_payload([1], "uint8", data)) for data in (b"a", b"b"))
LONE_CALL_ENDINGS = {
    "close": [[("request",), ("send", A), ("request",), ("close",)], [("request",), ("send", B)]],
    "reset": [[("request",), ("send", A), ("request",), ("reset",)], [("request",), ("send", B)]],
    "trickle": [[("request",), ("send", A), ("request",), ("trickle", B, 0.002)]],
}


@pytest.mark.parametrize("ending", LONE_CALL_ENDINGS)
def test_a_lone_call_on_a_pooled_connection_gets_its_answer(scripted_peer, ending):
    peer = scripted_peer(LONE_CALL_ENDINGS[ending], transport="tcp")

    async def main():
        client = zelto_sdk.aio.ZeltoClient(**peer.client_args)
        return [await client.infer_bytes(1, [1], "u8", b"x") for _ in range(2)]

    assert asyncio.run(asyncio.wait_for(main(), 30)) == [b"a", b"b"]


def test_socket_timeout_ends_a_call_with_timeout_error(run, endpoint):
    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint, socket_timeout=SLOW_MS / 4000)
        started = time.monotonic()
        with pytest.raises(TimeoutError, match="^Request timed out$"):
            await client.infer_bytes(7, [1], "u8", b"a")
        return time.monotonic() - started, await client.infer_bytes(1, [1], "u8", b"b")

    took, answer = run(main())
    assert took < 5 and answer == b"b"


# ---- The shared-memory and hybrid clients ---------------------------------------------------

REGION_MS = 50


@pytest.fixture(scope="module")
def region_server(tmp_path_factory):
    import uuid

    from conftest import ReferenceServer
    from platforms import local_endpoint

    region = "zelto-aio-" + uuid.uuid4().hex[:12]
    path = local_endpoint(tmp_path_factory.mktemp("aio-hybrid"))
    started = ReferenceServer("--shm", region, "--hybrid", path, "--tensor-area", str(1 << 22),
                              "--shm-model", "7", "--slow-delay-ms", str(REGION_MS))
    started.args = {"shm": (region,), "hybrid": (region, path)}
    yield started
    started.stop()


@pytest.fixture(params=["shm", "hybrid"])
def region_client(request, region_server):
    """The class and constructor arguments of a client of the region server's region."""
    name = "ZeltoShmClient" if request.param == "shm" else "ZeltoHybridClient"
    return name, region_server.args[request.param]


def test_region_calls_in_flight_get_their_own_answers(run, region_client):
    name, args = region_client
    blocking = getattr(zelto_sdk, name)(*args)

    async def main():
        async with getattr(zelto_sdk.aio, name)(*args) as client:
            single = (await client.infer([3], "u8", b"abc"), await client.infer_bytes([2], "u8", b"xy"))
            out = bytearray(4)
            into = await client.infer_into([3], "u8", b"def", out=out), bytes(out)
            # More calls than the pool has slots: the later ones wait for a slot, none fails.
            many = await asyncio.gather(*[client.infer_bytes([4], "u8", i.to_bytes(4, "little"))
                                          for i in range(40)])
            return single, into, many

    single, into, many = run(main())
    assert single == (blocking.infer([3], "u8", b"abc"), b"xy")
    assert into == (3, b"def\x00")
    assert many == [i.to_bytes(4, "little") for i in range(40)]


def test_a_cancelled_region_call_leaves_the_next_its_own_answer(run, region_client):
    name, args = region_client

    async def main():
        client = getattr(zelto_sdk.aio, name)(*args)
        task = asyncio.create_task(client.infer_bytes([3], "u8", b"old"))
        await asyncio.sleep(REGION_MS / 4000)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: u9$"):
            await client.infer_bytes([1], "u9", b"a")
        answers = [await client.infer_bytes([3], "u8", b"new") for _ in range(2)]
        await client.close()
        with pytest.raises(RuntimeError, match="^Client is closed$"):
            await client.infer_bytes([1], "u8", b"a")
        return answers

    assert run(main()) == [b"new", b"new"]


# A call whose tensor fits no slot of the pool waits while another call of its client holds one
# (that slot may be the one it needs), and fails as the blocking twin once none does.
def test_a_call_no_slot_can_take_fails_once_the_others_end(run, region_client):
    name, args = region_client
    huge = bytes(8 << 20)

    async def main():
        client = getattr(zelto_sdk.aio, name)(*args)
        return await asyncio.gather(client.infer_bytes([3], "u8", b"abc"),
                                    client.infer_bytes([len(huge)], "u8", huge),
                                    return_exceptions=True)

    small, failed = run(main(), timeout=20)
    assert small == b"abc"
    assert isinstance(failed, RuntimeError) and str(failed).startswith("SHM tensor pool exhausted")


def test_a_connect_to_a_full_backlog_is_cancelled():
    async def main():
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        filler = socket.create_connection(listener.getsockname())  # noqa: F841
        host, port = listener.getsockname()
        client = zelto_sdk.aio.ZeltoClient(host=host, port=port)
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(client.infer_bytes(1, [1], "u8", b"a"), 0.2)
        return time.monotonic() - started

    assert asyncio.run(main()) < 5


def test_loops_in_two_threads(endpoint):
    results = {}

    def worker(name):
        async def main():
            client = zelto_sdk.aio.ZeltoClient(**endpoint)
            return await asyncio.gather(*[client.infer_bytes(1, [2], "u8", name + bytes([i]))
                                          for i in range(50)])

        results[name] = asyncio.run(main())

    threads = [threading.Thread(target=worker, args=(n,)) for n in (b"A", b"B")]
    [t.start() for t in threads]
    [t.join(30) for t in threads]
    assert results == {n: [n + bytes([i]) for i in range(50)] for n in (b"A", b"B")}


# The README's service example: an asyncio endpoint and the to_thread recipe beside it, each
# taking many requests at once, every answer right.
def test_the_service_example(server):
    from pathlib import Path

    example = Path(__file__).resolve().parents[2] / "examples" / "aio_service.py"
    finished = subprocess.run([sys.executable, str(example), "--port", str(server.tcp_port),
                               "--requests", "100"], capture_output=True, text=True, timeout=60)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines()[-1] == "100 requests on each endpoint at once, 0 wrong"


def test_the_module_and_its_classes():
    import zelto_sdk.aio as aio
    from zelto_sdk.aio import ZeltoClient

    assert aio is zelto_sdk.aio and aio.__spec__.name == "zelto_sdk.aio"
    assert ZeltoClient.__module__ == "zelto_sdk.aio"
    assert "aio" not in dir(zelto_sdk)
    client = ZeltoClient("tcp://127.0.0.1:9", api_token="s3cret")
    assert repr(client) == "ZeltoClient('tcp://127.0.0.1:9')"
    copy = pickle.loads(pickle.dumps(client))
    assert type(copy) is ZeltoClient and copy.endpoint() == client.endpoint()
    with pytest.raises(TypeError, match="release_gil"):
        ZeltoClient(release_gil=True)
    assert aio.ZeltoShmClient.__module__ == aio.ZeltoHybridClient.__module__ == "zelto_sdk.aio"


def calls_in_child(control, endpoint, region_clients):
    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint)
        refused = []
        for made in region_clients:
            try:
                await made.infer_bytes([1], "u8", b"c")
            except RuntimeError as error:
                refused.append(str(error))
        return await client.infer_bytes(1, [5], "u8", b"child"), refused

    return asyncio.run(main())


@pytest.mark.skipif(WINDOWS, reason="needs fork()")
def test_a_forked_child_runs_socket_calls_of_its_own_and_region_clients_refuse(endpoint,
                                                                              region_server):
    region_clients = [zelto_sdk.aio.ZeltoShmClient(*region_server.args["shm"]),
                      zelto_sdk.aio.ZeltoHybridClient(*region_server.args["hybrid"])]

    async def main():
        client = zelto_sdk.aio.ZeltoClient(**endpoint)
        return [await client.infer_bytes(1, [6], "u8", b"parent")] + [
            await made.infer_bytes([1], "u8", b"p") for made in region_clients]

    assert asyncio.run(main()) == [b"parent", b"p", b"p"]
    refusal = "This client was created in another process; create a new one in this process"
    assert child_process.run(calls_in_child, endpoint, region_clients) == (
        b"child", [refusal, refusal])


EXIT_WITH_CALLS_PENDING = """
import asyncio, sys, zelto_sdk.aio
async def main():
    make = getattr(zelto_sdk.aio, sys.argv[1])
    client = make(*sys.argv[2:]) if sys.argv[1] != "ZeltoClient" else make(port=int(sys.argv[2]))
    args = ([7] if sys.argv[1] == "ZeltoClient" else []) + [[1], "u8", b"a"]
    calls = [asyncio.ensure_future(client.infer_bytes(*args)) for _ in range(5)]
    await asyncio.sleep(0.01)
    print("exiting", flush=True)
    sys.exit(0)
asyncio.run(main())
"""


@pytest.mark.parametrize("kind", ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"])
def test_interpreter_exit_with_calls_pending_is_quiet(server, region_server, kind):
    args = {"ZeltoClient": [str(server.tcp_port)], "ZeltoShmClient": region_server.args["shm"],
            "ZeltoHybridClient": region_server.args["hybrid"]}[kind]
    done = subprocess.run([sys.executable, "-c", EXIT_WITH_CALLS_PENDING, kind, *args],
                          capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")
