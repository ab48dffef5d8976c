"""The DEBUG records under the logger "zelto_sdk": what a client did, for someone who turns them
on; nothing at all for everyone else."""

from __future__ import annotations

import logging
import uuid

import pytest

import zelto_sdk
from conftest import ReferenceServer
from platforms import local_endpoint
from socket_peer import response, tensor_payload


def records(caplog) -> list[str]:
    found = [r.getMessage() for r in caplog.records if r.name == "zelto_sdk"]
    assert all(r.levelno == logging.DEBUG for r in caplog.records if r.name == "zelto_sdk")
    caplog.clear()
    return found


def test_socket_client_connect_pool_retry_and_time_out(start_reference_server, caplog):
    caplog.set_level(logging.DEBUG, logger="zelto_sdk")
    server = start_reference_server("--tcp", "127.0.0.1:0", "--slow-delay-ms", "2000")
    endpoint = "tcp://" + server.listening["tcp"]
    client = zelto_sdk.ZeltoClient(endpoint, max_pool_size=1, socket_timeout=0.3)
    client.infer_bytes(1, [1], "uint8", b"a")
    assert records(caplog) == [f"connected to {endpoint}", "connection pooled (1 idle)"]
    with pytest.raises(TimeoutError):
        client.infer_bytes(7, [1], "uint8", b"a")
    assert records(caplog) == [f"request to {endpoint} timed out"]
    # The timed-out connection was closed: the next call opens one.
    client.infer_bytes(1, [1], "uint8", b"a")
    assert records(caplog) == [f"connected to {endpoint}", "connection pooled (1 idle)"]

    # A pooled connection the server closed is seen closed before it is used.
    port = server.listening["tcp"]
    server.stop()
    start_reference_server("--tcp", port)
    assert client.infer_bytes(1, [1], "uint8", b"b") == b"b"
    assert records(caplog) == ["idle connection closed: the server closed it or sent something",
                               f"connected to {endpoint}", "connection pooled (1 idle)"]


# A connection that fails mid-exchange is retried once; the record names the first failure,
# which the call's result no longer shows.
def test_the_retry_names_the_first_failure(scripted_peer, caplog):
    caplog.set_level(logging.DEBUG, logger="zelto_sdk")
    answer = response(0, tensor_payload([1], "uint8", b"a"))
    peer = scripted_peer([[("request",), ("close",)], [("request",), ("send", answer)]], "tcp")
    client = zelto_sdk.ZeltoClient(**peer.client_args)
    assert client.infer_bytes(1, [1], "uint8", b"a") == b"a"
    endpoint = client.endpoint()
    assert records(caplog) == [
        f"connected to {endpoint}",
        f"retrying the request to {endpoint} on a new connection after: failed to fill whole "
        "buffer",
        f"connected to {endpoint}",
        "connection pooled (1 idle)",
    ]


def test_hybrid_time_out_breaks_its_connection(start_reference_server, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="zelto_sdk")
    region, path = "zelto-log-" + uuid.uuid4().hex[:12], local_endpoint(tmp_path)
    start_reference_server("--shm", region, "--hybrid", path, "--shm-model", "7",
                           "--slow-delay-ms", "2000", "--tensor-area", str(1 << 20))
    client = zelto_sdk.ZeltoHybridClient(region, path, socket_timeout=0.3)
    with pytest.raises(TimeoutError):
        client.infer_bytes([1], "uint8", b"a")
    assert records(caplog) == [
        f"hybrid connection to '{path}' opened",
        f"hybrid connection to '{path}' broken: its exchange ended mid-answer, so no later call "
        "uses it",
        f"hybrid request 1 to '{path}' timed out",
    ]


@pytest.mark.parametrize("kind", ["shm", "hybrid"])
def test_a_region_made_anew_is_logged(start_reference_server, tmp_path, caplog, kind):
    caplog.set_level(logging.DEBUG, logger="zelto_sdk")
    region, path = "zelto-log-" + uuid.uuid4().hex[:12], local_endpoint(tmp_path)
    options = ("--shm", region, "--hybrid", path, "--tensor-area", str(1 << 20))
    server = start_reference_server(*options)
    client = (zelto_sdk.ZeltoShmClient(region) if kind == "shm"
              else zelto_sdk.ZeltoHybridClient(region, path))
    server.stop()
    start_reference_server(*options)
    assert client.infer_bytes([1], "uint8", b"a") == b"a"
    assert f"region '{region}' was made anew by a restarted server: attached to the new one" in \
        records(caplog)


def test_nothing_is_logged_below_debug(reference_server, caplog):
    caplog.set_level(logging.INFO, logger="zelto_sdk")
    client = zelto_sdk.ZeltoClient("tcp://" + reference_server.listening["tcp"])
    client.infer_bytes(1, [1], "uint8", b"a")
    assert records(caplog) == []
