#!/usr/bin/env bash
# Runs tools/tsan_smoke.py against a module built with ThreadSanitizer.
#
# The module is built in build/tsan-module with ZELTO_SANITIZE=thread (the reference server
# too). The interpreter is not instrumented: the TSan runtime of the compiler that built the
# module is preloaded, and it sees the interpreter lock's hand-overs through the pthread calls
# it intercepts, so the module's own memory accesses are checked across threads. A report ends
# the process with status 66.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
BUILD=build/tsan-module

.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DPython_EXECUTABLE="$PWD/$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELTO_BUILD_TESTS=OFF -DZELTO_SANITIZE=thread -DCMAKE_CXX_FLAGS=-Wno-tsan >/dev/null
.venv/bin/cmake --build "$BUILD" -j2

runtime=$(g++ -print-file-name=libtsan.so)
LD_PRELOAD="$runtime" TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
  PYTHONPATH="$BUILD" "$PY" tools/tsan_smoke.py "$PWD/$BUILD/zelto-reference-server"
