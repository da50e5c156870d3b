# make test       fresh machine to green: venv, GoogleTest, C++ core tests (with
#                 address/UB sanitizers), package build and install, pytest;
#                 every build treats warnings as errors
# make test-asan  the extension itself built with address/UB sanitizers, and
#                 the pytest suite run under it
# make wheel      the sdist and the one abi3 wheel in dist/, the wheel repaired
#                 to its manylinux tag (auditwheel) and checked with abi3audit
#                 and twine
# make test-wheels  that wheel installed into CPython 3.10 and 3.13 (pyenv)
#                 and the pytest suite run there
# make format    clang-format (pinned in requirements-dev.txt) applied to
#                 the C++ sources; make format-check fails on any difference
# make typecheck  the typing stubs: mypy --strict and pyright (strict) on a
#                 typed usage file, and mypy's stubtest against the module
# make bench      the same setup, then the benchmark against dict
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

.PHONY: format format-check wheel test-wheels typecheck test test-asan bench bench-core bench-probes bench-deps core-test py-test install gtest venv clean

test: core-test py-test

venv: $(VENV)/.ready
$(VENV)/.ready: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# GoogleTest comes from Debian; install it when it is missing.
gtest:
	@if ! dpkg -s libgtest-dev >/dev/null 2>&1; then \
	  echo "installing libgtest-dev"; \
	  $(SUDO) apt-get install -y -q libgtest-dev || \
	  { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q libgtest-dev; }; \
	fi

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

wheel: venv
	$(VPY) -m pip install -q -r requirements-release.txt
	rm -rf dist && mkdir -p dist/raw
	$(VPY) -m build --no-isolation --sdist --wheel --outdir dist/raw .
	$(VENV_PATH) auditwheel repair --wheel-dir dist dist/raw/*.whl
	cp dist/raw/*.tar.gz dist/
	rm -rf dist/raw
	$(VENV_PATH) abi3audit --strict --report dist/*.whl
	$(VENV_PATH) twine check --strict dist/*

# The wheel built once for 3.10 and later, installed into the oldest and the
# newest interpreter this machine has, each in a fresh virtual environment.
WHEEL_PYTHONS := 3.10 3.13
PYENV_ROOT ?= $(HOME)/.pyenv
test-wheels: wheel
	@for v in $(WHEEL_PYTHONS); do \
	  py=$$(ls -d $(PYENV_ROOT)/versions/$$v*/bin/python 2>/dev/null | tail -1); \
	  if [ -z "$$py" ]; then echo "test-wheels: no CPython $$v under $(PYENV_ROOT), skipped"; continue; fi; \
	  echo "test-wheels: $$($$py --version) ($$py)"; \
	  rm -rf build/wheel-venv-$$v && $$py -m venv build/wheel-venv-$$v && \
	  build/wheel-venv-$$v/bin/python -m pip install -q pytest hypothesis dist/*.whl && \
	  (cd tests/python && ../../build/wheel-venv-$$v/bin/python -m pytest -q -p no:cacheprovider .) || exit 1; \
	done

CXX_SOURCES = $(shell git ls-files '*.cpp' '*.h')
format: venv
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

format-check: venv
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

typecheck: install
	$(VPY) -m pip install -q -r requirements-typing.txt
	$(VPY) -m mypy --strict tests/typing/usage.py
	$(VENV_PATH) pyright --pythonpath $(CURDIR)/$(VPY) tests/typing/usage.py
	$(VPY) -m mypy.stubtest velomap

bench-deps: venv
	$(VPY) -m pip install -q -r requirements-bench.txt

bench: install bench-deps
	$(VPY) benchmarks/python/bench.py --plot docs/high-load.png

bench-probes: bench-deps
	$(VENV_PATH) cmake -S . -B $(PROBE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_PROBE_COUNTERS=ON -DVELOMAP_WERROR=ON
	$(VENV_PATH) cmake --build $(PROBE_BUILD)
	$(PROBE_BUILD)/velomap_probes > $(PROBE_BUILD)/probes.csv
	$(VPY) benchmarks/core/plot_probes.py $(PROBE_BUILD)/probes.csv --out docs/probes.png

bench-core: venv
	@missing=""; for p in $(BENCH_PKGS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing$$missing"; \
	  $(SUDO) apt-get install -y -q $$missing || \
	  { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q $$missing; }; \
	fi
	$(VENV_PATH) cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_BUILD_BENCH=ON -DVELOMAP_WERROR=ON
	$(VENV_PATH) cmake --build $(BENCH_BUILD)
	$(BENCH_BUILD)/velomap_core_bench --benchmark_min_time=0.1 --benchmark_repetitions=$(CORE_REPEATS) \
	  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_BUILD)/results.json --benchmark_out_format=json $(BENCH_ARGS) >/dev/null
	$(VPY) benchmarks/core/report.py $(BENCH_BUILD)/results.json

clean:
	rm -rf build $(VENV) dist *.egg-info
