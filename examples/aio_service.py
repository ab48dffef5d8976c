"""An asyncio service that calls the server through zelto_sdk.aio, written as a FastAPI app.

    python examples/aio_service.py --port 9096 [--requests 200]

`double` is an `async def` endpoint: it awaits the model on the one asyncio client the service
shares, so the event loop serves other requests while the call waits. `double_blocking` is the
recipe for a blocking client in the same service: the call runs on a worker thread through
`asyncio.to_thread`, with `release_gil=True` so it does not hold up the loop meanwhile.

With FastAPI installed, `app` serves both (`uvicorn aio_service:app`). Run as a script, it calls
both endpoints the way that many requests at once would, and checks every answer.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import struct

import zelto_sdk
import zelto_sdk.aio

SCALE = 2  # the reference server's model 2 doubles float32 values
ENDPOINT = "tcp://127.0.0.1:9096"

clients: dict[str, object] = {}


@contextlib.asynccontextmanager
async def lifespan(app: object = None):
    """Opens the service's clients at start-up and closes them at shutdown."""
    async with zelto_sdk.aio.ZeltoClient(ENDPOINT, socket_timeout=5) as client:
        clients["aio"] = client
        with zelto_sdk.ZeltoClient(ENDPOINT, release_gil=True, socket_timeout=5) as blocking:
            clients["blocking"] = blocking
            yield
    clients.clear()


def pack(values: list[float]) -> bytes:
    return struct.pack(f"<{len(values)}f", *values)


def unpack(data: bytes) -> list[float]:
    return list(struct.unpack(f"<{len(data) // 4}f", data))


async def double(values: list[float]) -> list[float]:
    data = await clients["aio"].infer_bytes(SCALE, [len(values)], "float32", pack(values))
    return unpack(data)


async def double_blocking(values: list[float]) -> list[float]:
    data = await asyncio.to_thread(clients["blocking"].infer_bytes, SCALE, [len(values)],
                                   "float32", pack(values))
    return unpack(data)


try:
    from fastapi import FastAPI
except ImportError:
    app = None
else:
    app = FastAPI(lifespan=lifespan)
    app.post("/double")(double)
    app.post("/double-blocking")(double_blocking)


async def serve(requests: int) -> int:
    """Calls both endpoints `requests` times each, all at once; the number of wrong answers."""
    async with lifespan():
        asked = [[float(i), i + 0.5] for i in range(requests)]
        answers = await asyncio.gather(*[double(values) for values in asked],
                                       *[double_blocking(values) for values in asked])
    expected = [[2 * v for v in values] for values in asked] * 2
    return sum(answer != wanted for answer, wanted in zip(answers, expected))


def main() -> None:
    global ENDPOINT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9096)
    parser.add_argument("--requests", type=int, default=200)
    args = parser.parse_args()
    ENDPOINT = f"tcp://{args.host}:{args.port}"
    wrong = asyncio.run(serve(args.requests))
    print(f"{args.requests} requests on each endpoint at once, {wrong} wrong")


if __name__ == "__main__":
    main()
