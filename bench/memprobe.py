"""Resident memory per node of one implementation, measured in a fresh process.

``python bench/memprobe.py IMPL N`` constructs and builds the layered shape of N nodes with
IMPL (tavik, pure, networkx or rustworkx; or the engines: engine, pyengine) and prints one JSON object with the growth of the
resident set size (from /proc/self/statm) across construction and build (for an engine:
definition of every node and the first stabilize, every value the same small int). Ids and dependency
lists are generated on the fly from the node index, so the probe itself keeps no list of ids:
everything counted is held by the implementation (or is its allocator's slack).
"""

from __future__ import annotations

import gc
import json
import os
import sys
from typing import Any

from dag import Shape, node_id

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def construct(impl: str, shape: Shape) -> Any:
    n = shape.n
    if impl in ("tavik", "pure"):
        if impl == "tavik":
            from tavik import Graph

            g: Any = Graph()
        else:
            from pygraph import PyGraph

            g = PyGraph()
        for i in range(n):
            g.add_node(node_id(i), shape.kind(i))
        for i in range(n):
            g.set_deps(node_id(i), shape.deps(i))
        g.build()
        return g
    if impl == "networkx":
        import networkx as nx

        graph: nx.DiGraph[str] = nx.DiGraph()
        index: dict[str, int] = {}
        for i in range(n):
            id = node_id(i)
            graph.add_node(id, kind=shape.kind(i))
            index[id] = i
        for i in range(n):
            id = node_id(i)
            graph.add_edges_from([(d, id) for d in shape.deps(i)])
        order = list(nx.lexicographical_topological_sort(graph, key=index.__getitem__))
        return graph, index, order
    if impl == "rustworkx":
        import rustworkx as rx

        dag = rx.PyDiGraph()
        ix: dict[str, int] = {}
        keys: dict[str, str] = {}
        for i in range(n):
            id = node_id(i)
            ix[id] = dag.add_node(id)
            keys[id] = "%010d" % i
        for i in range(n):
            k = ix[node_id(i)]
            dag.add_edges_from_no_data([(ix[d], k) for d in shape.deps(i)])
        order = rx.lexicographical_topological_sort(dag, key=keys.__getitem__)
        return dag, ix, keys, order
    if impl in ("engine", "pyengine"):
        if impl == "engine":
            from tavik import Engine

            e: Any = Engine()
        else:
            from pyengine import PyEngine

            e = PyEngine()
        # Every value is the same small int, so the engine's own structures are what grows.
        for layer in range(shape.layers):
            for slot in range(shape.width):
                i = shape.index_of(layer, slot)
                if i >= n:
                    continue
                if layer == 0:
                    e.input(node_id(i), 0)
                else:
                    e.reactive(node_id(i), shape.deps(i), zero)
        e.stabilize()
        return e
    raise SystemExit(f"unknown implementation {impl!r}")


def zero(*values: object) -> int:
    return 0


def main() -> None:
    impl, n = sys.argv[1], int(sys.argv[2])
    shape = Shape("layered", n)
    # Import everything the construction needs before the first reading.
    construct(impl, Shape("layered", 64))
    gc.collect()
    before = rss_bytes()
    kept = construct(impl, shape)
    gc.collect()
    after = rss_bytes()
    del kept
    print(json.dumps({"impl": impl, "n": n, "bytes": after - before}))


if __name__ == "__main__":
    main()
