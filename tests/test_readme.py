"""README.md and the documentation site stay true: each of their Python examples runs, and the API
table covers the class.

Every ```python fence of README.md and of docs/*.md is a complete program and runs on its own, in
a fresh namespace; the examples check their own claims with `assert`. When mypy is installed they
must also pass `mypy --strict`, so that they can be copied into typed code as they are.
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
DOCS = ROOT / "docs"
PROTOCOL = DOCS / "protocol.md"
DOCUMENTS = [README, *sorted(DOCS.glob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
API_HEADING = "\n## API reference\n"


def shown(path: Path) -> str:
    """The path of a document as the project names it."""
    return path.relative_to(ROOT).as_posix()


def python_examples(path: Path) -> list[tuple[int, str]]:
    """(line number of the opening fence, code) for each ```python fence of a document."""
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCE.finditer(text)]


EXAMPLES = [(path, line, code) for path in DOCUMENTS for line, code in python_examples(path)]
# The documents that hold the table of every call, with what it returns and raises.
API_TABLES = [path for path in DOCUMENTS if API_HEADING in path.read_text(encoding="utf-8")]


@pytest.mark.parametrize("path", [README, DOCS / "getting-started.md", PROTOCOL], ids=shown)
def test_document_has_python_examples(path: Path) -> None:
    assert any(p == path for p, _, _ in EXAMPLES), f"no ```python fences found in {shown(path)}"


@pytest.mark.parametrize(
    ("path", "line", "code"), EXAMPLES, ids=[f"{shown(p)}:{n}" for p, n, _ in EXAMPLES]
)
def test_example_runs(path: Path, line: int, code: str) -> None:
    # Pad with blank lines so a traceback points at the document's own line numbers.
    compiled = compile("\n" * line + code, str(path), "exec")
    exec(compiled, {"__name__": "doc_example"})


def test_protocol_page_holds_the_api_table() -> None:
    assert PROTOCOL in API_TABLES


@pytest.mark.parametrize("path", API_TABLES, ids=[shown(p) for p in API_TABLES])
def test_api_reference_lists_every_method(path: Path) -> None:
    text = path.read_text(encoding="utf-8")
    start = text.index(API_HEADING)
    end = text.find("\n## ", start + len(API_HEADING))
    table = text[start : end if end >= 0 else len(text)]
    methods = sorted(name for name in dir(Graph) if not name.startswith("_"))
    missing = [name for name in methods if f"| `{name}(" not in table]
    assert missing == []
    for protocol in ("`len(g)`", "`id in g`", "`repr(g)`", "`kernel_version()`"):
        assert f"| {protocol} |" in table


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_examples_pass_mypy_strict(tmp_path: Path) -> None:
    files = []
    for path, line, code in EXAMPLES:
        example = tmp_path / f"{path.stem.replace('-', '_')}_line_{line}.py"
        example.write_text(code, encoding="utf-8")
        files.append(str(example))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", *files],
        cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(ROOT / "python")},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
