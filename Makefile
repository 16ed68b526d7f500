VENV ?= .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
NATIVE_BUILD := build/native

.PHONY: setup demo test native-test python-test ci

setup:
	./scripts/bootstrap.sh

# The main job: the streaming demo.
demo: setup
	$(PY) examples/stream_demo.py

# The whole test suite: the engine's native tests, then the Python suites.
test: setup native-test python-test

native-test:
	$(CMAKE) -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DKOLTA_BUILD_MODULE=OFF -DKOLTA_BUILD_NATIVE_TESTS=ON >/dev/null
	$(CMAKE) --build $(NATIVE_BUILD) -j2
	$(CTEST) --test-dir $(NATIVE_BUILD) --output-on-failure -j2

python-test:
	$(PY) -m pytest -q

ci: test
