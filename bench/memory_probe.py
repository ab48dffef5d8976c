"""Peak memory of one 16 MiB round trip, in a fresh process.

    MALLOC_MMAP_THRESHOLD_=65536 python memory_probe.py TRANSPORT WHERE_JSON [infer|infer_bytes]

prints one JSON line: the resident set before the call, its peak during the call, the size of
the returned object (a list of ints for zelto_sdk's infer, the default, a bytes object for
infer_bytes), and `extra`: what the call held at its peak besides the caller's input and the
returned object (the working copies). The fixed malloc threshold makes every large buffer its own
mapping, returned to the system when freed, so the peak shows exactly what was alive at once.
Warm-up calls first touch every page of the shared region the call will use (its slot and the
server's output ring), so those pages are part of the baseline.
"""

from __future__ import annotations

import gc
import json
import sys

sys.path.insert(0, sys.path[0])
from worker import Clients, pattern  # noqa: E402

SIZE = 16 * 1024 * 1024
WARM_UP = {"tcp": 2, "unix": 2, "shm": 7, "hybrid": 7}


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no " + field + " in /proc/self/status")


def main() -> None:
    transport, where = sys.argv[1], json.loads(sys.argv[2])
    method = sys.argv[3] if len(sys.argv) > 3 else "infer"
    if method not in ("infer", "infer_bytes"):
        raise SystemExit("the method is infer or infer_bytes, not " + method)
    call = Clients().call("zelto_bytes" if method == "infer_bytes" else "zelto", transport, where,
                          SIZE)
    data = pattern(SIZE)
    for _ in range(WARM_UP[transport]):
        out = call(data)
        del out
    gc.collect()
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak (VmHWM) to the current resident set
    out = call(data)
    peak = status_kib("VmHWM")
    # The list's own array of pointers; its small ints are CPython's cached ones.
    out_kib = sys.getsizeof(out) // 1024
    if out != (data if method == "infer_bytes" else list(data)):
        raise SystemExit("the answer is not the echo of the request")
    print(json.dumps({"method": method, "before_kib": before, "peak_kib": peak,
                      "out_kib": out_kib, "extra_kib": peak - before - out_kib,
                      "size_kib": SIZE // 1024}))


if __name__ == "__main__":
    main()
