"""ZeltoClient construction: argument conversion, endpoint resolution and its messages, as seen
from Python (the resolution rules themselves are covered in full by the C++ tests)."""

import pytest

from zelto_sdk import ZeltoClient

DEFAULT_PIPE = "pipe://\\\\.\\pipe\\zelto"


@pytest.mark.parametrize(
    "args, kwargs, endpoint",
    [
        ((), {}, DEFAULT_PIPE),
        ((), {"port": 8080}, "tcp://127.0.0.1:8080"),
        (("10.0.0.5:7000",), {}, "pipe://10.0.0.5:7000"),
        (("svc",), {"protocol": "pipe"}, "pipe://\\\\.\\pipe\\svc"),
        ((), {"protocol": "  TCP "}, "tcp://127.0.0.1:9096"),
        (("   ",), {"protocol": ""}, DEFAULT_PIPE),
        ((), {"protocol": "unix", "socket_path": "tcp://10.0.0.5:1"}, "tcp://10.0.0.5:1"),
        ((), {"port": 65535}, "tcp://127.0.0.1:65535"),
        # None is the same as leaving the argument out, for every parameter defaulting to None.
        (
            (None,),
            dict.fromkeys(["protocol", "host", "port", "socket_path", "pipe_name", "api_token"]),
            DEFAULT_PIPE,
        ),
    ],
)
def test_resolution(args, kwargs, endpoint):
    client = ZeltoClient(*args, **kwargs)
    assert client.endpoint() == endpoint
    assert client.protocol() == endpoint.split("://")[0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {"protocol": "UDP"}, "Unsupported protocol 'udp'. Use one of: socket, tcp, pipe"),
        (("unix:///tmp/s",), {}, "unix:// endpoints are only supported on Unix"),
        (("tcp://h:1",), {"protocol": "tcp", "port": 2}, "When endpoint is provided, do not also pass host/port"),
    ],
)
def test_refused_combinations(args, kwargs, message):
    with pytest.raises(ValueError) as caught:
        ZeltoClient(*args, **kwargs)
    assert caught.value.args == (message,)


# Every Unicode White_Space character is trimmed; the information separators U+001C..U+001F,
# which str.strip() also removes, are not white space here.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"


@pytest.mark.parametrize("ch", list(WHITE_SPACE), ids=lambda c: f"U+{ord(c):04X}")
def test_every_white_space_character_is_trimmed(ch):
    assert ZeltoClient(f"{ch}svc{ch}").endpoint() == "pipe://svc"
    assert ZeltoClient(protocol=f"{ch}tcp{ch}", host=ch * 2 + "h").endpoint() == "tcp://h:9096"


@pytest.mark.parametrize("ch", ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\ufeff"], ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_are_kept(ch):
    assert ZeltoClient(f"{ch}svc{ch}").endpoint() == f"pipe://{ch}svc{ch}"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"port": 65536}, OverflowError, "out of range integral type conversion attempted"),
        ({"port": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"port": 2**63}, OverflowError, "Python int too large to convert to C long"),
        ({"port": 1.5}, TypeError, "argument 'port': 'float' object cannot be interpreted as an integer"),
        ({"port": "80"}, TypeError, "argument 'port': 'str' object cannot be interpreted as an integer"),
        ({"max_pool_size": None}, TypeError, "argument 'max_pool_size': 'NoneType' object cannot be interpreted as an integer"),
        ({"max_pool_size": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"max_pool_size": 2**64}, OverflowError, "int too big to convert"),
        ({"host": 5}, TypeError, "argument 'host': 'int' object cannot be converted to 'PyString'"),
        ({"endpoint": b"tcp://h:1"}, TypeError, "argument 'endpoint': 'bytes' object cannot be converted to 'PyString'"),
        ({"api_token": 1}, TypeError, "argument 'api_token': 'int' object cannot be converted to 'PyString'"),
        # Every argument is converted, in parameter order, before anything is resolved.
        ({"protocol": "udp", "api_token": 1}, TypeError, "argument 'api_token': 'int' object cannot be converted to 'PyString'"),
        ({"host": 5, "port": 70000}, TypeError, "argument 'host': 'int' object cannot be converted to 'PyString'"),
        ({"port": 70000, "socket_path": 5}, OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_argument_conversion_errors(kwargs, error, message):
    with pytest.raises(error) as caught:
        ZeltoClient(**kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_accepted_argument_types():
    class Text(str):
        pass

    assert ZeltoClient(host=Text("h"), port=Index(7)).endpoint() == "tcp://h:7"
    assert ZeltoClient(port=True).endpoint() == "tcp://127.0.0.1:1"
    ZeltoClient(max_pool_size=0)
    ZeltoClient(max_pool_size=2**64 - 1)
    ZeltoClient(max_pool_size=Index(3))
    ZeltoClient(api_token="")


# A text that cannot be encoded as UTF-8 is refused by the constructor, not at every call.
@pytest.mark.parametrize("parameter", ["endpoint", "host", "socket_path", "pipe_name", "api_token"])
def test_lone_surrogate_text_is_refused_when_given(parameter):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        ZeltoClient(**{parameter: "a\ud800"})
