#!/usr/bin/env bash
# Builds the package in one persistent build tree and installs it into a virtual environment whose
# own CMake, Ninja and scikit-build-core do the build (no build isolation, nothing from PATH but
# the compiler), so that an unchanged tree compiles nothing.
#
#   tools/install.sh PYTHON BUILD_DIR EXTRAS [pip arguments...]
#
# PYTHON is the environment's interpreter, EXTRAS a comma-separated list of the package's extras
# (or "" for none), the pip arguments go on to `pip install` (for example
# `-C cmake.define.TAVIK_TESTS=ON`, which builds the native tests in the same tree).
#
# It prints what it does while it does it: scikit-build-core's steps (lines starting with ***),
# Ninja's progress ([n/m] per compiled or linked file), every line naming an error or a warning,
# and the packages pip fetches; pip's whole verbose output goes to BUILD_DIR.log, which is printed
# if the build fails.
# Only bash builtins are used besides the interpreter, so that a machine with nothing but Python,
# a compiler and make runs it.
set -uo pipefail

python=$1 build=$2 extras=$3
shift 3
target=.
[ -z "$extras" ] || target=".[$extras]"
log="$build.log"
log_dir=${log%/*}
[ "$log_dir" = "$log" ] ||
  "$python" -c 'import os, sys; os.makedirs(sys.argv[1], exist_ok=True)' "$log_dir"

printf '== building tavik in %s and installing %s into %s (full log: %s)\n' \
  "$build" "$target" "${python%/bin/*}" "$log"
: >"$log"
"$python" -m pip install --verbose --no-build-isolation --disable-pip-version-check \
  -C build-dir="$build" "$@" "$target" 2>&1 |
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    line=${line#"${line%%[! ]*}"} # pip indents the backend's output
    case $line in
      '***'* | '['[0-9]*/[0-9]*']'* | 'ninja: no work to do.' | 'Collecting '* | \
        'Successfully installed'* | \
        *error:* | *Error:* | *warning:* | *'CMake Error'* | *'CMake Warning'*)
        printf '%s\n' "$line"
        ;;
    esac
  done
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  printf '\n== the build failed; its whole output (%s):\n' "$log" >&2
  while IFS= read -r line; do printf '%s\n' "$line"; done <"$log" >&2
fi
exit "$status"
