"""Named pipes for the stream peers on Windows, whose Python has no Unix-domain sockets: a
listener and its connections with the socket methods the peers use.

The listener offers one instance of the pipe at a time, in byte mode, as the reference server
does: accept connects the waiting instance and creates the next, so connections are accepted in
the order they were made. Every transfer is overlapped, which lets close() end an accept that
another thread waits in.
"""

from __future__ import annotations

import ctypes
import socket
import threading
import time

import _winapi

PIPE_TYPE_BYTE = PIPE_READMODE_BYTE = 0
ERROR_PIPE_NOT_CONNECTED = 233
# What reading a pipe whose other end has gone fails with: the end of the stream.
ENDED = (_winapi.ERROR_BROKEN_PIPE, _winapi.ERROR_NO_DATA, ERROR_PIPE_NOT_CONNECTED)
BUFFER = 65536


class PipeConnection:
    def __init__(self, handle: int) -> None:
        self._handle = handle

    def recv(self, size: int, flags: int = 0) -> bytes:
        """Up to `size` bytes once some have arrived (left unread with MSG_PEEK); b"" at the end."""
        try:
            if flags & socket.MSG_PEEK:
                while not (seen := _winapi.PeekNamedPipe(self._handle, size)[0]):
                    time.sleep(0.001)  # a pipe has no waiting peek
                return seen
            transfer, _ = _winapi.ReadFile(self._handle, size, overlapped=True)
            transfer.GetOverlappedResult(True)
            return transfer.getbuffer()
        except OSError as error:
            if error.winerror in ENDED:
                return b""
            raise

    def sendall(self, data: bytes) -> None:
        transfer, _ = _winapi.WriteFile(self._handle, data, overlapped=True)
        transfer.GetOverlappedResult(True)

    def ended(self, timeout: float) -> bool:
        """Whether the other end closes the pipe within `timeout` seconds (what it sends meanwhile
        is left unread)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                _winapi.PeekNamedPipe(self._handle)
            except OSError as error:
                if error.winerror in ENDED:
                    return True
                raise
            time.sleep(0.001)
        return False

    def reset(self) -> None:
        """Closes abortively: what the client has not read yet is dropped, and its next read
        finds the pipe gone."""
        ctypes.windll.kernel32.DisconnectNamedPipe(self._handle)
        self.close()

    def close(self) -> None:
        if self._handle is not None:
            _winapi.CloseHandle(self._handle)
            self._handle = None

    def __enter__(self) -> PipeConnection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class PipeListener:
    def __init__(self, name: str) -> None:
        self._name = name
        self._lock = threading.Lock()
        self._closed = False
        self._connecting = None  # the accept's overlapped connect, while it waits
        self._instance = self._create(_winapi.FILE_FLAG_FIRST_PIPE_INSTANCE)

    def _create(self, flags: int = 0) -> int:
        return _winapi.CreateNamedPipe(
            self._name, _winapi.PIPE_ACCESS_DUPLEX | _winapi.FILE_FLAG_OVERLAPPED | flags,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | _winapi.PIPE_WAIT,
            _winapi.PIPE_UNLIMITED_INSTANCES, BUFFER, BUFFER, 0, _winapi.NULL)

    def getsockname(self) -> str:
        return self._name

    def accept(self) -> tuple[PipeConnection, str]:
        with self._lock:
            if self._closed:
                raise OSError("the listener is closed")
            try:
                self._connecting = _winapi.ConnectNamedPipe(self._instance, overlapped=True)
            except OSError as error:
                if error.winerror != _winapi.ERROR_NO_DATA:  # came and went: reads as ended
                    raise
        if self._connecting is not None:
            self._connecting.GetOverlappedResult(True)  # a client, or close() cancelled it
        with self._lock:
            self._connecting = None
            if self._closed:
                raise OSError("the listener is closed")
            connected, self._instance = self._instance, self._create()
        return PipeConnection(connected), self._name

    def close(self) -> None:
        """Ends the pipe: a client can no longer open it, and a waiting accept fails."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            if self._connecting is not None:
                self._connecting.cancel()
            _winapi.CloseHandle(self._instance)


def connect(name: str) -> PipeConnection:
    """A client's connection to pipe `name`."""
    return PipeConnection(_winapi.CreateFile(
        name, _winapi.GENERIC_READ | _winapi.GENERIC_WRITE, 0, _winapi.NULL,
        _winapi.OPEN_EXISTING, _winapi.FILE_FLAG_OVERLAPPED, _winapi.NULL))
