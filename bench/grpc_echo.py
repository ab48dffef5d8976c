"""The grpcio peer: a unary echo of raw bytes, served with a generic handler (no generated code).

    python grpc_echo.py TCP_ADDRESS UNIX_PATH [SLOW_DELAY_MS]

listens on both, prints "listening on grpc_tcp HOST:PORT", "listening on grpc_unix PATH" and
"ready", and serves until stdin closes. Message limits are raised so 16 MiB each way passes.
/bench.Echo/Call answers at once; /bench.Echo/Slow answers the same after SLOW_DELAY_MS
milliseconds (default 2), like the reference server's slow echo, for calls from many threads.
The server has a worker thread for each of those threads, so a delay never waits for another.
"""

from __future__ import annotations

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


def main() -> None:
    tcp_address, unix_path = sys.argv[1], sys.argv[2]
    delay = (int(sys.argv[3]) if len(sys.argv) > 3 else 2) / 1000

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
    host = tcp_address.rsplit(":", 1)[0]
    print(f"listening on grpc_tcp {host}:{port}", flush=True)
    print(f"listening on grpc_unix {unix_path}", flush=True)
    print("ready", flush=True)
    sys.stdin.read()  # the runner closes stdin to stop us
    server.stop(grace=None)


if __name__ == "__main__":
    main()
