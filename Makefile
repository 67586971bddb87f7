# make test: installs what it needs (apt and pip), builds and runs the C++
# core tests through ctest, then the Python tests through pytest.
PYTHON ?= python3
JOBS ?= 2
APT_PACKAGES := g++ make libssl-dev libgtest-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test deps install core-test py-test bench clean test-sanitize

test: deps install core-test py-test

deps:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || \
	  { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq --no-install-recommends $(APT_PACKAGES); }
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore "scikit-build-core>=0.10" "cmake>=3.22" ninja

install:
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
	  -Cbuild-dir=build/wheel ".[test]"

core-test:
	cmake -S . -B build/core -G Ninja -DTALLYVOX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build build/core -j $(JOBS)
	ctest --test-dir build/core --output-on-failure -j $(JOBS)

py-test:
	$(PYTHON) -m pytest -q tests/python

bench: deps
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
	  -Cbuild-dir=build/wheel ".[bench]"
	$(PYTHON) -m bench

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

clean:
	rm -rf build
