"""Shared fixtures: an empty graph, and a builder for small graphs described as node tuples."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Literal

import pytest

from model import populate
from tavik._tavik import Graph

Kind = Literal["input", "source", "reactive", "view"]
# One node: its id, its kind and the ids it depends on.
NodeTuple = tuple[str, Kind, Sequence[str]]
MakeGraph = Callable[..., Graph]


def build_graph(nodes: Sequence[NodeTuple], *, built: bool = False) -> Graph:
    """A graph holding `nodes`, registered in the given order, each with its deps set.

    The deps are declared after every node is registered, so a node may depend on a later one.
    With `built` true, `build()` is called at the end.
    """
    g = Graph()
    populate(g, nodes, build=built)
    return g


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
