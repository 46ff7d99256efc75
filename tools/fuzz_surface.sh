#!/usr/bin/env bash
# Runs the atheris fuzzer of the Python surface of tavik.Graph (tools/fuzz_surface.py).
#
#   tools/fuzz_surface.sh [runs] [extra libFuzzer flags...]     default: 100000 runs
#
# Uses the virtual environment .venv (override with PYTHON=...), in which the package must be
# installed (`make install`), and installs atheris there when it is missing. The corpus lives in
# build/fuzz_surface/corpus and grows from run to run; a failing input is left in
# build/fuzz_surface/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-100000}"
shift || true

python="${PYTHON:-.venv/bin/python}"
if ! "$python" -c "import atheris" 2>/dev/null; then
  "$python" -m pip install --quiet atheris
fi

out=build/fuzz_surface
mkdir -p "$out/corpus"
exec "$python" tools/fuzz_surface.py -runs="$runs" -max_len=256 -timeout=20 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$out/" "$@" "$out/corpus"
