#!/usr/bin/env bash
# Runs the atheris fuzzer of tavik.Engine against the pure-Python engine (tools/fuzz_engine.py).
#
#   tools/fuzz_engine.sh [runs] [extra libFuzzer flags...]     default: 100000 runs
#
# Uses the virtual environment .venv (override with PYTHON=...), in which the package must be
# installed (`make install`), and installs atheris there when it is missing. The corpus lives in
# build/fuzz_engine/corpus and grows from run to run; a failing input is left in
# build/fuzz_engine/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-100000}"
shift || true

python="${PYTHON:-.venv/bin/python}"
if ! "$python" -c "import atheris" 2>/dev/null; then
  "$python" -m pip install --quiet atheris
fi

out=build/fuzz_engine
mkdir -p "$out/corpus"
exec "$python" tools/fuzz_engine.py -runs="$runs" -max_len=512 -len_control=0 -timeout=20 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$out/" "$@" "$out/corpus"
