# Task runner. `make demo` and `make test` work on a fresh machine: they find
# CPython 3.14 (or assemble one, see tools/bootstrap-python.sh), create .venv
# and install the package into it.
VENV_PYTHON := .venv/bin/python

.PHONY: demo test venv clean

venv:
	tools/setup-venv.sh test

demo: venv
	$(VENV_PYTHON) -m quor_camera_sdk.cameras demo

test: venv
	$(VENV_PYTHON) -m pytest

clean:
	rm -rf .venv build
