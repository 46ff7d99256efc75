"""The documents agree with the product: every error message in their tables is the one the call
raises, and the benchmark figures shown in README.md are the ones of docs/benchmarks.md."""

from __future__ import annotations

import copy

import importlib.util
import re
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import pytest

from tavik import CycleError, Engine, Graph, NodeError

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
BENCHMARKS = ROOT / "docs" / "benchmarks.md"

# ---- error tables ------------------------------------------------------------------------------

# The documents whose tables give error messages: a header row naming a "message" column, rows
# whose first cell is the exception type. A message cell holds the message in backticks, maybe
# followed by a remark in parentheses.
ERROR_TABLES = [ROOT / "docs" / "engine.md", ROOT / "docs" / "protocol.md", README]


def split_row(line: str) -> list[str]:
    cells = re.split(r"(?<!\\)\|", line.strip().strip("|"))
    return [c.strip().replace("\\|", "|") for c in cells]


def error_rows(path: Path) -> list[tuple[str, str]]:
    """(exception name, message) for each row of each error table of a document."""
    rows: list[tuple[str, str]] = []
    column = None
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.startswith("|"):
            column = None
            continue
        cells = split_row(line)
        if column is None:
            names = [c.lower() for c in cells]
            column = next((i for i, n in enumerate(names) if n.startswith("message")), -1)
        elif column >= 0 and not set(line) <= set("|-: "):
            kind = re.fullmatch(r"`(\w+)`", cells[0])
            message = re.match(r"`([^`]+)`", cells[column])
            assert kind and message, f"{path.name}: unreadable error row: {line}"
            rows.append((kind[1], message[1]))
    return rows


def raised_inside_a_function() -> None:
    """An engine call from inside a node's function: the RuntimeError that the function sees."""
    e = Engine()
    e.input("a", 1)
    seen: list[RuntimeError] = []

    def fn(a: int) -> int:
        try:
            e.set("a", 2)
        except RuntimeError as err:
            seen.append(err)
        return a

    e.reactive("x", ["a"], fn)
    e["x"]
    raise seen[0]


def engine(*steps: Callable[[Engine], object]) -> Callable[[], object]:
    """A call on a fresh engine: every step in turn; the last one is expected to raise."""

    def call() -> object:
        e = Engine()
        for step in steps:
            step(e)
        return None

    return call


def graph(*steps: Callable[[Graph], object]) -> Callable[[], object]:
    def call() -> object:
        g = Graph()
        for step in steps:
            step(g)
        return None

    return call


def fail(_: int) -> int:
    raise ValueError("bad input")


# For each document, each row's message, and the call that the row describes.
CALLS: dict[str, dict[str, Callable[[], object]]] = {
    "engine.md": {
        'unknown node: "x"': engine(lambda e: e["x"]),
        'node already registered: "x"': engine(lambda e: e.input("x", 1), lambda e: e.input("x", 2)),
        'cannot set reactive node "x": it is not an input': engine(
            lambda e: e.input("a", 1),
            lambda e: e.reactive("x", ["a"], abs),
            lambda e: e.set("x", 2),
        ),
        'cannot invalidate input "x": set its value instead': engine(
            lambda e: e.input("x", 1), lambda e: e.invalidate("x")
        ),
        'cannot remove node "x": "y", "z" depend on it': engine(
            lambda e: e.input("x", 1),
            lambda e: e.reactive("y", ["x"], abs),
            lambda e: e.view("z", ["x"], abs),
            lambda e: e.remove("x"),
        ),
        'node "x" has not been computed yet': engine(
            lambda e: e.input("a", 1),
            lambda e: e.reactive("x", ["a"], abs),
            lambda e: e.explain("x"),
        ),
        'node "c" would close a dependency cycle: "c" -> "a" -> "c"': engine(
            lambda e: e.input("x", 1),
            lambda e: e.reactive("c", ["x"], abs),
            lambda e: e.reactive("a", ["c"], abs),
            lambda e: e.redefine("c", deps=["a"]),
        ),
        'the function of node "x" raised ValueError: bad input': engine(
            lambda e: e.input("a", 1), lambda e: e.reactive("x", ["a"], fail), lambda e: e["x"]
        ),
        'Engine.set() called while the engine is computing node "x": a node\'s function reads '
        "its dependencies through its arguments only": raised_inside_a_function,
        "node ids are str, not int": engine(lambda e: e.input(1, 0)),  # type: ignore[arg-type]
        "cannot copy an Engine: it owns its nodes' functions and values": engine(
            lambda e: copy.copy(e)
        ),
    },
    "protocol.md": {
        'unknown node: "x"': graph(lambda g: g.state_of("x")),
        'node already registered: "x"': graph(
            lambda g: g.add_node("x", "input"), lambda g: g.add_node("x", "view")
        ),
        'invalid node kind "Input" (expected input|source|reactive|view)': graph(
            lambda g: g.add_node("x", "Input")  # type: ignore[arg-type]
        ),
        'node "x" cannot depend on itself': graph(
            lambda g: g.add_node("x", "reactive"), lambda g: g.set_deps("x", ["x"])
        ),
        "dependency cycle detected involving: a, b": graph(
            lambda g: g.add_node("a", "reactive"),
            lambda g: g.add_node("b", "reactive"),
            lambda g: g.set_deps("a", ["b"]),
            lambda g: g.set_deps("b", ["a"]),
            lambda g: g.build(),
        ),
        "graph has not been built; call build() after registering nodes": graph(
            lambda g: g.topo_order()
        ),
    },
}
EXCEPTIONS: dict[str, type[BaseException]] = {
    e.__name__: e
    for e in (KeyError, ValueError, TypeError, RuntimeError, OverflowError, CycleError, NodeError)
}
ROWS = [(path.name, kind, message) for path in ERROR_TABLES for kind, message in error_rows(path)]


def test_the_tables_are_found_and_every_call_is_a_row() -> None:
    documented = {name: {m for n, _, m in ROWS if n == name} for name in CALLS}
    assert all(documented.values())
    assert documented == {name: set(calls) for name, calls in CALLS.items()}


@pytest.mark.parametrize(("document", "kind", "message"), ROWS, ids=[r[2][:50] for r in ROWS])
def test_documented_message_is_the_one_raised(document: str, kind: str, message: str) -> None:
    call = CALLS.get(document, {}).get(message)
    assert call is not None, f"{document}: no call for the row {kind}: {message}"
    with pytest.raises(EXCEPTIONS[kind]) as info:
        call()
    assert type(info.value) is EXCEPTIONS[kind]
    # A KeyError's str() adds quotes: its message is its first argument, as for every other.
    assert info.value.args[0] == message


# ---- benchmark figures -------------------------------------------------------------------------


def bench_docs() -> ModuleType:
    """bench/docs_block.py, which writes the block (not part of a source distribution)."""
    path = ROOT / "bench" / "docs_block.py"
    if not path.is_file():
        pytest.skip("bench/ is not here (a source distribution)")
    found = importlib.util.spec_from_file_location("docs_block", path)
    assert found and found.loader
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def benchmark_block(path: Path) -> str:
    """The benchmark figures of a document: what stands between its two markers."""
    blocks = re.findall(
        r"^<!-- benchmark figures: begin .*?-->\n(.*?)^<!-- benchmark figures: end -->$",
        path.read_text(encoding="utf-8"),
        re.MULTILINE | re.DOTALL,
    )
    assert len(blocks) == 1, f"{path.name}: expected one block of benchmark figures"
    return str(blocks[0])


def test_readme_shows_the_figures_of_the_benchmarks_page() -> None:
    page = benchmark_block(BENCHMARKS)
    assert benchmark_block(README) == page
    assert re.search(r"\| `?build`? \| [\d.]+ (ms|us) \|", page)  # a table, with figures


def test_writing_the_block_changes_it_alone() -> None:
    docs = bench_docs()
    text = f"before\n\n{docs.BEGIN}\nold rows\n{docs.END}\n\nafter\n"
    new = docs.with_block(text, "| a | b |\n|---|---|\n| 1 | 2 |\n")
    assert new == f"before\n\n{docs.BEGIN}\n| a | b |\n|---|---|\n| 1 | 2 |\n{docs.END}\n\nafter\n"
    assert docs.block_of(new) == "| a | b |\n|---|---|\n| 1 | 2 |\n"
    assert docs.block_of(README.read_text(encoding="utf-8")) == benchmark_block(README)
    for broken in ("no markers", f"{docs.BEGIN}\nonly the start\n", f"{docs.END}\n{docs.BEGIN}\n",
                   f"{docs.BEGIN}\n{docs.END}\n{docs.BEGIN}\n{docs.END}\n"):
        with pytest.raises(ValueError, match="benchmark block"):
            docs.block_of(broken)
