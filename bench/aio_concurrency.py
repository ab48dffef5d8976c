"""The asyncio clients with many calls in flight: throughput, threads, event-loop lag, memory.

    python bench/aio_concurrency.py [--build DIR] [--rounds N] [--seconds S] [--in-flight M]
                                    [--results FILE]

1, 16 and 256 calls in flight at once on one client object against the reference server's slow
echo (model 7, 20 ms): each of N tasks sends 64 bytes of its own (its index and a counter) and
checks that the answer is exactly its request, for S seconds after a short warm-up. Clients:
`zelto_sdk.aio.ZeltoClient` over TCP, `ZeltoShmClient` and `ZeltoHybridClient` (the server's
--shm-model is the slow echo), and two peers over TCP: `asyncio.to_thread` of a blocking
`zelto_sdk.ZeltoClient(release_gil=True)`'s `infer_bytes` on the loop's default executor, and a
grpc.aio unary call to bench/grpc_echo.py's slow echo (served by grpc.aio, so its server waits
out any number of delays at once). Each client runs in a child process of its own (the module
from DIR, default build/bench, as `make bench` builds it; else the installed one), one per round,
and the rounds alternate the clients. Per line: calls per second, the ratio against one call in
flight of the same client paired by round, p50 of a call, the process's threads while the calls
are in flight, and the event loop's lag: a task beside the calls sleeps 1 ms again and again
and records how late each sleep ends (p99 of a round, the median of the rounds).

Then the memory of a call in flight: M calls (default 2000) are made at once on one aio
`ZeltoClient` in a fresh process against a second server whose slow echo takes 5 s, and the
process's resident memory with all of them in flight, less the memory before the first of them,
is divided by M. The calls are awaited in turn, with no task of their own.

Prints the table and the goals (aio TCP: 256 in flight >= 100x one; shm and hybrid: 16 in
flight >= 8x one; loop lag p99 with 256 aio TCP calls in flight <= 2 ms; <= 16 KiB per call in
flight); --results appends them to a results file.
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
PAYLOAD = 64
SLOW_ECHO = 7
ECHO = 1
MODEL_MS = 20
IN_FLIGHT = [1, 16, 256]
WARM_UP = 0.5  # seconds of each line not counted: connections opened, threads started
LAG_TICK = 0.001
# Every call in flight on the region holds a slot of its tensor pool. The pool's size classes
# (256 KiB to 64 MiB) give about one slot per 17 MiB of area, so 256 calls in flight need
# 4.5 GiB of it; only the pages written are ever touched.
TENSOR_AREA = 4608 << 20
MEMORY_DELAY_MS = 5000
CLIENTS = {
    "aio_tcp": "zelto_sdk.aio.ZeltoClient, tcp",
    "aio_shm": "zelto_sdk.aio.ZeltoShmClient",
    "aio_hybrid": "zelto_sdk.aio.ZeltoHybridClient",
    "to_thread": "asyncio.to_thread(ZeltoClient(release_gil=True).infer_bytes), tcp",
    "grpc_aio": "grpc.aio unary call, tcp",
}
SPEED_GOALS = {("aio_tcp", 256): 100.0, ("aio_shm", 16): 8.0, ("aio_hybrid", 16): 8.0}
LAG_GOAL_MS = 2.0
MEMORY_GOAL_KIB = 16.0


# ---- The measuring processes ------------------------------------------------------------------

def thread_count() -> int | None:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return None


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# What a failed call raises: zelto_sdk's errors are built-in exceptions of these kinds.
CALL_ERRORS = (OSError, RuntimeError, ValueError)


def open_client(kind: str, where: dict) -> tuple:
    """The client's call (one awaitable echo of `data` through the slow model) and the
    exceptions of a failed call."""
    import asyncio

    if kind == "to_thread":
        import zelto_sdk

        blocking = zelto_sdk.ZeltoClient("tcp://" + where["tcp"], release_gil=True)
        return (lambda data: asyncio.to_thread(blocking.infer_bytes, SLOW_ECHO, [len(data)],
                                               "uint8", data)), CALL_ERRORS
    if kind == "grpc_aio":
        import grpc

        channel = grpc.aio.insecure_channel(where["grpc_tcp"])
        return channel.unary_unary("/bench.Echo/Slow"), (*CALL_ERRORS, grpc.RpcError)
    import zelto_sdk.aio

    if kind == "aio_tcp":
        client = zelto_sdk.aio.ZeltoClient("tcp://" + where["tcp"])
        return (lambda data: client.infer_bytes(SLOW_ECHO, [len(data)], "uint8", data)), \
            CALL_ERRORS
    client = (zelto_sdk.aio.ZeltoShmClient(where["shm"]) if kind == "aio_shm"
              else zelto_sdk.aio.ZeltoHybridClient(where["shm"], where["hybrid"]))
    return (lambda data: client.infer_bytes([len(data)], "uint8", data)), CALL_ERRORS


async def one_line(call, call_errors: tuple, count: int, seconds: float) -> dict:
    """`count` tasks calling at once for WARM_UP + `seconds`; what ended within the last
    `seconds` is counted, and the loop's lag and the threads are sampled meanwhile."""
    import asyncio
    import time

    start = time.perf_counter()
    opens, closes = start + WARM_UP, start + WARM_UP + seconds
    stopping = False
    times: list[float] = []
    failed = wrong = 0
    errors: list[str] = []

    async def caller(index: int) -> None:
        nonlocal failed, wrong
        tag = index.to_bytes(4, "little")
        n = 0
        while not stopping:
            n += 1
            data = (tag + n.to_bytes(4, "little")) * (PAYLOAD // 8)
            began = time.perf_counter()
            try:
                answer = await call(data)
            except call_errors as error:  # counted and shown; the line goes on
                failed += opens <= time.perf_counter() < closes
                if not errors:
                    errors.append(f"{type(error).__name__}: {error}")
                await asyncio.sleep(0.001)
                continue
            ended = time.perf_counter()
            if opens <= ended < closes:
                times.append(ended - began)
                wrong += answer != data

    callers = [asyncio.create_task(caller(i)) for i in range(count)]
    lags: list[float] = []
    threads: list[int] = []
    next_look = opens
    while time.perf_counter() < closes:
        before = time.perf_counter()
        await asyncio.sleep(LAG_TICK)
        after = time.perf_counter()
        if before >= opens:
            lags.append(after - before - LAG_TICK)
        if after >= next_look and (seen := thread_count()) is not None:
            threads.append(seen)
            next_look = after + 0.1
    stopping = True
    try:
        await asyncio.wait_for(asyncio.gather(*callers), 60)
    except TimeoutError:
        errors.append("calls still in flight 60 s after the line ended")
    return {"calls": len(times), "rate": len(times) / seconds, "times": times,
            "failed": failed, "wrong": wrong, "errors": errors, "lags": lags,
            "threads": max(threads) if threads else None}


def child(kind: str, where: dict, seconds: float) -> None:
    """Prints one JSON line: a result per number of calls in flight, in IN_FLIGHT's order."""
    import asyncio

    async def measure() -> list[dict]:
        call, call_errors = open_client(kind, where)
        return [await one_line(call, call_errors, count, seconds) for count in IN_FLIGHT]

    print(json.dumps(asyncio.run(measure())), flush=True)


def memory_child(address: str, count: int) -> None:
    """Prints one JSON line: resident memory before and with `count` calls in flight."""
    import asyncio
    import gc
    import time

    import zelto_sdk.aio

    async def measure() -> dict:
        client = zelto_sdk.aio.ZeltoClient("tcp://" + address)
        # One quick call first: the client's threads are running and its buffers made.
        assert await client.infer_bytes(ECHO, [PAYLOAD], "uint8", bytes(PAYLOAD)) == bytes(PAYLOAD)
        gc.collect()
        await asyncio.sleep(0.2)
        idle = resident_bytes()
        began = time.perf_counter()
        sent = [i.to_bytes(8, "little") * (PAYLOAD // 8) for i in range(count)]
        calls = [client.infer_bytes(SLOW_ECHO, [PAYLOAD], "uint8", data) for data in sent]
        made = time.perf_counter() - began
        peak = resident_bytes()
        sampling = True

        async def sample() -> None:
            nonlocal peak
            while sampling:
                peak = max(peak, resident_bytes())
                await asyncio.sleep(0.01)

        sampler = asyncio.create_task(sample())
        answers = [await calls[0]]
        first = time.perf_counter()
        sampling = False
        await sampler
        answers += [await c for c in calls[1:]]
        last = time.perf_counter()
        wrong = sum(a != d for a, d in zip(answers, sent, strict=True))
        return {"idle": idle, "peak": peak, "made_s": made, "spread_s": last - first,
                "wrong": wrong}

    print(json.dumps(asyncio.run(measure())), flush=True)


# ---- The run ----------------------------------------------------------------------------------

def run_child(arguments: list[str], env: dict, timeout: float) -> object:
    done = subprocess.run([sys.executable, __file__, *arguments], capture_output=True, text=True,
                          env=env, timeout=timeout, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{arguments[:2]} failed: {done.stderr}")
    return json.loads(done.stdout)


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def raise_file_limit(needed: int) -> None:
    """Every call in flight is a connection at each end: the server and the children inherit
    this limit."""
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def summarize(runs: dict) -> tuple[str, dict]:
    """The table, and per (kind, count) the ratio against one in flight and the lag p99."""
    lines = [("| client | in flight | calls/s | against 1 in flight | call p50 | threads | "
              "loop lag p99 | failed | wrong |"),
             "|---|---|---|---|---|---|---|---|---|"]
    found: dict = {}
    for kind, label in CLIENTS.items():
        ones = [line[0] for line in runs[kind]]
        for index, count in enumerate(IN_FLIGHT):
            rounds = [line[index] for line in runs[kind]]
            rate = statistics.mean(r["rate"] for r in rounds)
            pairs = [r["rate"] / one["rate"]
                     for r, one in zip(rounds, ones, strict=True) if one["rate"] > 0]
            ratio = statistics.median(pairs) if pairs else 0.0
            p50 = percentile([t for r in rounds for t in r["times"]], 0.5) * 1000
            # The median of the rounds' p99: one round that met a busy moment of the machine
            # does not decide the line alone.
            lag = statistics.median(percentile(r["lags"], 0.99) for r in rounds) * 1000
            threads = [r["threads"] for r in rounds if r["threads"] is not None]
            failed, wrong = sum(r["failed"] for r in rounds), sum(r["wrong"] for r in rounds)
            errors = sorted({e for r in rounds for e in r["errors"]})
            found[(kind, count)] = {"ratio": ratio, "lag": lag}
            note = f" ({'; '.join(errors)})" if errors else ""
            lines.append(f"| {label} | {count} | {rate:.0f} | {ratio:.2f}x | {p50:.1f} ms | "
                         f"{max(threads) if threads else 'n/a'} | {lag:.2f} ms | {failed}{note} | "
                         f"{wrong} |")
    return "\n".join(lines), found


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], json.loads(sys.argv[3]), float(sys.argv[4]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--memory-child":
        memory_child(sys.argv[2], int(sys.argv[3]))
        return
    sys.path.insert(0, str(ROOT / "tools"))
    from reference_server import start_server, stop_server, wait_until_ready

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "bench",
                        help="directory with the built module and zelto-reference-server")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0, help="counted length of a line")
    parser.add_argument("--in-flight", type=int, default=2000,
                        help="calls in flight for the memory of a call")
    parser.add_argument("--results", type=Path, help="a results file to append the tables to")
    args = parser.parse_args()

    env = dict(os.environ)
    built = args.build.resolve() / "zelto-reference-server"
    server_binary = str(built) if built.exists() else shutil.which("zelto-reference-server")
    if server_binary is None:
        raise SystemExit("zelto-reference-server not found: build it (make bench) or install it")
    if built.exists():
        env["PYTHONPATH"] = os.pathsep.join([str(args.build.resolve()), env.get("PYTHONPATH", "")])
    raise_file_limit(2 * args.in_flight + 1024)
    tmp = Path(tempfile.mkdtemp(prefix="zelto-aio-concurrency-"))
    region = "zelto-aio-concurrency-" + uuid.uuid4().hex[:8]
    print(f"measuring calls in flight ({args.rounds} rounds of {WARM_UP:g} + {args.seconds:g} s "
          f"per line, then {args.in_flight} calls in flight for memory)", flush=True)
    servers = [
        start_server([server_binary, "--tcp", "127.0.0.1:0", "--shm", region, "--hybrid",
                      str(tmp / "h.sock"), "--shm-model", str(SLOW_ECHO), "--workers",
                      str(max(IN_FLIGHT)), "--tensor-area", str(TENSOR_AREA), "--slow-delay-ms",
                      str(MODEL_MS)], text=True),
        start_server([server_binary, "--tcp", "127.0.0.1:0", "--slow-delay-ms",
                      str(MEMORY_DELAY_MS)], text=True),
        subprocess.Popen([sys.executable, str(BENCH / "grpc_echo.py"), "127.0.0.1:0",
                          str(tmp / "grpc.sock"), str(MODEL_MS), "--asyncio"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True),
    ]
    try:
        where = wait_until_ready(servers[0], 60)
        memory_address = wait_until_ready(servers[1], 60)["tcp"]
        where.update(wait_until_ready(servers[2], 60))
        runs: dict[str, list] = {}
        line_time = len(IN_FLIGHT) * (WARM_UP + args.seconds)
        for _ in range(args.rounds):
            for kind in CLIENTS:
                runs.setdefault(kind, []).append(run_child(
                    ["--child", kind, json.dumps(where), str(args.seconds)], env,
                    line_time + 300))
        memory = run_child(["--memory-child", memory_address, str(args.in_flight)], env,
                           MEMORY_DELAY_MS / 1000 * 4 + 120)
    finally:
        for server in servers[:2]:
            stop_server(server)
        servers[2].stdin.close()
        for server in servers:
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(tmp, ignore_errors=True)

    text, found = summarize(runs)
    goals = []
    for (kind, count), goal in SPEED_GOALS.items():
        ratio = found[(kind, count)]["ratio"]
        goals.append(((f"{CLIENTS[kind]}: {count} in flight >= {goal:g}x one in flight "
                       f"({ratio:.1f}x)"), ratio >= goal))
    lag = found[("aio_tcp", max(IN_FLIGHT))]["lag"]
    goals.append(((f"event-loop lag p99 with {max(IN_FLIGHT)} aio tcp calls in flight <= "
                   f"{LAG_GOAL_MS:g} ms ({lag:.2f} ms)"), lag <= LAG_GOAL_MS))
    per_call = (memory["peak"] - memory["idle"]) / args.in_flight / 1024
    all_at_once = memory["spread_s"] < MEMORY_DELAY_MS / 1000
    goals.append(((f"memory per aio tcp call in flight <= {MEMORY_GOAL_KIB:g} KiB "
                   f"({per_call:.1f} KiB)"), per_call <= MEMORY_GOAL_KIB and all_at_once))
    memory_text = (
        f"Memory: {args.in_flight} aio tcp calls of {PAYLOAD} B in flight at once "
        f"({'all' if all_at_once else 'NOT all'} in flight together: the answers of a "
        f"{MEMORY_DELAY_MS} ms model came within {memory['spread_s'] * 1000:.0f} ms of each "
        f"other; made in {memory['made_s'] * 1000:.0f} ms), resident memory "
        f"{memory['idle'] / 2**20:.1f} MiB idle, {memory['peak'] / 2**20:.1f} MiB with the calls "
        f"in flight: {per_call:.1f} KiB per call; {memory['wrong']} wrong answers.")
    goal_lines = [("met     " if met else "MISSED  ") + goal for goal, met in goals]
    print(text)
    print()
    print(memory_text)
    print()
    print("\n".join(goal_lines))
    if args.results:
        with args.results.open("a") as results:
            results.write(
                "\n## asyncio clients, calls in flight\n\n"
                f"N calls in flight on one client object against a {MODEL_MS} ms slow echo, "
                f"{PAYLOAD} B each; {args.rounds} rounds of {args.seconds:g} s per line (after "
                f"{WARM_UP:g} s of warm-up), each client in a process of its own per round; the "
                "ratio against one call in flight is paired by round; threads are the process's "
                "while the calls are in flight; loop lag is how late a 1 ms asyncio.sleep beside "
                "the calls ends (p99 of each round, the median of the rounds).\n\n"
                + text + "\n\n" + memory_text + "\n\n"
                + "\n".join(f"- {'met' if met else 'MISSED'}: {goal}" for goal, met in goals)
                + "\n")


if __name__ == "__main__":
    main()
