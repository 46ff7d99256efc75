"""Adapters that run the benchmark workloads on tavik and on each peer.

Each peer offers the same four steps, on the node list of a shape (id, kind, deps):
``construct`` registers every node and then every node's dependencies, ``build`` returns the
topological order (a list of ids), ``prepare`` turns a built graph into whatever ``schedule``
needs, and ``schedule`` returns the seed and everything downstream of it, in that order.
A peer that cannot do a step has ``None`` there. Optional peers that are not installed are
reported by ``missing_peers``.
"""

from __future__ import annotations

import graphlib
import importlib.util
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from dag import KindName
from pygraph import PyGraph

from tavik import Graph

NodeList = Sequence[tuple[str, KindName, list[str]]]


@dataclass
class Peer:
    name: str
    construct: Callable[[NodeList], Any]
    build: Callable[[Any], list[str]] | None
    #: Called once, untimed, after a verified build: returns the object `schedule` works on.
    prepare: Callable[[Any, list[str]], Any] | None = None
    schedule: Callable[[Any, str], list[str]] | None = None
    #: Whether `build` consumes the constructed object (then it is rebuilt, untimed, per run).
    build_consumes: bool = False
    #: Whether the order must equal tavik's; otherwise only the set and validity are checked.
    same_order: bool = True


# ---- tavik and the pure-Python graph -----------------------------------------------------------


def construct_tavik(nodes: NodeList) -> Graph:
    g = Graph()
    add, set_deps = g.add_node, g.set_deps
    for id, kind, _ in nodes:
        add(id, kind)
    for id, _, deps in nodes:
        set_deps(id, deps)
    return g


def construct_pure(nodes: NodeList) -> PyGraph:
    g = PyGraph()
    add, set_deps = g.add_node, g.set_deps
    for id, kind, _ in nodes:
        add(id, kind)
    for id, _, deps in nodes:
        set_deps(id, deps)
    return g


def build_native(g: Any) -> list[str]:
    g.build()
    order: list[str] = g.topo_order()
    return order


def schedule_native(g: Any, seed: str) -> list[str]:
    out: list[str] = g.dirty_subgraph([seed])
    return out


TAVIK = Peer("tavik", construct_tavik, build_native, lambda g, _: g, schedule_native)
PURE = Peer("pure Python", construct_pure, build_native, lambda g, _: g, schedule_native)


# ---- networkx ----------------------------------------------------------------------------------


@dataclass
class NxGraph:
    graph: Any
    index: dict[str, int]


def construct_nx(nodes: NodeList) -> NxGraph:
    import networkx as nx

    g: nx.DiGraph[str] = nx.DiGraph()
    index: dict[str, int] = {}
    for i, (id, kind, _) in enumerate(nodes):
        g.add_node(id, kind=kind)
        index[id] = i
    for id, _, deps in nodes:
        g.add_edges_from([(d, id) for d in deps])
    return NxGraph(g, index)


def build_nx(g: NxGraph) -> list[str]:
    import networkx as nx

    return list(nx.lexicographical_topological_sort(g.graph, key=g.index.__getitem__))


def prepare_nx(g: NxGraph, order: list[str]) -> tuple[Any, dict[str, int]]:
    return g.graph, {n: k for k, n in enumerate(order)}


def schedule_nx(prepared: tuple[Any, dict[str, int]], seed: str) -> list[str]:
    import networkx as nx

    graph, position = prepared
    reached: set[str] = nx.descendants(graph, seed)
    reached.add(seed)
    return sorted(reached, key=position.__getitem__)


# ---- rustworkx ---------------------------------------------------------------------------------


@dataclass
class RxGraph:
    graph: Any
    index: dict[str, int]  # id -> rustworkx node index
    keys: dict[str, str]  # id -> registration index as a sortable string


def construct_rx(nodes: NodeList) -> RxGraph:
    import rustworkx as rx

    g = rx.PyDiGraph()
    index: dict[str, int] = {}
    keys: dict[str, str] = {}
    for i, (id, _, _) in enumerate(nodes):
        index[id] = g.add_node(id)
        keys[id] = "%010d" % i
    for id, _, deps in nodes:
        k = index[id]
        g.add_edges_from_no_data([(index[d], k) for d in deps])
    return RxGraph(g, index, keys)


def build_rx(g: RxGraph) -> list[str]:
    import rustworkx as rx

    order: list[str] = rx.lexicographical_topological_sort(g.graph, key=g.keys.__getitem__)
    return order


def prepare_rx(g: RxGraph, order: list[str]) -> tuple[Any, dict[str, int], list[int], list[str]]:
    n = len(order)
    position = [0] * n
    ids = [""] * n
    for k, id in enumerate(order):
        node = g.index[id]
        position[node] = k
        ids[node] = id
    return g.graph, g.index, position, ids


def schedule_rx(prepared: tuple[Any, dict[str, int], list[int], list[str]], seed: str) -> list[str]:
    import rustworkx as rx

    graph, index, position, ids = prepared
    s = index[seed]
    reached: set[int] = rx.descendants(graph, s)
    reached.add(s)
    return [ids[k] for k in sorted(reached, key=position.__getitem__)]


# ---- graphlib ----------------------------------------------------------------------------------


def construct_graphlib(nodes: NodeList) -> graphlib.TopologicalSorter[str]:
    ts: graphlib.TopologicalSorter[str] = graphlib.TopologicalSorter()
    for id, _, deps in nodes:
        ts.add(id, *deps)
    return ts


def build_graphlib(ts: graphlib.TopologicalSorter[str]) -> list[str]:
    return list(ts.static_order())


# ---- registry ----------------------------------------------------------------------------------

NETWORKX = Peer("networkx", construct_nx, build_nx, prepare_nx, schedule_nx)
RUSTWORKX = Peer("rustworkx", construct_rx, build_rx, prepare_rx, schedule_rx)
GRAPHLIB = Peer(
    "graphlib", construct_graphlib, build_graphlib, build_consumes=True, same_order=False
)

OPTIONAL = {"networkx": NETWORKX, "rustworkx": RUSTWORKX}


def available_peers() -> tuple[list[Peer], list[str]]:
    """The peers to compare tavik with, and a note for each optional one that is missing."""
    peers = [PURE]
    notes: list[str] = []
    for module, peer in OPTIONAL.items():
        if importlib.util.find_spec(module) is None:
            notes.append(f"{peer.name} is not installed: skipped (pip install '.[bench]')")
        else:
            peers.append(peer)
    peers.append(GRAPHLIB)
    return peers, notes
