# Task runner. `make demo` and `make test` work on a fresh machine: they find
# CPython 3.14 (or assemble one, see tools/bootstrap-python.sh), create .venv
# and install the package into it.
VENV_PYTHON := .venv/bin/python
# Where `leaks`, `sanitize` and `wheel` keep their builds.
export QUOR_BUILD_ROOT ?= $(CURDIR)/build

.PHONY: demo test venv clean leaks sanitize bench wheel

venv:
	tools/setup-venv.sh test

demo: venv
	$(VENV_PYTHON) -m quor_camera_sdk.cameras demo

test: venv
	$(VENV_PYTHON) -m pytest

# Reference and memory-block leaks, on the debug interpreter (tools/leakcheck.py).
leaks:
	python=$$(tools/build-debug.sh) && PYTHONPATH=$(QUOR_BUILD_ROOT)/debug/site "$$python" tools/leakcheck.py

# The test suite against ASan + UBSan builds of the extension modules.
sanitize:
	tools/sanitize.sh

# Import, per-call and discovery timings of the extension modules; prints figures.
bench: venv
	$(VENV_PYTHON) benchmarks/bench.py

# dist/: the sdist and a manylinux wheel, checked as a package index would and
# smoke-tested in fresh environments (tools/build-wheel.sh).
wheel:
	tools/build-wheel.sh

clean:
	rm -rf .venv build dist
