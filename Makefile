# make test: installs what it needs (apt and pip), builds and runs the C++
# core tests through ctest, then the Python tests through pytest.
PYTHON ?= python3
JOBS ?= 2
APT_PACKAGES := g++ make libssl-dev libgtest-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test deps install core-test py-test bench clean

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

clean:
	rm -rf build
