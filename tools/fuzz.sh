#!/usr/bin/env bash
# Builds the libFuzzer harness of the graph kernel with clang (ASan + UBSan) and runs it.
#
#   tools/fuzz.sh [seconds] [extra libFuzzer flags...]     default: 60 seconds
#
# FUZZ_SANITIZERS=undefined builds without AddressSanitizer, about twice as fast, for long runs
# (into build/fuzz-undefined; the default is address,undefined in build/fuzz).
# Installs clang and compiler-rt with apt-get when they are missing; CMake and Ninja come from
# PyPI (tools/build_tools.sh). The corpus lives in build/fuzz/corpus and grows from run to run; a
# crash leaves its input in build/fuzz/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/apt_install.sh
. tools/build_tools.sh

seconds="${1:-60}"
shift || true

if ! command -v clang++ >/dev/null || ! clang++ -fsanitize=fuzzer -x c++ /dev/null -o /dev/null \
    -Wl,--unresolved-symbols=ignore-all >/dev/null 2>&1; then
  apt_install clang libclang-rt-dev python3-dev
fi

python="${PYTHON:-python3}"
python="$(command -v "$python")"
build_tools
sanitizers="${FUZZ_SANITIZERS:-address,undefined}"
build=build/fuzz
[ "$sanitizers" = "address,undefined" ] || build="build/fuzz-${sanitizers//,/-}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DTAVIK_FUZZ=ON -DTAVIK_FUZZ_SANITIZERS="$sanitizers" -DTAVIK_WERROR=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j 2 --target fuzz_kernel

mkdir -p "$build/corpus"
cd "$build"
exec ./fuzz_kernel -max_total_time="$seconds" -max_len=128 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "$@" corpus
