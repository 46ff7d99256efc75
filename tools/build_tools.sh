# Sourced by the tools that configure a CMake build of their own:
#   . tools/build_tools.sh && build_tools
# Puts CMake (3.26 or later) and Ninja from PyPI first on PATH, from the virtual environment
# build/tools, which it creates with PYTHON (default python3) when missing; nothing is taken from
# the system's CMake, which may be older (Debian 12's is 3.25).
build_tools() {
  local venv=build/tools
  if [ ! -x "$venv/bin/cmake" ] || [ ! -x "$venv/bin/ninja" ] || [ ! -x "$venv/bin/ctest" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "cmake>=3.26" ninja
  fi
  PATH="$PWD/$venv/bin:$PATH"
  export PATH
}
