"""Client library of the Zelto inference server."""

from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import Any, Self, SupportsIndex, final

from typing_extensions import Buffer

__all__ = ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]

__version__: str

def __getattr__(name: str) -> Any: ...

# A tensor as the calls take it: a shape, an element-type name and one int 0..255 per byte
# (bytes, bytearray and lists of ints all qualify).
_Shape = Sequence[SupportsIndex]
_Data = Sequence[SupportsIndex]
_AdditionalInput = tuple[_Shape, str, _Data]

@final
class ZeltoClient:
    """A client over TCP or a local stream socket (a Unix socket, a Windows named pipe).

    `endpoint` is "tcp://host:port", "unix:///path", "pipe://name", a bare path or a named
    pipe; without it, `protocol` with `host`/`port`, `socket_path` or `pipe_name` say where.
    Connections open as calls need them; at most `max_pool_size` (default 8) stay idle for later
    calls. A call whose connection fails mid-exchange is sent once more on a new connection.
    `release_gil=True` lets other threads run while a call waits (what a service wants);
    `socket_timeout` bounds every call (TimeoutError "Request timed out")."""

    def __new__(
        cls,
        endpoint: str | None = None,
        *,
        protocol: str | None = None,
        host: str | None = None,
        port: SupportsIndex | None = None,
        socket_path: str | None = None,
        pipe_name: str | None = None,
        max_pool_size: SupportsIndex = ...,
        api_token: str | None = None,
        release_gil: bool = False,
        socket_timeout: float | None = None,
    ) -> ZeltoClient: ...
    def protocol(self) -> str:
        """The transport in use: "tcp" or "pipe"."""
    def endpoint(self) -> str:
        """Where the client connects, as "tcp://host:port" or "pipe://path"."""
    def infer(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> list[int]:
        """Runs model `model_id` on one input tensor (shape, element-type name such as
        "float32", raw bytes) and returns the output's bytes as a list of ints; prefer
        `infer_bytes` for anything large."""
    def infer_tensor(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> tuple[list[int], list[int], str]:
        """Like `infer` but returns `(data, shape, dtype)` so the caller knows
        how to interpret the output bytes without hardcoding dimensions.
        Essential for models whose output shape varies (diffusion, video, TTS)."""
    def infer_stream(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> Iterator[list[int]]:  # a StreamIterator, a type the module does not export
        """Sends a stream request and returns an iterator over the frames the server sends,
        each as a list of ints; the server's error frame raises RuntimeError when reached."""
    def infer_bytes(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> bytes:
        """Like `infer` but returns the output tensor's bytes as a bytes object."""
    def infer_tensor_bytes(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> tuple[bytes, list[int], str]:
        """Like `infer_tensor` but returns `(data, shape, dtype)` with the data as bytes."""
    def infer_stream_bytes(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> Iterator[bytes]:  # a StreamIterator
        """Like `infer_stream` but yields each frame's bytes as a bytes object."""
    def infer_into(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
        *,
        out: Buffer,
    ) -> int:
        """Like `infer_bytes` but writes the output's bytes at the start of `out`, a writable
        buffer, and returns their number."""
    def close(self) -> None:
        """Closes the client's connections and mappings once the calls in flight have ended;
        a later call raises RuntimeError "Client is closed". Closing again does nothing."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[str, dict[str, Any]], Any], tuple[str, dict[str, Any]]]:
        """Pickles as the constructor's arguments (the api_token included): the copy opens
        its own connections and mappings."""

@final
class ZeltoShmClient:
    """A client that runs every request through the shared-memory region `shm_name` that a
    server created: the input is written into a slot of the region, the request and the answer
    travel through lock-free queues, and the output is read where the server wrote it. Several
    clients, in one process or many, may share a region. A call waits at most 6 seconds
    (TimeoutError "Request timed out")."""

    """CPython wrapper for shared memory client"""

    def __new__(cls, shm_name: str, *, release_gil: bool = False) -> ZeltoShmClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> list[int]:
        """Runs the region's model on one input tensor and returns the output's bytes as a
        list of ints; prefer `infer_bytes` for anything large."""
    def infer_bytes(self, shape: _Shape, dtype: str, data: _Data) -> bytes:
        """Like `infer` but returns the output tensor's bytes as a bytes object."""
    def infer_into(self, shape: _Shape, dtype: str, data: _Data, *, out: Buffer) -> int:
        """Like `infer_bytes` but writes the output's bytes at the start of `out`, a writable
        buffer, and returns their number."""
    def close(self) -> None:
        """Closes the client's connections and mappings once the calls in flight have ended;
        a later call raises RuntimeError "Client is closed". Closing again does nothing."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[str, dict[str, Any]], Any], tuple[str, dict[str, Any]]]:
        """Pickles as the constructor's arguments (the api_token included): the copy opens
        its own connections and mappings."""

@final
class ZeltoHybridClient:
    """A client that writes the input tensor into the shared-memory region `shm_name` and sends
    a 52-byte control message over the local socket `socket_path`; the output is read in the
    region. The connection opens on the first call and lasts the client's life: once broken,
    every later call fails (make a new client)."""

    def __new__(
        cls,
        shm_name: str,
        socket_path: str,
        *,
        release_gil: bool = False,
        socket_timeout: float | None = None,
    ) -> ZeltoHybridClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> list[int]:
        """Runs the region's model on one input tensor and returns the output's bytes as a
        list of ints; prefer `infer_bytes` for anything large."""
    def infer_bytes(self, shape: _Shape, dtype: str, data: _Data) -> bytes:
        """Like `infer` but returns the output tensor's bytes as a bytes object."""
    def infer_into(self, shape: _Shape, dtype: str, data: _Data, *, out: Buffer) -> int:
        """Like `infer_bytes` but writes the output's bytes at the start of `out`, a writable
        buffer, and returns their number."""
    def close(self) -> None:
        """Closes the client's connections and mappings once the calls in flight have ended;
        a later call raises RuntimeError "Client is closed". Closing again does nothing."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[str, dict[str, Any]], Any], tuple[str, dict[str, Any]]]:
        """Pickles as the constructor's arguments (the api_token included): the copy opens
        its own connections and mappings."""
