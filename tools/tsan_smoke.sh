#!/usr/bin/env bash
# Runs tools/tsan_smoke.py against the module built with ThreadSanitizer in the build directory
# given, as `make sanitize-tsan-build` makes it (the reference server and the C++ suite too).
# The interpreter is not instrumented: the TSan runtime of the compiler that built the
# module is preloaded, and it sees the interpreter lock's hand-overs through the pthread calls
# it intercepts, so the module's own memory accesses are checked across threads. A report ends
# the process with status 66.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
BUILD=${1:?the sanitizer build directory}

runtime=$(g++ -print-file-name=libtsan.so)
LD_PRELOAD="$runtime" TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
  PYTHONPATH="$BUILD" "$PY" tools/tsan_smoke.py "$PWD/$BUILD/zelto-reference-server"
