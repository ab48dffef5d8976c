#!/usr/bin/env bash
# Runs tools/asan_smoke.py against a module built with AddressSanitizer.
#
# The module is built in build/asan-module with ZELTO_SANITIZE=address (the reference server
# too); the interpreter is not instrumented, so the ASan runtime of the compiler that built the
# module is preloaded, Python's allocator is switched to malloc so ASan sees every object, and
# leak detection is off (the interpreter keeps memory to the end on purpose).
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
BUILD=build/asan-module

.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DPython_EXECUTABLE="$PWD/$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELTO_BUILD_TESTS=OFF -DZELTO_SANITIZE=address >/dev/null
.venv/bin/cmake --build "$BUILD" -j2

runtime=$(g++ -print-file-name=libasan.so)
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONPATH="$BUILD" \
  "$PY" tools/asan_smoke.py "$PWD/$BUILD/zelto-reference-server"
