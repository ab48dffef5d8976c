"""A measuring process for the Python clients, driven by bench/run.py over stdin and stdout.

Each request is one JSON line {"client", "transport", "size", "iterations", "where"}; the answer
is one JSON line {"samples": [ns, ...]} or {"error": text}. Clients are created on first use and
kept, so connections stay open between requests, as in a long-running program.

Clients: "zelto" (zelto_sdk), "plain" (bench/plain_client.py), "grpc" (grpcio, imported only
when asked for: its threads must not share a process with the other clients), and "list", which
times CPython's own list(bytes) of the same size: the cost every client pays for its result. These
answer a list of ints. "zelto_bytes", "plain_bytes" and "grpc_bytes" are the same clients
answering a bytes object (zelto_sdk's and the plain client's infer_bytes, grpcio's message as it
comes), and "zelto_rg" is zelto_sdk's infer on a client made with release_gil=True.

{"client": "threads", "kind", "threads", "seconds", "where"} measures throughput instead: the
given number of threads call the slow echo (2 ms) at once for about that many seconds, each with
data of its own, and the answer is {"calls", "seconds", "wrong"}: calls made, the time they took
from the threads' common start to the last one's end, and answers that were not the caller's own.
"""

from __future__ import annotations

import functools
import json
import struct
import sys
import threading
import time
import traceback
from collections.abc import Callable
from typing import Any

MODEL_ECHO = 1
MODEL_SLOW_ECHO = 7
GRPC_METHOD = "/bench.Echo/Call"
GRPC_SLOW_METHOD = "/bench.Echo/Slow"
# Clients whose answer is a bytes object; the others answer a list of ints.
BYTES_CLIENTS = {"zelto_bytes", "plain_bytes", "grpc_bytes"}
GRPC_LIMIT = 64 * 1024 * 1024


def pattern(size: int) -> bytes:
    """The request data: byte i is i % 251 (the C++ floor sends the same)."""
    block = bytes(range(251))
    return (block * (size // 251 + 1))[:size]


def grpc_options() -> list[tuple[str, int]]:
    return [("grpc.max_send_message_length", GRPC_LIMIT),
            ("grpc.max_receive_message_length", GRPC_LIMIT)]


class Clients:
    def __init__(self) -> None:
        self.cache: dict[tuple[str, str, str], Any] = {}

    def _get(self, key: tuple[str, str, str], make: Callable[[], Any]) -> Any:
        if key not in self.cache:
            self.cache[key] = make()
        return self.cache[key]

    def call(self, client: str, transport: str, where: dict[str, str],
             size: int) -> Callable[[bytes], Any]:
        """A function that sends `size` bytes of data once and returns the output as a list of
        ints, or as bytes for BYTES_CLIENTS. For zelto_sdk and the plain client it is the
        client's own method with the other arguments bound (functools.partial, no Python frame
        of its own), so that the time measured is the call's and not a wrapper's (a lambda adds
        about 0.1 µs)."""
        if client == "list":
            return list
        if client in ("zelto", "zelto_bytes", "zelto_rg"):
            return getattr(self.zelto(transport, where, release_gil=client == "zelto_rg"),
                           "infer_bytes" if client == "zelto_bytes" else "infer")([size])
        if client in ("plain", "plain_bytes"):
            return getattr(self._plain(transport, where),
                           "infer_bytes" if client == "plain_bytes" else "infer")([size])
        if client == "grpc":
            method = self.grpc(transport, where, GRPC_METHOD)
            return lambda data: list(method(data))
        if client == "grpc_bytes":
            return self.grpc(transport, where, GRPC_METHOD)  # the message's bytes, unchanged
        raise ValueError("unknown client " + client)

    def zelto(self, transport: str, where: dict[str, str], release_gil: bool = False,
              model: int = MODEL_ECHO) -> Any:
        """The zelto_sdk client of a transport, as an object whose `infer(shape)` and
        `infer_bytes(shape)` give the client's method with every other argument bound."""
        import zelto_sdk

        key = ("zelto", transport, "release_gil" if release_gil else "")
        if transport in ("tcp", "unix"):
            endpoint = "tcp://" + where["tcp"] if transport == "tcp" else None
            client = self._get(key, lambda: (
                zelto_sdk.ZeltoClient(endpoint, release_gil=release_gil) if endpoint else
                zelto_sdk.ZeltoClient(socket_path=where["unix"], release_gil=release_gil)))
            return _Bound(client, (model,))
        if transport == "shm":
            client = self._get(key, lambda: zelto_sdk.ZeltoShmClient(
                where["shm"], release_gil=release_gil))
        else:
            client = self._get(key, lambda: zelto_sdk.ZeltoHybridClient(
                where["shm"], where["hybrid"], release_gil=release_gil))
        return _Bound(client, ())

    def _plain(self, transport: str, where: dict[str, str]) -> Any:
        import plain_client

        if transport in ("tcp", "unix"):
            client = self._get(("plain", transport, ""),
                               lambda: plain_client.SocketClient(where[transport]))
            return _Bound(client, (MODEL_ECHO,))
        if transport == "shm":
            client = self._get(("plain", "shm", ""), lambda: plain_client.ShmClient(where["shm"]))
        else:
            client = self._get(("plain", "hybrid", ""), lambda: plain_client.HybridClient(
                where["shm"], where["hybrid"]))
        return _Bound(client, ())

    def grpc(self, transport: str, where: dict[str, str], name: str) -> Any:
        """A grpcio callable of the method `name` on this process's channel of the transport."""
        import grpc

        target = where["grpc_tcp"] if transport == "tcp" else "unix:" + where["grpc_unix"]

        def make() -> Any:
            channel = grpc.insecure_channel(target, options=grpc_options())
            grpc.channel_ready_future(channel).result(timeout=30)
            return channel

        return self._get(("grpc", transport, target), make).unary_unary(name)


class _Bound:
    """A client's `infer` and `infer_bytes` with the model (socket clients), the shape and the
    dtype bound, as functools.partial objects."""

    def __init__(self, client: Any, model: tuple[int, ...]) -> None:
        self.client, self.model = client, model

    def infer(self, shape: list[int]) -> Callable[[bytes], list[int]]:
        return functools.partial(self.client.infer, *self.model, shape, "uint8")

    def infer_bytes(self, shape: list[int]) -> Callable[[bytes], bytes]:
        return functools.partial(self.client.infer_bytes, *self.model, shape, "uint8")


def measure(call: Callable[[bytes], Any], size: int, iterations: int,
            as_bytes: bool = False) -> list[int]:
    data = pattern(size)
    expected = data if as_bytes else list(data)
    first = call(data)  # one untimed call: a wrong answer is an error, not a sample
    if type(first) is not type(expected) or first != expected:
        raise RuntimeError("the answer is not the echo of the request")
    # Freed before the timed calls, so that their answers can take its memory, as the answers
    # of a loop take each other's: a new 16 MiB answer in fresh pages costs 4096 page faults.
    del first
    samples = []
    clock = time.perf_counter_ns
    for _ in range(iterations):
        start = clock()
        out = call(data)
        samples.append(clock() - start)
        del out
    return samples


def measure_slow_answers(shm_name: str, iterations: int) -> list[list[int]]:
    """[wall ns, CPU ns of this process, CLOCK_MONOTONIC at return] of each call to a server
    that answers late (bench/slow_peer.py)."""
    import zelto_sdk

    client = zelto_sdk.ZeltoShmClient(shm_name)
    data = pattern(64)
    samples = []
    for _ in range(iterations):
        cpu, start = time.process_time_ns(), time.perf_counter_ns()
        out = client.infer([len(data)], "uint8", data)
        wall, returned = time.perf_counter_ns() - start, time.monotonic_ns()
        samples.append([wall, time.process_time_ns() - cpu, returned])
        if out != list(data):
            raise RuntimeError("the answer is not the echo of the request")
    return samples


def measure_threads(clients: Clients, kind: str, threads: int, seconds: float,
                    where: dict[str, str]) -> dict[str, Any]:
    """`threads` threads calling the slow echo at once over TCP, each with 64 bytes of its own
    (its index and a call counter, then the usual pattern), for about `seconds` seconds.

    kind: "zelto" (one ZeltoClient(release_gil=True) shared by all threads), "zelto_gil" (one
    ZeltoClient with the lock held, release_gil=False), "grpc" (one channel shared by all
    threads) or "plain" (the plain client, one socket per thread)."""
    import plain_client

    if kind in ("zelto", "zelto_gil"):
        bound = clients.zelto("tcp", where, release_gil=kind == "zelto", model=MODEL_SLOW_ECHO)
        calls = [bound.infer_bytes([64])] * threads
    elif kind == "grpc":
        calls = [clients.grpc("tcp", where, GRPC_SLOW_METHOD)] * threads
    elif kind == "plain":
        sockets = [plain_client.SocketClient(where["tcp"]) for _ in range(threads)]
        calls = [functools.partial(s.infer_bytes, MODEL_SLOW_ECHO, [64], "uint8") for s in sockets]
    else:
        raise ValueError("unknown kind " + kind)
    tail = pattern(64)[16:]
    for call in calls[:1]:  # one untimed call: a connection made, the method warm
        if call(bytes(16) + tail) != bytes(16) + tail:
            raise RuntimeError("the answer is not the echo of the request")

    counts, wrong = [0] * threads, [0] * threads
    start = threading.Barrier(threads + 1)
    deadline = [0.0]

    def run(index: int) -> None:
        call, n, bad = calls[index], 0, 0
        start.wait()
        end = deadline[0]
        while True:
            data = struct.pack("<QQ", index, n) + tail
            if call(data) != data:
                bad += 1
            n += 1
            if time.perf_counter() >= end:
                break
        counts[index], wrong[index] = n, bad

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    began = time.perf_counter()
    deadline[0] = began + seconds
    start.wait()
    for worker in workers:
        worker.join()
    elapsed = time.perf_counter() - began
    if kind == "plain":
        for sock in sockets:
            sock.close()
    return {"calls": sum(counts), "seconds": elapsed, "wrong": sum(wrong)}


def measure_conversions(size: int, iterations: int) -> dict[str, list[int]]:
    """How long zelto_sdk takes to convert each kind of input, against CPython doing the same
    kind of work: a call whose first additional input has an unknown dtype ends right after the
    arguments were converted, before any connection is made."""
    import zelto_sdk

    client = zelto_sdk.ZeltoClient(port=9)  # never reached: the call ends before connecting
    stop_early = {"x": ([], "no-such-dtype", b"")}
    data = pattern(size)
    inputs = {"bytes": data, "bytearray": bytearray(data), "memoryview": memoryview(data),
              "list": list(data)}

    def convert(value: Any) -> None:
        try:
            client.infer(MODEL_ECHO, [size], "uint8", value, additional_inputs=stop_early)
        except ValueError:
            return
        raise RuntimeError("the call did not stop after converting its arguments")

    references: dict[str, Callable[[], Any]] = {
        "memcpy": lambda: bytearray(data),  # allocation and one copy: memcpy speed
        "cpython-list": lambda: bytes(inputs["list"]),  # CPython iterating the list of ints
    }
    results: dict[str, list[int]] = {}
    clock = time.perf_counter_ns
    for _ in range(iterations):
        for name, value in inputs.items():
            start = clock()
            convert(value)
            results.setdefault(name, []).append(clock() - start)
        for name, reference in references.items():
            start = clock()
            reference()
            results.setdefault(name, []).append(clock() - start)
    return results


def main() -> None:
    sys.path.insert(0, sys.path[0])  # plain_client beside this file
    clients = Clients()
    for line in sys.stdin:
        if not line.strip():
            continue
        request = json.loads(line)
        try:
            answer: dict[str, Any]
            if request["client"] == "slow":
                answer = {"samples": measure_slow_answers(request["where"]["slow_shm"],
                                                          request["iterations"])}
            elif request["client"] == "convert":
                answer = {"samples": measure_conversions(request["size"], request["iterations"])}
            elif request["client"] == "threads":
                answer = measure_threads(clients, request["kind"], request["threads"],
                                         request["seconds"], request["where"])
            else:
                call = clients.call(request["client"], request["transport"], request["where"],
                                    request["size"])
                answer = {"samples": measure(call, request["size"], request["iterations"],
                                             request["client"] in BYTES_CLIENTS)}
        except Exception as error:  # reported to the runner, which shows it in the table
            answer = {"error": f"{type(error).__name__}: {error}",
                      "trace": traceback.format_exc()}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
