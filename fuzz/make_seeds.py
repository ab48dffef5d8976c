#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the protocol's own examples: the worked request and response of the socket
protocol, tensor payloads in raw and base64 form, hybrid responses, stream frames and the
endpoint forms a ZeltoClient accepts. Run it again after changing an example; the output is
checked in.
"""

from __future__ import annotations

import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def text(s: str | bytes) -> bytes:
    b = s.encode() if isinstance(s, str) else s
    return u64(len(b)) + b


def shape(*dims: int) -> bytes:
    return u64(len(dims)) + b"".join(struct.pack("<q", d) for d in dims)


def tensor(dims: tuple[int, ...], dtype: str, data: bytes | None = None,
           b64: str | None = None) -> bytes:
    out = shape(*dims) + text(dtype)
    out += b"\x00" if data is None else b"\x01" + text(data)
    out += b"\x00" if b64 is None else b"\x01" + text(b64)
    return out


FLOATS = struct.pack("<ff", 1.0, 2.0)
WORKED_PAYLOAD = tensor((2,), "float32", FLOATS)  # the 49-byte success payload


def options(token: bytes) -> bytes:
    return b"\x01" + b"\x00" * 5 + b"\x01" + text(token) + b"\x00" * 7


def request(main: bytes, extras: list[tuple[str, bytes]] = (), session: str | None = None,
            token: bytes | None = None) -> bytes:
    out = main + u64(len(extras))
    for name, t in extras:
        out += text(name) + t
    out += b"\x00" if session is None else b"\x01" + text(session)
    out += b"\x00" if token is None else options(token)
    return out


def frame(status: int, payload: bytes) -> bytes:
    return u32(status) + u32(len(payload)) + payload


def hybrid_response(offset: int) -> bytes:
    metadata = u64(1) + b"\x00" + b"\x00" * 7 + u64(1_700_000_000_000_000_000)
    return metadata + u64(offset) + u64(96)


def region_block(offset: int, at: int, region_size: int, block: bytes) -> bytes:
    region = bytearray(region_size)
    region[at:at + len(block)] = block
    return u64(offset) + bytes(region)


def tensor_block(dims: tuple[int, ...], data: bytes, nbytes: int | None = None) -> bytes:
    header = u32(len(dims)) + b"\x00" * 4
    header += b"".join(struct.pack("<q", d) for d in dims) + b"\x00" * 8 * (8 - len(dims))
    return header + u64(len(data) if nbytes is None else nbytes) + data


def endpoint_args(**values: str) -> bytes:
    order = ["endpoint", "protocol", "host", "port", "socket_path", "pipe_name", "api_token",
             "max_pool_size"]
    flags = 0
    for i, name in enumerate(order):
        if name in values:
            flags |= 1 << i
    return bytes([flags]) + b"\xff".join(values.get(name, "").encode() for name in order)


SEEDS: dict[str, dict[str, bytes]] = {
    "infer_request": {
        "worked_example": request(WORKED_PAYLOAD),
        "session_id": request(WORKED_PAYLOAD, session="session-1"),
        "additional_input": request(WORKED_PAYLOAD, [("mask", tensor((), "uint8", b""))]),
        "api_token": request(WORKED_PAYLOAD, token=b"secret"),
        "negative_dim": request(tensor((-1, 3), "int64", b"\x00" * 8)),
        "base64_input": request(tensor((1,), "float32", b64="AAAAPw==")),
    },
    "tensor_payload": {
        "raw": WORKED_PAYLOAD,
        "empty_data": tensor((0,), "uint8", b""),
        "base64": tensor((1,), "float32", b64="AAAAPw=="),
        "base64_unpadded": tensor((1,), "float32", b64="AAAAPw"),
        "base64_newline": tensor((1,), "float32", b64="AAAA\nPw=="),
        "base64_empty": tensor((0,), "uint8", b64=""),
        "upper_case_dtype": tensor((2,), "FLOAT32", FLOATS),
        "unknown_dtype": tensor((2,), "bfloat16", FLOATS),
        "both": tensor((1,), "uint8", b"\x01", "AQ=="),
        "neither": tensor((1,), "uint8"),
        "truncated": WORKED_PAYLOAD[:20],
    },
    "hybrid_response": {
        "success": hybrid_response(0x200000),
        "short": hybrid_response(0x200000)[:39],
        "longer": hybrid_response(0x200000) + b"\x00" * 8,
        "failure_text": b"ok\xff",
        "utf8_text": "Model 7 is not loaded \u2013 try later".encode(),
    },
    # First byte: fragment size - 1.
    "response_stream": {
        "frames_whole": b"\xff" + frame(2, WORKED_PAYLOAD) + frame(2, WORKED_PAYLOAD) + frame(0, b""),
        "frames_bytewise": b"\x00" + frame(2, WORKED_PAYLOAD) + frame(2, b""),
        "frames_by_five": b"\x04" + frame(2, tensor((1,), "uint8", b64="AQ==")) + frame(3, b"x"),
        "error_frame": b"\x06" + frame(2, WORKED_PAYLOAD) + frame(1, b"model failed \xff"),
        "huge_size": b"\x10" + u32(2) + u32(0xFFFFFFFF) + WORKED_PAYLOAD,
        "truncated_header": b"\x02" + frame(2, WORKED_PAYLOAD)[:5],
        "bad_payload": b"\x07" + frame(2, WORKED_PAYLOAD[:30]),
    },
    # A u64 offset, then the region's bytes.
    "region_block": {
        "output_block": region_block(64, 64, 256, tensor_block((2,), FLOATS)),
        "empty_block": region_block(0, 0, 80, tensor_block((), b"")),
        "nbytes_past_end": region_block(64, 64, 256, tensor_block((2,), FLOATS, 1 << 20)),
        "nbytes_wraps": region_block(64, 64, 256, tensor_block((1,), b"", 2**64 - 40)),
        "header_past_end": region_block(200, 0, 256, b""),
        "nine_dims": region_block(0, 0, 160, u32(9) + bytes(76)),
        "error_text": region_block(16, 16, 64, text("model failed \xff".encode("latin-1"))),
        "error_text_past_end": region_block(16, 16, 64, u64(49) + b"x" * 40),
        "offset_wraps": u64(2**64 - 4) + bytes(64),
    },
    "endpoint": {
        "default": endpoint_args(),
        "port": endpoint_args(port="8080"),
        "tcp_endpoint": endpoint_args(endpoint="tcp://10.0.0.5:7000"),
        "bare_host_port": endpoint_args(endpoint="10.0.0.5:7000"),
        "tcp_protocol": endpoint_args(endpoint="10.0.0.5:7000", protocol="tcp"),
        "pipe_scheme": endpoint_args(endpoint="pipe://svc"),
        "pipe_name": endpoint_args(pipe_name="svc", max_pool_size="0"),
        "socket_protocol": endpoint_args(endpoint="svc", protocol="socket"),
        "padded_protocol": endpoint_args(protocol="  TCP \u3000"),
        "unsupported": endpoint_args(protocol="UDP"),
        "unix_socket_path": endpoint_args(protocol="unix", socket_path="tcp://10.0.0.5:1"),
        "unix_scheme": endpoint_args(endpoint="unix:///tmp/s"),
        "endpoint_and_port": endpoint_args(endpoint="tcp://h:1", protocol="tcp", port="2"),
        "pipe_with_tcp": endpoint_args(endpoint="pipe://x", protocol="tcp"),
        "pipe_both": endpoint_args(protocol="pipe", pipe_name="a", endpoint="b"),
        "token": endpoint_args(api_token="", host="10.0.0.5"),
    },
}


def main() -> None:
    for target, seeds in SEEDS.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
