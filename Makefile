# `make demo` and `make test` do all the set-up on a fresh machine.
PY := .venv/bin/python

.PHONY: setup demo test bench clean

setup:
	./scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

test: setup
	$(PY) -m pytest -q tests

bench: setup
	$(PY) benchmarks/run.py

clean:
	rm -rf build .venv
