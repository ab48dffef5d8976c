"""Several clients on one region, and several threads on one client: nobody takes another's
slot or answer, and threads queue instead of failing."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
import time
import uuid

import pytest
import zelto_sdk

import shm_peer

# One worker process: its own client on the region, calls whose answers are unique to it.
_WORKER = textwrap.dedent("""
    import os, sys, zelto_sdk
    kind, region, path, calls = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
              else zelto_sdk.ZeltoHybridClient(region, path))
    wrong = 0
    for n in range(calls):
        data = (os.getpid().to_bytes(4, "little") + n.to_bytes(4, "little")) * 128
        wrong += client.infer([len(data)], "uint8", data) != list(data)
    print(wrong)
""")


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_clients_in_two_processes_get_their_own_answers(start_reference_server, tmp_path, kind):
    region = "zelto-two-" + uuid.uuid4().hex[:8]
    path = str(tmp_path / "hybrid.sock")
    start_reference_server("--shm", region, "--hybrid", path)
    workers = [subprocess.Popen([sys.executable, "-c", _WORKER, kind, region, path, "1500"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for _ in range(2)]
    for worker in workers:
        out, err = worker.communicate(timeout=120)
        assert worker.returncode == 0, err
        assert out.strip() == "0"


def test_a_late_answer_for_a_client_that_gave_up_is_not_taken_by_the_next():
    region = shm_peer.Region()
    peer = shm_peer.Peer(region)
    try:
        first = zelto_sdk.ZeltoShmClient(region.name)
        peer.script({"ignore": True})
        with pytest.raises(TimeoutError):
            first.infer([1], "u8", b"a")
        late = peer.next_request().request_id
        del first
        # The answer to the first client's request arrives just before the second's own.
        peer.script({"foreign": [late]})
        assert zelto_sdk.ZeltoShmClient(region.name).infer([1], "u8", b"b") == [98]
        assert peer.next_request().request_id != late
    finally:
        peer.stop()
        region.remove()


class SlowSequence:
    """Input data whose conversion runs Python code, so the interpreter switches threads."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def __len__(self) -> int:
        return len(self.data)

    def __getitem__(self, index: int) -> int:
        if index == 0:
            time.sleep(0.001)  # lets the other threads run mid-conversion
        return self.data[index]


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_threads_on_one_client_queue_and_each_gets_its_own_answer(start_reference_server,
                                                                   tmp_path, kind):
    region = "zelto-threads-" + uuid.uuid4().hex[:8]
    path = str(tmp_path / "hybrid.sock")
    start_reference_server("--shm", region, "--hybrid", path)
    client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
              else zelto_sdk.ZeltoHybridClient(region, path))
    results: dict[int, object] = {}

    def call(n: int) -> None:
        data = bytes([n]) * 300
        try:
            results[n] = client.infer([300], "uint8", SlowSequence(data)) == list(data)
        except Exception as error:  # noqa: BLE001 - reported below
            results[n] = error

    threads = [threading.Thread(target=call, args=(n,)) for n in range(32)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert results == {n: True for n in range(32)}


# A client made before fork(): the child is refused, the parent goes on as before.
_FORK = textwrap.dedent("""
    import os, sys, zelto_sdk
    kind, region, path = sys.argv[1], sys.argv[2], sys.argv[3]
    client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
              else zelto_sdk.ZeltoHybridClient(region, path))
    assert client.infer([1], "u8", b"p") == [112]
    pid = os.fork()
    if pid == 0:
        try:
            client.infer([1], "u8", b"c")
            os._exit(1)
        except RuntimeError as error:
            os._exit(0 if error.args == ("This client was created in another process; "
                                         "create a new one in this process",) else 2)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    assert client.infer([1], "u8", b"q") == [113]
    print("ok")
""")


@pytest.mark.parametrize("kind", ["shm"])
def test_a_client_made_before_fork_is_refused_in_the_child(start_reference_server, tmp_path,
                                                           kind):
    region = "zelto-fork-" + uuid.uuid4().hex[:8]
    path = str(tmp_path / "hybrid.sock")
    start_reference_server("--shm", region, "--hybrid", path)
    run = subprocess.run([sys.executable, "-c", _FORK, kind, region, path], capture_output=True,
                         text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, "ok"), run.stderr


@pytest.mark.parametrize("make", [
    lambda name: zelto_sdk.ZeltoShmClient(name + "\0junk"),
    lambda name: zelto_sdk.ZeltoHybridClient(name + "\0junk", "/tmp/none"),
], ids=["shm", "hybrid"])
def test_a_region_name_with_a_nul_is_refused(make):
    region = shm_peer.Region()
    try:
        with pytest.raises(ConnectionError) as refused:
            make(region.name)
        assert refused.value.args == ("Shared memory error: data provided contains a nul byte",)
    finally:
        region.remove()
