# make test   fresh machine to green: venv, GoogleTest, C++ core tests (with
#             address/UB sanitizers), package build and install, pytest
# make bench  the same setup, then the benchmark against dict
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CORE_BUILD := build/core-tests

.PHONY: test bench core-test py-test install gtest venv clean

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
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(CORE_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVELOMAP_BUILD_MODULE=OFF -DVELOMAP_BUILD_TESTS=ON \
	  -DVELOMAP_SANITIZE=ON
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(CORE_BUILD)
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 $(CORE_BUILD)/velomap_core_tests

install: venv
	$(VPY) -m pip install -q --no-build-isolation .

py-test: install
	$(VPY) -m pytest -q tests/python

bench: install
	$(VPY) benchmarks/python/bench.py

clean:
	rm -rf build $(VENV) dist *.egg-info
