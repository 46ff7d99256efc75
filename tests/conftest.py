"""Shared fixtures and helpers: graphs built from node tuples, what can be seen of a graph, and
an argument that converts to an int through `__index__`."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import pytest

from model import NodeSpec, populate
from tavik import Graph, Kind

# One node: its id, its kind and the ids it depends on.
NodeTuple = tuple[str, Kind, Sequence[str]]
MakeGraph = Callable[..., Graph]


def build_graph(nodes: Sequence[NodeSpec], *, built: bool = False) -> Graph:
    """A graph holding `nodes`, registered in the given order, each with its deps set.

    The deps are declared after every node is registered, so a node may depend on a later one.
    With `built` true, `build()` is called at the end.
    """
    g = Graph()
    populate(g, nodes, build=built)
    return g


def snapshot(g: Graph) -> tuple[Any, ...]:
    """Everything the Python side can see of a graph, without changing it: what a failed call
    must leave as it was."""
    nodes = [(i, g.kind_of(i), g.state_of(i), g.deps_of(i), g.check_node(i)) for i in g.node_ids()]
    try:
        order: tuple[list[str], list[str], list[str]] | None = (
            g.topo_order(),
            g.views(),
            g.dirty_nodes(),
        )
    except RuntimeError:
        order = None
    return (len(g), repr(g), nodes, order)


class Index:
    """An object that is not an int but converts to one through `__index__`: it runs `hook`,
    counts the call, then answers `value`."""

    def __init__(self, value: Any, hook: Callable[[], object] = lambda: None) -> None:
        self.value = value
        self.hook = hook
        self.calls = 0

    def __index__(self) -> int:
        self.hook()
        self.calls += 1
        return self.value  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return f"Index({self.value!r})"


@pytest.fixture
def graph() -> Graph:
    """A new, empty graph."""
    return Graph()


def make_abc() -> Graph:
    """A built chain: input a, reactive b on a, view c on b."""
    nodes: list[NodeTuple] = [("a", "input", []), ("b", "reactive", ["a"]), ("c", "view", ["b"])]
    return build_graph(nodes, built=True)


@pytest.fixture
def abc() -> Graph:
    """A built chain: input a, reactive b on a, view c on b."""
    return make_abc()


@pytest.fixture
def make_graph() -> MakeGraph:
    """`make_graph(nodes, built=False)`: see `build_graph`."""
    return build_graph
