"""A first tour of zelto_sdk against a running zelto-reference-server.

    python examples/quickstart.py --port 9096            # over TCP
    python examples/quickstart.py --socket-path /tmp/zelto  # over a local socket
"""

from __future__ import annotations

import argparse
import struct

import zelto_sdk

ECHO, SCALE, SOFTMAX, ROWS = 1, 2, 3, 4


def floats(*values: float) -> bytes:
    return struct.pack("<%df" % len(values), *values)


def as_floats(data: list[int]) -> list[float]:
    return [round(v, 4) for v in struct.unpack("<%df" % (len(data) // 4), bytes(data))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int)
    parser.add_argument("--socket-path", help="a local socket path instead of TCP")
    args = parser.parse_args()

    if args.socket_path:
        client = zelto_sdk.ZeltoClient(socket_path=args.socket_path)
    else:
        client = zelto_sdk.ZeltoClient(host=args.host, port=args.port or 9096)
    print("connected to", client.endpoint())

    # Single-shot inference: the output comes back as a list of byte values.
    data = client.infer(ECHO, [5], "uint8", b"hello")
    print("echo:", bytes(data).decode())

    # infer_tensor also returns the output's shape and element type.
    data, shape, dtype = client.infer_tensor(SCALE, [2, 2], "float32", floats(1, 2, 3, 4))
    print("scale x2:", as_floats(data), "shape", shape, dtype)

    data, shape, dtype = client.infer_tensor(SOFTMAX, [1, 3], "fp32", floats(1, 2, 3))
    print("softmax:", as_floats(data), "shape", shape, dtype)

    # A stream yields one output per frame the server sends: here one per row.
    for i, row in enumerate(client.infer_stream(ROWS, [3, 2], "float32", floats(1, 2, 3, 4, 5, 6))):
        print("stream row", i, as_floats(row))

    # Failures are Python exceptions: the server's own text comes back as a RuntimeError.
    try:
        client.infer(SCALE, [2], "int32", struct.pack("<2i", 1, 2))
    except RuntimeError as error:
        print("server refused:", error)
    try:
        client.infer(ECHO, [1], "bfloat16", b"\x00\x00")
    except ValueError as error:
        print("client refused:", error)


if __name__ == "__main__":
    main()
