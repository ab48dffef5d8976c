"""Client library of the Zelto inference server."""

from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import Any, Self, SupportsIndex, final

from typing_extensions import Buffer

__all__ = ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]

__version__: str

def __getattr__(name: str) -> Callable[[str, dict[str, Any]], Any]: ...

# A tensor as the calls take it: a shape, an element-type name and one int 0..255 per byte
# (bytes, bytearray and lists of ints all qualify).
_Shape = Sequence[SupportsIndex]
_Data = Sequence[SupportsIndex]
_AdditionalInput = tuple[_Shape, str, _Data]

@final
class ZeltoClient:
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
    def protocol(self) -> str: ...
    def endpoint(self) -> str: ...
    def infer(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> list[int]: ...
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
    ) -> Iterator[list[int]]: ...  # a StreamIterator, a type the module does not export
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
    """CPython wrapper for shared memory client"""

    def __new__(cls, shm_name: str, *, release_gil: bool = False) -> ZeltoShmClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> list[int]: ...
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
    def __new__(
        cls,
        shm_name: str,
        socket_path: str,
        *,
        release_gil: bool = False,
        socket_timeout: float | None = None,
    ) -> ZeltoHybridClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> list[int]: ...
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
