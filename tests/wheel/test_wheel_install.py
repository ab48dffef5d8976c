"""The wheel in dist/ (made by `make wheel`), installed as a user without build tools would: into
a fresh virtual environment, from the file alone, then imported and its server command run."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

DIST = Path(__file__).resolve().parents[2] / "dist"


def run(*command: str | Path, cwd: Path) -> str:
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"{command}: exit {done.returncode}\n{done.stdout}{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def wheel() -> Path:
    wheels = sorted(DIST.glob("zelto_sdk-*-manylinux*.whl"))
    assert len(wheels) == 1, f"expected one zelto_sdk wheel in {DIST} (make wheel), found {wheels}"
    return wheels[0]


@pytest.fixture(scope="module")
def env(wheel: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A virtual environment with pip alone (no compiler, CMake or build backend on hand) and the
    wheel installed without a package index."""
    root = tmp_path_factory.mktemp("wheel-env")
    run(sys.executable, "-m", "venv", root / "venv", cwd=root)
    pip = (root / "venv/bin/python", "-m", "pip")
    run(*pip, "install", "-q", "--no-index", "--only-binary", ":all:", wheel, cwd=root)
    return root / "venv"


def test_wheel_is_tagged_abi3_manylinux(wheel: Path) -> None:
    _name, _version, python, abi, platforms = wheel.name[: -len(".whl")].split("-")
    assert (python, abi) == ("cp311", "abi3")
    assert all(p.startswith("manylinux_") and p.endswith("_x86_64") for p in platforms.split("."))


# Runs in the fresh environment, outside the source tree: the module must come from the wheel,
# export what its shipped stubs declare, construct a client (which opens nothing yet) and bring
# no C++ runtime of the system into the process.
IMPORT_CHECK = """
import ast, sys, zelto_sdk
from pathlib import Path
assert zelto_sdk.__file__.startswith(sys.prefix), zelto_sdk.__file__
stubs = Path(zelto_sdk.__file__).parent / "zelto_sdk-stubs" / "__init__.pyi"
declared = next(ast.literal_eval(node.value) for node in ast.parse(stubs.read_text()).body
                if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "__all__")
assert zelto_sdk.__all__ == declared, (zelto_sdk.__all__, declared)
assert all(hasattr(zelto_sdk, name) for name in zelto_sdk.__all__), zelto_sdk.__all__
client = zelto_sdk.ZeltoClient(port=9096)
assert (client.protocol(), client.endpoint()) == ("tcp", "tcp://127.0.0.1:9096")
maps = Path("/proc/self/maps").read_text()
assert "libstdc++" not in maps, [line for line in maps.splitlines() if "libstdc++" in line]
"""


def test_module_imports_from_the_wheel(env: Path, tmp_path: Path) -> None:
    run(env / "bin/python", "-c", IMPORT_CHECK, cwd=tmp_path)


def test_reference_server_command_runs(env: Path, tmp_path: Path) -> None:
    server = env / "bin/zelto-reference-server"
    assert "usage: zelto-reference-server" in run(server, "--help", cwd=tmp_path)
    assert "libstdc++" not in run("ldd", server, cwd=tmp_path)
