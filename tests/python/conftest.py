"""Shared fixtures: the reference server and the scripted socket peer.

Both servers run in processes of their own: the extension module holds the interpreter lock for
the whole of every call, so a server thread in the test process could never answer.
"""

from __future__ import annotations

import gc
import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

from platforms import local_endpoint
from socket_peer import ScriptedPeer

# The start-up handshake with the server lives in the repository's tools/, next to the other
# programs that start it.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from reference_server import NotReady, start_server, stop_server, wait_until_ready  # noqa: E402


def reference_server_binary() -> str:
    """ZELTO_REFERENCE_SERVER, else zelto-reference-server on PATH."""
    path = os.environ.get("ZELTO_REFERENCE_SERVER") or shutil.which("zelto-reference-server")
    if not path:
        pytest.fail("zelto-reference-server not found: set ZELTO_REFERENCE_SERVER or put it on PATH")
    return path


class ReferenceServer:
    """A running zelto-reference-server. `listening` maps each listener kind ("tcp", "pipe",
    ...) to where the server says it listens; the server is ready when this returns."""

    def __init__(self, *args: str, timeout: float = 30) -> None:
        self.process = start_server([reference_server_binary(), *args], stderr=subprocess.PIPE,
                                    text=True)
        try:
            self.listening = wait_until_ready(self.process, timeout)
        except NotReady as error:
            _, err = self.stop()
            raise RuntimeError(f"reference server {error}: {err}") from None

    @property
    def tcp_port(self) -> int:
        return int(self.listening["tcp"].rsplit(":", 1)[1])

    @property
    def pipe_path(self) -> str:
        return self.listening["pipe"]

    def stop(self) -> tuple[int, str]:
        """Asks the server to stop (reference_server.stop_server) and returns the exit status
        and what the server wrote to stderr."""
        stop_server(self.process)
        try:
            _, err = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, err = self.process.communicate()
        return self.process.returncode, err


@pytest.fixture(autouse=True)
def collect_clients() -> Iterator[None]:
    """Collects the clients a test leaves in reference cycles (a caught exception's traceback
    holds the test's frame): a live client keeps its seat on a shared region, and the next
    test's client would number its requests after it instead of from 1."""
    yield
    gc.collect()


@pytest.fixture(scope="session")
def reference_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ReferenceServer]:
    """One server for the session, on a free TCP port and a fresh local endpoint."""
    pipe = local_endpoint(tmp_path_factory.mktemp("server"))
    server = ReferenceServer("--tcp", "127.0.0.1:0", "--pipe", pipe)
    yield server
    status, err = server.stop()
    assert status == 0, err


@pytest.fixture
def start_reference_server() -> Iterator[Callable[..., ReferenceServer]]:
    """Starts servers with any options; each is stopped at the end of the test."""
    started: list[ReferenceServer] = []

    def start(*args: str) -> ReferenceServer:
        started.append(ReferenceServer(*args))
        return started[-1]

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def scripted_peer(tmp_path) -> Iterator[Callable[..., ScriptedPeer]]:
    """Starts a ScriptedPeer(scripts, transport) that is stopped at the end of the test."""
    peers: list[ScriptedPeer] = []

    def start(scripts: list[list[tuple]], transport: str = "pipe") -> ScriptedPeer:
        peers.append(ScriptedPeer(scripts, transport, str(tmp_path)))
        return peers[-1]

    yield start
    for peer in peers:
        peer.stop()
