"""Benchmark graph shapes, generated deterministically from a seed.

A shape is described node by node: ``node_id(i)`` is the id of the node registered i-th, and
``Shape.deps(i)`` the ids it depends on. Both are pure functions of ``i``, so a memory probe
can generate a graph lazily without keeping any list of ids around.

The layered shape has ``width`` nodes per layer; nodes of layer 0 are inputs, the others pick
about three distinct dependencies from the two layers below. Layers are registered in
interleaved pairs (layer 2b and 2b + 1 alternate), so some nodes are registered before one of
their dependencies and the lexicographically smallest topological order is not simply the
registration order.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Literal

MASK64 = (1 << 64) - 1
DEPS_PER_NODE = 3

KindName = Literal["input", "source", "reactive", "view"]


def node_id(i: int) -> str:
    """The id of the i-th registered node: 15 bytes, the longest a short string keeps inline."""
    return "n%014d" % i


def mix64(x: int) -> int:
    """A 64-bit finaliser (splitmix64), used as a cheap per-node random source."""
    x = (x + 0x9E3779B97F4A7C15) & MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & MASK64
    return x ^ (x >> 31)


@dataclass(frozen=True)
class Shape:
    """A graph of ``n`` nodes; ``name`` is "layered" or "chain"."""

    name: str
    n: int
    seed: int = 20240601

    @property
    def width(self) -> int:
        return max(4, math.isqrt(self.n))

    @property
    def label(self) -> str:
        return f"{self.name} {human(self.n)}"

    # ---- layered: registration index <-> (layer, slot) ----------------------------------------

    def layer_slot(self, i: int) -> tuple[int, int]:
        w = self.width
        block, j = divmod(i, 2 * w)
        return 2 * block + (j & 1), j >> 1

    def index_of(self, layer: int, slot: int) -> int:
        return (layer >> 1) * 2 * self.width + 2 * slot + (layer & 1)

    @property
    def layers(self) -> int:
        return self.layer_slot(self.n - 1)[0] + 1

    def kind(self, i: int) -> KindName:
        if self.name == "chain":
            return "input" if i == 0 else "reactive"
        layer, _ = self.layer_slot(i)
        if layer == 0:
            return "input"
        return "view" if layer == self.layers - 1 else "reactive"

    def dep_indices(self, i: int) -> list[int]:
        if self.name == "chain":
            return [i - 1] if i > 0 else []
        layer, _ = self.layer_slot(i)
        if layer == 0:
            return []
        out: list[int] = []
        r = mix64(self.seed * 1_000_003 + i)
        for attempt in range(4 * DEPS_PER_NODE):
            if len(out) == DEPS_PER_NODE:
                break
            r = mix64(r + attempt)
            below = 2 if layer >= 2 and (r & 3) == 0 else 1
            d = self.index_of(layer - below, (r >> 2) % self.width)
            if d < self.n and d not in out:
                out.append(d)
        return out

    def deps(self, i: int) -> list[str]:
        return [node_id(d) for d in self.dep_indices(i)]

    # ---- seeds for schedules ------------------------------------------------------------------

    def top_seed(self) -> str:
        """An input at the top: its schedule covers most of the graph."""
        return node_id(0)

    def bottom_seed(self) -> str:
        """A node near the bottom with at least one dependent: its schedule is a handful."""
        if self.name == "chain":
            return node_id(self.n - 5)
        layer = max(0, self.layers - 4)
        has_dependent: set[int] = set()
        for above in (layer + 1, layer + 2):
            for slot in range(self.width):
                i = self.index_of(above, slot)
                if i < self.n:
                    has_dependent.update(self.dep_indices(i))
        for slot in range(self.width):
            i = self.index_of(layer, slot)
            if i in has_dependent:
                return node_id(i)
        return node_id(self.index_of(layer, 0))

    def nodes(self) -> Iterator[tuple[str, KindName, list[str]]]:
        """(id, kind, deps) of every node, in registration order."""
        for i in range(self.n):
            yield node_id(i), self.kind(i), self.deps(i)


def human(n: int) -> str:
    if n >= 1_000_000 and n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    if n >= 1000 and n % 1000 == 0:
        return f"{n // 1000}k"
    return str(n)
