"""Workers on one region: 1, 2 and 4 processes, each with a client of its own on one shared
region, against a reference server that answers with 4 workers and a 20 ms model.

    python bench/region_workers.py [--build DIR] [--rounds N] [--seconds S] [--results FILE]

DIR holds the built module and zelto-reference-server (default build/bench, as `make bench`
builds them; without them the installed zelto_sdk and the zelto-reference-server on PATH are
used). One table per client class (ZeltoShmClient, ZeltoHybridClient): calls per second of all
the processes together and against one process in the same round, p50 and p99 of one call,
failed calls and wrong answers (every call sends a payload unique to its process and call and
checks the echo). Prints the tables and the goals; --results appends them to a results file.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(ROOT / "tools"))
from reference_server import wait_until_ready  # noqa: E402

PROCESSES = [1, 2, 4]
KINDS = {"shm": "ZeltoShmClient", "hybrid": "ZeltoHybridClient"}
SERVER_WORKERS = 4
MODEL_MS = 20
SLOW_ECHO = "7"
PAYLOAD = 64


# ---- A measuring process ----------------------------------------------------------------------

def child(kind: str, region: str, socket_path: str, seconds: float) -> None:
    """Makes its client, says "ready", calls from the "go" line on for `seconds` and prints one
    JSON line: calls, failures, wrong answers and each call's time in nanoseconds."""
    import zelto_sdk

    client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
              else zelto_sdk.ZeltoHybridClient(region, socket_path))
    tag = os.getpid().to_bytes(4, "little")
    data = tag * (PAYLOAD // 4)
    assert client.infer_bytes([len(data)], "uint8", data) == data  # connect and map first
    print("ready", flush=True)
    sys.stdin.readline()
    samples, failed, wrong = [], 0, 0
    n = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        n += 1
        data = (tag + n.to_bytes(4, "little")) * (PAYLOAD // 8)
        started = time.perf_counter_ns()
        try:
            answer = client.infer_bytes([len(data)], "uint8", data)
        except Exception:
            failed += 1
            continue
        samples.append(time.perf_counter_ns() - started)
        wrong += answer != data
    print(json.dumps({"samples": samples, "failed": failed, "wrong": wrong}), flush=True)


# ---- The run ----------------------------------------------------------------------------------

def one_run(kind: str, processes: int, region: str, socket_path: str, seconds: float,
            env: dict[str, str]) -> dict:
    """`processes` children calling at once; their results merged."""
    children = [subprocess.Popen([sys.executable, __file__, "--child", kind, region, socket_path,
                                  str(seconds)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True, env=env) for _ in range(processes)]
    try:
        for process in children:
            if process.stdout.readline().strip() != "ready":
                raise RuntimeError(f"a {kind} process failed to start")
        for process in children:
            process.stdin.write("go\n")
            process.stdin.flush()
        results = [json.loads(process.communicate(timeout=seconds + 60)[0]) for process in children]
    finally:
        for process in children:
            if process.poll() is None:
                process.kill()
    samples = [s for result in results for s in result["samples"]]
    return {"calls": len(samples), "rate": len(samples) / seconds, "samples": samples,
            "failed": sum(r["failed"] for r in results), "wrong": sum(r["wrong"] for r in results)}


def percentile(values: list[int], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def measure(server: str, env: dict[str, str], rounds: int, seconds: float) -> dict:
    tmp = Path(tempfile.mkdtemp(prefix="zelto-workers-"))
    region = "zelto-workers-" + uuid.uuid4().hex[:8]
    socket_path = str(tmp / "hybrid.sock")
    process = subprocess.Popen([server, "--shm", region, "--hybrid", socket_path,
                                "--workers", str(SERVER_WORKERS), "--shm-model", SLOW_ECHO,
                                "--slow-delay-ms", str(MODEL_MS), "--tensor-area", str(64 << 20)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_until_ready(process, 60)
        runs: dict = {}
        for kind in KINDS:
            for _ in range(rounds):
                # The counts take turns within a round, so a slower moment of the machine
                # touches each of them alike; ratios are paired by round.
                for count in PROCESSES:
                    result = one_run(kind, count, region, socket_path, seconds, env)
                    runs.setdefault((kind, count), []).append(result)
        return runs
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
        shutil.rmtree(tmp, ignore_errors=True)


def table(runs: dict, kind: str) -> tuple[str, list[tuple[str, bool]]]:
    lines = [f"{KINDS[kind]}: processes on one region, {SERVER_WORKERS} server workers, "
             f"a {MODEL_MS} ms model", "",
             "| processes | calls/s | against one process | p50 | p99 | p99 / p50 | failed | wrong |",
             "|---|---|---|---|---|---|---|---|"]
    goals = []
    ones = runs[(kind, 1)]
    for count in PROCESSES:
        rounds = runs[(kind, count)]
        samples = [s for r in rounds for s in r["samples"]]
        rate = statistics.mean(r["rate"] for r in rounds)
        ratio = statistics.median(r["rate"] / one["rate"] for r, one in zip(rounds, ones)
                                  if one["rate"] > 0) if any(o["rate"] for o in ones) else 0.0
        p50, p99 = percentile(samples, 0.5) / 1e6, percentile(samples, 0.99) / 1e6
        failed, wrong = sum(r["failed"] for r in rounds), sum(r["wrong"] for r in rounds)
        lines.append(f"| {count} | {rate:.1f} | {ratio:.2f}x | {p50:.1f} ms | {p99:.1f} ms | "
                     f"{p99 / p50:.2f}x | {failed} | {wrong} |")
        if count == PROCESSES[-1]:
            goals.append((f"{KINDS[kind]}: {count} processes >= 3x one ({ratio:.2f}x)",
                          ratio >= 3))
        who = f"{KINDS[kind]}, {count} process{'es' if count > 1 else ''}"
        goals.append((f"{who}: p99 <= 2x p50 ({p99 / p50:.2f}x)", p99 <= 2 * p50))
        goals.append((f"{who}: no wrong answer ({wrong})", wrong == 0))
    return "\n".join(lines), goals


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, region, socket_path, seconds = sys.argv[2:6]
        child(kind, region, socket_path, float(seconds))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "bench",
                        help="directory with the built module and zelto-reference-server")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0, help="length of one run")
    parser.add_argument("--results", type=Path, help="a results file to append the tables to")
    args = parser.parse_args()

    built = args.build.resolve() / "zelto-reference-server"
    server = str(built) if built.exists() else shutil.which("zelto-reference-server")
    if server is None:
        raise SystemExit("zelto-reference-server not found: build it (make bench) or install it")
    env = dict(os.environ)
    if built.exists():
        env["PYTHONPATH"] = os.pathsep.join([str(args.build.resolve()),
                                             env.get("PYTHONPATH", "")])
    print(f"measuring workers on one region ({args.rounds} rounds of {args.seconds:g} s)",
          flush=True)
    runs = measure(server, env, args.rounds, args.seconds)
    texts, goals = [], []
    for kind in KINDS:
        text, kind_goals = table(runs, kind)
        texts.append(text)
        goals += kind_goals
    goal_lines = [f"- {'PASS' if passed else 'FAIL'} {what}" for what, passed in goals]
    report = "\n\n".join(texts + ["\n".join(goal_lines)])
    print()
    print(report)
    if args.results:
        with args.results.open("a") as results:
            results.write("\n## Workers on one region\n\n"
                          f"Each process has its own client on one region; {args.rounds} rounds "
                          f"of {args.seconds:g} s per line, the ratio against one process paired "
                          f"by round.\n\n{report}\n")


if __name__ == "__main__":
    main()
