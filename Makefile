# Every target sets itself up: a virtual environment with CPython 3.12 (found under pyenv, or
# python3.12 on PATH), the build tools, the package built from these sources, then the job.
# PYTHON=3.13 does the same with CPython 3.13, in .venv-3.13 and build/cp313.
#   make test   build and run the test suite
#   make run    the main job: the workload analyzer over the bundled examples, the host probe, then
#               the profile of one bundled example program
#   make bench  the benchmark report, with the peer libraries installed
#   make sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build, same tests

PYTHON    ?= 3.12
INTERPRETER ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/$(PYTHON)*/bin/python$(PYTHON)) \
                           $(shell command -v python$(PYTHON) 2>/dev/null))
VENV      ?= $(if $(filter 3.12,$(PYTHON)),.venv,.venv-$(PYTHON))
BUILD_DIR ?= build/cp$(subst .,,$(PYTHON))
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip --disable-pip-version-check
BUILD_TOOLS := "scikit-build-core>=0.10" ninja
CONFIG_SETTINGS ?=
# A subset of the modules to build, e.g. MODULES="slabworks;interlock" (empty: all of them). Always
# passed, so that a build directory never keeps an earlier subset.
MODULES ?=
# The make targets also build klavrix.testing.extkit_probe, which the tests use.
BUILD_FLAGS  = --no-build-isolation --config-settings=build-dir=$(BUILD_DIR) \
               --config-settings=cmake.define.KLAVRIX_TEST_PROBE=ON \
               "--config-settings=cmake.define.KLAVRIX_MODULES=$(MODULES)" \
               $(foreach setting,$(CONFIG_SETTINGS),"--config-settings=$(setting)")
# What pytest runs: the whole suite unless narrowed, e.g. TESTS=tests/test_tallies.py.
TESTS ?= tests
SANITIZE_VENV ?= .venv-sanitize
SANITIZE_BUILD_DIR ?= build/sanitize

.PHONY: test run bench install sanitize clean has-python

# Succeeds when the chosen interpreter exists (for scripts that run optional versions).
has-python:
	@test -n "$(INTERPRETER)"

$(VENV)/.tools: pyproject.toml
	@test -n "$(INTERPRETER)" || { echo "CPython $(PYTHON) not found (pyenv or python$(PYTHON) on PATH)"; exit 1; }
	$(INTERPRETER) -m venv $(VENV)
	$(PIP) install -q $(BUILD_TOOLS)
	touch $@

# Rebuilds incrementally in $(BUILD_DIR); installs the test dependencies with the package.
install: $(VENV)/.tools
	$(PIP) install -q $(BUILD_FLAGS) ".[test]"

test: install
	$(PY) -m pytest -q $(TESTS)

bench: install
	$(PIP) install -q $(BUILD_FLAGS) ".[bench]"
	$(PY) benchmarks/run.py $(BENCH_ARGS)

# The main job: the workload analyzer over the bundled examples, the host's capabilities, then
# one bundled example program run under the profiler (its report on stderr).
run: install
	$(VENV)/bin/klavrix analyze examples
	$(VENV)/bin/klavrix probe
	$(VENV)/bin/klavrix profile examples/primes_and_checksums.py

# Python itself is not instrumented, so the sanitizer runtime is preloaded; leak reports would
# list the interpreter's own allocations and are off.
sanitize:
	$(MAKE) install VENV=$(SANITIZE_VENV) BUILD_DIR=$(SANITIZE_BUILD_DIR) \
	    CONFIG_SETTINGS="cmake.define.KLAVRIX_SANITIZE=ON $(CONFIG_SETTINGS)"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider $(TESTS)

clean:
	rm -rf build .venv .venv-*
