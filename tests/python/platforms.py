"""What differs between the platforms the tests run on, in one place: where local endpoints and
regions live, the system's error texts, and the marks for tests of one platform.

The peers' processes import it too, so it imports pytest only when a mark is made: a spawned
process starts faster without it (much faster under Wine)."""

from __future__ import annotations

import errno
import os
import sys
import tempfile
import uuid
from pathlib import Path

WINDOWS = sys.platform == "win32"
# What a call on a connection whose other end has gone fails with: EPIPE, or ERROR_BROKEN_PIPE.
BROKEN_PIPE = 109 if WINDOWS else errno.EPIPE


def posix_only(why: str):
    """Marks a test that needs what Windows does not have: fork(), Unix signals (SIGALRM,
    SIGTERM as a request to stop), resource limits, Unix-domain socket files, /dev/shm."""
    import pytest

    return pytest.mark.skipif(WINDOWS, reason="needs POSIX: " + why)


def local_endpoint(directory: str | os.PathLike) -> str:
    """A fresh local stream endpoint for a server: a named pipe on Windows, a socket file in
    `directory` elsewhere."""
    if WINDOWS:
        return "\\\\.\\pipe\\zelto-test-" + uuid.uuid4().hex[:12]
    return os.path.join(directory, "zelto-" + uuid.uuid4().hex[:8] + ".sock")


def region_path(name: str) -> Path:
    """The file that backs the shared-memory region NAME (leading "/" ignored): the POSIX
    shared-memory object in /dev/shm, or on Windows the backing file in the folder
    shared_memory-rs of the user's temporary directory."""
    name = name.lstrip("/")
    if WINDOWS:
        return Path(tempfile.gettempdir()) / "shared_memory-rs" / name
    return Path("/dev/shm") / name


def create_region_file(name: str) -> Path:
    """region_path(name), with its folder made where the platform needs one."""
    path = region_path(name)
    path.parent.mkdir(exist_ok=True)
    return path


def os_error_text(code: int) -> str:
    """The system's message for error `code` as the module shows it: "TEXT (os error N)"."""
    if WINDOWS:
        import ctypes

        text = ctypes.FormatError(code).rstrip("\r\n")
    else:
        text = os.strerror(code)
    return f"{text} (os error {code})"


def peak_rss_kib() -> int:
    """The most memory this process has held resident so far, in KiB."""
    if WINDOWS:
        import ctypes
        from ctypes import wintypes

        class Counters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
            _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD),
                        ("PeakWorkingSetSize", ctypes.c_size_t)] + [
                           (field, ctypes.c_size_t) for field in (
                               "WorkingSetSize", "QuotaPeakPagedPoolUsage", "QuotaPagedPoolUsage",
                               "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage",
                               "PagefileUsage", "PeakPagefileUsage")]

        counters = Counters(cb=ctypes.sizeof(Counters))
        current_process = wintypes.HANDLE(-1)  # what GetCurrentProcess() returns
        if not ctypes.windll.psapi.GetProcessMemoryInfo(current_process, ctypes.byref(counters),
                                                        counters.cb):
            raise ctypes.WinError()
        return counters.PeakWorkingSetSize // 1024
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def windows_only(why: str):
    """Marks a test of what only Windows has (named pipes)."""
    import pytest

    return pytest.mark.skipif(not WINDOWS, reason="needs Windows: " + why)


def not_under_wine(why: str):
    """Marks a test of Windows behaviour that Wine does not reproduce."""
    import pytest

    under_wine = False
    if WINDOWS:
        import ctypes

        under_wine = hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")
    return pytest.mark.skipif(under_wine, reason="Wine differs: " + why)
