"""Builds and imports the calibration module ``_tavik_noop`` (bench/calib/noop_module.c).

It is compiled on demand with the interpreter's own C compiler and flags into bench/out/,
for the stable ABI of CPython 3.11 like tavik itself, at the same optimisation level as
tavik's release build. It is never part of the installed package.
"""

from __future__ import annotations

import importlib
import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path
from types import ModuleType

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "calib" / "noop_module.c"
OUT = HERE / "out"
TARGET = OUT / "_tavik_noop.abi3.so"


def build() -> Path:
    if TARGET.exists() and TARGET.stat().st_mtime >= SOURCE.stat().st_mtime:
        return TARGET
    OUT.mkdir(exist_ok=True)
    cc = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    include = sysconfig.get_paths()["include"]
    cmd = [
        *cc,
        "-O3",
        "-DNDEBUG",
        "-fPIC",
        "-shared",
        "-fvisibility=hidden",
        "-DPy_LIMITED_API=0x030B0000",
        f"-I{include}",
        str(SOURCE),
        "-o",
        str(TARGET),
    ]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(
            "could not build the calibration module:\n" + " ".join(cmd) + "\n" + result.stderr
        )
    return TARGET


def load() -> ModuleType:
    build()
    if str(OUT) not in sys.path:
        sys.path.insert(0, str(OUT))
    return importlib.import_module("_tavik_noop")
