"""Starts zelto-reference-server on a TCP port and a local socket, runs the quick start over each,
and stops the server.

    python examples/run_demo.py --port 9096
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def find_server() -> str:
    path = os.environ.get("ZELTO_REFERENCE_SERVER") or shutil.which("zelto-reference-server")
    if not path:
        sys.exit("zelto-reference-server not found: run `make install` or set ZELTO_REFERENCE_SERVER")
    return path


def start_server(port: int, pipe: str) -> subprocess.Popen:
    server = subprocess.Popen([find_server(), "--tcp", "127.0.0.1:%d" % port, "--pipe", pipe],
                              stdout=subprocess.PIPE, text=True)
    assert server.stdout is not None
    for line in server.stdout:  # the server says where it listens, then "ready"
        print("server:", line.rstrip())
        if line.strip() == "ready":
            return server
    sys.exit("the reference server did not start (exit status %s)" % server.wait())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=9096)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="zelto-demo-") as directory:
        pipe = os.path.join(directory, "zelto.sock")
        server = start_server(args.port, pipe)
        try:
            for transport in (["--port", str(args.port)], ["--socket-path", pipe]):
                print()
                subprocess.run([sys.executable, str(HERE / "quickstart.py"), *transport], check=True)
        finally:
            server.send_signal(signal.SIGTERM)
            status = server.wait(timeout=30)
        print("\nserver stopped (exit status %d)" % status)
        if status != 0:
            sys.exit(status)


if __name__ == "__main__":
    main()
