# Entry points for a fresh machine: `make demo` runs the demo, `make test` runs every test.
# Both create the virtual environment .venv and build and install the package into it.

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
JOBS   ?= 2

.PHONY: demo test install native-test pytest typecheck check-package docs bench bench-check clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet ".[test]"

demo: install
	$(PY) -m tavik

native-test:
	cmake -S . -B build/native -G Ninja -DTAVIK_TESTS=ON -DTAVIK_WERROR=ON -DPython_EXECUTABLE=$(PYTHON)
	cmake --build build/native -j $(JOBS)
	ctest --test-dir build/native --output-on-failure

pytest: install
	$(PY) -m pytest

typecheck: install
	$(PY) -m mypy python/tavik tests
	$(PY) -m mypy.stubtest tavik._tavik tavik._engine

check-package:
	PYTHON=$(PYTHON) JOBS=$(JOBS) bash tools/check_package.sh

test: native-test pytest

# The documentation site, into site/; warnings are errors (mkdocs.yml sets strict as well).
docs: install
	$(PY) -m pip install --quiet ".[docs]"
	NO_MKDOCS_2_WARNING=1 $(PY) -m mkdocs build --strict

bench: install
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) bench/run.py $(BENCH_ARGS)

bench-check: install
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) -m mypy bench
	$(PY) bench/run.py --quick

clean:
	rm -rf build site $(VENV)
