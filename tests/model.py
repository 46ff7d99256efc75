"""A pure-Python model of `tavik.Graph`, used as an oracle by the tests.

The model keeps the same records as the native kernel (nodes in registration order, declared
dependencies, reverse edges, the cached order and its inverse, states, memo fields, the epoch
clock and the `built` flag) and gives the same answers and the same exceptions with the same
messages. It models only the kernel and the error mapping, not argument conversion: it expects
already well-typed arguments (`str` ids and kinds, lists of `str`, ints in 0..2**64-1).

Quoting of ids in messages uses `unicodedata`, whose tables may be older than the module's. The
Grapheme_Extend property is not in `unicodedata`, so it is approximated as the categories Mn and
Me plus the Other_Grapheme_Extend code points listed below. The approximation is only relied on
for ids that the tests generate themselves (ASCII and a handful of well-known characters).
"""

from __future__ import annotations

import heapq
import unicodedata
from collections import deque
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

MASK64 = 2**64 - 1
SIGNATURE_BASIS = 1469598103934665603
SIGNATURE_PRIME = 1099511628211

Kind = Literal["input", "source", "reactive", "view"]
KINDS: tuple[Kind, ...] = ("input", "source", "reactive", "view")
STATES = ("clean", "dirty", "computing")

NOT_BUILT_MESSAGE = "graph has not been built; call build() after registering nodes"

_NON_PRINTABLE = frozenset({"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"})
_SHORT_ESCAPES = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}
# Other_Grapheme_Extend (Unicode 15), as inclusive ranges.
_OTHER_GRAPHEME_EXTEND = (
    (0x09BE, 0x09BE),
    (0x09D7, 0x09D7),
    (0x0B3E, 0x0B3E),
    (0x0B57, 0x0B57),
    (0x0BBE, 0x0BBE),
    (0x0BD7, 0x0BD7),
    (0x0CC2, 0x0CC2),
    (0x0CD5, 0x0CD6),
    (0x0D3E, 0x0D3E),
    (0x0D57, 0x0D57),
    (0x0DCF, 0x0DCF),
    (0x0DDF, 0x0DDF),
    (0x1B35, 0x1B35),
    (0x200C, 0x200C),
    (0x302E, 0x302F),
    (0xFF9E, 0xFF9F),
    (0x1133E, 0x1133E),
    (0x11357, 0x11357),
    (0x114B0, 0x114B0),
    (0x114BD, 0x114BD),
    (0x115AF, 0x115AF),
    (0x11930, 0x11930),
    (0x1D165, 0x1D165),
    (0x1D16E, 0x1D172),
    (0xE0020, 0xE007F),
    (0x1F3FB, 0x1F3FF),
)


def _is_grapheme_extend(ch: str) -> bool:
    if unicodedata.category(ch) in ("Mn", "Me"):
        return True
    cp = ord(ch)
    return any(lo <= cp <= hi for lo, hi in _OTHER_GRAPHEME_EXTEND)


def _is_printable(ch: str) -> bool:
    return ch == " " or unicodedata.category(ch) not in _NON_PRINTABLE


def quote(s: str) -> str:
    """The quoted form in which error messages show an id or a kind."""
    out = ['"']
    for ch in s:
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif _is_grapheme_extend(ch) or not _is_printable(ch):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def unknown_node(node_id: str) -> KeyError:
    return KeyError("unknown node: " + quote(node_id))


def duplicate_node(node_id: str) -> ValueError:
    return ValueError("node already registered: " + quote(node_id))


def self_dependency(node_id: str) -> ValueError:
    return ValueError("node " + quote(node_id) + " cannot depend on itself")


def invalid_kind(kind: str) -> ValueError:
    return ValueError("invalid node kind " + quote(kind) + " (expected input|source|reactive|view)")


def not_built() -> RuntimeError:
    return RuntimeError(NOT_BUILT_MESSAGE)


def cycle(ids: Sequence[str]) -> ValueError:
    return ValueError("dependency cycle detected involving: " + ", ".join(ids))


def fold(contributions: Iterable[int]) -> int:
    """The dependency signature folded over the given contributions, in order."""
    h = SIGNATURE_BASIS
    for v in contributions:
        h = ((h ^ v) * SIGNATURE_PRIME) & MASK64
    return h


@dataclass
class ModelNode:
    id: str
    kind: str
    deps: list[int] = field(default_factory=list)
    dependents: list[int] = field(default_factory=list)
    state: str = "dirty"
    signature: int | None = None
    content_hash: int | None = None
    epoch: int = 0


class ModelGraph:
    """Mirrors the public surface of `tavik.Graph`: 21 methods, `len`, `in` and `repr`."""

    def __init__(self, clock: int = 0) -> None:
        self.nodes: list[ModelNode] = []
        self.index: dict[str, int] = {}
        self.order: list[int] = []
        self.position: list[int] = []
        self.clock = clock  # settable here so that the wrap-around can be exercised
        self.built = False

    # ---- lookup --------------------------------------------------------------------------------

    def idx(self, node_id: str) -> int:
        try:
            return self.index[node_id]
        except KeyError:
            raise unknown_node(node_id) from None

    def _require_built(self) -> None:
        if not self.built:
            raise not_built()

    def _ids(self, indices: Iterable[int]) -> list[str]:
        return [self.nodes[i].id for i in indices]

    # ---- registry ------------------------------------------------------------------------------

    def add_node(self, id: str, kind: str) -> None:
        if id in self.index:
            raise duplicate_node(id)
        if kind not in KINDS:
            raise invalid_kind(kind)
        self.index[id] = len(self.nodes)
        self.nodes.append(ModelNode(id=id, kind=kind))
        self.built = False

    def set_deps(self, id: str, deps: Sequence[str]) -> None:
        i = self.idx(id)
        new: list[int] = []
        for dep in deps:
            if dep == id:
                raise self_dependency(id)
            d = self.idx(dep)
            if d not in new:
                new.append(d)
        self.nodes[i].deps = new
        self.built = False

    def node_ids(self) -> list[str]:
        return [node.id for node in self.nodes]

    def kind_of(self, id: str) -> str:
        return self.nodes[self.idx(id)].kind

    def state_of(self, id: str) -> str:
        return self.nodes[self.idx(id)].state

    def deps_of(self, id: str) -> list[str]:
        return self._ids(self.nodes[self.idx(id)].deps)

    def __len__(self) -> int:
        return len(self.nodes)

    def __contains__(self, id: object) -> bool:
        return id in self.index

    def __repr__(self) -> str:
        return f"<tavik.Graph nodes={len(self.nodes)}>"

    # ---- build and order -----------------------------------------------------------------------

    def build(self) -> None:
        n = len(self.nodes)
        for node in self.nodes:
            node.dependents = []
        for i, node in enumerate(self.nodes):
            for d in node.deps:
                self.nodes[d].dependents.append(i)
        indegree = [len(node.deps) for node in self.nodes]
        heap = [i for i in range(n) if indegree[i] == 0]
        heapq.heapify(heap)
        order: list[int] = []
        while heap:
            m = heapq.heappop(heap)
            order.append(m)
            for k in self.nodes[m].dependents:
                indegree[k] -= 1
                if indegree[k] == 0:
                    heapq.heappush(heap, k)
        if len(order) < n:
            raise cycle([self.nodes[i].id for i in range(n) if indegree[i] > 0])
        position = [0] * n
        for k, i in enumerate(order):
            position[i] = k
        self.order = order
        self.position = position
        self.built = True

    def topo_order(self) -> list[str]:
        self._require_built()
        return self._ids(self.order)

    def views(self) -> list[str]:
        self._require_built()
        return [self.nodes[i].id for i in self.order if self.nodes[i].kind == "view"]

    # ---- propagation ---------------------------------------------------------------------------

    def resolve_seeds(self, seeds: Sequence[str]) -> list[int]:
        return [self.idx(s) for s in seeds]

    def closure(self, seeds: Sequence[int]) -> list[int]:
        seen = [False] * len(self.nodes)
        queue: deque[int] = deque()
        for s in seeds:
            if not seen[s]:
                seen[s] = True
                queue.append(s)
        reached: list[int] = []
        while queue:
            m = queue.popleft()
            reached.append(m)
            for k in self.nodes[m].dependents:
                if not seen[k]:
                    seen[k] = True
                    queue.append(k)
        return reached

    def sorted_ids(self, indices: Sequence[int]) -> list[str]:
        return self._ids(sorted(indices, key=lambda i: self.position[i]))

    def downstream(self, id: str) -> list[str]:
        self._require_built()
        i = self.idx(id)
        reached = self.closure([i])
        assert reached[0] == i
        return self.sorted_ids(reached[1:])

    def dirty_subgraph(self, seeds: Sequence[str]) -> list[str]:
        self._require_built()
        return self.sorted_ids(self.closure(self.resolve_seeds(seeds)))

    def mark_dirty(self, seeds: Sequence[str]) -> list[str]:
        self._require_built()
        reached = self.closure(self.resolve_seeds(seeds))
        for i in reached:
            self.nodes[i].state = "dirty"
        return self.sorted_ids(reached)

    def dirty_nodes(self) -> list[str]:
        self._require_built()
        return [self.nodes[i].id for i in self.order if self.nodes[i].state == "dirty"]

    # ---- memo bookkeeping ----------------------------------------------------------------------

    def set_dirty(self, id: str) -> None:
        self.nodes[self.idx(id)].state = "dirty"

    def set_computing(self, id: str) -> None:
        self.nodes[self.idx(id)].state = "computing"

    def _record(self, id: str, signature: int) -> ModelNode:
        _check_u64(signature)
        node = self.nodes[self.idx(id)]
        node.state = "clean"
        node.signature = signature
        return node

    def set_clean(self, id: str, hash: int) -> None:
        self._record(id, hash)

    def skip_node(self, id: str, signature: int) -> None:
        self._record(id, signature)

    def commit_input(self, id: str, content_hash: int) -> None:
        self._record(id, content_hash).content_hash = content_hash

    def commit_node(self, id: str, signature: int) -> None:
        _check_u64(signature)
        i = self.idx(id)  # an unknown id does not advance the clock
        self.clock = (self.clock + 1) & MASK64
        node = self._record(self.nodes[i].id, signature)
        node.epoch = self.clock

    def contribution(self, dep: int) -> int:
        node = self.nodes[dep]
        if node.kind == "input":
            return node.content_hash if node.content_hash is not None else 0
        return node.epoch

    def signature_of(self, i: int) -> int:
        return fold(self.contribution(d) for d in self.nodes[i].deps)

    def check_node(self, id: str) -> tuple[str, bool, int]:
        i = self.idx(id)
        node = self.nodes[i]
        h = self.signature_of(i)
        return (node.kind, node.signature != h, h)

    def needs_recompute(self, id: str, input_hash: int) -> bool:
        _check_u64(input_hash)
        node = self.nodes[self.idx(id)]
        return node.signature != input_hash


def _check_u64(value: int) -> None:
    if not 0 <= value <= MASK64:
        raise AssertionError(f"the model takes only unsigned 64-bit values, not {value}")


class GraphApi(Protocol):
    """The part of the `Graph` surface that the shared helpers below use."""

    def add_node(self, id: str, kind: Any) -> None: ...

    def set_deps(self, id: str, deps: Sequence[str]) -> None: ...

    def build(self) -> None: ...


NodeSpec = tuple[str, str, Sequence[str]]


def populate(graph: GraphApi, nodes: Sequence[NodeSpec], *, build: bool = True) -> None:
    """Registers (id, kind, deps) triples in the given order, then declares every node's deps,
    so that a node may depend on one listed after it; builds unless `build` is false."""
    for node_id, kind, _ in nodes:
        graph.add_node(node_id, kind)
    for node_id, _, deps in nodes:
        if deps:
            graph.set_deps(node_id, list(deps))
    if build:
        graph.build()


class raises_like:
    """Context manager: the block must raise an exception of exactly the type of `expected`
    whose `args` equal `expected.args` (so the message is compared verbatim)."""

    def __init__(self, expected: BaseException) -> None:
        self.expected = expected
        self.raised: BaseException | None = None

    def __enter__(self) -> raises_like:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: object
    ) -> bool:
        if exc is None:
            raise AssertionError(f"did not raise {self.expected!r}")
        if type(exc) is not type(self.expected) or exc.args != self.expected.args:
            raise AssertionError(f"raised {exc!r}, expected {self.expected!r}") from exc
        self.raised = exc
        return True
