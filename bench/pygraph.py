"""The same graph operations written the way an engine author would in pure Python.

Dicts keyed by id, lists of ids for edges, Kahn's algorithm over ``heapq`` by registration
index, a breadth-first closure sorted by position, a state dict, and the same dependency
signature fold (wrapping 64-bit FNV-style arithmetic) as the native kernel. It has the same
method names and results as ``tavik.Graph`` so that one driver runs against both.
"""

from __future__ import annotations

import heapq
from collections.abc import Iterable, Sequence

MASK64 = (1 << 64) - 1
SIGNATURE_BASIS = 0x14650FB0739D0383
SIGNATURE_PRIME = 0x100000001B3
KINDS = frozenset(("input", "source", "reactive", "view"))
CLEAN, DIRTY, COMPUTING = 0, 1, 2


class PyGraph:
    def __init__(self) -> None:
        self.index: dict[str, int] = {}
        self.ids: list[str] = []
        self.kind: dict[str, str] = {}
        self.deps: dict[str, list[str]] = {}
        self.state: dict[str, int] = {}
        self.signature: dict[str, int | None] = {}
        self.content_hash: dict[str, int] = {}
        self.epoch: dict[str, int] = {}
        self.clock = 0
        self.built = False
        self.order: list[str] = []
        self.position: dict[str, int] = {}
        self.dependents: dict[str, list[str]] = {}

    def __len__(self) -> int:
        return len(self.ids)

    # ---- registry -----------------------------------------------------------------------------

    def add_node(self, id: str, kind: str) -> None:
        if id in self.index:
            raise ValueError(f"duplicate node {id!r}")
        if kind not in KINDS:
            raise ValueError(f"invalid kind {kind!r}")
        self.index[id] = len(self.ids)
        self.ids.append(id)
        self.kind[id] = kind
        self.deps[id] = []
        self.state[id] = DIRTY
        self.signature[id] = None
        self.content_hash[id] = 0
        self.epoch[id] = 0
        self.built = False

    def set_deps(self, id: str, deps: Sequence[str]) -> None:
        if id not in self.index:
            raise KeyError(id)
        index = self.index
        out: list[str] = []
        for d in deps:
            if d == id:
                raise ValueError(f"self dependency {id!r}")
            if d not in index:
                raise KeyError(d)
            if d not in out:
                out.append(d)
        self.deps[id] = out
        self.built = False

    # ---- build and order ----------------------------------------------------------------------

    def build(self) -> None:
        index, ids = self.index, self.ids
        dependents: dict[str, list[str]] = {n: [] for n in ids}
        indegree: dict[str, int] = {}
        for n, ds in self.deps.items():
            indegree[n] = len(ds)
            for d in ds:
                dependents[d].append(n)
        heap = [index[n] for n, k in indegree.items() if k == 0]  # ascending: a valid heap
        order: list[str] = []
        while heap:
            n = ids[heapq.heappop(heap)]
            order.append(n)
            for m in dependents[n]:
                k = indegree[m] - 1
                indegree[m] = k
                if k == 0:
                    heapq.heappush(heap, index[m])
        if len(order) < len(ids):
            raise ValueError("cycle")
        self.dependents = dependents
        self.order = order
        self.position = {n: k for k, n in enumerate(order)}
        self.built = True

    def topo_order(self) -> list[str]:
        return list(self.order)

    # ---- propagation --------------------------------------------------------------------------

    def dirty_subgraph(self, seeds: Iterable[str]) -> list[str]:
        dependents = self.dependents
        reached = list(dict.fromkeys(seeds))
        seen = set(reached)
        for n in reached:  # the list grows while it is walked: a FIFO queue
            for m in dependents[n]:
                if m not in seen:
                    seen.add(m)
                    reached.append(m)
        reached.sort(key=self.position.__getitem__)
        return reached

    def mark_dirty(self, seeds: Iterable[str]) -> list[str]:
        reached = self.dirty_subgraph(seeds)
        state = self.state
        for n in reached:
            state[n] = DIRTY
        return reached

    def dirty_nodes(self) -> list[str]:
        state = self.state
        return [n for n in self.order if state[n] == DIRTY]

    # ---- memo bookkeeping ---------------------------------------------------------------------

    def check_node(self, id: str) -> tuple[str, bool, int]:
        kind, content_hash, epoch = self.kind, self.content_hash, self.epoch
        h = SIGNATURE_BASIS
        for d in self.deps[id]:
            v = content_hash[d] if kind[d] == "input" else epoch[d]
            h = ((h ^ v) * SIGNATURE_PRIME) & MASK64
        s = self.signature[id]
        return kind[id], s is None or s != h, h

    def needs_recompute(self, id: str, input_hash: int) -> bool:
        s = self.signature[id]
        return s is None or s != input_hash

    def commit_node(self, id: str, signature: int) -> None:
        self.clock = (self.clock + 1) & MASK64
        self.state[id] = CLEAN
        self.signature[id] = signature
        self.epoch[id] = self.clock

    def skip_node(self, id: str, signature: int) -> None:
        self.state[id] = CLEAN
        self.signature[id] = signature

    def commit_input(self, id: str, content_hash: int) -> None:
        self.state[id] = CLEAN
        self.signature[id] = content_hash
        self.content_hash[id] = content_hash

    def state_of(self, id: str) -> str:
        return ("clean", "dirty", "computing")[self.state[id]]
