"""A scripted socket-protocol server for tests, running in its own process.

The extension module keeps the interpreter lock during a call, so the peer cannot be a thread of
the test process. A test gives one script per expected connection, in accept order; a script is a
list of actions:

    ("request",)          read one request frame (12-byte header and its body) and report it
    ("peek_request",)     wait until a whole request frame has arrived and report it, unread
    ("send", bytes)       send raw bytes
    ("trickle", bytes, s) send raw bytes one at a time, `s` seconds apart; a connection the
                          client closed meanwhile ends the script ("eof" is reported)
    ("await", name)       wait until the test calls signal(name)
    ("shutdown_read",)    stop receiving: the client's writes then fail with EPIPE (sockets only:
                          a named pipe has no half-close)
    ("mark", name)        report ("mark", n, name) once every byte before it was sent (on a local
                          socket: once it waits in the client's receive queue)
    ("close",)            close the connection (reported as "closed")
    ("reset",)            close abortively (reported as "closed"): TCP sends a reset; a local
                          socket resets the client only when request bytes are left unread; a
                          named pipe drops what the client has not read yet
    ("stop_listening",)   stop listening; a local endpoint is gone afterwards (reported)

When its script ends, a connection stays open until the client closes it ("eof" is reported).
A connection beyond the scripts is closed at once. Every event arrives at the test in order as a
tuple: ("accepted", n, client address), ("request", n, frame), ("closed", n), ("eof", n),
("mark", n, name), ("stopped_listening",).
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import socket
import struct
import threading
import time
import uuid
from typing import Any

from peer_process import close_abortively, local_listener, recv_exact
from platforms import WINDOWS, local_endpoint

HEADER = struct.Struct("<III")


def response(status: int, payload: bytes = b"") -> bytes:
    """A response frame: status, payload_size, payload."""
    return struct.pack("<II", status, len(payload)) + payload


def text_bytes(value: bytes) -> bytes:
    return struct.pack("<Q", len(value)) + value


def tensor_payload(shape: list[int], dtype: str, data: bytes | None = None,
                   base64: str | None = None) -> bytes:
    """A tensor payload record: shape, dtype text, optional data, optional base64 text."""
    out = struct.pack("<Q", len(shape)) + b"".join(struct.pack("<q", d) for d in shape)
    out += text_bytes(dtype.encode())
    out += b"\x00" if data is None else b"\x01" + text_bytes(data)
    out += b"\x00" if base64 is None else b"\x01" + text_bytes(base64.encode())
    return out


def _peek_frame(conn: Any) -> bytes | None:
    """A whole request frame, left in the socket's receive buffer."""
    want = HEADER.size
    while True:
        seen = conn.recv(want, socket.MSG_PEEK)
        if not seen:
            return None
        if len(seen) >= HEADER.size:
            want = HEADER.size + HEADER.unpack(seen[:HEADER.size])[2]
            if len(seen) >= want:
                return seen[:want]
        time.sleep(0.001)  # the rest of the frame is on its way


def _serve(transport: str, address: Any, scripts: list, events: Any, ready: Any,
           commands: Any) -> None:
    signalled: dict[str, threading.Event] = {}
    signalled_lock = threading.Lock()

    def signal_event(name: str) -> threading.Event:
        with signalled_lock:
            return signalled.setdefault(name, threading.Event())

    def receive_signals() -> None:
        while True:
            signal_event(commands.recv()).set()

    threading.Thread(target=receive_signals, daemon=True).start()
    if transport == "tcp":
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(address)
        listener.listen(16)
    else:
        listener = local_listener(address)
    ready.send(listener.getsockname())
    lock = threading.Lock()

    def report(*event: Any) -> None:
        with lock:
            events.send(event)

    def handle(n: int, conn: Any, script: list) -> None:
        closed = False
        for action in script:
            if action[0] == "request":
                header = recv_exact(conn, HEADER.size)
                body = recv_exact(conn, HEADER.unpack(header)[2]) if header else None
                if body is None:
                    report("eof", n)
                    return
                report("request", n, header + body)
            elif action[0] == "peek_request":
                frame = _peek_frame(conn)
                if frame is None:
                    report("eof", n)
                    return
                report("request", n, frame)
            elif action[0] == "send":
                conn.sendall(action[1])
            elif action[0] == "trickle":
                try:
                    for byte in action[1]:
                        conn.sendall(bytes([byte]))
                        time.sleep(action[2])
                except OSError:
                    conn.close()
                    report("eof", n)
                    return
            elif action[0] == "shutdown_read":
                conn.shutdown(socket.SHUT_RD)
            elif action[0] == "await":
                signal_event(action[1]).wait(30)
            elif action[0] == "mark":
                report("mark", n, action[1])
            elif action[0] == "close":
                conn.close()
                closed = True
                report("closed", n)
            elif action[0] == "reset":
                close_abortively(conn)
                closed = True
                report("closed", n)
            elif action[0] == "stop_listening":
                # shutdown wakes the accept that blocks on a listening socket; close alone would
                # not. Windows refuses to shut a listener down, and there closing it wakes the
                # accept, as it does a pipe's.
                if isinstance(listener, socket.socket):
                    with contextlib.suppress(OSError):
                        listener.shutdown(socket.SHUT_RDWR)
                listener.close()
                if transport != "tcp" and not WINDOWS:
                    os.unlink(address)
                report("stopped_listening")
        if not closed:
            try:
                while conn.recv(65536):
                    pass
            except ConnectionResetError:
                pass  # the client closed with answer bytes unread: also its end
            conn.close()
            report("eof", n)

    n = 0
    while True:
        try:
            conn, peer_address = listener.accept()
        except OSError:
            break  # the listener was closed by a script
        report("accepted", n, peer_address)
        if n < len(scripts):
            threading.Thread(target=handle, args=(n, conn, scripts[n]), daemon=True).start()
        else:
            conn.close()
        n += 1
    threading.Event().wait()  # connections may still be served; stop() ends the process


class ScriptedPeer:
    """The peer process. `client_args` are the ZeltoClient arguments that reach it."""

    def __init__(self, scripts: list[list[tuple]], transport: str, directory: str) -> None:
        context = multiprocessing.get_context("spawn")
        address = ("127.0.0.1", 0) if transport == "tcp" else local_endpoint(directory)
        self._events, events = context.Pipe(duplex=False)
        ready_receiver, ready = context.Pipe(duplex=False)
        commands, self._commands = context.Pipe(duplex=False)
        self._process = context.Process(target=_serve,
                                        args=(transport, address, scripts, events, ready,
                                              commands),
                                        daemon=True)
        self._process.start()
        if not ready_receiver.poll(30):
            self.stop()
            raise RuntimeError("socket peer did not start")
        bound = ready_receiver.recv()
        self._transport, self._address = transport, bound
        if transport == "tcp":
            self.client_args = {"host": bound[0], "port": bound[1]}
        else:
            self.client_args = {"socket_path": bound}
        self.seen: list[tuple] = []

    def next_event(self, timeout: float = 10) -> tuple:
        if not self._events.poll(timeout):
            raise AssertionError("the peer reported nothing; seen so far: %r" % (self.seen,))
        event = self._events.recv()
        self.seen.append(event)
        return event

    def wait_for(self, *event: Any, timeout: float = 10) -> tuple:
        """Waits for the first event that starts with `event` (earlier ones are kept in seen)."""
        while True:
            got = self.next_event(timeout)
            if got[:len(event)] == event:
                return got

    def requests(self) -> list[bytes]:
        return [event[2] for event in self.seen if event[0] == "request"]

    def accepted(self) -> int:
        return sum(1 for event in self.seen if event[0] == "accepted")

    def connections_made(self) -> int:
        """How many connections reached the peer so far. Opens a marker connection from a known
        address and waits for the peer to accept it: connections are accepted in arrival order,
        so the marker's number counts every earlier one. Use it last: the marker takes the next
        script, if any."""
        if self._transport == "pipe" and WINDOWS:
            return self._pipe_connections_made()
        with socket.socket(socket.AF_INET if self._transport == "tcp" else socket.AF_UNIX,
                           socket.SOCK_STREAM) as marker:
            if self._transport != "tcp":
                marker.bind("\0zelto-marker-" + uuid.uuid4().hex)
            else:
                marker.bind(("127.0.0.1", 0))
            marker.connect(self._address)
            while True:
                event = self.next_event()
                if event[0] == "accepted" and event[2] == marker.getsockname():
                    return event[1]

    def _pipe_connections_made(self) -> int:
        """connections_made on a named pipe, whose connections have no address to tell the
        marker by. The peer reports a connection before it ends one beyond its scripts, and
        accepts them in order: once it has ended the marker, its report is the last."""
        from named_pipes import connect

        with connect(self._address) as marker:
            if not marker.ended(timeout=10):
                raise AssertionError("the marker connection took a script: fewer connections "
                                     "than scripts reached the peer")
        while self._events.poll(0):
            self.next_event()
        return [event for event in self.seen if event[0] == "accepted"][-1][1]

    def signal(self, name: str) -> None:
        """Lets the scripts that wait for `name` go on."""
        self._commands.send(name)

    def stop(self) -> None:
        self._process.terminate()
        self._process.join(10)
