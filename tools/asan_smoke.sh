#!/usr/bin/env bash
# Runs tools/asan_smoke.py against the module built with AddressSanitizer (and UBSan) in the
# build directory given, as `make sanitize-asan-build` makes it (the reference server too,
# and the C++ suite, so the engine is compiled once for all three); the interpreter is not instrumented, so the ASan runtime of the compiler that built the
# module is preloaded, Python's allocator is switched to malloc so ASan sees every object, and
# leak detection is off (the interpreter keeps memory to the end on purpose).
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
BUILD=${1:?the sanitizer build directory}

runtime=$(g++ -print-file-name=libasan.so)
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONPATH="$BUILD" \
  "$PY" tools/asan_smoke.py "$PWD/$BUILD/zelto-reference-server"
