"""A measuring process for the Python clients, driven by bench/run.py over stdin and stdout.

Each request is one JSON line {"client", "transport", "size", "iterations", "where"}; the answer
is one JSON line {"samples": [ns, ...]} or {"error": text}. Clients are created on first use and
kept, so connections stay open between requests, as in a long-running program.

Clients: "zelto" (zelto_sdk), "plain" (bench/plain_client.py), "grpc" (grpcio, imported only
when asked for: its threads must not share a process with the other clients), and "list", which
times CPython's own list(bytes) of the same size: the cost every client pays for its result.
"""

from __future__ import annotations

import functools
import json
import sys
import time
import traceback
from collections.abc import Callable
from typing import Any

MODEL_ECHO = 1
GRPC_METHOD = "/bench.Echo/Call"
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
             size: int) -> Callable[[bytes], list[int]]:
        """A function that sends `size` bytes of data once and returns the output as a list of
        ints. For zelto_sdk and the plain client it is the client's own infer method with the
        other arguments bound (functools.partial, no Python frame of its own), so that the time
        measured is the call's and not a wrapper's (a lambda adds about 0.1 µs)."""
        if client == "list":
            return list
        if client == "zelto":
            return self._zelto(transport, where, [size])
        if client == "plain":
            return self._plain(transport, where, [size])
        if client == "grpc":
            return self._grpc(transport, where)
        raise ValueError("unknown client " + client)

    def _zelto(self, transport: str, where: dict[str, str],
               shape: list[int]) -> Callable[[bytes], list[int]]:
        import zelto_sdk

        if transport in ("tcp", "unix"):
            endpoint = "tcp://" + where["tcp"] if transport == "tcp" else None
            client = self._get(("zelto", transport, ""), lambda: (
                zelto_sdk.ZeltoClient(endpoint) if endpoint else
                zelto_sdk.ZeltoClient(socket_path=where["unix"])))
            return functools.partial(client.infer, MODEL_ECHO, shape, "uint8")
        if transport == "shm":
            client = self._get(("zelto", "shm", ""), lambda: zelto_sdk.ZeltoShmClient(where["shm"]))
        else:
            client = self._get(("zelto", "hybrid", ""), lambda: zelto_sdk.ZeltoHybridClient(
                where["shm"], where["hybrid"]))
        return functools.partial(client.infer, shape, "uint8")

    def _plain(self, transport: str, where: dict[str, str],
               shape: list[int]) -> Callable[[bytes], list[int]]:
        import plain_client

        if transport in ("tcp", "unix"):
            client = self._get(("plain", transport, ""),
                               lambda: plain_client.SocketClient(where[transport]))
            return functools.partial(client.infer, MODEL_ECHO, shape, "uint8")
        if transport == "shm":
            client = self._get(("plain", "shm", ""), lambda: plain_client.ShmClient(where["shm"]))
        else:
            client = self._get(("plain", "hybrid", ""), lambda: plain_client.HybridClient(
                where["shm"], where["hybrid"]))
        return functools.partial(client.infer, shape, "uint8")

    def _grpc(self, transport: str, where: dict[str, str]) -> Callable[[bytes], list[int]]:
        import grpc

        target = where["grpc_tcp"] if transport == "tcp" else "unix:" + where["grpc_unix"]

        def make() -> Any:
            channel = grpc.insecure_channel(target, options=grpc_options())
            grpc.channel_ready_future(channel).result(timeout=30)
            return channel.unary_unary(GRPC_METHOD)

        method = self._get(("grpc", transport, target), make)
        return lambda data: list(method(data))


def measure(call: Callable[[bytes], list[int]], size: int, iterations: int) -> list[int]:
    data = pattern(size)
    expected = list(data)
    if call(data) != expected:  # one untimed call: a wrong answer is an error, not a sample
        raise RuntimeError("the answer is not the echo of the request")
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
            else:
                call = clients.call(request["client"], request["transport"], request["where"],
                                    request["size"])
                answer = {"samples": measure(call, request["size"], request["iterations"])}
        except Exception as error:  # reported to the runner, which shows it in the table
            answer = {"error": f"{type(error).__name__}: {error}",
                      "trace": traceback.format_exc()}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
