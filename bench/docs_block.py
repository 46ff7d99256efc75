"""The benchmark figures of the documentation: one block, the same in README.md and in
docs/benchmarks.md, written there from one run by ``python bench/run.py --docs`` (``make
bench-docs``). Nothing else in either document gives a benchmark figure.

The block sits between two HTML comments, which neither GitHub nor MkDocs shows::

    <!-- benchmark figures: begin ... -->
    ...
    <!-- benchmark figures: end -->
"""

from __future__ import annotations

import datetime
import os
import platform
from collections.abc import Sequence
from pathlib import Path
from typing import Protocol

ROOT = Path(__file__).resolve().parents[1]
#: The documents that show the block.
DOCUMENTS = (ROOT / "README.md", ROOT / "docs" / "benchmarks.md")
BEGIN = (
    "<!-- benchmark figures: begin (written by `make bench-docs` from one run of bench/run.py; "
    "edit the run, not the figures) -->"
)
END = "<!-- benchmark figures: end -->"


class TableRow(Protocol):
    section: str
    workload: str
    tavik: str
    other: str
    ratio: str
    target: str
    verdict: str


def _span(text: str) -> tuple[int, int]:
    """Where the block's content starts and ends in a document's text."""
    begins, ends = text.count(BEGIN), text.count(END)
    if begins != 1 or ends != 1:
        raise ValueError(f"expected one benchmark block, found {begins} starts and {ends} ends")
    start = text.index(BEGIN) + len(BEGIN) + 1
    end = text.index(END)
    if end < start:
        raise ValueError("the benchmark block ends before it starts")
    return start, end


def block_of(text: str) -> str:
    """The content of a document's benchmark block."""
    start, end = _span(text)
    return text[start:end]


def with_block(text: str, content: str) -> str:
    """A document's text with its benchmark block's content replaced."""
    start, end = _span(text)
    return text[:start] + content.rstrip("\n") + "\n" + text[end:]


def cell(text: str) -> str:
    return text.replace("|", "\\|") or " "


def cpu_name() -> str:
    """The processor's model name where the system tells it, else the machine type."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def render(rows: Sequence[TableRow], notes: Sequence[str], command: str, version: str) -> str:
    """The block of one run: where and when it ran, then every row of its report."""
    today = datetime.date.today().isoformat()
    lines = [
        f"Measured on {today} with `{command}`: tavik {version} on CPython "
        f"{platform.python_version()}, {platform.system()} {platform.machine()}, {cpu_name()}, "
        f"{os.cpu_count()} cores; CPU time of the benchmarking thread, best of the runs within "
        "this one run.",
        "",
        "| shape | workload | tavik | compared with | ratio | target | result |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        cells = (r.section, r.workload, r.tavik, r.other, r.ratio, r.target, r.verdict)
        lines.append("| " + " | ".join(cell(c) for c in cells) + " |")
    if notes:
        lines += ["", *(f"- {n}" for n in notes)]
    return "\n".join(lines) + "\n"


def write(content: str, documents: Sequence[Path] = DOCUMENTS) -> None:
    """Put the block into every document that shows it (all of them read first, so that a
    document without its block changes none)."""
    texts = {path: with_block(path.read_text(encoding="utf-8"), content) for path in documents}
    for path, text in texts.items():
        path.write_text(text, encoding="utf-8")
