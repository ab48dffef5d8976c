"""numpy arrays in and out of zelto_sdk, against a running zelto-reference-server.

    pip install numpy
    zelto-reference-server --tcp 127.0.0.1:9096 &
    python examples/numpy_tensors.py --port 9096

zelto_sdk takes a tensor's data as one int 0..255 per byte and gives the output's bytes back:
an array goes in as its raw bytes and comes out through np.frombuffer.
"""

from __future__ import annotations

import argparse

import numpy as np

import zelto_sdk

ECHO, SCALE, SESSION = 1, 2, 6

# The element types' canonical names (what results carry) and their little-endian numpy dtypes.
NUMPY_DTYPES = {"float32": "<f4", "float64": "<f8", "float16": "<f2",
                "int32": "<i4", "int64": "<i8", "uint8": "u1"}
# And the other way, for inputs.
ZELTO_DTYPES = {np.dtype(numpy): name for name, numpy in NUMPY_DTYPES.items()}


def to_array(data: bytes, shape: list[int], dtype: str) -> np.ndarray:
    """An output of infer_tensor_bytes as a read-only array viewing `data` (no copy)."""
    return np.frombuffer(data, dtype=NUMPY_DTYPES[dtype]).reshape(shape)


def infer_array(client: zelto_sdk.ZeltoClient, model_id: int, a: np.ndarray) -> np.ndarray:
    """Sends an array (any layout, native or little-endian) and returns the output as an array."""
    a = np.ascontiguousarray(a, dtype=a.dtype.newbyteorder("<"))
    data, shape, dtype = client.infer_tensor_bytes(
        model_id, a.shape, ZELTO_DTYPES[a.dtype], memoryview(a).cast("B"))
    return to_array(data, shape, dtype)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9096)
    args = parser.parse_args()
    client = zelto_sdk.ZeltoClient(host=args.host, port=args.port)

    a = np.array([[1, 2], [3, 4]], dtype=np.float32)
    print("scale x2:\n", infer_array(client, SCALE, a))
    transposed = np.arange(6, dtype=np.int64).reshape(2, 3).T  # not C-contiguous
    print("echo of a transposed int64 array:\n", infer_array(client, ECHO, transposed))

    # Raw bytes in, bytes out, shape known in advance.
    out = client.infer_bytes(SCALE, a.shape, "float32", a.tobytes())
    print("from infer_bytes:", np.frombuffer(out, dtype="<f4").reshape(a.shape).tolist())

    # A string output is UTF-8 text.
    data, shape, dtype = client.infer_tensor_bytes(SESSION, [0], "uint8", b"", session_id="user-42")
    print("session:", data.decode(), shape, dtype)

    # The array itself is not its bytes: an int32 array given as data is sent one byte per element.
    wrong = client.infer_bytes(ECHO, [3], "int32", np.array([1, 2, 3], dtype=np.int32))
    right = client.infer_bytes(ECHO, [3], "int32", np.array([1, 2, 3], dtype=np.int32).tobytes())
    print("int32 array as data sent", len(wrong), "bytes; its tobytes()", len(right))


if __name__ == "__main__":
    main()
