"""The module surface: registration, signatures, argument binding, in-use rules, the module's
life across imports and interpreters, and the shared-memory classes' Python side."""

import logging
import mmap
import os
import signal
import sys
import tempfile
import textwrap
import weakref

import pytest

import shm_peer
import zelto_sdk
from child_process import run_client_script
from platforms import local_endpoint, posix_only, region_path
from zelto_sdk import ZeltoClient, ZeltoHybridClient, ZeltoShmClient

NO_SERVER = local_endpoint(tempfile.gettempdir())  # nothing listens there


@pytest.fixture
def region():
    """A valid region that no server serves: requests are queued and never answered."""
    blank = shm_peer.Region()
    yield blank.name
    blank.remove()


# ---- Registration ---------------------------------------------------------------------------


def test_module_exposes_exactly_the_three_classes_in_order():
    assert zelto_sdk.__all__ == ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]
    public = [name for name in vars(zelto_sdk) if not name.startswith("__")]
    assert public == ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]
    assert zelto_sdk.__doc__ == ""
    assert not hasattr(zelto_sdk, "StreamIterator")


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (
            ZeltoClient,
            "(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, "
            "pipe_name=None, max_pool_size=..., api_token=None, release_gil=False, "
            "socket_timeout=None)",
            "",
        ),
        (ZeltoShmClient, "(shm_name, *, release_gil=False)", "CPython wrapper for shared memory client"),
        (ZeltoHybridClient, "(shm_name, socket_path, *, release_gil=False, socket_timeout=None)", ""),
    ],
)
def test_class_identity_and_signature(cls, signature, doc):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


INFER_SIGNATURE = "($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)"


@pytest.mark.parametrize(
    "method, signature",
    [
        (ZeltoClient.protocol, "($self)"),
        (ZeltoClient.endpoint, "($self)"),
        (ZeltoClient.infer, INFER_SIGNATURE),
        (ZeltoClient.infer_tensor, INFER_SIGNATURE),
        (ZeltoClient.infer_stream, INFER_SIGNATURE),
        (ZeltoClient.infer_bytes, INFER_SIGNATURE),
        (ZeltoClient.infer_tensor_bytes, INFER_SIGNATURE),
        (ZeltoClient.infer_stream_bytes, INFER_SIGNATURE),
        (ZeltoShmClient.infer, "($self, shape, dtype, data)"),
        (ZeltoShmClient.infer_bytes, "($self, shape, dtype, data)"),
        (ZeltoHybridClient.infer, "($self, shape, dtype, data)"),
        (ZeltoHybridClient.infer_bytes, "($self, shape, dtype, data)"),
    ],
)
def test_method_signatures(method, signature):
    assert method.__text_signature__ == signature


def test_method_docstrings():
    assert ZeltoClient.infer_tensor.__doc__ == (
        "Like `infer` but returns `(data, shape, dtype)` so the caller knows\n"
        "how to interpret the output bytes without hardcoding dimensions.\n"
        "Essential for models whose output shape varies (diffusion, video, TTS)."
    )
    assert ZeltoClient.infer.__doc__ is None
    assert ZeltoShmClient.infer.__doc__ is None


def test_instances_are_plain_objects():
    client = ZeltoClient()
    assert callable(client.protocol) and client.protocol() == "pipe"
    with pytest.raises(AttributeError):
        client.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(client)


def test_reimport_in_the_same_interpreter_gives_the_same_module():
    first = sys.modules.pop("zelto_sdk")
    try:
        import zelto_sdk as again

        assert again is first
        assert again.ZeltoClient is ZeltoClient
    finally:
        sys.modules["zelto_sdk"] = first


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    script = textwrap.dedent(
        """
        import sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("no-subinterpreters")
            sys.exit(0)
        import zelto_sdk
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import zelto_sdk")
            print("imported")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        interpreters.destroy(interp)
        print(zelto_sdk.ZeltoClient(port=1).endpoint())
        """
    )
    lines = run_client_script(script, timeout=60)
    if lines == ["no-subinterpreters"]:
        pytest.skip("this interpreter has no _xxsubinterpreters")
    refused, endpoint = lines
    assert refused.startswith("refused: <class 'ImportError'>")
    assert "sub-interpreters" in refused
    assert endpoint == "tcp://127.0.0.1:1"


# ---- Argument binding -----------------------------------------------------------------------


def _client():
    return ZeltoClient(NO_SERVER)


BINDING_ERRORS = [
    (
        lambda: ZeltoClient("tcp://h:1", "tcp"),
        "ZeltoClient.__new__() takes from 0 to 1 positional arguments but 2 were given",
    ),
    (lambda: ZeltoClient(timeout=1), "ZeltoClient.__new__() got an unexpected keyword argument 'timeout'"),
    (lambda: ZeltoClient("a", endpoint="b"), "ZeltoClient.__new__() got multiple values for argument 'endpoint'"),
    (
        lambda: _client().infer(1, [1], "uint8", b"x", None, None, 7),
        "ZeltoClient.infer() takes from 4 to 6 positional arguments but 7 were given",
    ),
    (lambda: _client().infer(1, [1], "uint8", b"x", foo=1), "ZeltoClient.infer() got an unexpected keyword argument 'foo'"),
    # Binding is checked before any argument is converted.
    (lambda: _client().infer("x", 5, 5, 5, foo=1), "ZeltoClient.infer() got an unexpected keyword argument 'foo'"),
    (lambda: _client().infer(1, [1], shape=[1]), "ZeltoClient.infer() got multiple values for argument 'shape'"),
    (lambda: _client().infer(1, [1], "uint8"), "ZeltoClient.infer() missing 1 required positional argument: 'data'"),
    (
        lambda: _client().infer_tensor(1, [1]),
        "ZeltoClient.infer_tensor() missing 2 required positional arguments: 'dtype' and 'data'",
    ),
    (
        lambda: _client().infer_stream(session_id="s"),
        "ZeltoClient.infer_stream() missing 4 required positional arguments: "
        "'model_id', 'shape', 'dtype', and 'data'",
    ),
    (lambda: _client().infer_bytes(1, [1], "uint8"), "ZeltoClient.infer_bytes() missing 1 required positional argument: 'data'"),
    (
        lambda: _client().infer_tensor_bytes(1, [1], "uint8", b"x", foo=1),
        "ZeltoClient.infer_tensor_bytes() got an unexpected keyword argument 'foo'",
    ),
    (
        lambda: _client().infer_stream_bytes(1, [1], "uint8", b"x", None, None, 7),
        "ZeltoClient.infer_stream_bytes() takes from 4 to 6 positional arguments but 7 were given",
    ),
    (lambda: ZeltoShmClient(), "ZeltoShmClient.__new__() missing 1 required positional argument: 'shm_name'"),
    (lambda: ZeltoShmClient("a", "b"), "ZeltoShmClient.__new__() takes 1 positional argument but 2 were given"),
    (
        lambda: ZeltoHybridClient(),
        "ZeltoHybridClient.__new__() missing 2 required positional arguments: 'shm_name' and 'socket_path'",
    ),
    (lambda: ZeltoHybridClient("a", "b", "c"), "ZeltoHybridClient.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: ZeltoHybridClient("a", shm_name="b"), "ZeltoHybridClient.__new__() got multiple values for argument 'shm_name'"),
    # The call settings are keyword-only; only the socket clients have a time-out.
    (lambda: ZeltoHybridClient("a", "b", True), "ZeltoHybridClient.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: ZeltoShmClient("a", socket_timeout=1), "ZeltoShmClient.__new__() got an unexpected keyword argument 'socket_timeout'"),
    (lambda: ZeltoHybridClient("a", "b", timeout=1), "ZeltoHybridClient.__new__() got an unexpected keyword argument 'timeout'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("method", ["infer", "infer_bytes"])
def test_shm_infer_binding_errors(region, method):
    call = getattr(ZeltoShmClient(region), method)
    with pytest.raises(TypeError, match=rf"^ZeltoShmClient.{method}\(\) takes 3 positional arguments but 4 were given$"):
        call([1], "uint8", b"x", 1)
    with pytest.raises(TypeError, match=rf"^ZeltoShmClient.{method}\(\) got an unexpected keyword argument 'timeout'$"):
        call([1], "uint8", b"x", timeout=1)
    # Keywords bind all three parameters; conversion then runs in parameter order.
    with pytest.raises(TypeError, match=r"^argument 'dtype': 'int' object cannot be converted to 'PyString'$"):
        call(data=b"x", dtype=5, shape=[1])


# ---- Call settings: release_gil and socket_timeout ------------------------------------------

BAD_TIMEOUT = "socket_timeout must be a positive number of seconds"
SOCKET_CLIENTS = {
    "ZeltoClient": lambda **settings: ZeltoClient(NO_SERVER, **settings),
    # The settings are converted before the region is looked for.
    "ZeltoHybridClient": lambda **settings: ZeltoHybridClient("zelto-absent", NO_SERVER, **settings),
}


class Index:
    def __index__(self):
        return 2


# As socket.settimeout(): a float, or an int (bool included) or anything with __index__;
# finite and above zero. Anything else is refused.
@pytest.mark.parametrize("make", SOCKET_CLIENTS.values(), ids=SOCKET_CLIENTS.keys())
@pytest.mark.parametrize("value, error", [
    (0, ValueError), (0.0, ValueError), (-0.5, ValueError), (-(10**30), ValueError),
    (float("nan"), ValueError), (float("inf"), ValueError), (False, ValueError),
    ("1", TypeError), (b"1", TypeError), ([1], TypeError), (1j, TypeError),
])
def test_refused_socket_timeouts(make, value, error):
    with pytest.raises(error) as refused:
        make(socket_timeout=value)
    assert type(refused.value) is error and refused.value.args == (BAD_TIMEOUT,)


@pytest.mark.parametrize("value", [None, 1e-9, 0.25, 3, True, Index(), 10**30])
def test_accepted_socket_timeouts(value):
    ZeltoClient(NO_SERVER, socket_timeout=value)


class Truth:
    """An object whose truth value is an exception."""

    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


MAKERS = {
    "ZeltoClient": lambda **settings: ZeltoClient(NO_SERVER, **settings),
    "ZeltoShmClient": lambda **settings: ZeltoShmClient("zelto-absent", **settings),
    "ZeltoHybridClient": lambda **settings: ZeltoHybridClient("zelto-absent", NO_SERVER, **settings),
}


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
def test_release_gil_is_read_by_its_truth_value_before_anything_is_opened(make):
    with pytest.raises(LookupError, match="^from __bool__$"):
        make(release_gil=Truth(LookupError("from __bool__")))


def test_described_arguments_are_converted_before_the_settings():
    with pytest.raises(TypeError, match="^argument 'api_token': "):
        ZeltoClient(api_token=1, release_gil=Truth(LookupError()), socket_timeout="x")
    with pytest.raises(TypeError, match="^argument 'socket_path': "):
        ZeltoHybridClient("r", 1, socket_timeout=0)


def test_hybrid_constructor_converts_both_arguments(region):
    with pytest.raises(TypeError, match=r"^argument 'socket_path': 'bytes' object cannot be converted to 'PyString'$"):
        ZeltoHybridClient(region, b"/tmp/x")
    with pytest.raises(TypeError, match=r"^argument 'shm_name': 'int' object cannot be converted to 'PyString'$"):
        ZeltoHybridClient(1, socket_path="/tmp/x")


# ---- The in-use flag ------------------------------------------------------------------------


class CallsBackOnIter:
    """A sequence whose iteration first calls back into a client."""

    def __init__(self, callback, items=(120,)):
        self.callback = callback
        self.items = list(items)
        self.seen = []

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        self.seen.append(self.callback())
        return iter(self.items)


def test_shared_use_allows_reentry_from_a_conversion():
    client = _client()
    data = CallsBackOnIter(lambda: (client.protocol(), client.endpoint()))
    with pytest.raises(ConnectionError, match=r"\(os error 2\)$"):
        client.infer(1, [1], "uint8", data)
    assert data.seen == [("pipe", "pipe://" + NO_SERVER)]


@pytest.mark.parametrize("make", [ZeltoShmClient, lambda name: ZeltoHybridClient(name, NO_SERVER)])
def test_exclusive_use_refuses_reentry_and_is_given_back(region, make):
    client = make(region)
    data = CallsBackOnIter(lambda: client.infer([1], "uint8", b"x"))
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        client.infer([1], "uint8", data)
    # The failed call gave its use back: the next call gets as far as converting.
    with pytest.raises(TypeError, match=r"^argument 'shape': "):
        client.infer(None, "uint8", b"x")


# ---- Shared-memory classes: signals and the attach log --------------------------------------


class Interrupted(Exception):
    pass


# A call that released the interpreter lock takes it back to run the handler.
@posix_only("SIGALRM")
@pytest.mark.parametrize("release_gil", [False, True])
def test_signal_handler_exception_ends_the_shm_wait_unchanged(region, release_gil):
    client = ZeltoShmClient(region, release_gil=release_gil)

    def handler(signum, frame):
        raise Interrupted("from the handler")

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        # Nobody serves the region, so the call polls until the handler raises.
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Interrupted, match="^from the handler$"):
            client.infer([1], "uint8", b"x")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _mapped_size():
    page = mmap.PAGESIZE
    return -(-shm_peer.REGION_SIZE // page) * page


@pytest.mark.parametrize("make", [ZeltoShmClient, lambda name: ZeltoHybridClient(name, NO_SERVER)])
def test_attach_is_logged_at_info_only_when_enabled(region, make, caplog):
    caplog.set_level(logging.WARNING, logger="zelto_shm::memory")
    make(region)
    assert [r for r in caplog.records if r.name == "zelto_shm::memory"] == []

    caplog.set_level(logging.INFO, logger="zelto_shm::memory")
    make(region)
    records = [r for r in caplog.records if r.name == "zelto_shm::memory"]
    assert [(r.levelno, r.getMessage()) for r in records] == [
        (logging.INFO, f"Connected to shared memory region '{region}' of size {_mapped_size()} bytes")
    ]


def test_missing_region_is_a_connection_error():
    name = "zelto-binding-missing-region"
    assert not region_path(name).exists()
    with pytest.raises(ConnectionError) as caught:
        ZeltoShmClient(name)
    assert str(caught.value) == "Shared memory error: Opening the shared memory failed, os error 2"
    assert caught.value.errno == 2


@pytest.mark.parametrize("make", [ZeltoShmClient, lambda name: ZeltoHybridClient(name, NO_SERVER)],
                         ids=["shm", "hybrid"])
def test_a_region_name_with_a_nul_is_refused(region, make):
    with pytest.raises(ConnectionError) as refused:
        make(region + "\0junk")
    assert refused.value.args == ("Shared memory error: data provided contains a nul byte",)
