VENV ?= .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
NATIVE_BUILD := build/native

.PHONY: setup demo test native-test python-test ci

setup:
	./scripts/bootstrap.sh

# The main job: kolta denoise on the built-in clip, with its figures.
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
	./scripts/pytest_no_leaks.sh $(PY) -q

ci: test typecheck test-py311 test-py313 wheel reliability

.PHONY: bench bench-py311 bench-requirements typecheck test-py311 test-py313 wheel

# Benchmarks: each ratio beside its goal.
bench: setup bench-requirements
	$(PY) bench/run_all.py

bench-py311: setup bench-requirements
	VENV=.venv311 PYTHON=python3 ./scripts/bootstrap.sh
	$(PY) bench/run_all.py --other-python .venv311/bin/python

# The noise suppression benchmark's scorers and reference (PESQ, STOI,
# RNNoise, WER); here only, so that the tests never depend on them.
bench-requirements:
	$(PY) -m pip install -q -r requirements-bench.txt

# stubtest of the installed module against its stub, mypy on examples/.
typecheck: setup
	./scripts/typecheck.sh

# The self-contained manylinux wheel: built, repaired, checked with ldd and
# smoke-tested in fresh environments under CPython 3.10 and 3.13.
wheel: setup
	./scripts/wheel_smoke.sh

# The Python suite and the type checks under CPython 3.11 and 3.13, less the
# tests that do not depend on the interpreter: the service's programs (the
# service, a browser, PostgreSQL, HAProxy), the engine's network and speech
# behaviour. The 3.10 run and the sanitizer run cover them.
OTHER_PYTHONS_SKIP := $(addprefix --ignore=tests/,test_server.py test_server_stream.py \
	test_server_transcripts.py test_server_page.py test_scaleout.py test_stream_faults.py \
	test_engine_sign_in.py test_speech.py test_speech_children.py test_languages.py \
	test_alignment.py test_codecs.py)

test-py311:
	./scripts/test_python.sh 3.11 $(OTHER_PYTHONS_SKIP)

test-py313:
	./scripts/test_python.sh 3.13 $(OTHER_PYTHONS_SKIP)

# Sanitizers (ThreadSanitizer on the engine, ASan+UBSan on the whole suite)
# and the stress tests.
.PHONY: reliability
reliability: setup
	./scripts/reliability.sh
