#!/usr/bin/env bash
# Run the test suite against the one stable-ABI manylinux wheel in dist/ on every supported CPython
# found under pyenv (3.11, 3.12, 3.13): the same binary must import and pass everywhere.
# Usage: tools/test_interpreters.sh [VERSION ...]   (default: 3.11 3.12 3.13; build the wheel
# first with tools/check_package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

versions=("$@")
[[ ${#versions[@]} -gt 0 ]] || versions=(3.11 3.12 3.13)

shopt -s nullglob
wheels=(dist/tavik-*-cp311-abi3-manylinux_*_x86_64.whl)
if [[ ${#wheels[@]} -ne 1 ]]; then
  echo "expected one wheel in dist/, found ${#wheels[@]}: run tools/check_package.sh first" >&2
  exit 1
fi
wheel=${wheels[0]}

root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
status=0
for v in "${versions[@]}"; do
  candidates=("$root"/versions/"$v".*/bin/python3)
  if [[ ${#candidates[@]} -eq 0 ]]; then
    echo "== CPython $v: not found under $root/versions" >&2
    status=1
    continue
  fi
  python=${candidates[-1]}
  venv=build/venv-$v
  echo "== CPython $v ($python) with $wheel"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel" \
    pytest pytest-timeout hypothesis mypy
  # Run from a copy of the tests outside the source tree, so that `tavik` can only come from
  # the installed wheel.
  copy=build/tests-$v
  rm -rf "$copy" && mkdir -p "$copy" && cp -r tests docs pyproject.toml README.md CMakeLists.txt "$copy"/
  (cd "$copy" && "$OLDPWD/$venv/bin/python" -m pytest -q -p no:cacheprovider tests) || status=1
done
exit $status
