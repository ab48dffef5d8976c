"""64-byte round trips on Linux and, in the same run, of the Windows build under Wine.

For information only: Wine is not Windows (its named pipes, timers and wineserver calls cost
what they cost there, not what Windows would). Runs bench/round_trips.py in the Linux
interpreter with the Linux module and server, then in the Windows interpreter under Wine with
the Windows wheel's module and server, and prints both with the ratio Wine / Linux.

    python bench/wine.py --linux-server PATH --windows-python PATH --windows-server WINPATH \
        --wine /usr/lib/wine/wine64
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

ROUND_TRIPS = Path(__file__).resolve().parent / "round_trips.py"


def run(command: list[str], env: dict[str, str] | None = None) -> dict:
    # Under Wine a Windows program needs a pipe, not a file, for its standard streams.
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=env,
                          check=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux-server", required=True)
    parser.add_argument("--windows-python", required=True)
    parser.add_argument("--windows-server", required=True, help="the server's path as Windows sees it")
    parser.add_argument("--wine", required=True)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    counts = ["--calls", str(args.calls), "--rounds", str(args.rounds)]
    linux = run([sys.executable, str(ROUND_TRIPS), "--server", args.linux_server, *counts])
    # Wine shows the Linux file system as drive Z:.
    script = "Z:" + str(ROUND_TRIPS).replace("/", "\\")
    wine = run([args.wine, args.windows_python, script, "--server",
                args.windows_server, *counts])

    print(f"64 B round trips, {args.rounds} x {args.calls} calls per transport (microseconds)")
    print(f"{'transport':<10}{'Linux p50':>11}{'Linux p99':>11}{'Wine p50':>11}{'Wine p99':>11}"
          f"{'Wine/Linux':>12}")
    for name, here in linux.items():
        there = wine[name]
        ratio = there["p50_us"] / here["p50_us"]
        print(f"{name:<10}{here['p50_us']:>11.1f}{here['p99_us']:>11.1f}{there['p50_us']:>11.1f}"
              f"{there['p99_us']:>11.1f}{ratio:>11.1f}x")


if __name__ == "__main__":
    main()
