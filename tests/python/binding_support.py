"""Helpers for the binding tests: a scripted stream peer, the reference server and a blank
shared region.

The module holds the interpreter lock for the whole of every call, so every peer runs in
another process.
"""

from __future__ import annotations

import multiprocessing
import os
import shutil
import socket
import struct
import subprocess
import uuid
from dataclasses import dataclass
from pathlib import Path

_SPAWN = multiprocessing.get_context("spawn")


def response_frame(status: int, payload: bytes = b"") -> bytes:
    return struct.pack("<II", status, len(payload)) + payload


def _read_exact(conn: socket.socket, n: int) -> bytes | None:
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def _serve(path: str, script: list[list], ready, report, proceed) -> None:
    """Serves one connection per entry of `script`, in order. Actions:
    "request"        read one request frame (12-byte header + body) and report its bytes
    ("send", bytes)  write bytes
    "close"          close the connection now
    "hold"           wait until the client closes, then report "closed"
    "shutdown_read"  stop receiving: the client's writes then fail with EPIPE
    "wait"           wait until the test calls proceed.set()
    """
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(8)
    ready.set()
    for actions in script:
        conn, _ = listener.accept()
        with conn:
            for action in actions:
                if action == "request":
                    header = _read_exact(conn, 12)
                    if header is None:
                        report.send(None)
                        break
                    (length,) = struct.unpack_from("<I", header, 8)
                    body = _read_exact(conn, length) or b""
                    report.send(header + body)
                elif action == "close":
                    break
                elif action == "hold":
                    while conn.recv(65536):
                        pass
                    report.send("closed")
                elif action == "shutdown_read":
                    conn.shutdown(socket.SHUT_RD)
                elif action == "wait":
                    proceed.wait(30)
                else:
                    conn.sendall(action[1])
    listener.close()


@dataclass
class ScriptedPeer:
    """A local stream peer in its own process, driven by a fixed script."""

    path: str
    process: multiprocessing.process.BaseProcess
    report: object
    proceed: object

    def next_report(self, timeout: float = 30.0):
        if not self.report.poll(timeout):
            raise AssertionError("the peer reported nothing")
        return self.report.recv()

    def stop(self) -> None:
        self.proceed.set()
        self.process.join(timeout=10)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


def start_peer(directory: Path, script: list[list]) -> ScriptedPeer:
    path = str(directory / f"peer-{uuid.uuid4().hex[:8]}.sock")
    ready = _SPAWN.Event()
    proceed = _SPAWN.Event()
    parent, child = _SPAWN.Pipe()
    process = _SPAWN.Process(
        target=_serve, args=(path, script, ready, child, proceed), daemon=True
    )
    process.start()
    if not ready.wait(30):
        process.kill()
        raise AssertionError("the scripted peer did not start")
    return ScriptedPeer(path, process, parent, proceed)


def reference_server_path() -> str:
    found = os.environ.get("ZELTO_REFERENCE_SERVER") or shutil.which("zelto-reference-server")
    if not found:
        raise RuntimeError(
            "zelto-reference-server not found: set ZELTO_REFERENCE_SERVER or put it on PATH"
        )
    return found


class ReferenceServer:
    """zelto-reference-server on a local stream socket, stopped on exit."""

    def __init__(self, directory: Path):
        self.path = str(directory / f"ref-{uuid.uuid4().hex[:8]}.sock")
        self.process = subprocess.Popen(
            [reference_server_path(), "--pipe", self.path],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        line = self.process.stdout.readline()
        if "listening" not in line:
            self.process.kill()
            raise RuntimeError(f"reference server did not start: {line!r}")

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


# A region with the two 1024-cell queues and a 1 MiB tensor area, all indexes zero (empty).
REQUEST_QUEUE = 64
RESPONSE_QUEUE = REQUEST_QUEUE + 1024 * 40
TENSOR_AREA = RESPONSE_QUEUE + 1024 * 48
TENSOR_AREA_SIZE = 1 << 20
REGION_SIZE = TENSOR_AREA + TENSOR_AREA_SIZE


def create_blank_region() -> str:
    """A valid region that no server serves: requests are queued and never answered."""
    name = f"zelto-binding-{uuid.uuid4().hex[:12]}"
    with open(f"/dev/shm/{name}", "wb") as f:
        f.truncate(REGION_SIZE)
        f.write(
            struct.pack(
                "<IIQQQQ", 0x41494D4F, 1, REQUEST_QUEUE, RESPONSE_QUEUE, TENSOR_AREA,
                TENSOR_AREA_SIZE,
            )
        )
    return name


from peer_process import remove_region  # noqa: E402,F401 - one removal for every region helper
