"""Threads through every client class made with release_gil=True, against the reference server,
meant to run in an interpreter with the ThreadSanitizer runtime preloaded (tools/tsan_smoke.sh
sets that up). A data race in the module ends the process with ThreadSanitizer's report; a wrong
answer fails an assertion.

Each client is shared by several threads: ZeltoClient runs their calls at once, each on a
connection of its own (a small pool, so connections are also closed on release); the region
clients take them one at a time, and two more region clients per region run beside them. Streams
run beside the single calls, and some calls time out against the slow echo model.

    python tools/tsan_smoke.py SERVER_BINARY
"""

from __future__ import annotations

import os
import sys
import tempfile
import threading
import uuid

import zelto_sdk
from reference_server import ReferenceServer

ECHO, ROWS, SLOW_ECHO = 1, 4, 7
THREADS, CALLS = 6, 60


def run_threads(work) -> None:
    """Runs work(t) on THREADS threads; re-raises the first failure."""
    failures: list[BaseException] = []

    def guarded(t: int) -> None:
        try:
            work(t)
        except BaseException as error:
            failures.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def data_of(t: int, n: int) -> bytes:
    return bytes([t, n % 256]) * (1 + (n % 7) * 900)


def socket_client(**where: object) -> None:
    client = zelto_sdk.ZeltoClient(**where, max_pool_size=2, release_gil=True)
    bounded = zelto_sdk.ZeltoClient(**where, release_gil=True, socket_timeout=0.05)

    def work(t: int) -> None:
        for n in range(CALLS):
            data = data_of(t, n)
            if n % 3 == 0:
                out, shape, _ = client.infer_tensor(ECHO, [len(data)], "uint8", data)
                assert (bytes(out), shape) == (data, [len(data)])
            else:
                assert client.infer(ECHO, [len(data)], "uint8", data) == list(data)
            if n % 20 == 0:
                rows = client.infer_stream(ROWS, [2, 1], "uint8", bytes([t, n % 256]))
                assert list(rows) == [[t], [n % 256]]
                try:
                    bounded.infer(SLOW_ECHO, [1], "uint8", b"x")
                    raise AssertionError("no time-out")
                except TimeoutError:
                    pass

    run_threads(work)


def region_clients(make) -> None:
    shared = make()

    def work(t: int) -> None:
        own = make() if t < 2 else shared
        for n in range(CALLS // 2):
            data = data_of(t, n)
            assert own.infer([len(data)], "uint8", data) == list(data)

    run_threads(work)


def main() -> int:
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as directory:
        pipe = os.path.join(directory, "zelto.sock")
        hybrid = os.path.join(directory, "hybrid.sock")
        region = "zelto-tsan-" + uuid.uuid4().hex[:8]
        server = ReferenceServer(binary, "--tcp", "127.0.0.1:0", "--pipe", pipe, "--shm", region,
                                 "--hybrid", hybrid, "--slow-delay-ms", "500")
        try:
            host, port = server.listening["tcp"].rsplit(":", 1)
            socket_client(host=host, port=int(port))
            socket_client(socket_path=pipe)
            region_clients(lambda: zelto_sdk.ZeltoShmClient(region, release_gil=True))
            region_clients(lambda: zelto_sdk.ZeltoHybridClient(region, hybrid, release_gil=True,
                                                               socket_timeout=5))
        finally:
            status = server.stop()
    assert status == 0, status
    print("tsan smoke: every client under threads, no race reported")
    return 0


if __name__ == "__main__":
    sys.exit(main())
