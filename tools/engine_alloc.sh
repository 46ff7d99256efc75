#!/usr/bin/env bash
# Fails the engine module's own C++ allocations: builds tavik._engine with the test allocator
# (TAVIK_ENGINE_ALLOC_HOOK) in build/alloc and runs the engine's reliability tests against it,
# which then fail every C++ allocation inside every core entry point in turn.
#
#   tools/engine_alloc.sh [pytest arguments]     default: tests/test_engine_reliability.py
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/build_tools.sh
build_tools

# The environment `make test` made has pytest and hypothesis.
python=$PWD/.venv/bin/python
build=build/alloc
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_WERROR=ON \
  -DTAVIK_ENGINE_ALLOC_HOOK=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target _tavik _engine

[ $# -gt 0 ] || set -- tests/test_engine_reliability.py
PYTHONPATH="$PWD/$build/python" "$python" -m pytest -q -p no:cacheprovider -rs "$@"
