#!/usr/bin/env bash
# Checks for reference leaks on a debug interpreter: Debian's python3.11-dbg, whose
# sys.gettotalrefcount() counts every reference, with the module compiled against its headers
# and Py_DEBUG, so that the stable-ABI Py_INCREF/Py_DECREF go through the interpreter's counting
# functions. Py_DEBUG is passed explicitly: /usr/include/python3.11d/Python.h is a symlink into
# /usr/include/python3.11, so its "pyconfig.h" resolves to the release configuration, and a
# module built from those headers alone decrements references without counting them (every
# object it frees then looks like a leak).
#
#   tools/refleak.sh [pytest arguments]     default: the kernel's and the engine's reliability tests
#
# Installs python3.11-dbg, its headers, pytest and pytest-timeout with apt-get when they are
# missing; CMake and Ninja come from PyPI (tools/build_tools.sh). The module is built in
# build/refleak and imported from there, next to the copy of the package sources that the build
# makes.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/apt_install.sh
. tools/build_tools.sh

python=/usr/bin/python3.11-dbg
if [ ! -x "$python" ] || [ ! -f /usr/include/python3.11d/Python.h ] \
    || ! "$python" -c 'import pytest, pytest_timeout' 2>/dev/null || ! command -v g++ >/dev/null; then
  apt_install python3.11-dbg python3.11-dev python3-pytest python3-pytest-timeout g++
fi
build_tools

build=build/refleak
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_WERROR=ON \
  -DCMAKE_CXX_FLAGS=-DPy_DEBUG -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target _tavik _engine

"$python" -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"'
[ $# -gt 0 ] || set -- tests/test_reliability.py tests/test_engine_reliability.py
PYTHONPATH="$PWD/$build/python" "$python" -m pytest -q -p no:cacheprovider -rs "$@"
