"""One very large graph, in a fresh process: construction, build, a full mark_dirty, topo_order
and memory.

``python bench/huge.py N`` constructs the layered shape of N nodes (ids and dependency lists
generated on the fly), builds it, marks every node dirty (seeded with every node that has no
dependencies, so the whole graph is reached) and takes the cached order, and prints one JSON object: CPU time of each step
in ns, the growth of the resident set size over construction and build (the graph alone), the
peak resident set size up to the end of build, and that of the whole run (which includes the
lists of new strings that mark_dirty and topo_order return).
"""

from __future__ import annotations

import gc
import json
import sys
import time

from dag import Shape, node_id
from memprobe import rss_bytes

from tavik import Graph


def peak_rss() -> int:
    # The high-water mark of this process's own memory (getrusage's maximum can carry the
    # parent's over from before the exec).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise SystemExit("no VmHWM in /proc/self/status")


def main() -> None:
    n = int(sys.argv[1])
    shape = Shape("layered", n)
    gc.collect()
    gc.disable()  # nothing here makes cycles; the collector would only walk the id lists
    before = rss_bytes()
    out: dict[str, float] = {"n": n}

    t0 = time.thread_time_ns()
    g = Graph()
    add, set_deps = g.add_node, g.set_deps
    for i in range(n):
        add(node_id(i), shape.kind(i))
    roots = []  # the nodes without dependencies: mark_dirty of them reaches every node
    for i in range(n):
        deps = shape.deps(i)
        set_deps(node_id(i), deps)
        if not deps:
            roots.append(node_id(i))
    out["construct"] = time.thread_time_ns() - t0

    t0 = time.thread_time_ns()
    g.build()
    out["build"] = time.thread_time_ns() - t0
    out["bytes"] = rss_bytes() - before
    out["peak_build"] = peak_rss()

    t0 = time.thread_time_ns()
    dirty = g.mark_dirty(roots)
    out["mark_dirty"] = time.thread_time_ns() - t0
    out["dirty"] = len(dirty)
    if len(dirty) != n:
        raise SystemExit(f"mark_dirty of every root reached {len(dirty)} of {n} nodes")
    del dirty

    t0 = time.thread_time_ns()
    order = g.topo_order()
    out["topo_order"] = time.thread_time_ns() - t0
    if len(order) != n:
        raise SystemExit(f"topo_order returned {len(order)} ids for {n} nodes")
    del order

    out["peak"] = peak_rss()
    print(json.dumps(out))


if __name__ == "__main__":
    main()
