# Two commands a newcomer needs: `make demo` and `make test`.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
CPP_BUILD := build/cpp
CPP_SAN_BUILD := build/cpp-sanitize

.PHONY: all install demo test test-python test-cpp sanitize sanitize-build bench gtest clang fuzz-build fuzz fuzz-loop fuzz-coverage clean

all: install

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Installs the package (a real, non-editable install) and its test dependencies.
install: $(PY)
	$(PY) -m pip install -q scikit-build-core cmake ninja pytest Pillow
	$(PY) -m pip install -q --no-build-isolation .

demo: install
	$(PY) -m Tavrune demo

test: install test-cpp test-python

test-python:
	cd tests && ../$(PY) -m pytest -q

# GoogleTest comes from Debian's libgtest-dev, installed when missing.
gtest:
	@test -f /usr/include/gtest/gtest.h || (apt-get update -qq && apt-get install -y -qq libgtest-dev)

test-cpp: gtest
	cmake -S . -B $(CPP_BUILD) -DTAVRUNE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

# The whole suite with the extension and the kernels built under AddressSanitizer
# and UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so
# the runtime is preloaded and leak detection (which would report the
# interpreter's own allocations) is off.
SAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
sanitize-build:
	test -x $(SAN_PY) || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q scikit-build-core cmake ninja pytest Pillow
	$(SAN_PY) -m pip install -q --no-build-isolation -C cmake.define.TAVRUNE_SANITIZE=ON \
		-C cmake.build-type=Debug -C build-dir=build/sanitize .

sanitize: gtest sanitize-build
	cmake -S . -B $(CPP_SAN_BUILD) -DTAVRUNE_BUILD_TESTS=ON -DTAVRUNE_SANITIZE=ON >/dev/null
	cmake --build $(CPP_SAN_BUILD) -j2
	ctest --test-dir $(CPP_SAN_BUILD) --output-on-failure
	cd tests && LD_PRELOAD="$(SAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ../$(SAN_PY) -m pytest -q -p no:cacheprovider

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
	CXX=clang++ $(FUZZ_PY) -m pip install -q --no-build-isolation -C cmake.define.TAVRUNE_SANITIZE=ON \
		-C cmake.define.TAVRUNE_FUZZ=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/fuzz .

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_PY) $(FUZZ_RUNTIME) $(FUZZ_SECONDS) $(FUZZ_OPTIONS)

# The seeded mutation loop through the same harness, FUZZ_INPUTS inputs, with
# the extension of make sanitize (g++, no clang needed).
FUZZ_INPUTS ?= 100000
FUZZ_SEED ?= 0
fuzz-loop: sanitize-build
	cd fuzz && LD_PRELOAD="$(SAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ../$(SAN_PY) mutation_loop.py $(FUZZ_INPUTS) $(FUZZ_SEED)

# Line and branch coverage of the extension's sources by the seed corpus and
# what fuzz runs added to it, replayed through the harness without the fuzzer.
COV_VENV := .venv-coverage
COV_PY := $(COV_VENV)/bin/python
fuzz-coverage: clang
	test -x $(COV_PY) || $(PYTHON) -m venv $(COV_VENV)
	$(COV_PY) -m pip install -q scikit-build-core cmake ninja
	CXX=clang++ $(COV_PY) -m pip install -q --no-build-isolation -C cmake.define.TAVRUNE_COVERAGE=ON -C install.strip=false \
		-C build-dir=build/coverage .
	rm -f build/coverage/*.profraw
	mkdir -p build/fuzz-corpus
	cd fuzz && LLVM_PROFILE_FILE=$(CURDIR)/build/coverage/replay-%p.profraw ../$(COV_PY) replay.py corpus ../build/fuzz-corpus
	llvm-profdata merge -o build/coverage/replay.profdata build/coverage/*.profraw
	llvm-cov report $$(ls $(COV_VENV)/lib/python3*/site-packages/Tavrune/simpleImage_ext*.so) \
		-instr-profile=build/coverage/replay.profdata $(CURDIR)/src/ext

bench: install
	$(PY) bench/bench_pixels.py
	$(PY) bench/bench_decode.py
	$(PY) bench/bench_encode.py

clean:
	rm -rf build dist $(VENV) $(SAN_VENV) $(FUZZ_VENV) $(COV_VENV)
