"""A full shared-memory file system (a container's 64 MiB /dev/shm) fails a call or a server's
start, and never kills the process. Each scenario runs in a private mount namespace with a small
tmpfs on /dev/shm, in a child under a watchdog."""

from __future__ import annotations

import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

from conftest import reference_server_binary

TOOLS = str(Path(__file__).resolve().parents[2] / "tools")
NO_SPACE = f"{os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})"
MOUNT = "mount -t tmpfs -o size=64m tmpfs /dev/shm"


def _private_shm_permitted() -> bool:
    if not sys.platform.startswith("linux") or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", MOUNT], capture_output=True, timeout=30)
    return probe.returncode == 0


pytestmark = pytest.mark.skipif(not _private_shm_permitted(),
                                reason="needs a private mount namespace with a tmpfs on /dev/shm")


def in_small_shm(script: str, *args: str, timeout: float = 60) -> dict:
    """Runs `script` in a fresh interpreter that sees a 64 MiB tmpfs of its own on /dev/shm,
    and returns the JSON object it prints last; the child and all it started are killed if it
    runs past `timeout`."""
    command = ["unshare", "-m", "sh", "-c", MOUNT + ' && exec "$0" -c "$@"', sys.executable,
               script, *args]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise AssertionError(f"the scenario did not end within {timeout} s") from None
    assert process.returncode == 0, f"status {process.returncode}: {err}"
    return json.loads(out.splitlines()[-1])


# The server's region is made (and reserved) while there is room; then the rest of the file
# system is taken, leaving 1 MiB. Calls whose slots the server reserved work, however many; then
# the tensor area is turned sparse, as a region of a server that reserves nothing would be, and
# an 8 MiB input finds no room for its slot, while a small one still does.
SCENARIO = r"""
import ctypes, json, os, sys
sys.path.insert(0, sys.argv[1])
from reference_server import ReferenceServer
import zelto_sdk

binary, name, hybrid_path, kind = sys.argv[2:6]
MIB = 1 << 20
libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]


def leave_free(path, room):
    stat = os.statvfs("/dev/shm")
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    os.posix_fallocate(fd, 0, stat.f_bavail * stat.f_frsize - room)
    os.close(fd)


def outcome(call):
    try:
        return ["ok", call() == b"hello"]
    except Exception as error:
        return [type(error).__name__, str(error)]


server = ReferenceServer(binary, "--shm", name, "--tensor-area", str(24 * MIB),
                         "--hybrid", hybrid_path)
client = (zelto_sdk.ZeltoShmClient(name) if kind == "shm"
          else zelto_sdk.ZeltoHybridClient(name, hybrid_path))
small = lambda: client.infer_bytes([5], "uint8", b"hello")
result = {"first": outcome(small)}

leave_free("/dev/shm/fill-1", MIB)
payload = bytes(range(256)) * (MIB // 256)
result["reserved"] = all(client.infer_bytes([MIB], "uint8", payload) == payload
                         for _ in range(40))

fd = os.open("/dev/shm/" + name, os.O_RDWR)
header = os.pread(fd, 40, 0)
area, area_size = int.from_bytes(header[24:32], "little"), int.from_bytes(header[32:40], "little")
PUNCH_HOLE_KEEP_SIZE = 0x02 | 0x01
assert libc.fallocate(fd, PUNCH_HOLE_KEEP_SIZE, area, area_size) == 0, ctypes.get_errno()
os.close(fd)
leave_free("/dev/shm/fill-2", MIB)

result["large"] = outcome(lambda: client.infer_bytes([8 * MIB], "uint8", bytes(8 * MIB)))
result["after"] = outcome(small)
result["server_alive"] = server.process.poll() is None
del client
result["server_status"] = server.stop()
print(json.dumps(result))
"""

REFUSED = r"""
import json, os, subprocess, sys

binary, name = sys.argv[1:3]
done = subprocess.run([binary, "--shm", name, "--tensor-area", str(64 << 20)],
                      capture_output=True, text=True, timeout=20)
print(json.dumps({"status": done.returncode, "stderr": done.stderr,
                  "left": os.path.exists("/dev/shm/" + name)}))
"""


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_no_room_for_a_slot_fails_the_call_and_frees_the_slot(tmp_path, kind: str) -> None:
    name = "zelto-full-" + uuid.uuid4().hex[:10]
    result = in_small_shm(SCENARIO, TOOLS, reference_server_binary(), name,
                          str(tmp_path / "hybrid.sock"), kind)
    assert result["first"] == ["ok", True]
    assert result["reserved"] is True
    assert result["large"] == ["RuntimeError", "Shared memory error: " + NO_SPACE]
    assert result["after"] == ["ok", True]
    assert result["server_alive"] is True
    assert result["server_status"] == 0


def test_server_refuses_to_start_when_its_region_cannot_be_reserved() -> None:
    name = "zelto-full-" + uuid.uuid4().hex[:10]
    result = in_small_shm(REFUSED, reference_server_binary(), name)
    assert result["status"] > 0
    assert f"shared memory region '{name}': {NO_SPACE}" in result["stderr"]
    assert result["left"] is False
