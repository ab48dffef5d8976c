"""Clients in processes made by fork().

A child inherits its parent's descriptors: a connection used by both would hand each the other's
answers. Each scenario runs in a watchdogged child (child_process), which forks again, so a
regression fails instead of hanging the run.
"""

from __future__ import annotations

import os

import child_process
import zelto_sdk
from socket_peer import response, tensor_payload


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


def test_a_stream_made_before_fork_refuses_the_child_and_still_serves_the_parent(scripted_peer):
    peer = scripted_peer([[("request",), ("send", frame(1) + frame(2) + response(0))]])
    result = child_process.run(stream_used_on_both_sides, peer.client_args)
    assert result == ([1], "RuntimeError: This client was created in another process; "
                           "create a new one in this process", [[2]])
