"""Clients in several processes and threads.

Several clients on one shared region, in one process or in several, never take one another's
slot or answer, and threads on one client queue instead of failing. A client made before fork()
never lets the child use what it inherited: a connection used by both would hand each the
other's answers. The socket client opens a connection of the child's own; its streams and the
shared-memory clients refuse the child.

Whatever may hang runs under a watchdog (child_process): the socket client's scenarios in a
forked child, which forks again; the region clients' in scripts in fresh interpreters. A
regression then fails instead of holding up the run.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
import uuid
from collections.abc import Iterator
from typing import Any

import pytest

import child_process
import hybrid_peer
import shm_peer
import zelto_sdk
from peer_process import remove_region
from platforms import local_endpoint, posix_only
from socket_peer import response, tensor_payload

IN_OTHER_PROCESS = ("This client was created in another process; create a new one in this "
                    "process")

# ---- The socket client and fork() -----------------------------------------------------------


def answer(value: int) -> list[tuple]:
    return [("request",), ("send", response(0, tensor_payload([1], "uint8", bytes([value]))))]


def frame(value: int) -> bytes:
    return response(2, tensor_payload([1], "uint8", bytes([value])))


def in_forked_child(work) -> object:
    """Runs work() in a child forked now and returns its result (or the text it raised)."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            result = repr(work())
        except BaseException as error:
            result = f"{type(error).__name__}: {error}"
        os.write(writer, result.encode())
        os._exit(0)
    os.close(writer)
    with os.fdopen(reader, "rb") as pipe:
        result = pipe.read().decode()
    os.waitpid(pid, 0)
    return result


def client_used_on_both_sides(control, client_args):
    client = zelto_sdk.ZeltoClient(**client_args)
    before = client.infer(1, [1], "u8", b"p")  # leaves a pooled connection behind
    in_child = in_forked_child(lambda: client.infer(1, [1], "u8", b"c"))
    return before, in_child, client.infer(1, [1], "u8", b"p")


@posix_only("fork()")
def test_a_client_used_before_fork_gives_parent_and_child_their_own_answers(scripted_peer):
    # Connection 0 is the parent's: two answers. Connection 1 must be the child's own.
    peer = scripted_peer([answer(1) + answer(2), answer(3)])
    result = child_process.run(client_used_on_both_sides, peer.client_args)
    assert result == ([1], "[3]", [2])


def stream_used_on_both_sides(control, client_args):
    client = zelto_sdk.ZeltoClient(**client_args)
    streams = [client.infer_stream(1, [1], "u8", b"s")]  # the only reference
    first = next(streams[0])

    def use_inherited_stream():
        try:
            return next(streams[0])
        finally:
            streams.clear()  # destroyed in the child: closes only the child's descriptor

    in_child = in_forked_child(use_inherited_stream)
    return first, in_child, list(streams[0])


@posix_only("fork()")
def test_a_stream_made_before_fork_refuses_the_child_and_still_serves_the_parent(scripted_peer):
    peer = scripted_peer([[("request",), ("send", frame(1) + frame(2) + response(0))]])
    result = child_process.run(stream_used_on_both_sides, peer.client_args)
    assert result == ([1], "RuntimeError: " + IN_OTHER_PROCESS, [[2]])


# ---- The region clients ---------------------------------------------------------------------

# The start of every region client script: its arguments are the client kind ("shm" or
# "hybrid"), the region, the hybrid socket path, then the script's own.
CLIENT = r"""
import os, sys, zelto_sdk
kind, region, path = sys.argv[1:4]
client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
          else zelto_sdk.ZeltoHybridClient(region, path))
"""


@pytest.fixture
def served_region(start_reference_server, tmp_path) -> tuple[str, str]:
    """(region, hybrid socket path) of a reference server that serves both region clients."""
    region = "zelto-processes-" + uuid.uuid4().hex[:8]
    path = local_endpoint(tmp_path)
    start_reference_server("--shm", region, "--hybrid", path)
    return region, path


@pytest.fixture(params=["shm", "hybrid"])
def region_peer(request) -> Iterator[tuple[str, str, str, Any]]:
    """(kind, region, hybrid socket path, peer): a scripted peer for a client of that kind."""
    if request.param == "shm":
        region = shm_peer.Region()
        name, peer, path = region.name, shm_peer.Peer(region), ""
    else:
        name = "zelto-processes-" + uuid.uuid4().hex[:12]
        hybrid_peer.create_region(name)
        peer = hybrid_peer.Peer(name)
        path = peer.path
    yield request.param, name, path, peer
    peer.stop()
    remove_region(name)


# One worker process: its own client on the region, calls whose answers are unique to it.
WORKER = CLIENT + r"""
wrong = 0
for n in range(int(sys.argv[4])):
    data = (os.getpid().to_bytes(4, "little") + n.to_bytes(4, "little")) * 128
    wrong += client.infer([len(data)], "uint8", data) != list(data)
print(wrong)
"""


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_clients_in_two_processes_get_their_own_answers(served_region, kind):
    workers = [child_process.ClientScript(WORKER, kind, *served_region, "1500") for _ in range(2)]
    for worker in workers:
        assert worker.lines(timeout=120) == ["0"]


@pytest.mark.parametrize("region_peer", ["shm"], indirect=True)
def test_a_late_answer_for_a_client_that_gave_up_is_not_taken_by_the_next(region_peer):
    _, region, _, peer = region_peer
    first = zelto_sdk.ZeltoShmClient(region)
    peer.script({"ignore": True})
    with pytest.raises(TimeoutError):
        first.infer([1], "u8", b"a")
    late = peer.next_request().request_id
    del first
    # The answer to the first client's request arrives just before the second's own.
    peer.script({"foreign": [late]})
    assert zelto_sdk.ZeltoShmClient(region).infer([1], "u8", b"b") == [98]
    assert peer.next_request().request_id != late


# 32 threads on one client, each with input data whose conversion runs Python code, so the
# interpreter switches threads in the middle of a call.
THREADS = CLIENT + r"""
import threading, time

class SlowSequence:
    def __init__(self, data):
        self.data = data
    def __len__(self):
        return len(self.data)
    def __getitem__(self, index):
        if index == 0:
            time.sleep(0.001)  # lets the other threads run mid-conversion
        return self.data[index]

results = {}
def call(n):
    data = bytes([n]) * 300
    try:
        results[n] = client.infer([300], "uint8", SlowSequence(data)) == list(data)
    except Exception as error:
        results[n] = repr(error)

threads = [threading.Thread(target=call, args=(n,)) for n in range(32)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(sorted(results.items()) == [(n, True) for n in range(32)] or results)
"""


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_threads_on_one_client_queue_and_each_gets_its_own_answer(served_region, kind):
    assert child_process.run_client_script(THREADS, kind, *served_region, timeout=120) == ["True"]


# ---- release_gil: calls that wait without the interpreter lock ------------------------------

SLOW_ECHO = 7
DELAY = 0.2  # seconds the slow echo model takes
KINDS = ["tcp", "pipe", "shm", "hybrid"]


@pytest.fixture
def slow_server(start_reference_server, tmp_path) -> dict[str, str]:
    """Where a reference server listens whose every transport answers with a slow echo."""
    region = "zelto-slow-" + uuid.uuid4().hex[:8]
    server = start_reference_server(
        "--tcp", "127.0.0.1:0", "--pipe", local_endpoint(tmp_path), "--shm", region,
        "--hybrid", local_endpoint(tmp_path), "--shm-model", str(SLOW_ECHO),
        "--slow-delay-ms", str(int(DELAY * 1000)))
    return server.listening


def slow_client(kind: str, listening: dict[str, str], **settings: Any) -> Any:
    """A client of `kind` and a function that sends it one slow echo request."""
    if kind == "tcp":
        host, port = listening["tcp"].rsplit(":", 1)
        client = zelto_sdk.ZeltoClient(host=host, port=int(port), **settings)
    elif kind == "pipe":
        client = zelto_sdk.ZeltoClient(socket_path=listening["pipe"], **settings)
    elif kind == "shm":
        return zelto_sdk.ZeltoShmClient(listening["shm"], **settings).infer
    else:
        return zelto_sdk.ZeltoHybridClient(listening["shm"], listening["hybrid"], **settings).infer
    return lambda shape, dtype, data: client.infer(SLOW_ECHO, shape, dtype, data)


def ticks_during_a_call(control, kind, listening, release_gil):
    infer = slow_client(kind, listening, release_gil=release_gil)
    ticks: list[float] = []
    done = threading.Event()

    def tick() -> None:
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    started = time.monotonic()
    answer = infer([3], "u8", b"abc")
    ended = time.monotonic()
    done.set()
    ticker.join()
    return answer, sum(started < t < ended for t in ticks)


@pytest.mark.parametrize("release_gil", [False, True], ids=["lock_held", "lock_released"])
@pytest.mark.parametrize("kind", KINDS)
def test_a_waiting_call_lets_other_threads_run_only_with_release_gil(slow_server, kind,
                                                                     release_gil):
    answer, ticks = child_process.run(ticks_during_a_call, kind, slow_server, release_gil)
    assert answer == [97, 98, 99]
    # Lock held: a tick may slip in just before the call starts, none during it. Released: the
    # other thread ticks all along (about one a millisecond).
    assert (ticks >= 20) == release_gil, ticks


def threads_on_one_client(control, kind, listening):
    infer = slow_client(kind, listening, release_gil=True)
    results: dict[int, object] = {}

    def call(n: int) -> None:
        data = bytes([n]) * (n + 1)
        try:
            results[n] = infer([len(data)], "u8", data) == list(data)
        except Exception as error:
            results[n] = repr(error)

    threads = [threading.Thread(target=call, args=(n,)) for n in range(8)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results, time.monotonic() - started


@pytest.mark.parametrize("kind", KINDS)
def test_threads_on_one_released_client_each_get_their_own_answer(slow_server, kind):
    results, elapsed = child_process.run(threads_on_one_client, kind, slow_server)
    assert results == {n: True for n in range(8)}
    if kind in ("tcp", "pipe"):
        # Served at once, each on a connection of its own: one after another, the eight calls
        # would take at least 8 x DELAY. (The region clients take turns.)
        assert elapsed < 5 * DELAY, elapsed


# A call in the parent, a fork, and in the child either nothing or a call; the child exits the
# ordinary way, so the inherited client is destroyed there. Then another call in the parent.
FORK = CLIENT + r"""
print(client.infer([1], "u8", b"p"), flush=True)
pid = os.fork()
if pid == 0:
    if sys.argv[4] == "calls":
        try:
            client.infer([1], "u8", b"c")
        except RuntimeError as e:
            print("child:", e, flush=True)
    del client
    sys.exit(0)
print("child exit:", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
print(client.infer([1], "u8", b"q"), flush=True)
"""


@posix_only("fork()")
@pytest.mark.parametrize("child,said", [
    ("leaves it", []),
    ("calls", ["child: " + IN_OTHER_PROCESS]),
])
def test_a_region_client_made_before_fork_is_never_used_by_the_child(region_peer, child, said):
    kind, region, path, peer = region_peer
    lines = child_process.run_client_script(FORK, kind, region, path, child)
    assert lines == ["[112]", *said, "child exit: 0", "[113]"]
    # Only the parent's two calls reached the server.
    first, second = (peer.next_request().request_id for _ in range(2))
    assert second == first + 1
    assert peer.pending_requests() == 0


# ---- Interpreter exit while threads are inside calls ----------------------------------------

# sys.exit() while a daemon thread waits in a released call that the server answers long after:
# the interpreter finalizes with the call still waiting. The exit status is the one asked for.
EXIT_DURING_CALL = r"""
import sys, threading
import zelto_sdk
kind, tcp, region, hybrid = sys.argv[1:]
if kind == "tcp":
    host, port = tcp.rsplit(":", 1)
    client = zelto_sdk.ZeltoClient(host=host, port=int(port), release_gil=True)
    infer = lambda: client.infer(7, [1], "u8", b"x")
else:
    client = (zelto_sdk.ZeltoShmClient(region, release_gil=True) if kind == "shm" else
              zelto_sdk.ZeltoHybridClient(region, hybrid, release_gil=True))
    infer = lambda: client.infer([1], "u8", b"x")
calling = threading.Event()

def call():
    calling.set()
    infer()

threading.Thread(target=call, daemon=True).start()
calling.wait()
sys.exit(3)
"""


def start_slow_server(start_reference_server, tmp_path, delay_ms: int) -> tuple[dict[str, str], str]:
    """A reference server whose every transport answers with a slow echo; where it listens and
    its region."""
    region = "zelto-slow-" + uuid.uuid4().hex[:8]
    server = start_reference_server(
        "--tcp", "127.0.0.1:0", "--shm", region, "--hybrid", local_endpoint(tmp_path),
        "--shm-model", str(SLOW_ECHO), "--slow-delay-ms", str(delay_ms))
    return server.listening, region


@pytest.mark.parametrize("kind", ["tcp", "shm", "hybrid"])
def test_exit_with_a_daemon_thread_inside_a_call_ends_quietly(start_reference_server, tmp_path,
                                                             kind):
    where, region = start_slow_server(start_reference_server, tmp_path, 2000)
    # Several interpreters at once, each exiting while its thread waits on the server.
    runs = [subprocess.Popen([sys.executable, "-c", EXIT_DURING_CALL, kind, where["tcp"], region,
                              where["hybrid"]], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True) for _ in range(8)]
    for run in runs:
        try:
            out, err = run.communicate(timeout=child_process.WATCHDOG_SECONDS)
        except subprocess.TimeoutExpired:
            run.kill()
            run.communicate()
            raise AssertionError("the interpreter did not exit") from None
        assert (run.returncode, out, err) == (3, "", "")


# ---- Threads waiting for one region client: in arrival order, within the call's time-out ----


def region_client(kind: str, listening: dict[str, str], region: str, **settings: Any) -> Any:
    if kind == "shm":
        return zelto_sdk.ZeltoShmClient(region, release_gil=True, **settings)
    return zelto_sdk.ZeltoHybridClient(region, listening["hybrid"], release_gil=True, **settings)


def calls_per_thread(control, kind, listening, region, seconds):
    client = region_client(kind, listening, region)
    counts = [0, 0]
    start = threading.Barrier(2)
    until = time.monotonic() + seconds

    def calls(n: int) -> None:
        start.wait()
        while time.monotonic() < until:
            client.infer([1], "u8", b"x")
            counts[n] += 1

    threads = [threading.Thread(target=calls, args=(n,)) for n in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return counts


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_threads_on_one_region_client_take_turns(start_reference_server, tmp_path, kind):
    listening, region = start_slow_server(start_reference_server, tmp_path, 1)
    counts = child_process.run(calls_per_thread, kind, listening, region, 1.5)
    # The thread that just finished a call queues behind the one already waiting.
    assert min(counts) * 4 >= max(counts) > 0, counts


def two_calls_at_once(control, listening, region, timeout):
    client = region_client("hybrid", listening, region, socket_timeout=timeout)
    start = threading.Barrier(2)
    results: list[str] = []

    def call() -> None:
        start.wait()
        try:
            results.append(repr(client.infer([1], "u8", b"x")))
        except Exception as error:
            results.append(repr(error))

    threads = [threading.Thread(target=call) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sorted(results)


def test_the_wait_for_a_hybrid_client_counts_against_its_socket_timeout(start_reference_server,
                                                                       tmp_path):
    # Each call takes 1 s and may take 1.5 s: the second waits 1 s for the first, so it cannot
    # be answered in time.
    listening, region = start_slow_server(start_reference_server, tmp_path, 1000)
    results = child_process.run(two_calls_at_once, listening, region, 1.5)
    assert results == ["TimeoutError('Request timed out')", "[120]"]


def wait_for_a_busy_client(control, kind, listening, region):
    client = region_client(kind, listening, region)

    class Reenters:
        def __index__(self):
            return client.infer([1], "u8", b"x")

    try:
        client.infer([Reenters()], "u8", b"x")
    except RuntimeError as error:
        reentered = str(error)
    busy = threading.Thread(target=client.infer, args=([1], "u8", b"x"))
    busy.start()
    time.sleep(0.2)  # the other thread's slow call holds the client
    outcome = interrupted_by_alarm(lambda: client.infer([1], "u8", b"x"))
    busy.join()
    return reentered, outcome


def interrupted_by_alarm(call) -> tuple:
    class Alarm(Exception):
        pass

    def on_alarm(signum, frame):
        raise Alarm()

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    started = time.monotonic()
    try:
        call()
    except Alarm:
        return ("alarm", time.monotonic() - started < 1)
    return ("returned",)


@posix_only("SIGALRM")
@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_a_call_waiting_for_its_client_still_ends_on_a_signal_and_refuses_reentry(
        start_reference_server, tmp_path, kind):
    listening, region = start_slow_server(start_reference_server, tmp_path, 2000)
    assert child_process.run(wait_for_a_busy_client, kind, listening, region) == (
        "Already borrowed", ("alarm", True))
