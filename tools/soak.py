"""Soak run: many small requests through every transport against the reference server, watching
what the client library leaves in this process: resident memory, open descriptors and threads.

    python tools/soak.py [--requests N] [--server PATH] [--transports tcp,unix,shm,hybrid]

For each transport, clients are created, used for --batch requests and destroyed, batch after
batch, until N requests have been made (every --stream-every-th socket request is a stream, so
stream connections come and go too). Every answer is checked. The bounds:

- resident memory: after a warm-up, the process's resident set may grow by less than
  --rss-limit-kib (1 MiB) over the N requests;
- descriptors: while a client lives the process has at most --pool-size more open than before
  it was created, and once it is destroyed exactly as many as before;
- threads: once a client is destroyed the process has exactly as many threads as before (each
  hybrid client runs worker threads of its own, which its destruction must stop).

Prints one line per transport and a closing "N passed, N failed" line; exits 1 when a bound was
broken, 2 when the run could not be set up. Every loop is bounded by the request count and by
--time-limit seconds per transport; the server listens on loopback and local sockets only.
"""

from __future__ import annotations

import argparse
import gc
import os
import shutil
import sys
import tempfile
import time
import uuid
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import zelto_sdk
from reference_server import ReferenceServer

ECHO_MODEL = 1
PAYLOAD = bytes(range(16))
EXPECTED = list(PAYLOAD)
TRANSPORTS = ("tcp", "unix", "shm", "hybrid")
PAGE = os.sysconf("SC_PAGESIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd")) - 1  # less the one listdir itself holds


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def settled_thread_count(expected: int, limit: float = 5.0) -> int:
    """The thread count once it is at most `expected`, or what it is after `limit` seconds: a
    thread that has been joined can stay listed in /proc for a moment. Fewer is no leak: a
    thread of the harness that was running when the base was counted may have ended since."""
    deadline = time.monotonic() + limit
    while thread_count() > expected and time.monotonic() < deadline:
        time.sleep(0.001)
    return thread_count()


class Server(ReferenceServer):
    """The reference server serving every transport."""

    def __init__(self, binary: str, directory: str) -> None:
        self.shm_name = "zelto-soak-" + uuid.uuid4().hex[:12]
        super().__init__(binary, "--tcp", "127.0.0.1:0",
                         "--pipe", os.path.join(directory, "z.sock"),
                         "--shm", self.shm_name, "--tensor-area", str(8 << 20),
                         "--hybrid", os.path.join(directory, "h.sock"))


@dataclass
class Transport:
    name: str
    make: Callable[[], Any]
    call: Callable[[Any, int], list[int]]


def transports(server: Server, pool_size: int, stream_every: int) -> dict[str, Transport]:
    def socket_call(client: Any, i: int) -> list[int]:
        if stream_every and i % stream_every == stream_every - 1:
            items = list(client.infer_stream(ECHO_MODEL, [16], "uint8", PAYLOAD))
            return items[0] if len(items) == 1 else [len(items)]
        return client.infer(ECHO_MODEL, [16], "uint8", PAYLOAD)

    def shm_call(client: Any, i: int) -> list[int]:
        return client.infer([16], "uint8", PAYLOAD)

    tcp = "tcp://" + server.listening["tcp"]
    unix = server.listening["pipe"]
    hybrid = server.listening["hybrid"]
    return {
        "tcp": Transport("tcp", lambda: zelto_sdk.ZeltoClient(tcp, max_pool_size=pool_size),
                         socket_call),
        "unix": Transport("unix", lambda: zelto_sdk.ZeltoClient(socket_path=unix,
                                                                max_pool_size=pool_size),
                          socket_call),
        "shm": Transport("shm", lambda: zelto_sdk.ZeltoShmClient(server.shm_name), shm_call),
        "hybrid": Transport("hybrid",
                            lambda: zelto_sdk.ZeltoHybridClient(server.shm_name, hybrid),
                            shm_call),
    }


@dataclass
class Outcome:
    requests: int = 0
    clients: int = 0
    seconds: float = 0.0
    rss_growth: int = 0
    base_fds: int = 0
    max_live_fds: int = 0
    base_threads: int = 0
    max_live_threads: int = 0
    problems: list[str] = field(default_factory=list)


def run_batches(transport: Transport, count: int, batch: int, pool_size: int, outcome: Outcome,
                deadline: float) -> None:
    done = 0
    while done < count:
        if time.monotonic() > deadline:
            outcome.problems.append(f"time limit reached after {done} requests")
            return
        client = transport.make()
        outcome.clients += 1
        for i in range(min(batch, count - done)):
            result = transport.call(client, i)
            if result != EXPECTED:
                outcome.problems.append(f"request {done + i}: wrong answer {result[:8]!r}")
                return
        done += min(batch, count - done)
        live_fds, live_threads = open_descriptors(), thread_count()
        outcome.max_live_fds = max(outcome.max_live_fds, live_fds)
        outcome.max_live_threads = max(outcome.max_live_threads, live_threads)
        if live_fds > outcome.base_fds + pool_size:
            outcome.problems.append(f"{live_fds} descriptors open with a client alive "
                                    f"(before: {outcome.base_fds}, pool size {pool_size})")
            return
        del client
        if (fds := open_descriptors()) != outcome.base_fds:
            outcome.problems.append(f"{fds} descriptors open after a client was destroyed "
                                    f"(before: {outcome.base_fds})")
            return
        if (threads := settled_thread_count(outcome.base_threads)) > outcome.base_threads:
            outcome.problems.append(f"{threads} threads after a client was destroyed "
                                    f"(before: {outcome.base_threads})")
            return
    outcome.requests += done


def soak(transport: Transport, requests: int, warmup: int, batch: int, pool_size: int,
         rss_limit: int, time_limit: float) -> Outcome:
    gc.collect()
    outcome = Outcome(base_fds=open_descriptors(), base_threads=thread_count())
    deadline = time.monotonic() + time_limit
    # The warm-up brings the interpreter's and the allocator's pools to their working size.
    run_batches(transport, warmup, batch, pool_size, outcome, deadline)
    if outcome.problems:
        return outcome
    outcome.requests = outcome.clients = 0
    gc.collect()
    before = resident_bytes()
    start = time.monotonic()
    run_batches(transport, requests, batch, pool_size, outcome, deadline)
    outcome.seconds = time.monotonic() - start
    gc.collect()
    outcome.rss_growth = resident_bytes() - before
    if outcome.rss_growth >= rss_limit:
        outcome.problems.append(f"resident memory grew by {outcome.rss_growth} bytes "
                                f"(limit {rss_limit})")
    return outcome


def report(name: str, outcome: Outcome, pool_size: int, rss_limit: int) -> str:
    rate = outcome.requests / outcome.seconds if outcome.seconds else 0.0
    return (f"{name:<7} {outcome.requests:>9} requests {outcome.clients:>6} clients "
            f"{outcome.seconds:8.1f} s {rate:9.0f}/s  "
            f"rss {outcome.rss_growth / 1024:+8.1f} KiB (limit {rss_limit // 1024})  "
            f"fds {outcome.base_fds}->{outcome.max_live_fds} (limit +{pool_size})  "
            f"threads {outcome.base_threads}->{outcome.max_live_threads}->back  "
            + ("ok" if not outcome.problems else "FAILED: " + "; ".join(outcome.problems)))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=10_000, help="requests per transport")
    parser.add_argument("--warmup", type=int, default=None,
                        help="warm-up requests per transport (default: 2%%, at least 2000)")
    parser.add_argument("--batch", type=int, default=1000, help="requests per client")
    parser.add_argument("--stream-every", type=int, default=100,
                        help="every Nth socket request is a stream (0: none)")
    parser.add_argument("--pool-size", type=int, default=8)
    parser.add_argument("--rss-limit-kib", type=int, default=1024)
    parser.add_argument("--time-limit", type=float, default=3600.0,
                        help="seconds per transport before the run gives up")
    parser.add_argument("--transports", default=",".join(TRANSPORTS))
    parser.add_argument("--server", default=os.environ.get("ZELTO_REFERENCE_SERVER")
                        or shutil.which("zelto-reference-server"))
    args = parser.parse_args(argv)
    chosen = [t for t in args.transports.split(",") if t]
    if not args.server or any(t not in TRANSPORTS for t in chosen) or args.requests <= 0:
        parser.error("need a server binary (--server or ZELTO_REFERENCE_SERVER), known "
                     "transports and a positive request count")
    warmup = args.warmup if args.warmup is not None else max(2000, args.requests // 50)
    rss_limit = args.rss_limit_kib * 1024

    with tempfile.TemporaryDirectory(prefix="zelto-soak-") as directory:
        try:
            server = Server(args.server, directory)
        except (OSError, RuntimeError) as error:
            print(f"soak: cannot start the reference server: {error}", file=sys.stderr)
            return 2
        failed = 0
        try:
            available = transports(server, args.pool_size, args.stream_every)
            for name in chosen:
                outcome = soak(available[name], args.requests, warmup, args.batch,
                               args.pool_size, rss_limit, args.time_limit)
                print(report(name, outcome, args.pool_size, rss_limit), flush=True)
                failed += bool(outcome.problems)
        finally:
            status = server.stop()
        if status != 0:
            print(f"soak: the reference server exited with status {status}", file=sys.stderr)
            failed += 1
    print(f"soak: {len(chosen) - min(failed, len(chosen))} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
