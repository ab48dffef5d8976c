"""The asyncio clients against their blocking twins and against grpcio's asyncio channel.

    python bench/aio_round_trips.py [--build DIR] [--rounds N] [--calls N] [--results FILE]

64-byte echoes, one call at a time: `await client.infer_bytes(...)` of each zelto_sdk.aio client
against the blocking `infer_bytes` of its twin on the same transport (TCP, the local socket, the
shared region, hybrid), a grpc.aio unary call of the same bytes to the grpcio echo server over
TCP, and the socket protocol written with asyncio streams (the loop's thread doing the I/O
itself: the floor of an asyncio client in Python). The rounds alternate the clients, so a slow patch of the machine touches all of them.
Each client runs in a child process of its own (the module from DIR, default build/bench, as
`make bench` builds it; else the installed one), so none shares a loop or a runtime with another.
Prints p50 and p99 and the ratios with the goals (asyncio over blocking: at most 1.5x on sockets,
2x on the region; grpc.aio over the asyncio TCP client: at least 10x); --results appends them.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(ROOT / "tools"))
from reference_server import start_server, stop_server, wait_until_ready  # noqa: E402

PAYLOAD = b"z" * 64
TRANSPORTS = ["tcp", "pipe", "shm", "hybrid"]
GOALS = {"tcp": 1.5, "pipe": 1.5, "shm": 2.0, "hybrid": 2.0}
GRPC_GOAL = 10.0


# ---- A measuring process ----------------------------------------------------------------------

def make_client(module, transport: str, where: dict):
    if transport == "tcp":
        return module.ZeltoClient("tcp://" + where["tcp"])
    if transport == "pipe":
        return module.ZeltoClient(socket_path=where["pipe"])
    if transport == "shm":
        return module.ZeltoShmClient(where["shm"])
    return module.ZeltoHybridClient(where["shm"], where["hybrid"])


def call_args(transport: str) -> tuple:
    head = (1,) if transport in ("tcp", "pipe") else ()
    return (*head, [len(PAYLOAD)], "uint8", PAYLOAD)


async def plain_asyncio_call(address: str):
    """The socket protocol written with asyncio streams on the loop's own thread (no other
    thread, one wake-up per answer): the floor of an asyncio client in Python."""
    import asyncio
    import struct

    sys.path.insert(0, str(BENCH))
    from plain_client import _FRAME, _REQUEST_TAIL, _RESPONSE_HEADER, _payload_data

    host, port = address.rsplit(":", 1)
    reader, writer = await asyncio.open_connection(host, int(port))
    writer.transport.get_extra_info("socket").setsockopt(6, 1, 1)  # TCP_NODELAY
    name = b"uint8"
    body = struct.pack(f"<Q1qQ{len(name)}sBQ", 1, len(PAYLOAD), len(name), name, 1,
                       len(PAYLOAD)) + PAYLOAD + _REQUEST_TAIL
    frame = _FRAME.pack(1, 1, len(body)) + body

    async def call() -> bytes:
        writer.write(frame)
        _, size = _RESPONSE_HEADER.unpack(await reader.readexactly(8))
        return bytes(_payload_data(bytearray(await reader.readexactly(size))))

    return call


def child(kind: str, transport: str, where: dict, calls: int) -> None:
    """Prints one JSON line: each call's time in nanoseconds after a warm-up."""
    import asyncio
    import time

    samples: list[int] = []
    if kind == "blocking":
        import zelto_sdk

        client = make_client(zelto_sdk, transport, where)
        args = call_args(transport)
        for i in range(calls + calls // 10):
            started = time.perf_counter_ns()
            answer = client.infer_bytes(*args)
            if i >= calls // 10:
                samples.append(time.perf_counter_ns() - started)
        assert answer == PAYLOAD
    else:
        async def measure() -> bytes:
            if kind == "aio":
                import zelto_sdk.aio

                client = make_client(zelto_sdk.aio, transport, where)
                args = call_args(transport)
                call = lambda: client.infer_bytes(*args)  # noqa: E731
            elif kind == "streams":
                call = await plain_asyncio_call(where["tcp"])
            else:
                import grpc

                channel = grpc.aio.insecure_channel(where["grpc_tcp"])
                method = channel.unary_unary("/bench.Echo/Call")
                call = lambda: method(PAYLOAD)  # noqa: E731
            for i in range(calls + calls // 10):
                started = time.perf_counter_ns()
                answer = await call()
                if i >= calls // 10:
                    samples.append(time.perf_counter_ns() - started)
            return answer

        assert asyncio.run(measure()) == PAYLOAD
    print(json.dumps(samples), flush=True)


# ---- The run ----------------------------------------------------------------------------------

def run_child(kind: str, transport: str, where: dict, calls: int, env: dict) -> list[int]:
    done = subprocess.run([sys.executable, __file__, "--child", kind, transport, json.dumps(where),
                           str(calls)], capture_output=True, text=True, env=env, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{kind} {transport} failed: {done.stderr}")
    return json.loads(done.stdout)


def percentile(values: list[int], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] / 1000


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], json.loads(sys.argv[4]), int(sys.argv[5]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--results", type=Path)
    args = parser.parse_args()

    env = dict(os.environ)
    built = args.build.resolve() / "zelto-reference-server"
    server_binary = str(built) if built.exists() else shutil.which("zelto-reference-server")
    if built.exists():
        env["PYTHONPATH"] = os.pathsep.join([str(args.build.resolve()), env.get("PYTHONPATH", "")])
    tmp = Path(tempfile.mkdtemp(prefix="zelto-aio-bench-"))
    region = "zelto-aio-bench-" + uuid.uuid4().hex[:8]
    server = start_server([server_binary, "--tcp", "127.0.0.1:0", "--pipe", str(tmp / "s.sock"),
                           "--shm", region, "--hybrid", str(tmp / "h.sock")],
                          stderr=subprocess.PIPE, text=True)
    grpc_server = subprocess.Popen([sys.executable, str(BENCH / "grpc_echo.py"), "127.0.0.1:0",
                                    str(tmp / "grpc.sock")], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        where = wait_until_ready(server, 60)
        where.update(wait_until_ready(grpc_server, 60))
        samples: dict[tuple[str, str], list[int]] = {}
        for _ in range(args.rounds):
            for transport in TRANSPORTS:
                for kind in ("blocking", "aio"):
                    samples.setdefault((kind, transport), []).extend(
                        run_child(kind, transport, where, args.calls, env))
            for peer in ("streams", "grpc.aio"):
                samples.setdefault((peer, "tcp"), []).extend(
                    run_child(peer, "tcp", where, args.calls, env))
    finally:
        stop_server(server)
        grpc_server.stdin.close()
        grpc_server.wait(timeout=30)
        shutil.rmtree(tmp, ignore_errors=True)

    p50 = {key: statistics.median(values) / 1000 for key, values in samples.items()}
    lines = ["| transport | blocking p50 | aio p50 | aio p99 | aio / blocking | goal |",
             "|---|---|---|---|---|---|"]
    goals = []
    for transport in TRANSPORTS:
        ratio = p50[("aio", transport)] / p50[("blocking", transport)]
        met = ratio <= GOALS[transport]
        goals.append((f"aio {transport} within {GOALS[transport]}x of blocking", met))
        lines.append(f"| {transport} | {p50[('blocking', transport)]:.1f} us | "
                     f"{p50[('aio', transport)]:.1f} us | "
                     f"{percentile(samples[('aio', transport)], 0.99):.1f} us | {ratio:.2f}x | "
                     f"<= {GOALS[transport]}x {'met' if met else 'MISSED'} |")
    grpc_ratio = p50[("grpc.aio", "tcp")] / p50[("aio", "tcp")]
    grpc_met = grpc_ratio >= GRPC_GOAL
    goals.append((f"grpc.aio at least {GRPC_GOAL}x slower than aio tcp", grpc_met))
    lines.append(f"| grpc.aio unary, tcp | | {p50[('grpc.aio', 'tcp')]:.1f} us | "
                 f"{percentile(samples[('grpc.aio', 'tcp')], 0.99):.1f} us | "
                 f"grpc.aio / aio tcp: {grpc_ratio:.1f}x | >= {GRPC_GOAL}x "
                 f"{'met' if grpc_met else 'MISSED'} |")
    lines.append(f"| asyncio streams, tcp (the protocol in Python on the loop's thread) | | "
                 f"{p50[('streams', 'tcp')]:.1f} us | "
                 f"{percentile(samples[('streams', 'tcp')], 0.99):.1f} us | "
                 f"aio tcp / streams: {p50[('aio', 'tcp')] / p50[('streams', 'tcp')]:.2f}x | |")
    text = "\n".join(lines)
    print(text)
    for goal, met in goals:
        print(("met     " if met else "MISSED  ") + goal)
    if args.results:
        with args.results.open("a") as results:
            results.write("\n## asyncio clients, 64 B, one call at a time\n\n"
                          f"{args.rounds} rounds of {args.calls} calls per client, each client in "
                          "a process of its own.\n\n" + text + "\n")


if __name__ == "__main__":
    main()
