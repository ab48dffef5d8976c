"""Batch inference on a Dask cluster with one client made on the driver.

    pip install "dask[distributed]"
    zelto-reference-server --tcp 127.0.0.1:9096 &
    python examples/dask_batch.py --port 9096 --items 300

The function mapped over the items captures a ZeltoClient made here, on the driver. Dask ships
the function to its worker processes by pickling it, client included: a client pickles as its
constructor's arguments (api_token included), so each worker process makes its own client,
with its own connections, on first use. Nothing needs a worker plugin or an initializer.
"""

from __future__ import annotations

import argparse
import struct

from dask.distributed import Client, LocalCluster

import zelto_sdk

SCALE = 2  # the reference server's model 2 doubles float32 elements


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9096)
    parser.add_argument("--items", type=int, default=300)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    # release_gil: a worker runs several tasks on threads, which then wait for the server side
    # by side.
    zelto = zelto_sdk.ZeltoClient(f"tcp://{args.host}:{args.port}", release_gil=True)

    def doubled(value: float) -> float:
        data = zelto.infer_bytes(SCALE, [1], "float32", struct.pack("<f", value))
        return struct.unpack("<f", data)[0]

    with LocalCluster(n_workers=args.workers, threads_per_worker=2, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as dask:
        results = dask.gather(dask.map(doubled, [float(i) for i in range(args.items)]))

    wrong = [i for i, result in enumerate(results) if result != 2.0 * i]
    print(f"{len(results)} items doubled on {args.workers} worker processes, {len(wrong)} wrong")
    if wrong:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
