"""The grpcio peer: a unary echo of raw bytes, served with a generic handler (no generated code).

    python grpc_echo.py TCP_ADDRESS UNIX_PATH [SLOW_DELAY_MS] [--asyncio]

listens on both, prints "listening on grpc_tcp HOST:PORT", "listening on grpc_unix PATH" and
"ready", and serves until stdin closes. Message limits are raised so 16 MiB each way passes.
/bench.Echo/Call answers at once; /bench.Echo/Slow answers the same after SLOW_DELAY_MS
milliseconds (default 2), like the reference server's slow echo, for calls from many threads.
The server has a worker thread for each of those threads, so a delay never waits for another.
With --asyncio it is grpc.aio's server instead, whose slow echo awaits its delay on the event
loop: any number of slow calls wait at once (hundreds, where the thread pool has 16 workers).
"""

from __future__ import annotations

import asyncio
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import grpc

LIMIT = 64 * 1024 * 1024
OPTIONS = [("grpc.max_send_message_length", LIMIT), ("grpc.max_receive_message_length", LIMIT)]
# More than the benchmark's most threads calling at once (8): one request never queues behind
# another's delay. Idle workers are reused, so a single caller still meets one thread.
WORKERS = 16


def echo(request: bytes, context: grpc.ServicerContext) -> bytes:
    del context
    return request


def announce(tcp_address: str, port: int, unix_path: str) -> None:
    host = tcp_address.rsplit(":", 1)[0]
    print(f"listening on grpc_tcp {host}:{port}", flush=True)
    print(f"listening on grpc_unix {unix_path}", flush=True)
    print("ready", flush=True)


def serve_threads(tcp_address: str, unix_path: str, delay: float) -> None:
    def slow_echo(request: bytes, context: grpc.ServicerContext) -> bytes:
        del context
        time.sleep(delay)
        return request

    # Without serializers the handler gets and returns the message bytes unchanged.
    handler = grpc.method_handlers_generic_handler(
        "bench.Echo", {"Call": grpc.unary_unary_rpc_method_handler(echo),
                       "Slow": grpc.unary_unary_rpc_method_handler(slow_echo)})
    server = grpc.server(ThreadPoolExecutor(max_workers=WORKERS), options=OPTIONS)
    server.add_generic_rpc_handlers((handler,))
    port = server.add_insecure_port(tcp_address)
    server.add_insecure_port("unix:" + unix_path)
    server.start()
    announce(tcp_address, port, unix_path)
    sys.stdin.read()  # the runner closes stdin to stop us
    server.stop(grace=None)


async def serve_asyncio(tcp_address: str, unix_path: str, delay: float) -> None:
    async def quick_echo(request: bytes, context: grpc.aio.ServicerContext) -> bytes:
        del context
        return request

    async def slow_echo(request: bytes, context: grpc.aio.ServicerContext) -> bytes:
        del context
        await asyncio.sleep(delay)
        return request

    handler = grpc.method_handlers_generic_handler(
        "bench.Echo", {"Call": grpc.unary_unary_rpc_method_handler(quick_echo),
                       "Slow": grpc.unary_unary_rpc_method_handler(slow_echo)})
    server = grpc.aio.server(options=OPTIONS)
    server.add_generic_rpc_handlers((handler,))
    port = server.add_insecure_port(tcp_address)
    server.add_insecure_port("unix:" + unix_path)
    await server.start()
    announce(tcp_address, port, unix_path)
    # The runner closes stdin to stop us; the blocking read waits on a thread of its own.
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    await server.stop(grace=None)


def main() -> None:
    arguments = [a for a in sys.argv[1:] if a != "--asyncio"]
    tcp_address, unix_path = arguments[0], arguments[1]
    delay = (int(arguments[2]) if len(arguments) > 2 else 2) / 1000
    if "--asyncio" in sys.argv[1:]:
        asyncio.run(serve_asyncio(tcp_address, unix_path, delay))
    else:
        serve_threads(tcp_address, unix_path, delay)


if __name__ == "__main__":
    main()
