# `make demo` and `make test` do all the set-up on a fresh machine.
PY := .venv/bin/python

.PHONY: setup demo test bench sanitize clean

setup:
	./scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

# The whole suite; the hostile-callback tests again with CPython's debug
# allocator (freed memory is overwritten, so a use after free crashes) and
# its development checks; then the suite again (less the release check) with
# both modules built under AddressSanitizer and UndefinedBehaviorSanitizer.
test: setup
	$(PY) -m pytest -q tests
	PYTHONMALLOC=debug $(PY) -X dev -m pytest -q -p no:cacheprovider tests/test_hostile.py
	./scripts/sanitize.sh -m "not release" tests

bench: setup
	$(PY) benchmarks/run.py

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer, in
# its own build and virtual environment (.venv-sanitize).
sanitize: setup
	./scripts/sanitize.sh

clean:
	rm -rf build .venv
