"""64-byte round trips of the four transports against a reference server, in this interpreter.

Runs under any CPython that can import zelto_sdk: Linux's, or the Windows interpreter under Wine
(bench/wine.py runs it in both and prints them side by side). Starts the server given with
--server on every transport, times `calls` infer calls per round on each, and prints one JSON
object: per transport the median and the 99th percentile in microseconds, over all rounds.
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from reference_server import ReferenceServer  # noqa: E402

import zelto_sdk  # noqa: E402

PAYLOAD = bytes(range(64))


def local_endpoint(folder: str) -> str:
    if os.name == "nt":
        return "\\\\.\\pipe\\zelto-bench-" + uuid.uuid4().hex[:12]
    return os.path.join(folder, "bench.sock")


def time_calls(call, calls: int, rounds: int) -> dict[str, float]:
    for _ in range(min(calls, 200)):
        call()
    samples = []
    for _ in range(rounds):
        for _ in range(calls):
            start = time.perf_counter_ns()
            call()
            samples.append(time.perf_counter_ns() - start)
    samples.sort()
    return {
        "p50_us": statistics.median(samples) / 1000,
        "p99_us": samples[int(len(samples) * 0.99)] / 1000,
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="zelto-bench-")
    region = "zelto-bench-" + uuid.uuid4().hex[:8]
    pipe = local_endpoint(folder)
    hybrid = local_endpoint(folder) + "-hybrid"
    server = ReferenceServer(args.server, "--tcp", "127.0.0.1:0", "--pipe", pipe, "--shm", region,
                             "--tensor-area", str(16 << 20), "--hybrid", hybrid)
    try:
        tcp = zelto_sdk.ZeltoClient("tcp://" + server.listening["tcp"])
        local = zelto_sdk.ZeltoClient(pipe)
        shm = zelto_sdk.ZeltoShmClient(region)
        hyb = zelto_sdk.ZeltoHybridClient(region, hybrid)
        calls = {
            "tcp": lambda: tcp.infer_bytes(1, [64], "uint8", PAYLOAD),
            "pipe": lambda: local.infer_bytes(1, [64], "uint8", PAYLOAD),
            "shm": lambda: shm.infer_bytes([64], "uint8", PAYLOAD),
            "hybrid": lambda: hyb.infer_bytes([64], "uint8", PAYLOAD),
        }
        results = {name: time_calls(call, args.calls, args.rounds) for name, call in calls.items()}
        del tcp, local, shm, hyb
    finally:
        server.stop()
    print(json.dumps(results))


if __name__ == "__main__":
    main()
