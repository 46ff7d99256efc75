#!/usr/bin/env bash
# Runs every test against a module built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/sanitize.sh            (PYTHON selects a CPython 3.11+ interpreter; default python3)
#
# One build with TAVIK_SANITIZE=ON (build tree build/asan) makes the module, installed into its
# own virtual environment (.venv-asan), and the native tests.
# 1. The native tests, under ctest.
# 2. The whole pytest suite against the module, with the sanitizer runtimes preloaded into the
#    (uninstrumented) interpreter, the interpreter's own allocator replaced by malloc so that ASan
#    sees every Python object, and leak detection on.
# Any sanitizer report fails the run. Needs gcc/g++ with libasan and libubsan (installed with
# apt-get when missing); CMake, Ninja and scikit-build-core come from PyPI, into the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/apt_install.sh

python="${PYTHON:-python3}"
venv=.venv-asan

if ! echo 'int main(){}' | g++ -fsanitize=address,undefined -x c++ - -o /dev/null 2>/dev/null; then
  apt_install g++ libasan8 libubsan1 python3-dev
fi

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja

echo "== module and native tests (ASan + UBSan), one build in build/asan, installed into $venv"
bash tools/install.sh "$venv/bin/python" build/asan test -C cmake.define.TAVIK_SANITIZE=ON \
  -C cmake.define.TAVIK_WERROR=ON -C cmake.define.TAVIK_TESTS=ON \
  -C cmake.build-type=RelWithDebInfo -C build.tool-args=-j2

echo "== native tests (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$venv/bin/ctest" --test-dir build/asan --output-on-failure

echo "== pytest against the sanitized module"
asan_lib="$(g++ -print-file-name=libasan.so)"
ubsan_lib="$(g++ -print-file-name=libubsan.so)"
# The interpreter is not instrumented, so the runtimes must be loaded first. CPython 3.11 keeps
# what it allocates at startup reachable from static roots, so leak detection needs no
# suppressions: anything it reports is a real leak.
LD_PRELOAD="$asan_lib $ubsan_lib" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=99:detect_stack_use_after_return=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=98 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
