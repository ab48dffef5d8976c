"""A region through its server's life, as its clients see it: the server restarted under the same
names, and many worker processes calling through one region at once."""

from __future__ import annotations

import logging
import uuid
from collections.abc import Callable

import pytest

import zelto_sdk
from child_process import ClientScript
from conftest import ReferenceServer
from platforms import WINDOWS, local_endpoint


class Names:
    def __init__(self, directory: str) -> None:
        self.region = "zelto-life-" + uuid.uuid4().hex[:12]
        self.hybrid = local_endpoint(directory)

    def client(self, kind: str):
        # release_gil: the move to a new region happens while the call runs without the
        # interpreter lock, so it must not touch Python (the attach record's logging, say).
        if kind == "shm":
            return zelto_sdk.ZeltoShmClient(self.region, release_gil=True)
        return zelto_sdk.ZeltoHybridClient(self.region, self.hybrid, release_gil=True)


@pytest.fixture
def names(tmp_path) -> Names:
    return Names(str(tmp_path))


def serve(start: Callable[..., ReferenceServer], names: Names, *options: str) -> ReferenceServer:
    return start("--shm", names.region, "--hybrid", names.hybrid, "--tensor-area", str(4 << 20),
                 *options)


# A client made before the server restarts and first called after it, and one used on both
# sides of the restart, get their own answers from the new region, never an answer the old
# region held for another client. A hybrid connection opened before the restart stays broken.
@pytest.mark.parametrize("stop", ["clean", "killed"])
@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_clients_follow_their_region_across_a_server_restart(start_reference_server, names: Names,
                                                             kind: str, stop: str,
                                                             caplog) -> None:
    caplog.set_level(logging.INFO, logger="zelto_shm::memory")
    server = serve(start_reference_server, names)
    other = names.client(kind)
    assert other.infer_bytes([15], "uint8", b"SECRET-OF-OTHER") == b"SECRET-OF-OTHER"
    used = names.client(kind)
    assert used.infer_bytes([6], "uint8", b"before") == b"before"
    late = names.client(kind)
    if stop == "killed":
        server.process.kill()
        server.process.wait()
    else:
        server.stop()
    serve(start_reference_server, names)

    assert late.infer_bytes([5], "uint8", b"hello") == b"hello"
    assert late.infer_bytes([5], "uint8", b"again") == b"again"
    if kind == "shm":
        assert used.infer_bytes([5], "uint8", b"after") == b"after"
    else:
        with pytest.raises((OSError, RuntimeError)):
            used.infer_bytes([5], "uint8", b"after")


# An asyncio client with a call in flight when its server restarts: a call made before that
# one is over reaches the new region (a hybrid call opening its new connection attaches to it
# first; a shared-memory call is sent again there when no answer comes), never an offset of the
# old region read in the new one. The call in flight is sent again (shm) or fails with its
# broken connection (hybrid).
@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_aio_calls_follow_a_restart_with_a_call_in_flight(start_reference_server, names: Names,
                                                         kind: str) -> None:
    import asyncio

    server = serve(start_reference_server, names, "--shm-model", "7", "--slow-delay-ms", "5000")
    args = (names.region,) if kind == "shm" else (names.region, names.hybrid)

    async def main():
        client = getattr(zelto_sdk.aio, "ZeltoShmClient" if kind == "shm" else
                         "ZeltoHybridClient")(*args)
        in_flight = asyncio.create_task(client.infer_bytes([3], "uint8", b"old"))
        await asyncio.sleep(0.2)
        server.process.kill()
        server.process.wait()
        # Without awaiting: the call in flight cannot end before the next starts.
        serve(start_reference_server, names)
        answer = await client.infer_bytes([5], "uint8", b"fresh")
        first = await asyncio.gather(in_flight, return_exceptions=True)
        return answer, first[0]

    answer, first = asyncio.run(asyncio.wait_for(main(), 30))
    assert answer == b"fresh"
    if kind == "shm":
        assert first == b"old"
    else:
        assert isinstance(first, (OSError, RuntimeError)), first


# Each worker process calls as fast as it can for a while with payloads no other call sends, and
# checks that every answer is its own.
WORKER = """
import os, sys, time
import zelto_sdk
kind, region, hybrid, seconds = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
          else zelto_sdk.ZeltoHybridClient(region, hybrid))
calls = wrong = 0
errors = []
until = time.monotonic() + seconds
while time.monotonic() < until:
    data = b"%d:%d:" % (os.getpid(), calls) + os.urandom(200_000)
    try:
        if client.infer_bytes([len(data)], "uint8", data) != data:
            wrong += 1
    except Exception as error:
        errors.append(repr(error))
    calls += 1
print(calls, wrong, errors)
"""


# Several processes on one region have requests in flight at once, each gets only its own
# answers (also while the server's output area is nearly full: 200 KB answers in a 4 MiB area),
# none fails on a healthy server, and none waits behind the others' later calls.
@pytest.mark.parametrize("kinds", [("shm",) * 4, ("shm", "shm", "hybrid", "hybrid")],
                         ids=["shm", "mixed"])
def test_worker_processes_on_one_region_each_get_their_own_answers(start_reference_server,
                                                                   names: Names, kinds) -> None:
    serve(start_reference_server, names, "--workers", "4", "--shm-model", "7",
          "--slow-delay-ms", "20")
    workers = [ClientScript(WORKER, kind, names.region, names.hybrid, "2") for kind in kinds]
    results = [worker.lines(timeout=60)[-1].split(" ", 2) for worker in workers]
    calls = [int(result[0]) for result in results]
    assert [(int(result[1]), result[2]) for result in results] == [(0, "[]")] * len(kinds)
    assert min(calls) * 3 >= max(calls), calls
