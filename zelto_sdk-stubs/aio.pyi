"""asyncio clients: the inference methods return awaitables."""

from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Sequence
from types import TracebackType
from typing import Any, Self, SupportsIndex, final

from typing_extensions import Buffer

__all__ = ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]

def __getattr__(name: str) -> type: ...

_Shape = Sequence[SupportsIndex]
_Data = Sequence[SupportsIndex]
_AdditionalInput = tuple[_Shape, str, _Data]

@final
class ZeltoClient:
    """The asyncio twin of `zelto_sdk.ZeltoClient`: the same parameters (but `release_gil`: an
    asyncio client never holds the interpreter lock while it waits), the same answers and
    errors. Each call is started at once and its result awaited; any number may be in flight
    from one loop, each on a connection of its own. A cancelled call (task.cancel(),
    asyncio.timeout, wait_for) ends at once and closes its connection."""

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
    ) -> Coroutine[Any, Any, list[int]]:
        """Runs model `model_id` on one input tensor; the output's bytes as a list of ints."""
    def infer_tensor(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> Coroutine[Any, Any, tuple[list[int], list[int], str]]:
        """Like `infer` but the result is `(data, shape, dtype)`."""
    def infer_stream(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> AsyncIterator[list[int]]:
        """A stream request, sent on the first step: `async for` over the frames, each as a list
        of ints; the server's error frame raises RuntimeError when reached."""
    def infer_bytes(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> Coroutine[Any, Any, bytes]:
        """Like `infer` but the output's bytes come as a bytes object."""
    def infer_tensor_bytes(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> Coroutine[Any, Any, tuple[bytes, list[int], str]]:
        """Like `infer_tensor` but the data comes as bytes."""
    def infer_stream_bytes(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: dict[str, _AdditionalInput] | None = None,
        session_id: str | None = None,
    ) -> AsyncIterator[bytes]:
        """Like `infer_stream` but each frame comes as bytes."""
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
    ) -> Coroutine[Any, Any, int]:
        """Like `infer_bytes` but writes the output's bytes at the start of `out` (held until
        the call ends) and returns their number."""
    def close(self) -> Awaitable[None]:
        """Closes the idle connections; calls in flight end on their own, and a later call
        raises RuntimeError "Client is closed"."""
    def __aenter__(self) -> Awaitable[Self]: ...
    def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Awaitable[bool]: ...
    def __reduce__(self) -> tuple[Callable[[str, dict[str, Any]], Any], tuple[str, dict[str, Any]]]:
        """Pickles as the constructor's arguments: the copy opens its own connections."""

@final
class ZeltoShmClient:
    """The asyncio twin of `zelto_sdk.ZeltoShmClient`. The region's answers are polled for by
    one thread of the library for every call of the process; calls in flight at once each use a
    slot of the region's pool, and a call that finds every slot taken while others of this
    client are in flight waits for one of them to end."""

    def __new__(cls, shm_name: str) -> ZeltoShmClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> Coroutine[Any, Any, list[int]]:
        """The output's bytes as a list of ints."""
    def infer_bytes(self, shape: _Shape, dtype: str, data: _Data) -> Coroutine[Any, Any, bytes]:
        """The output's bytes as a bytes object."""
    def infer_into(
        self, shape: _Shape, dtype: str, data: _Data, *, out: Buffer
    ) -> Coroutine[Any, Any, int]:
        """Writes the output's bytes at the start of `out` and returns their number."""
    def close(self) -> Awaitable[None]:
        """Lets go of the region once no call is in flight; a later call raises RuntimeError
        "Client is closed"."""
    def __aenter__(self) -> Awaitable[Self]: ...
    def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Awaitable[bool]: ...
    def __reduce__(self) -> tuple[Callable[[str, dict[str, Any]], Any], tuple[str, dict[str, Any]]]:
        """Pickles as the constructor's arguments."""

@final
class ZeltoHybridClient:
    """The asyncio twin of `zelto_sdk.ZeltoHybridClient`. Calls in flight at once each use a
    connection of their own and a slot of the region's pool; a call that finds every slot taken
    while others of this client are in flight waits for one of them to end."""

    def __new__(
        cls, shm_name: str, socket_path: str, *, socket_timeout: float | None = None
    ) -> ZeltoHybridClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> Coroutine[Any, Any, list[int]]:
        """The output's bytes as a list of ints."""
    def infer_bytes(self, shape: _Shape, dtype: str, data: _Data) -> Coroutine[Any, Any, bytes]:
        """The output's bytes as a bytes object."""
    def infer_into(
        self, shape: _Shape, dtype: str, data: _Data, *, out: Buffer
    ) -> Coroutine[Any, Any, int]:
        """Writes the output's bytes at the start of `out` and returns their number."""
    def close(self) -> Awaitable[None]:
        """Closes the idle connections, and the region once no call is in flight; a later call
        raises RuntimeError "Client is closed"."""
    def __aenter__(self) -> Awaitable[Self]: ...
    def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Awaitable[bool]: ...
    def __reduce__(self) -> tuple[Callable[[str, dict[str, Any]], Any], tuple[str, dict[str, Any]]]:
        """Pickles as the constructor's arguments."""
