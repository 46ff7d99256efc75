#!/usr/bin/env bash
# Fails when a C++ source differs from the committed .clang-format style.
# Installs Debian's clang-format when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/apt_install.sh

if ! command -v clang-format >/dev/null; then
  apt_install clang-format
fi

git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 'tests/native/*.hpp' 'bench/calib/*.c' \
  | xargs clang-format --dry-run --Werror
echo "C++ sources match .clang-format"
