#!/usr/bin/env bash
# Fails when a C++ source differs from the committed .clang-format style.
# Installs Debian's clang-format when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang-format
fi

git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 'tests/native/*.hpp' 'bench/calib/*.c' \
  | xargs clang-format --dry-run --Werror
echo "C++ sources match .clang-format"
