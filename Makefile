VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: setup demo test ci

setup:
	./scripts/bootstrap.sh

# The main job: the streaming demo.
demo: setup
	$(PY) examples/stream_demo.py

# The whole test suite.
test: setup
	$(PY) -m pytest -q

ci: test
