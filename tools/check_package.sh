#!/usr/bin/env bash
# Build the one stable-ABI wheel and check it: its name, its contents, the project metadata, the
# ABI it really uses, and that it installs and imports with the right version and type stubs.
#
# The checking tools live in a throwaway virtual environment under build/, so nothing is added
# to the project's own .venv. The wheel lands in dist/ (older tavik wheels there are removed).
# Usage: tools/check_package.sh   (PYTHON selects the interpreter, default python3)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
work=build/check-package
rm -rf "$work"
mkdir -p "$work" dist
rm -f dist/tavik-*.whl

step() { printf '\n== %s\n' "$*"; }

step "tools: check-wheel-contents, validate-pyproject, abi3audit (throwaway venv $work/venv)"
"$PYTHON" -m venv "$work/venv"
tools="$work/venv/bin"
"$tools/python" -m pip install --quiet --disable-pip-version-check \
  check-wheel-contents "validate-pyproject[all]" abi3audit

# The package's version and the kernel's, each from its one source.
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/tavik/_version.py)
kernel=$(sed -n 's/^project(tavik VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version && -n $kernel ]] || { echo "no package or kernel version found" >&2; exit 1; }

step "validate-pyproject pyproject.toml"
"$tools/validate-pyproject" pyproject.toml

step "build the wheel (tavik $version, kernel $kernel)"
# A build directory of its own, so a concurrent `make install` is not disturbed.
"$tools/python" -m pip wheel . -w dist --no-deps --quiet --disable-pip-version-check \
  --config-settings=build-dir="$work/cmake"

shopt -s nullglob
wheels=(dist/tavik-*.whl)
expected=(dist/tavik-"$version"-cp311-abi3-*.whl)
if [[ ${#wheels[@]} -ne 1 || ${#expected[@]} -ne 1 ]]; then
  echo "expected exactly one wheel dist/tavik-$version-cp311-abi3-*.whl, found: ${wheels[*]:-none}" >&2
  exit 1
fi
wheel=${wheels[0]}
echo "$wheel"

step "check-wheel-contents"
# Compared with the package sources, so a file missing from the wheel is reported; the compiled
# module is the one file that is only in the wheel (W102).
"$tools/check-wheel-contents" --package python/tavik --ignore W102 "$wheel"

step "abi3audit"
"$tools/abi3audit" --strict --verbose "$wheel"

step "files in the wheel"
"$tools/python" - "$wheel" <<'PY'
import sys
import zipfile

names = set(zipfile.ZipFile(sys.argv[1]).namelist())
required = {"tavik/__init__.py", "tavik/py.typed", "tavik/_tavik.pyi", "tavik/_tavik.abi3.so"}
missing = sorted(required - names)
if missing:
    sys.exit(f"missing from the wheel: {', '.join(missing)}")
print("\n".join(sorted(names)))
PY

step "install the wheel and import it"
"$tools/python" -m pip install --quiet --disable-pip-version-check --no-deps "$wheel"
(cd "$work" && venv/bin/python - "$version" "$kernel" <<'PY'
import importlib.metadata
import sys

import tavik

version, kernel = sys.argv[1:]
found = (tavik.__version__, importlib.metadata.version("tavik"), tavik.kernel_version())
if found != (version, version, kernel):
    sys.exit(f"version mismatch: __version__, metadata, kernel_version() = {found}, "
             f"want {(version, version, kernel)}")
print(f"tavik {version} (kernel {kernel}) from {tavik.__file__}")
PY
)

step "ok: $wheel"
