# make test       fresh machine to green: venv, GoogleTest, C++ core tests (with
#                 address/UB sanitizers), package build and install, pytest;
#                 every build treats warnings as errors
# make test-asan  the extension itself built with address/UB sanitizers, and
#                 the pytest suite run under it
# make wheel      the sdist and one abi3 wheel per architecture (x86_64,
#                 aarch64) in dist/, built for glibc 2.17 with zig's cross
#                 toolchain (tools/wheels.py); the build fails unless
#                 auditwheel sees exactly manylinux_2_17 for each, and
#                 abi3audit and twine check them
# make test-portable  the core tests built (a) for i386 with -m32, (b) for
#                 aarch64 with zig (a static musl binary run under
#                 qemu-aarch64-static), (c) with clang-16, and (d) with the
#                 portable control-group path forced on x86-64; warnings are
#                 errors everywhere, GoogleTest is built from its sources
# make test-wheels  that wheel installed into CPython 3.10 and 3.13 (pyenv)
#                 and the pytest suite run there
# make format    clang-format (pinned in requirements-dev.txt) applied to
#                 the C++ sources; make format-check fails on any difference
# make release-matrix  the builds [tool.cibuildwheel] lists for Linux, macOS
#                 and Windows (offline), checked against the release matrix
# make typecheck  the typing stubs: mypy --strict and pyright (strict) on a
#                 typed usage file, and mypy's stubtest against the module
# make bench      the same setup, then the benchmark against dict
# make bench-large  the large-map section alone: iteration, items, list,
#                 copy and construction from a dict at 10^6 and 10^7 str
#                 keys against dict (a few minutes; about 4 GB of memory)
# make bench-probes  group loads per insertion and search against load, both
#                 tables beside uniform and linear probing; CSV, table and
#                 docs/probes.png
# make bench-core the core tables against boost::unordered_flat_map and
#                 absl::flat_hash_map in C++ (Debian packages installed when
#                 missing): medians of CORE_REPEATS interleaved repeats and
#                 ratios to boost; BENCH_ARGS passes options to the binary
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CORE_BUILD := build/core-tests
BENCH_BUILD := build/core-bench
PROBE_BUILD := build/probes
BENCH_PKGS := libbenchmark-dev libboost1.81-dev libabsl-dev
CORE_REPEATS ?= 5
ASAN_BUILD := build/asan-module
VENV_PATH  := PATH="$(CURDIR)/$(VENV)/bin:$$PATH"

.PHONY: bench-large release-matrix format format-check test-portable portable-deps test-wheels-aarch64 wheel test-wheels typecheck test test-asan bench bench-core bench-probes bench-deps core-test py-test install gtest venv clean

test: core-test py-test

venv: $(VENV)/.ready
$(VENV)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# Install those of the Debian packages $(1) that are missing.
apt_install = @missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
  if [ -n "$$missing" ]; then \
    echo "installing$$missing"; \
    $(SUDO) apt-get install -y -q $$missing || \
    { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q $$missing; }; \
  fi

# GoogleTest comes from Debian; install it when it is missing.
gtest:
	$(call apt_install,libgtest-dev)

core-test: venv gtest
	$(VENV_PATH) cmake -S . -B $(CORE_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_BUILD_TESTS=ON \
	  -DVELOMAP_SANITIZE=ON -DVELOMAP_WERROR=ON
	$(VENV_PATH) cmake --build $(CORE_BUILD)
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 $(CORE_BUILD)/velomap_core_tests

install: venv
	$(VPY) -m pip install -q --no-build-isolation -Ccmake.define.VELOMAP_WERROR=ON .

py-test: install
	$(VPY) -m pytest -q tests/python

# The interpreter is not built with the sanitizers, so their runtime is
# preloaded; PYTHONMALLOC=malloc lets them see every allocation, and leak
# detection stays off because the interpreter itself never frees everything.
# The module is imported from the build directory, ahead of the installed one.
test-asan: venv
	$(VENV_PATH) cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DPython_EXECUTABLE="$(CURDIR)/$(VPY)" -DVELOMAP_SANITIZE=ON -DVELOMAP_WERROR=ON
	$(VENV_PATH) cmake --build $(ASAN_BUILD)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONMALLOC=malloc PYTHONPATH="$(CURDIR)/$(ASAN_BUILD)" VELOMAP_DEEP_NEST=100000 \
	  VELOMAP_EXPECT_MODULE="$(CURDIR)/$(ASAN_BUILD)" $(VPY) -m pytest -q -p no:cacheprovider tests/python

WHEEL_ARCHES := x86_64 aarch64
wheel: venv
	$(VPY) -m pip install -q -r requirements-release.txt
	rm -rf dist && mkdir -p dist/raw
	$(VPY) -m build --no-isolation --sdist --wheel --outdir dist/raw .
	$(VENV_PATH) $(VPY) tools/wheels.py dist/raw/*.whl dist $(WHEEL_ARCHES)
	cp dist/raw/*.tar.gz dist/
	rm -rf dist/raw
	$(VENV_PATH) abi3audit --strict --report dist/*.whl
	$(VENV_PATH) twine check --strict dist/*

# The x86_64 wheel, built once for 3.10 and later, installed into the oldest
# and the newest interpreter this machine has, each in a fresh virtual
# environment; the aarch64 wheel installed for Debian's arm64 CPython 3.11,
# which runs under qemu-aarch64-static (its packages unpacked into
# build/aarch64-python, no system change beyond the arm64 package lists).
WHEEL_PYTHONS := 3.10 3.13
PYENV_ROOT ?= $(HOME)/.pyenv
test-wheels: wheel test-wheels-aarch64
	@for v in $(WHEEL_PYTHONS); do \
	  py=$$(ls -d $(PYENV_ROOT)/versions/$$v*/bin/python 2>/dev/null | tail -1); \
	  if [ -z "$$py" ]; then echo "test-wheels: no CPython $$v under $(PYENV_ROOT), skipped"; continue; fi; \
	  echo "test-wheels: $$($$py --version) ($$py)"; \
	  rm -rf build/wheel-venv-$$v && $$py -m venv build/wheel-venv-$$v && \
	  build/wheel-venv-$$v/bin/python -m pip install -q pytest hypothesis dist/*x86_64.whl && \
	  (cd tests/python && ../../build/wheel-venv-$$v/bin/python -m pytest -q -p no:cacheprovider .) || exit 1; \
	done

# Debian packages the portable builds need, installed when missing.
PORTABLE_PKGS := g++-multilib qemu-user-static clang-16 googletest
portable-deps: venv
	$(call apt_install,$(PORTABLE_PKGS))
	$(VPY) -m pip install -q -r requirements-release.txt

GTEST_SOURCE := /usr/src/googletest
PORTABLE := -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_BUILD_TESTS=ON \
  -DVELOMAP_WERROR=ON
ZIG := $(CURDIR)/$(VPY) -m ziglang
# zig's compilers for one target, as plain commands CMake can be given.
build/zig/aarch64-linux-musl/c++ build/zig/aarch64-linux-musl/cc: | venv
	mkdir -p $(@D)
	printf '#!/bin/sh\nexec %s %s -target aarch64-linux-musl "$$@"\n' "$(ZIG)" $(if $(filter c++,$(@F)),c++,cc) > $@
	chmod +x $@

# Configure, build and run the core tests in build/portable-$(1) with the
# CMake options $(2), the test binary started through $(3) (an emulator, or
# nothing).
define portable_core_tests
	$(VENV_PATH) cmake -S . -B build/portable-$(1) $(PORTABLE) $(2)
	$(VENV_PATH) cmake --build build/portable-$(1)
	$(3) build/portable-$(1)/velomap_core_tests --gtest_brief=1
endef
GTEST_FROM_SOURCE := -DVELOMAP_GTEST_SOURCE=$(GTEST_SOURCE)
ZIG_AARCH64 := -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER=$(CURDIR)/build/zig/aarch64-linux-musl/c++ \
  -DCMAKE_C_COMPILER=$(CURDIR)/build/zig/aarch64-linux-musl/cc -DCMAKE_EXE_LINKER_FLAGS=-static

test-portable: portable-deps gtest build/zig/aarch64-linux-musl/c++ build/zig/aarch64-linux-musl/cc
	$(call portable_core_tests,i386,$(GTEST_FROM_SOURCE) -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32,)
	$(call portable_core_tests,aarch64,$(GTEST_FROM_SOURCE) $(ZIG_AARCH64),qemu-aarch64-static)
	$(call portable_core_tests,clang16,$(GTEST_FROM_SOURCE) -DCMAKE_CXX_COMPILER=clang++-16 \
	  -DCMAKE_C_COMPILER=clang-16,)
	$(call portable_core_tests,group,-DVELOMAP_PORTABLE_GROUP=ON,)

RELEASE_MATRIX := cp310-manylinux_x86_64 cp310-manylinux_i686 cp310-manylinux_aarch64 \
  cp310-macosx_x86_64 cp310-macosx_arm64 cp310-win32 cp310-win_amd64
release-matrix: venv
	$(VPY) -m pip install -q -r requirements-release.txt
	@got=$$(for p in linux macos windows; do \
	  $(VENV)/bin/cibuildwheel --print-build-identifiers --platform $$p || exit 1; done | sort | xargs); \
	want=$$(echo $(RELEASE_MATRIX) | tr ' ' '\n' | sort | xargs); \
	echo "cibuildwheel builds: $$got"; \
	[ "$$got" = "$$want" ] || { echo "expected: $$want"; exit 1; }

CXX_SOURCES = $(shell git ls-files '*.cpp' '*.h')
format: venv
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

format-check: venv
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

ARM_ROOT := build/aarch64-python
ARM_PKGS := python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libc6 libexpat1 zlib1g \
  libffi8 libssl3 libbz2-1.0 liblzma5 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libuuid1 \
  libcrypt1 libgcc-s1
ARM_PYTHON := qemu-aarch64-static -L $(CURDIR)/$(ARM_ROOT) $(CURDIR)/$(ARM_ROOT)/usr/bin/python3.11
$(ARM_ROOT)/.ready: | portable-deps
	dpkg --print-foreign-architectures | grep -qx arm64 || \
	  { $(SUDO) dpkg --add-architecture arm64 && $(SUDO) apt-get update -q; }
	rm -rf build/aarch64-debs $(ARM_ROOT) && mkdir -p build/aarch64-debs
	cd build/aarch64-debs && { apt-get download -q $(addsuffix :arm64,$(ARM_PKGS)) || \
	  { $(SUDO) apt-get update -q && apt-get download -q $(addsuffix :arm64,$(ARM_PKGS)); }; }
	for d in build/aarch64-debs/*.deb; do dpkg -x $$d $(ARM_ROOT); done
	touch $@

test-wheels-aarch64: wheel $(ARM_ROOT)/.ready
	rm -rf build/wheel-aarch64
	$(VPY) -m pip install -q --target build/wheel-aarch64 --platform manylinux2014_aarch64 \
	  --python-version 3.11 --implementation cp --only-binary=:all: pytest hypothesis dist/*aarch64.whl
	cd tests/python && PYTHONPATH=$(CURDIR)/build/wheel-aarch64 VELOMAP_TEST_PYTHON="$(ARM_PYTHON)" \
	  VELOMAP_DEEP_NEST=100000 VELOMAP_HYPOTHESIS_EXAMPLES=30 \
	  $(ARM_PYTHON) -m pytest -q -p no:cacheprovider .

typecheck: install
	$(VPY) -m pip install -q -r requirements-typing.txt
	$(VPY) -m mypy --strict tests/typing/usage.py
	$(VENV_PATH) pyright --pythonpath $(CURDIR)/$(VPY) tests/typing/usage.py
	$(VPY) -m mypy.stubtest velomap

bench-deps: venv
	$(VPY) -m pip install -q -r requirements-bench.txt

bench: install bench-deps
	$(VPY) benchmarks/python/bench.py --plot docs/high-load.png

bench-large: install bench-deps
	$(VPY) benchmarks/python/bench.py --large --repeats 3

bench-probes: bench-deps
	$(VENV_PATH) cmake -S . -B $(PROBE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_PROBE_COUNTERS=ON -DVELOMAP_WERROR=ON
	$(VENV_PATH) cmake --build $(PROBE_BUILD)
	$(PROBE_BUILD)/velomap_probes > $(PROBE_BUILD)/probes.csv
	$(VPY) benchmarks/core/plot_probes.py $(PROBE_BUILD)/probes.csv --out docs/probes.png

bench-core: venv
	$(call apt_install,$(BENCH_PKGS))
	$(VENV_PATH) cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_BUILD_BENCH=ON -DVELOMAP_WERROR=ON
	$(VENV_PATH) cmake --build $(BENCH_BUILD)
	$(BENCH_BUILD)/velomap_core_bench --benchmark_min_time=0.1 --benchmark_repetitions=$(CORE_REPEATS) \
	  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_BUILD)/results.json --benchmark_out_format=json $(BENCH_ARGS) >/dev/null
	$(VPY) benchmarks/core/report.py $(BENCH_BUILD)/results.json

clean:
	rm -rf build $(VENV) dist *.egg-info
