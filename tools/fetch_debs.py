"""Unpacks Debian packages of another release into a directory, without touching apt's sources.

    python tools/fetch_debs.py --suite bullseye --arch amd64 --into DIR libc6 libgcc-s1

Reads the suite's package index from the Debian mirror, downloads each named package's file and
unpacks it (dpkg-deb -x) into DIR. The wheel tests use it for an older glibc to run the wheel's
binaries with.
"""

from __future__ import annotations

import argparse
import lzma
import subprocess
import tempfile
import urllib.request
from pathlib import Path

MIRROR = "http://deb.debian.org/debian"


def package_files(suite: str, arch: str) -> dict[str, str]:
    """Each package of the suite's main component and the path of its file on the mirror."""
    url = f"{MIRROR}/dists/{suite}/main/binary-{arch}/Packages.xz"
    with urllib.request.urlopen(url, timeout=120) as response:
        index = lzma.decompress(response.read()).decode()
    files = {}
    for stanza in index.split("\n\n"):
        fields = dict(line.split(": ", 1) for line in stanza.splitlines()
                      if ": " in line and not line.startswith(" "))
        if "Package" in fields and "Filename" in fields:
            files[fields["Package"]] = fields["Filename"]
    return files


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--suite", required=True)
    parser.add_argument("--arch", required=True)
    parser.add_argument("--into", type=Path, required=True)
    parser.add_argument("packages", nargs="+")
    args = parser.parse_args()

    files = package_files(args.suite, args.arch)
    args.into.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.packages:
            deb = Path(tmp) / f"{name}.deb"
            urllib.request.urlretrieve(f"{MIRROR}/{files[name]}", deb)
            subprocess.run(["dpkg-deb", "-x", str(deb), str(args.into)], check=True)
            print(f"{name}: {files[name]}")


if __name__ == "__main__":
    main()
