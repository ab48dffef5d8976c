"""End-to-end smoke run of every client class against the reference server, meant to run in an
interpreter with the AddressSanitizer runtime preloaded (tools/asan_smoke.sh sets that up).

It exercises the ordinary paths and the common failures of ZeltoClient (TCP and local socket,
single-shot, infer_tensor, streams), ZeltoShmClient and ZeltoHybridClient. A memory error in the
module ends the process with AddressSanitizer's report; a wrong result fails an assertion. A
client class the module does not have yet, or a service the server cannot start yet, is
skipped and said so.

    python tools/asan_smoke.py SERVER_BINARY
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import tempfile
import uuid

import zelto_sdk
from reference_server import ReferenceServer

ECHO, SCALE, ROWS, FLAKY_ROWS, SESSION = 1, 2, 4, 5, 6


def floats(*values: float) -> bytes:
    return struct.pack("<%df" % len(values), *values)


def expect_error(kind: type[BaseException], call, *args) -> str:
    try:
        call(*args)
    except kind as error:
        return str(error)
    raise AssertionError(f"{call!r}{args!r} did not raise {kind.__name__}")


def socket_client(client: zelto_sdk.ZeltoClient) -> int:
    checks = 0
    for size in (0, 1, 4096, 1 << 20):
        data = os.urandom(size)
        assert client.infer(ECHO, [size], "uint8", data) == list(data)
        checks += 1
    data, shape, dtype = client.infer_tensor(SCALE, [2, 2], "float32", floats(1, 2, 3, 4))
    assert (bytes(data), shape, dtype) == (floats(2, 4, 6, 8), [2, 2], "float32")
    extras = {"mask": ([1], "u8", b"\x01"), "bias": ([], "fp32", floats(0.5))}
    assert client.infer(ECHO, [3], "uint8", b"abc", extras, "session-1") == list(b"abc")
    assert bytes(client.infer(SESSION, [1], "uint8", b"x", None, "session-\u00e9")) == (
        "session-\u00e9".encode())
    rows = list(client.infer_stream(ROWS, [3, 2], "float32", floats(1, 2, 3, 4, 5, 6)))
    assert [bytes(r) for r in rows] == [floats(1, 2), floats(3, 4), floats(5, 6)]
    stream = client.infer_stream(FLAKY_ROWS, [2, 1], "float32", floats(1, 2))
    assert bytes(next(stream)) == floats(1)
    expect_error(RuntimeError, next, stream)
    expect_error(RuntimeError, client.infer, SCALE, [1], "int32", b"\x00" * 4)
    expect_error(ValueError, client.infer, ECHO, [1], "bfloat16", b"\x00\x00")
    expect_error(RuntimeError, client.infer, 999, [1], "uint8", b"x")
    return checks + 9


def shm_client(name: str) -> int:
    client = zelto_sdk.ZeltoShmClient(name)
    for size in (0, 1, 64, 65536, 3 << 20):
        data = os.urandom(size)
        assert client.infer([size], "uint8", data) == list(data)
    expect_error(ValueError, client.infer, [1] * 9, "uint8", b"x")
    expect_error(ValueError, client.infer, [1], "bfloat16", b"\x00\x00")
    return 7


def hybrid_client(name: str, path: str) -> int:
    client = zelto_sdk.ZeltoHybridClient(name, path)
    for size in (0, 64, 64 * 1024, 1024 * 1024 - 80):
        data = os.urandom(size)
        assert client.infer([size], "uint8", data) == list(data)
    expect_error(ValueError, client.infer, [1] * 9, "uint8", b"x")
    absent = zelto_sdk.ZeltoHybridClient(name, path + "-absent")
    assert expect_error(RuntimeError, absent.infer, [1], "uint8", b"x").startswith(
        "Failed to open named pipe ")
    del client, absent
    return 6


def server_supports(binary: str, option: str) -> bool:
    usage = subprocess.run([binary, "--help"], capture_output=True, text=True)
    return option in usage.stdout + usage.stderr


def main() -> int:
    binary = sys.argv[1]
    tag = uuid.uuid4().hex[:12]
    with tempfile.TemporaryDirectory() as tmp:
        args = ["--tcp", "127.0.0.1:0", "--pipe", os.path.join(tmp, "zelto.sock")]
        shm_name = "zelto-asan-smoke-" + tag
        hybrid_path = os.path.join(tmp, "hybrid.sock")
        has_shm = hasattr(zelto_sdk, "ZeltoShmClient") and server_supports(binary, "--shm")
        has_hybrid = (has_shm and hasattr(zelto_sdk, "ZeltoHybridClient")
                      and server_supports(binary, "--hybrid"))
        if has_shm:
            args += ["--shm", shm_name, "--tensor-area", str(16 << 20)]
        if has_hybrid:
            args += ["--hybrid", hybrid_path]
        server = ReferenceServer(binary, *args)
        checks = 0
        try:
            tcp = zelto_sdk.ZeltoClient("tcp://" + server.listening["tcp"], max_pool_size=2)
            checks += socket_client(tcp)
            checks += socket_client(zelto_sdk.ZeltoClient(socket_path=server.listening["pipe"]))
            refused = zelto_sdk.ZeltoClient(socket_path=os.path.join(tmp, "nobody.sock"))
            expect_error(ConnectionError, refused.infer, ECHO, [1], "uint8", b"x")
            checks += 1
            if has_shm:
                checks += shm_client(shm_name)
            else:
                print("asan smoke: ZeltoShmClient skipped (not in the module or the server yet)")
            if has_hybrid:
                checks += hybrid_client(shm_name, hybrid_path)
            else:
                print("asan smoke: ZeltoHybridClient skipped (not in the module or the server yet)")
        finally:
            status = server.stop()
        assert status == 0, f"reference server exited with status {status}"
    print(f"asan smoke: {checks} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
