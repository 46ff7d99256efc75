# Entry points for a fresh machine: `make demo` runs the demo, `make test` runs every test.
# Both need only Python 3.11+, a C++20 compiler and the package index: they create the virtual
# environment .venv, install the build tools into it (CMake, Ninja, scikit-build-core: nothing is
# taken from PATH but the compiler), then build the package in one persistent build tree,
# build/dev, and install it into .venv. The native tests are built in the same tree, so a change
# is compiled once, and a tree with nothing changed compiles nothing.

SHELL  := /bin/bash
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
BUILD  ?= build/dev
JOBS   ?= 2
# Compiler warnings as errors in the build tree (CI sets TAVIK_WERROR=ON). One value for every
# target, so that switching between them never recompiles.
TAVIK_WERROR ?= OFF

TOOLS       := $(VENV)/.build-tools
BUILD_FLAGS  = -C cmake.define.TAVIK_WERROR=$(TAVIK_WERROR) -C build.tool-args=-j$(JOBS)
# Builds and installs the package with the extras given as the first argument ("" for none).
INSTALL      = $(SHELL) tools/install.sh $(PY) $(BUILD)
CTEST        = $(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure

.PHONY: demo test install native-test pytest typecheck check-package docs bench bench-check \
  bench-docs clean

# The environment and its build tools; scikit-build-core would fetch CMake and Ninja into an
# isolated environment of every build, which is what a persistent build tree cannot work with.
$(TOOLS):
	@echo "== creating $(VENV) with the build tools (pip, scikit-build-core, CMake, Ninja)"
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check --upgrade pip \
	  "scikit-build-core>=0.10" "cmake>=3.26" ninja
	@$(PY) -c 'import pathlib, sys; pathlib.Path(sys.argv[1]).touch()' $@

install: $(TOOLS)
	$(INSTALL) "" $(BUILD_FLAGS)

demo: $(TOOLS)
	$(INSTALL) "" $(BUILD_FLAGS)
	$(PY) -m tavik

test: $(TOOLS)
	$(INSTALL) test $(BUILD_FLAGS) -C cmake.define.TAVIK_TESTS=ON
	@echo "== native tests (ctest)"
	$(CTEST)
	@echo "== pytest"
	$(PY) -m pytest

native-test: $(TOOLS)
	$(INSTALL) "" $(BUILD_FLAGS) -C cmake.define.TAVIK_TESTS=ON
	$(CTEST)

pytest: $(TOOLS)
	$(INSTALL) test $(BUILD_FLAGS)
	$(PY) -m pytest

typecheck: $(TOOLS)
	$(INSTALL) test $(BUILD_FLAGS)
	$(PY) -m mypy python/tavik tests
	$(PY) -m mypy.stubtest tavik._tavik tavik._engine

check-package:
	PYTHON=$(PYTHON) JOBS=$(JOBS) bash tools/check_package.sh

# The documentation site, into site/; warnings are errors (mkdocs.yml sets strict as well).
docs: $(TOOLS)
	$(INSTALL) docs $(BUILD_FLAGS)
	NO_MKDOCS_2_WARNING=1 $(PY) -m mkdocs build --strict

bench: $(TOOLS)
	$(INSTALL) bench $(BUILD_FLAGS)
	$(PY) bench/run.py $(BENCH_ARGS)

bench-check: $(TOOLS)
	$(INSTALL) bench,test $(BUILD_FLAGS)
	$(PY) -m mypy bench
	$(PY) bench/run.py --quick

# A full run (long: run it on an idle machine) whose table becomes the benchmark figures of
# README.md and docs/benchmarks.md (bench/docs_block.py).
bench-docs: $(TOOLS)
	$(INSTALL) bench $(BUILD_FLAGS)
	$(PY) bench/run.py --docs $(BENCH_ARGS)

clean:
	rm -rf build site $(VENV)
