"""Packs cross-built binaries into dist/NAME-VERSION-cp311-abi3-PLATFORM.whl.

scikit-build-core builds a wheel for the interpreter that runs it, so it cannot tag or lay out a
wheel for another system; the layout is small enough to write here. The wheel holds what a wheel
of `pip install .` holds: the module at the top, the type stubs, and the reference server as a
script (pip puts it into the environment's bin or Scripts folder).

    python tools/pack_wheel.py --module zelto_sdk.pyd --server zelto-reference-server.exe
    python tools/pack_wheel.py --platform linux_aarch64 --module zelto_sdk.abi3.so \
        --server zelto-reference-server

A Linux wheel is tagged linux_ARCH here; auditwheel then checks it and gives it its manylinux tag.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Fixed member times make the same inputs give the same wheel, byte for byte.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def metadata(project: dict) -> str:
    fields = [("Metadata-Version", "2.1"), ("Name", project["name"]),
              ("Version", project["version"]), ("Summary", project["description"]),
              ("License", project["license"]["text"]),
              ("Requires-Python", project["requires-python"]),
              ("Description-Content-Type", "text/markdown")]
    head = "".join(f"{key}: {value}\n" for key, value in fields)
    return head + "\n" + (ROOT / project["readme"]).read_text(encoding="utf-8")


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def pack(module: Path, server: Path, out_dir: Path, platform: str) -> Path:
    tag = f"cp311-abi3-{platform}"
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    name, version = project["name"], project["version"]
    dist_info = f"{name}-{version}.dist-info"
    files = {
        module.name: module.read_bytes(),
        "zelto_sdk-stubs/__init__.pyi": (ROOT / "zelto_sdk-stubs/__init__.pyi").read_bytes(),
        "zelto_sdk-stubs/aio.pyi": (ROOT / "zelto_sdk-stubs/aio.pyi").read_bytes(),
        f"{name}-{version}.data/scripts/{server.name}": server.read_bytes(),
        f"{dist_info}/METADATA": metadata(project).encode(),
        f"{dist_info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: tools/pack_wheel.py\n"
                               f"Root-Is-Purelib: false\nTag: {tag}\n").encode(),
    }
    record = "".join(record_line(member, data) for member, data in files.items())
    files[f"{dist_info}/RECORD"] = (record + f"{dist_info}/RECORD,,\n").encode()

    out_dir.mkdir(parents=True, exist_ok=True)
    wheel = out_dir / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for member, data in files.items():
            info = zipfile.ZipInfo(member, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            # The server keeps its execute permission, which a POSIX installer carries over.
            mode = 0o755 if member.startswith(f"{name}-{version}.data/scripts/") else 0o644
            info.external_attr = mode << 16
            archive.writestr(info, data)
    return wheel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", type=Path, required=True)
    parser.add_argument("--server", type=Path, required=True)
    parser.add_argument("--out-dir", type=Path, default=ROOT / "dist")
    parser.add_argument("--platform", default="win_amd64", help="win_amd64, linux_x86_64, ...")
    args = parser.parse_args()
    print(pack(args.module, args.server, args.out_dir, args.platform))


if __name__ == "__main__":
    main()
