"""zelto_sdk against its peers, on every transport and payload size, in one run.

    python bench/run.py --build DIR [--quick]

DIR holds the built module (zelto_sdk.abi3.so), zelto-reference-server and bench-engine (the
library's C++ clients without Python, bench/engine.cpp). The run compiles the C++ floor client
(bench/floor.cpp), starts the reference server and a grpcio echo server, and measures, for each
transport and payload (the same bytes each way), the Python call of each client, the floor's
round trip (once with blocking reads, once spinning) and the engine's, interleaved in rounds so
that a noisy machine disturbs every client alike. Each Python client is measured twice, answering
a list of ints and answering bytes (zelto_sdk's infer and infer_bytes), and zelto_sdk's 64-byte
call once more on a client made with release_gil=True. Then threads call one client at once
against a slow model. It prints the tables and the goals with PASS or FAIL, and writes
bench/results.md and bench/latency.png.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(ROOT / "tools"))
from reference_server import NotReady, wait_until_ready  # noqa: E402

KIB, MIB = 1024, 1024 * 1024
SIZES = [64, 64 * KIB, MIB, 16 * MIB]
TRANSPORTS = ["tcp", "unix", "shm", "hybrid"]
# Iterations per payload size, spread over ROUNDS interleaved rounds.
ITERATIONS = {64: 6000, 64 * KIB: 1200, MIB: 300, 16 * MIB: 24}
QUICK_ITERATIONS = {64: 600, 64 * KIB: 120, MIB: 15, 16 * MIB: 3}
ROUNDS = 12
# Python processes that take the rounds in turn. How fast CPython builds a list, and so every
# Python client here, depends on the process by up to 15% either way (measured with the same
# two loops in fresh processes: one process's ratio holds, the next process's differs, with
# address randomization off and a fixed hash seed too), so one process would be one draw.
PYTHON_WORKERS = 3
SLOW_ANSWER_MS = 100
SLOW_CALLS = 10
MEMORY_CONSTANT_MIB = 4
# Threads calling one client at once: the reference server's slow echo (model 7) and grpcio's
# slow method answer after this delay, so the calls' waits can overlap.
SLOW_MODEL_MS = 2
THREAD_COUNTS = [1, 4, 8]
# (kind, threads) measured, in this order, in each of THREAD_ROUNDS rounds of THREAD_SECONDS.
THREAD_RUNS = ([("zelto", n) for n in THREAD_COUNTS] + [("zelto_gil", n) for n in THREAD_COUNTS]
               + [("grpc", 1), ("grpc", 8), ("plain", 1), ("plain", 8)])
THREAD_ROUNDS, THREAD_SECONDS = 3, 1.0
QUICK_THREAD_ROUNDS, QUICK_THREAD_SECONDS = 2, 0.3
# The reference server's tensor area, and its output area of the same size, used as a ring.
TENSOR_AREA = 256 * MIB

CLIENT_LABELS = {"floor": "C++ floor", "spin": "C++ spinning floor", "zelto": "zelto_sdk",
                 "engine": "zelto_sdk engine (C++)",
                 "plain": "plain Python", "grpc": "grpcio", "list": "list(bytes)",
                 "zelto_bytes": "zelto_sdk infer_bytes", "plain_bytes": "plain Python (bytes)",
                 "grpc_bytes": "grpcio (bytes)", "zelto_rg": "zelto_sdk, release_gil=True"}
THREAD_LABELS = {"zelto": "zelto_sdk, one ZeltoClient(release_gil=True)",
                 "zelto_gil": "zelto_sdk, one ZeltoClient(release_gil=False)",
                 "grpc": "grpcio, one channel", "plain": "plain Python, one socket per thread"}


def size_label(size: int) -> str:
    if size >= MIB:
        return f"{size // MIB} MiB"
    if size >= KIB:
        return f"{size // KIB} KiB"
    return f"{size} B"


def fmt_us(ns: float) -> str:
    us = ns / 1000
    if us >= 10000:
        return f"{us / 1000:.1f} ms"
    if us >= 100:
        return f"{us:.0f} µs"
    return f"{us:.1f} µs"


@dataclass
class Stats:
    samples: list[int] = field(default_factory=list)
    # The median of each round, in the order of the rounds (see `paired`).
    rounds: list[float] = field(default_factory=list)

    @classmethod
    def of_rounds(cls, samples: list[int]) -> Stats:
        """Samples that are each a round of their own (interleaved one by one)."""
        return cls(list(samples), [float(sample) for sample in samples])

    def add_round(self, samples: list[int]) -> None:
        self.samples += samples
        self.rounds.append(statistics.median(samples))

    @property
    def p50(self) -> float:
        return statistics.median(self.samples)

    @property
    def p99(self) -> float:
        ordered = sorted(self.samples)
        return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def round_ratios(numerator: Stats, *denominators: Stats) -> list[float]:
    """numerator / (sum of denominators) in each round, from the rounds' medians."""
    count = min(len(numerator.rounds), *(len(d.rounds) for d in denominators))
    return [numerator.rounds[i] / sum(d.rounds[i] for d in denominators) for i in range(count)]


def paired(numerator: Stats, *denominators: Stats) -> float:
    """numerator / (sum of denominators), as the median over rounds of the ratio of the rounds'
    medians. The clients of a round run within seconds of each other, while the machine's speed
    drifts between the rounds of a run (by a factor of two on some days): a ratio of two
    medians pooled over the whole run would compare the clients' luck as much as the clients."""
    return statistics.median(round_ratios(numerator, *denominators))


def median_interval(values: list[float]) -> tuple[float, float]:
    """A 95% confidence interval of the median of `values` from their order statistics alone
    (the k-th smallest and the k-th largest, k the largest with a binomial tail of at most 2.5%
    below it): for 12 rounds the 3rd and the 10th of the sorted ratios, 96% coverage. With too
    few values for that, the smallest and the largest."""
    ordered, n = sorted(values), len(values)
    k = 0
    while sum(math.comb(n, i) for i in range(k + 1)) / 2 ** n <= 0.025:
        k += 1
    k = max(k, 1)
    return ordered[k - 1], ordered[n - k]


# ---- Processes --------------------------------------------------------------------------------

class Announcer:
    """A child process that prints "listening on KIND WHERE" lines and then "ready"."""

    def __init__(self, argv: list[str], env: dict[str, str] | None = None,
                 stdin: int | None = None, timeout: float = 60) -> None:
        self.process = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=env)
        try:
            self.listening = wait_until_ready(self.process, timeout)
        except NotReady as error:
            raise RuntimeError(f"{argv[0]} {error}: " + self.stop()) from None

    def stop(self) -> str:
        if self.process.stdin is not None:
            self.process.stdin.close()
            self.process.stdin = None  # communicate() must not touch it again
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            _, err = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, err = self.process.communicate()
        return err or ""


class LineWorker:
    """A child process answering one line per request line (worker.py, the floor)."""

    def __init__(self, argv: list[str], env: dict[str, str] | None = None) -> None:
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=env, cwd=BENCH)

    def ask(self, line: str) -> str:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise RuntimeError(f"{self.process.args} exited")
        return answer

    def stop(self) -> None:
        if self.process.poll() is None:
            assert self.process.stdin is not None
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()


class Bench:
    def __init__(self, build: Path, quick: bool) -> None:
        self.build = build
        self.iterations = QUICK_ITERATIONS if quick else ITERATIONS
        self.thread_rounds, self.thread_seconds = ((QUICK_THREAD_ROUNDS, QUICK_THREAD_SECONDS)
                                                   if quick else (THREAD_ROUNDS, THREAD_SECONDS))
        self.tmp = Path(tempfile.mkdtemp(prefix="zelto-bench-"))
        self.shm_name = "zelto-bench-" + uuid.uuid4().hex[:8]
        self.env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(build), str(BENCH)]))
        self.stoppers: list[Any] = []
        self.where: dict[str, str] = {}

    # -- set-up --

    def compile_floor(self) -> Path:
        binary = self.build / "bench-floor"
        source = BENCH / "floor.cpp"
        if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
            compiler = os.environ.get("CXX", "g++")
            subprocess.run([compiler, "-std=c++23", "-O2", "-Wall", "-Wextra", "-o", str(binary),
                            str(source)], check=True)
        return binary

    def start(self) -> None:
        server = self.build / "zelto-reference-server"
        if not server.exists():
            raise SystemExit(f"{server} is missing: build the project first (make bench)")
        reference = Announcer([str(server), "--tcp", "127.0.0.1:0",
                               "--pipe", str(self.tmp / "zelto.sock"), "--shm", self.shm_name,
                               "--tensor-area", str(TENSOR_AREA),
                               "--hybrid", str(self.tmp / "hybrid.sock"),
                               "--slow-delay-ms", str(SLOW_MODEL_MS)])
        self.stoppers.append(reference)
        grpc_server = Announcer([sys.executable, str(BENCH / "grpc_echo.py"), "127.0.0.1:0",
                                 str(self.tmp / "grpc.sock"), str(SLOW_MODEL_MS)],
                                stdin=subprocess.PIPE)
        self.stoppers.append(grpc_server)
        self.where = {"tcp": reference.listening["tcp"], "unix": reference.listening["pipe"],
                      "shm": self.shm_name, "hybrid": reference.listening["hybrid"],
                      "grpc_tcp": grpc_server.listening["grpc_tcp"],
                      "grpc_unix": grpc_server.listening["grpc_unix"]}
        engine = self.build / "bench-engine"
        if not engine.exists():
            raise SystemExit(f"{engine} is missing: build with -DZELTO_BUILD_BENCH=ON "
                             "(make bench)")
        floor = str(self.compile_floor())
        self.floor = LineWorker([floor])
        self.floor_spin = LineWorker([floor, "--spin"])
        self.engine = LineWorker([str(engine)])
        self.pythons = [LineWorker([sys.executable, str(BENCH / "worker.py")], env=self.env)
                        for _ in range(PYTHON_WORKERS)]
        self.grpc = LineWorker([sys.executable, str(BENCH / "worker.py")], env=self.env)
        self.stoppers += [self.floor, self.floor_spin, self.engine, *self.pythons, self.grpc]
        # One untimed lap around the server's output ring: the pages of a fresh region are
        # faulted in by the server as it writes its first answers, which would otherwise slow
        # down whichever client happened to be measured during that first lap.
        lap = TENSOR_AREA // (16 * MIB) + 1
        self.floor_samples(self.floor, "shm", 16 * MIB, lap)
        # Then one lap for every mapping of the region that reads answers out of the ring: each
        # process maps it for itself, and the first read of each page through a mapping
        # faults (measured: a 16 MiB infer_bytes over shm takes 9.5 ms during a process's first
        # lap, 256 faults a call, and 7.3 ms after it). The answers copied out by infer_bytes
        # would pay that in the rows measured first; a list answer (80 ms) hardly notices it.
        for program, transports in ((self.floor, ["hybrid"]), (self.floor_spin, ["hybrid"]),
                                    (self.engine, ["shm", "hybrid"])):
            for transport in transports:
                self.floor_samples(program, transport, 16 * MIB, lap)
        for python in self.pythons:
            for client in ("zelto_bytes", "plain_bytes"):
                for transport in ("shm", "hybrid"):
                    self.worker_samples(python, client, transport, 16 * MIB, lap)

    def stop(self) -> None:
        for process in reversed(self.stoppers):
            process.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    # -- measuring --

    def floor_samples(self, floor: LineWorker, transport: str, size: int,
                      iterations: int) -> list[int]:
        """Round trips of a C++ client of the benchmark (the floor or the engine)."""
        where = self.where
        command = {
            "tcp": f"socket tcp {where['tcp']}",
            "unix": f"socket unix {where['unix']}",
            "shm": f"shm {where['shm']}",
            "hybrid": f"hybrid {where['shm']} {where['hybrid']}",
        }[transport]
        words = floor.ask(f"{command} {size} {iterations}").split()
        if words[0] != "ok":
            raise RuntimeError("floor: " + " ".join(words[1:]))
        return [int(word) for word in words[1:]]

    def worker_samples(self, worker: LineWorker, client: str, transport: str, size: int,
                       iterations: int, where: dict[str, str] | None = None) -> Any:
        answer = json.loads(worker.ask(json.dumps({
            "client": client, "transport": transport, "size": size, "iterations": iterations,
            "where": where or self.where})))
        if "error" in answer:
            raise RuntimeError(f"{client} over {transport}: {answer['error']}\n"
                               f"{answer.get('trace', '')}")
        return answer["samples"]

    @staticmethod
    def zelto_clients_of(size: int) -> list[str]:
        """zelto_sdk's calls of a row, measured one after the other in an order that turns
        from round to round, so that none is always the first after a C++ client."""
        return ["zelto", "zelto_bytes"] + (["zelto_rg"] if size == 64 else [])

    def clients_of(self, transport: str, size: int) -> list[str]:
        clients = ["floor", "engine", *self.zelto_clients_of(size), "plain", "plain_bytes"]
        if transport != "shm":  # the shared-memory floor spins on its queue already
            clients.insert(1, "spin")
        if transport in ("tcp", "unix"):
            clients += ["grpc", "grpc_bytes"]
        return clients

    def measure_table(self, sizes: list[int]) -> dict[tuple[str, int], dict[str, Stats]]:
        table: dict[tuple[str, int], dict[str, Stats]] = {}
        for size in sizes:
            per_round = max(1, self.iterations[size] // ROUNDS)
            zeltos = self.zelto_clients_of(size)
            for transport in TRANSPORTS:
                # list(bytes) alone, measured in every round beside the clients it is the
                # baseline of.
                row = {client: Stats() for client in self.clients_of(transport, size) + ["list"]}
                started = time.monotonic()
                for round_index in range(ROUNDS):
                    python = self.pythons[round_index % len(self.pythons)]
                    turn = round_index % len(zeltos)
                    order = [client for client in row if client not in zeltos]
                    at = order.index("plain")
                    order[at:at] = zeltos[turn:] + zeltos[:turn]
                    for client in order:
                        if client in ("floor", "spin", "engine"):
                            program = {"floor": self.floor, "spin": self.floor_spin,
                                       "engine": self.engine}[client]
                            samples = self.floor_samples(program, transport, size, per_round)
                        elif client.startswith("grpc"):
                            samples = self.worker_samples(self.grpc, client, transport, size,
                                                          per_round)
                        else:
                            samples = self.worker_samples(python, client, transport, size,
                                                          per_round)
                        row[client].add_round(samples)
                table[(transport, size)] = row
                print(f"  {transport:6s} {size_label(size):>7s}: "
                      f"zelto {fmt_us(row['zelto'].p50)}, "
                      f"bytes {fmt_us(row['zelto_bytes'].p50)}, floor {fmt_us(row['floor'].p50)} "
                      f"({time.monotonic() - started:.1f} s)", flush=True)
        return table

    def measure_threads(self) -> dict[tuple[str, int], dict[str, Any]]:
        """Throughput of threads calling one client at once (worker.py's "threads"), each run of
        THREAD_RUNS in every round, the rounds one after the other. zelto_sdk and the plain client
        run in a fresh worker process of their own, grpcio in its worker."""
        worker = LineWorker([sys.executable, str(BENCH / "worker.py")], env=self.env)
        runs: dict[tuple[str, int], dict[str, Any]] = {
            run: {"calls": 0, "seconds": 0.0, "wrong": 0, "rates": []} for run in THREAD_RUNS}
        try:
            for _ in range(self.thread_rounds):
                for kind, threads in THREAD_RUNS:
                    answer = json.loads((self.grpc if kind == "grpc" else worker).ask(json.dumps({
                        "client": "threads", "kind": kind, "threads": threads,
                        "seconds": self.thread_seconds, "where": self.where})))
                    if "error" in answer:
                        raise RuntimeError(f"{threads} threads of {kind}: {answer['error']}\n"
                                           f"{answer.get('trace', '')}")
                    run = runs[(kind, threads)]
                    run["calls"] += answer["calls"]
                    run["seconds"] += answer["seconds"]
                    run["wrong"] += answer["wrong"]
                    run["rates"].append(answer["calls"] / answer["seconds"])
        finally:
            worker.stop()
        for run in runs.values():
            run["rate"] = run["calls"] / run["seconds"]
        return runs

    def measure_conversions(self) -> dict[str, Stats]:
        per_worker = max(1, self.iterations[16 * MIB] * 2 // 3 // len(self.pythons))
        merged: dict[str, list[int]] = {}
        for python in self.pythons:
            samples = self.worker_samples(python, "convert", "", 16 * MIB, per_worker)
            for name, values in samples.items():
                merged.setdefault(name, []).extend(values)
        # Each iteration converts every kind of input once, one after the other: a round.
        return {name: Stats.of_rounds(values) for name, values in merged.items()}

    def measure_slow_answers(self) -> dict[str, Any]:
        name = "zelto-bench-slow-" + uuid.uuid4().hex[:8]
        peer = Announcer([sys.executable, str(BENCH / "slow_peer.py"), name,
                          str(SLOW_ANSWER_MS)], stdin=subprocess.PIPE)
        try:
            # A fresh worker: the shm client of the table must not see this region's traffic.
            worker = LineWorker([sys.executable, str(BENCH / "worker.py")], env=self.env)
            try:
                samples = self.worker_samples(worker, "slow", "shm", 64, SLOW_CALLS,
                                              {"slow_shm": name})
            finally:
                worker.stop()
        finally:
            assert peer.process.stdin is not None
            peer.process.stdin.close()  # the peer stops when its stdin closes
            peer.process.stdin = None
            out, _ = peer.process.communicate(timeout=30)
        published = {}
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[0] == "published":
                published[int(parts[1])] = int(parts[2])
        wake = [returned - published[i + 1] for i, (_, _, returned) in enumerate(samples)]
        return {"wall": Stats([s[0] for s in samples]), "cpu": Stats([s[1] for s in samples]),
                "wake": Stats(wake)}

    def measure_memory(self) -> dict[tuple[str, str], dict[str, int]]:
        # A server of its own, with one 64 MiB slot and a small output ring, so the warm-up
        # touches every shared page a 16 MiB call can use.
        name = "zelto-bench-mem-" + uuid.uuid4().hex[:8]
        server = Announcer([str(self.build / "zelto-reference-server"),
                            "--shm", name, "--tensor-area", str(90 * MIB),
                            "--hybrid", str(self.tmp / "memory-hybrid.sock")])
        where = dict(self.where, shm=name, hybrid=server.listening["hybrid"])
        env = dict(self.env, MALLOC_MMAP_THRESHOLD_="65536")
        results = {}
        try:
            for method in ("infer", "infer_bytes"):
                for transport in TRANSPORTS:
                    done = subprocess.run([sys.executable, str(BENCH / "memory_probe.py"),
                                           transport, json.dumps(where), method], env=env,
                                          capture_output=True, text=True, cwd=BENCH, timeout=300)
                    if done.returncode != 0:
                        raise RuntimeError(f"memory probe of {method} over {transport}: "
                                           f"{done.stderr}")
                    results[(method, transport)] = json.loads(done.stdout)
        finally:
            server.stop()
        return results


# ---- Goals and reports ------------------------------------------------------------------------

@dataclass
class Goal:
    name: str
    passed: bool
    detail: str


def against_spinning(row: dict[str, Stats], *extra: Stats) -> str:
    """zelto_sdk's ratio to the spinning floor (plus `extra`) and the engine's own time, as a
    note on a goal's figures."""
    return (f"; {paired(row['zelto'], row['spin'], *extra):.2f}x against the spinning "
            f"floor; engine alone {fmt_us(row['engine'].p50)}, "
            f"{paired(row['engine'], row['floor']):.2f}x floor")


def evaluate(table: dict[tuple[str, int], dict[str, Stats]], conversions: dict[str, Stats],
             slow: dict[str, Any], memory: dict[tuple[str, str], dict[str, int]],
             threads: dict[tuple[str, int], dict[str, Any]]) -> list[Goal]:
    goals = []
    for transport in ("tcp", "unix"):
        row = table[(transport, 64)]
        ratio = paired(row["zelto"], row["floor"])
        goals.append(Goal(f"socket {transport} 64 B <= 1.10x floor", ratio <= 1.10,
                          f"{ratio:.2f}x ({fmt_us(row['zelto'].p50)} vs "
                          f"{fmt_us(row['floor'].p50)}{against_spinning(row)})"))
    for transport in ("tcp", "unix"):
        for size in (MIB, 16 * MIB):
            row = table[(transport, size)]
            ratio = paired(row["zelto"], row["floor"], row["list"])
            # What the Python call adds to the engine's round trip: building the list, plus
            # the call itself and the colder caches of a process that builds large lists.
            python_layer = row["zelto"].p50 - row["engine"].p50
            goals.append(Goal(
                f"socket {transport} {size_label(size)} <= 1.10x (floor + list(bytes))",
                ratio <= 1.10, f"{ratio:.2f}x ({fmt_us(row['zelto'].p50)} vs "
                f"{fmt_us(row['floor'].p50)} + {fmt_us(row['list'].p50)}"
                f"{against_spinning(row, row['list'])}; Python layer (zelto - engine) "
                f"{fmt_us(python_layer)}, {python_layer / row['list'].p50:.2f}x list(bytes))"))
    memcpy = conversions["memcpy"]
    for kind in ("bytes", "bytearray", "memoryview"):
        ratio = paired(conversions[kind], memcpy)
        goals.append(Goal(f"{kind} input at memcpy speed (<= 1.5x a Python copy)", ratio <= 1.5,
                          f"16 MiB in {fmt_us(conversions[kind].p50)}, copy "
                          f"{fmt_us(memcpy.p50)} ({ratio:.2f}x)"))
    ratio = paired(conversions["list"], conversions["cpython-list"])
    goals.append(Goal("list-of-ints input no slower than CPython's bytes(list)", ratio <= 1.0,
                      f"16 Mi ints in {fmt_us(conversions['list'].p50)}, bytes(list) "
                      f"{fmt_us(conversions['cpython-list'].p50)} ({ratio:.2f}x)"))
    shm = table[("shm", 64)]["zelto"]
    goals.append(Goal("shm 64 B p50 <= 5 µs", shm.p50 <= 5000, f"p50 {fmt_us(shm.p50)}"))
    row = table[("hybrid", 64)]
    ratio = paired(row["zelto"], row["floor"])
    goals.append(Goal("hybrid 64 B <= 1.30x floor", ratio <= 1.30,
                      f"{ratio:.2f}x ({fmt_us(row['zelto'].p50)} vs {fmt_us(row['floor'].p50)}"
                      f"{against_spinning(row)})"))
    behind = []
    for (transport, size), row in table.items():
        for peer in ("plain", "grpc"):
            if peer in row and paired(row["zelto"], row[peer]) >= 1:
                behind.append(f"{transport} {size_label(size)} vs {CLIENT_LABELS[peer]}")
    goals.append(Goal("ahead of grpcio and plain Python on every row", not behind,
                      "all rows" if not behind else "behind on: " + ", ".join(behind)))
    for transport in TRANSPORTS:
        probe = memory[("infer", transport)]
        limit = 2 * probe["size_kib"] + MEMORY_CONSTANT_MIB * 1024
        goals.append(Goal(f"{transport} 16 MiB round trip: working memory <= 2 copies + "
                          f"{MEMORY_CONSTANT_MIB} MiB", probe["extra_kib"] <= limit,
                          f"{probe['extra_kib'] / 1024:.1f} MiB besides input and list "
                          f"(list {probe['out_kib'] / 1024:.0f} MiB)"))
    cpu_share = slow["cpu"].p50 / (SLOW_ANSWER_MS * 1e6)
    goals.append(Goal(f"shm {SLOW_ANSWER_MS} ms answer: CPU <= 10% of the wait and wake-up "
                      "<= 1 ms", cpu_share <= 0.10 and slow["wake"].p50 <= 1e6,
                      f"CPU {slow['cpu'].p50 / 1e6:.1f} ms per call ({cpu_share:.1%}), "
                      f"latency {fmt_us(slow['wall'].p50)}, woke {fmt_us(slow['wake'].p50)} "
                      "after the answer"))
    return goals + bytes_goals(table, memory) + thread_goals(table, threads)


def bytes_goals(table: dict[tuple[str, int], dict[str, Stats]],
                memory: dict[tuple[str, str], dict[str, int]]) -> list[Goal]:
    """The goals of infer_bytes: against infer, against the floor, against the peers' bytes
    answers, and its memory."""
    goals = []
    for size in (MIB, 16 * MIB):
        # infer_bytes saves infer the list of ints and nothing else, so the speed-up is about
        # 1 + list(bytes) / (infer_bytes's round trip): list(bytes) and the floor are shown beside
        # each figure, as what the speed-up is made of.
        speedups = {t: paired(table[(t, size)]["zelto"], table[(t, size)]["zelto_bytes"])
                    for t in TRANSPORTS}
        goals.append(Goal(
            f"infer_bytes {size_label(size)} >= 10x faster than infer (every transport)",
            all(v >= 10 for v in speedups.values()),
            "; ".join(f"{t} {speedups[t]:.1f}x ({fmt_us(table[(t, size)]['zelto_bytes'].p50)} "
                      f"vs {fmt_us(table[(t, size)]['zelto'].p50)}; list(bytes) "
                      f"{fmt_us(table[(t, size)]['list'].p50)}, floor "
                      f"{fmt_us(table[(t, size)]['floor'].p50)})" for t in TRANSPORTS)))
        to_floor = {t: paired(table[(t, size)]["zelto_bytes"], table[(t, size)]["floor"])
                    for t in TRANSPORTS}
        goals.append(Goal(
            f"infer_bytes {size_label(size)} <= 1.5x floor (every transport)",
            all(v <= 1.5 for v in to_floor.values()),
            "; ".join(f"{t} {to_floor[t]:.2f}x ({fmt_us(table[(t, size)]['zelto_bytes'].p50)} "
                      f"vs {fmt_us(table[(t, size)]['floor'].p50)})" for t in TRANSPORTS)))
    # Within the run's noise: slower only if the whole 95% interval of the rounds' median
    # ratio lies above 1.00.
    small = {t: round_ratios(table[(t, 64)]["zelto_bytes"], table[(t, 64)]["zelto"])
             for t in TRANSPORTS}
    goals.append(Goal(
        "infer_bytes 64 B no slower than infer (ratio <= 1.00 within the 95% interval)",
        all(median_interval(r)[0] <= 1.0 for r in small.values()),
        "; ".join(f"{t} {statistics.median(r):.3f}x (interval {median_interval(r)[0]:.3f}"
                  f"–{median_interval(r)[1]:.3f}; {fmt_us(table[(t, 64)]['zelto_bytes'].p50)} "
                  f"vs {fmt_us(table[(t, 64)]['zelto'].p50)})" for t, r in small.items())))
    behind, closest = [], (0.0, "")
    for (transport, size), row in table.items():
        for peer in ("plain_bytes", "grpc_bytes"):
            if peer not in row:
                continue
            ratio = paired(row["zelto_bytes"], row[peer])
            if ratio >= 1:
                behind.append(f"{transport} {size_label(size)} vs {CLIENT_LABELS[peer]} "
                              f"({ratio:.2f}x)")
            closest = max(closest, (ratio, f"{transport} {size_label(size)} vs "
                                           f"{CLIENT_LABELS[peer]}"))
    goals.append(Goal("infer_bytes ahead of grpcio (bytes) and plain Python (bytes) on every row",
                      not behind, (f"all rows; closest {closest[1]} at {closest[0]:.2f}x"
                                   if not behind else "behind on: " + ", ".join(behind))))
    for transport in TRANSPORTS:
        probe = memory[("infer_bytes", transport)]
        goals.append(Goal(
            f"{transport} 16 MiB infer_bytes round trip: memory <= input + output + "
            f"{MEMORY_CONSTANT_MIB} MiB", probe["extra_kib"] <= MEMORY_CONSTANT_MIB * 1024,
            f"{probe['extra_kib']} KiB besides input and output "
            f"(output {probe['out_kib'] / 1024:.0f} MiB)"))
    return goals


def thread_goals(table: dict[tuple[str, int], dict[str, Stats]],
                 threads: dict[tuple[str, int], dict[str, Any]]) -> list[Goal]:
    """The goals of release_gil=True: threads overlapping their waits, and its cost to a call."""
    goals = []
    one, eight = threads[("zelto", 1)], threads[("zelto", 8)]
    # The rounds' throughputs are paired like the latency rounds: 8 threads against one thread
    # of the same round.
    speedup = statistics.median(b / a for a, b in zip(one["rates"], eight["rates"]))
    wrong_all = sum(run["wrong"] for run in threads.values())
    goals.append(Goal(
        f"8 threads, release_gil=True, {SLOW_MODEL_MS} ms model: >= 6x one thread's throughput, "
        "every answer the caller's own", speedup >= 6 and eight["wrong"] == 0 and one["wrong"] == 0,
        f"{speedup:.2f}x ({eight['rate']:.0f} vs {one['rate']:.0f} calls/s); {eight['wrong']} of "
        f"{eight['calls']} answers not the caller's ({wrong_all} in all the thread runs)"))
    for transport in ("tcp", "shm"):
        row = table[(transport, 64)]
        ratios = round_ratios(row["zelto_rg"], row["zelto"])
        ratio = statistics.median(ratios)
        low, high = median_interval(ratios)
        goals.append(Goal(
            f"release_gil=True {transport} 64 B <= 1.10x the call without it", ratio <= 1.10,
            f"{ratio:.3f}x (interval {low:.3f}–{high:.3f}; {fmt_us(row['zelto_rg'].p50)} vs "
            f"{fmt_us(row['zelto'].p50)})"))
    shm = table[("shm", 64)]["zelto_rg"]
    goals.append(Goal("shm 64 B p50 <= 5 µs with release_gil=True", shm.p50 <= 5000,
                      f"p50 {fmt_us(shm.p50)}, p99 {fmt_us(shm.p99)}"))
    return goals


def table_markdown(table: dict[tuple[str, int], dict[str, Stats]]) -> str:
    lines = ["| transport | payload | C++ floor p50 / p99 | zelto_sdk p50 / p99 | zelto / floor "
             "| C++ spinning p50 | zelto / spinning | engine (C++) p50 | zelto / engine "
             "| list(bytes) p50 | plain Python p50 / p99 | plain / zelto | grpcio p50 / p99 "
             "| grpcio / zelto |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for transport in TRANSPORTS:
        for size in sorted({size for _, size in table}):
            row = table[(transport, size)]

            def cell(client: str) -> str:
                if client not in row:
                    return "–"
                return f"{fmt_us(row[client].p50)} / {fmt_us(row[client].p99)}"

            def ratio(client: str, base: str) -> str:
                return f"{paired(row[client], row[base]):.2f}x" if client in row else "–"

            spin = (fmt_us(row["spin"].p50), ratio("zelto", "spin")) \
                if "spin" in row else ("–", "–")

            lines.append(f"| {transport} | {size_label(size)} | {cell('floor')} | {cell('zelto')} "
                         f"| {ratio('zelto', 'floor')} | {spin[0]} | {spin[1]} "
                         f"| {fmt_us(row['engine'].p50)} | {ratio('zelto', 'engine')} "
                         f"| {fmt_us(row['list'].p50)} "
                         f"| {cell('plain')} | {ratio('plain', 'zelto')} | {cell('grpc')} "
                         f"| {ratio('grpc', 'zelto')} |")
    return "\n".join(lines)


def bytes_table_markdown(table: dict[tuple[str, int], dict[str, Stats]]) -> str:
    """The bytes answers of every row, beside the list answer of zelto_sdk's infer."""
    lines = ["| transport | payload | C++ floor p50 | infer_bytes p50 / p99 | bytes / floor "
             "| infer p50 | infer / bytes | plain Python (bytes) p50 / p99 | plain / zelto "
             "| grpcio (bytes) p50 / p99 | grpcio / zelto |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for transport in TRANSPORTS:
        for size in sorted({size for _, size in table}):
            row = table[(transport, size)]

            def cell(client: str) -> str:
                if client not in row:
                    return "–"
                return f"{fmt_us(row[client].p50)} / {fmt_us(row[client].p99)}"

            def ratio(client: str, base: str) -> str:
                return f"{paired(row[client], row[base]):.2f}x" if client in row else "–"

            lines.append(f"| {transport} | {size_label(size)} | {fmt_us(row['floor'].p50)} "
                         f"| {cell('zelto_bytes')} | {ratio('zelto_bytes', 'floor')} "
                         f"| {fmt_us(row['zelto'].p50)} | {ratio('zelto', 'zelto_bytes')} "
                         f"| {cell('plain_bytes')} | {ratio('plain_bytes', 'zelto_bytes')} "
                         f"| {cell('grpc_bytes')} | {ratio('grpc_bytes', 'zelto_bytes')} |")
    return "\n".join(lines)


def release_gil_table_markdown(table: dict[tuple[str, int], dict[str, Stats]]) -> str:
    lines = ["| transport | infer p50 / p99 | infer, release_gil=True p50 / p99 | ratio "
             "| 95% interval |", "|---|---|---|---|---|"]
    for transport in TRANSPORTS:
        row = table[(transport, 64)]
        ratios = round_ratios(row["zelto_rg"], row["zelto"])
        low, high = median_interval(ratios)
        lines.append(f"| {transport} | {fmt_us(row['zelto'].p50)} / {fmt_us(row['zelto'].p99)} "
                     f"| {fmt_us(row['zelto_rg'].p50)} / {fmt_us(row['zelto_rg'].p99)} "
                     f"| {statistics.median(ratios):.3f}x | {low:.3f}–{high:.3f} |")
    return "\n".join(lines)


def threads_table_markdown(threads: dict[tuple[str, int], dict[str, Any]]) -> str:
    lines = ["| client | threads | calls/s | against 1 thread | answers not the caller's own |",
             "|---|---|---|---|---|"]
    for (kind, count), run in threads.items():
        alone = threads.get((kind, 1))
        speedup = (f"{statistics.median(b / a for a, b in zip(alone['rates'], run['rates'])):.2f}x"
                   if alone else "–")
        lines.append(f"| {THREAD_LABELS[kind]} | {count} | {run['rate']:.0f} | {speedup} "
                     f"| {run['wrong']} of {run['calls']} |")
    return "\n".join(lines)


def goals_markdown(goals: list[Goal]) -> str:
    lines = ["| goal | result | measured |", "|---|---|---|"]
    lines += [f"| {g.name} | {'PASS' if g.passed else 'FAIL'} | {g.detail} |" for g in goals]
    return "\n".join(lines)


def plot(table: dict[tuple[str, int], dict[str, Stats]], path: Path) -> None:
    """Two panels: the clients answering a list of ints, and the same answering bytes."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = {"floor": "tab:gray", "zelto": "tab:blue", "plain": "tab:orange",
              "grpc": "tab:red", "list": "black", "zelto_bytes": "tab:blue",
              "plain_bytes": "tab:orange", "grpc_bytes": "tab:red"}
    styles = {"tcp": "-", "unix": "--", "shm": ":", "hybrid": "-."}
    markers = {"tcp": "o", "unix": "s", "shm": "^", "hybrid": "D"}
    figure, (lists, byteses) = plt.subplots(1, 2, figsize=(16, 7), sharey=True)
    panels = [(lists, ("floor", "zelto", "plain", "grpc"), "list answers (infer)"),
              (byteses, ("floor", "zelto_bytes", "plain_bytes", "grpc_bytes"),
               "bytes answers (infer_bytes)")]
    for axes, clients, title in panels:
        for transport in TRANSPORTS:
            for client in clients:
                if client not in table[(transport, SIZES[0])]:
                    continue
                values = [table[(transport, size)][client].p50 / 1000 for size in SIZES]
                axes.plot(SIZES, values, styles[transport], marker=markers[transport],
                          color=colors[client], label=f"{CLIENT_LABELS[client]}, {transport}")
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_xticks(SIZES, [size_label(size) for size in SIZES])
        axes.set_xlabel("payload, each way")
        axes.set_title(title)
        axes.grid(True, which="both", alpha=0.3)
    lists.plot(SIZES, [table[("tcp", size)]["list"].p50 / 1000 for size in SIZES], ":",
               color=colors["list"], label="list(bytes) alone")
    lists.set_ylabel("median latency of one call (µs)")
    lists.legend(fontsize=7, loc="upper left")
    byteses.legend(fontsize=7, loc="upper left")
    figure.suptitle("zelto_sdk against its peers (echo round trip)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def machine_line() -> str:
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{os.cpu_count()} cores ({model}), Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "bench",
                        help="directory with zelto_sdk.abi3.so and zelto-reference-server")
    parser.add_argument("--quick", action="store_true", help="a tenth of the iterations")
    parser.add_argument("--out", type=Path, default=BENCH, help="where results go")
    parser.add_argument("--sizes", type=int, nargs="+", choices=SIZES, metavar="BYTES",
                        help="only the round trips of these payload sizes, printed and not "
                             "written (for trying out a change)")
    args = parser.parse_args()

    bench = Bench(args.build.resolve(), args.quick)
    started = time.monotonic()
    try:
        bench.start()
        print("measuring round trips", flush=True)
        table = bench.measure_table(args.sizes or SIZES)
        if args.sizes:
            print()
            print(table_markdown(table))
            print()
            print(bytes_table_markdown(table))
            if 64 in args.sizes:
                print()
                print(release_gil_table_markdown(table))
            return
        print(f"measuring threads on one client against a {SLOW_MODEL_MS} ms model", flush=True)
        threads = bench.measure_threads()
        print("measuring input conversion", flush=True)
        conversions = bench.measure_conversions()
        print(f"measuring a {SLOW_ANSWER_MS} ms shared-memory answer", flush=True)
        slow = bench.measure_slow_answers()
        print("measuring peak memory of 16 MiB round trips", flush=True)
        memory = bench.measure_memory()
    finally:
        bench.stop()
    goals = evaluate(table, conversions, slow, memory, threads)

    table_text, goals_text = table_markdown(table), goals_markdown(goals)
    bytes_text, gil_text = bytes_table_markdown(table), release_gil_table_markdown(table)
    threads_text = threads_table_markdown(threads)
    for text in (table_text, bytes_text, gil_text, threads_text, goals_text):
        print()
        print(text)
    passed = sum(g.passed for g in goals)
    print(f"\n{passed} of {len(goals)} goals pass; {time.monotonic() - started:.0f} s")

    args.out.mkdir(parents=True, exist_ok=True)
    plot(table, args.out / "latency.png")
    (args.out / "results.md").write_text(
        "# zelto_sdk benchmark results\n\n"
        f"{machine_line()}. Command: `make bench`. Median (p50) and 99th percentile (p99) of one "
        "call; every ratio is the median, over the run's interleaved rounds, of the ratio of two "
        "clients' medians in a round.\n\n"
        f"{table_text}\n\n"
        "## Bytes answers\n\n"
        "zelto_sdk's `infer_bytes` in the same rounds as the table above, beside `infer` and the "
        "peers' bytes answers: the plain client's `infer_bytes` (a large socket answer received "
        "straight into its bytes object, a shared-memory answer copied out once) and grpcio's "
        "message as it comes.\n\n"
        f"{bytes_text}\n\n"
        "## release_gil=True\n\n"
        "A 64-byte `infer` on a client made with `release_gil=True` against one made without it, "
        "in the same rounds; the interval is a 95% confidence interval of the median ratio "
        "(order statistics of the rounds' ratios).\n\n"
        f"{gil_text}\n\n"
        "## Threads on one client\n\n"
        f"Threads call the slow echo ({SLOW_MODEL_MS} ms; the reference server's model 7 over "
        "TCP, grpcio's slow method) at once with 64 bytes of their own, each checking that its "
        f"answer is its own request; {bench.thread_rounds} rounds of {bench.thread_seconds:g} s "
        "per line, the ratio against one thread paired by round.\n\n"
        f"{threads_text}\n\n"
        f"## Goals\n\n{goals_text}\n\n"
        f"{passed} of {len(goals)} goals pass.\n\n![latency](latency.png)\n")
    print(f"wrote {args.out / 'results.md'} and {args.out / 'latency.png'}")


if __name__ == "__main__":
    main()
