# `make demo` and `make test` do all the set-up on a fresh machine.
# Each supported CPython found (3.12 always, 3.13 when installed) has its own
# environment: .venv for 3.12, .venv-3.13 for 3.13.
PY := .venv/bin/python

.PHONY: setup demo test wheel bench sanitize types clean

setup:
	./scripts/setup.sh

demo:
	./scripts/setup.sh 3.12
	$(PY) examples/demo.py

# On every interpreter found: the whole suite (in parallel, less the tests
# that measure time, which run alone afterwards); the hostile-callback tests
# again with CPython's debug allocator (freed memory is overwritten, so a use
# after free crashes) and its development checks; the suite again with the
# modules built under AddressSanitizer and UndefinedBehaviorSanitizer; mypy
# --strict and stubtest. Then once the release check: the repaired wheels
# installed into fresh environments.
test:
	./scripts/test.sh

# The wheels of every interpreter found, repaired to a manylinux tag, in dist/.
wheel: setup
	./scripts/wheel.sh

bench: setup
	./scripts/bench.sh

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer, in
# its own build and virtual environment (.venv-sanitize), on 3.12.
sanitize: setup
	./scripts/sanitize.sh

types: setup
	./scripts/check_types.sh

clean:
	rm -rf build dist .venv .venv-3.13 .venv-sanitize .venv-sanitize-3.13
