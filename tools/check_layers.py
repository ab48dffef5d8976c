#!/usr/bin/env python3
"""Checks the include rules of the engine's layers and of the reference server.

Only the platform layer's implementations touch the operating system: src/platform/posix/,
src/platform/windows/ and src/platform/common/ (code compiled on both) may include OS headers;
nothing else under src/ may, not even the platform headers that the layers above include, and
neither may the reference server (server/), which reaches the system through the platform layer
too. And src/platform/ stands on its own: it includes nothing from transport/, shm/, hybrid/ or
binding/. Prints every offending include as file:line and exits 1 if there is one.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
SERVER = ROOT / "server"
PLATFORM = SRC / "platform"
OS_SIDES = (PLATFORM / "posix", PLATFORM / "windows", PLATFORM / "common")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# Headers of an operating system's interface, as opposed to the C and C++ standard libraries.
OS_HEADER_PREFIXES = ("sys/", "netinet/", "arpa/", "linux/", "asm/")
OS_HEADERS = {
    "unistd.h",
    "fcntl.h",
    "poll.h",
    "pthread.h",
    "sched.h",
    "signal.h",
    "netdb.h",
    "dlfcn.h",
    "spawn.h",
    "time.h",
    "semaphore.h",
    "windows.h",
    "winsock2.h",
    "ws2tcpip.h",
    "afunix.h",
    "mswsock.h",
    "io.h",
    "process.h",
    "malloc.h",
}
UPPER_LAYERS = ("transport/", "shm/", "hybrid/", "aio/", "binding/")
SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".c", ".cc", ".inc"}


def is_os_header(name):
    return name.lower() in OS_HEADERS or name.startswith(OS_HEADER_PREFIXES)


def problems():
    for path in sorted([*SRC.rglob("*"), *SERVER.rglob("*")]):
        if not path.is_file() or path.suffix not in SOURCE_SUFFIXES:
            continue
        in_platform = PLATFORM in path.parents
        os_side = any(side in path.parents for side in OS_SIDES)
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, name = match.groups()
            where = f"{path.relative_to(ROOT)}:{number}"
            if in_platform and bracket == '"' and name.startswith(UPPER_LAYERS):
                yield f'{where}: platform/ includes "{name}" from a layer above it'
            elif not os_side and bracket == "<" and is_os_header(name):
                yield (
                    f"{where}: <{name}> is an operating-system header; only platform/posix/, "
                    "platform/windows/ and platform/common/ may include it"
                )


def main():
    found = list(problems())
    for problem in found:
        print(problem)
    if found:
        print(f"check_layers: {len(found)} include(s) break the layering", file=sys.stderr)
        return 1
    print("check_layers: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
