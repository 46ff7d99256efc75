"""README.md stays true: each of its Python examples runs, and its API table covers the class.

Every ```python fence is a complete program and runs on its own, in a fresh namespace; the
examples check their own claims with `assert`. When mypy is installed they must also pass
`mypy --strict`, so that they can be copied into typed code as they are.
"""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tavik import Graph

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_examples() -> list[tuple[int, str]]:
    """(line number of the opening fence, code) for each ```python fence of the README."""
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCE.finditer(text)]


EXAMPLES = python_examples()


def test_readme_has_python_examples() -> None:
    assert EXAMPLES, "no ```python fences found in README.md"


@pytest.mark.parametrize(("line", "code"), EXAMPLES, ids=[f"README.md:{n}" for n, _ in EXAMPLES])
def test_example_runs(line: int, code: str) -> None:
    # Pad with blank lines so a traceback points at the README's own line numbers.
    compiled = compile("\n" * line + code, str(README), "exec")
    exec(compiled, {"__name__": "readme_example"})


def test_api_reference_lists_every_method() -> None:
    text = README.read_text(encoding="utf-8")
    table = text[text.index("## API reference") : text.index("## Determinism")]
    methods = sorted(name for name in dir(Graph) if not name.startswith("_"))
    missing = [name for name in methods if f"| `{name}(" not in table]
    assert missing == []
    for protocol in ("`len(g)`", "`id in g`", "`repr(g)`", "`kernel_version()`"):
        assert f"| {protocol} |" in table


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_examples_pass_mypy_strict(tmp_path: Path) -> None:
    files = []
    for line, code in EXAMPLES:
        path = tmp_path / f"readme_line_{line}.py"
        path.write_text(code, encoding="utf-8")
        files.append(str(path))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", *files],
        cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(ROOT / "python")},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
