"""A naive pure-Python core for `tavik.Engine`, the oracle that the native core is compared with.

`NaiveCore` implements the interface of `tavik._engine.Core` as literally as it can: a dict of
node records in definition order, a list for the topological order, a dirty flag per node; an
evaluation scans the whole order, a read first collects its cone by a plain traversal. It is
slow on purpose: every rule is written out where it applies, once.

`NaiveEngine` is `tavik.Engine` on this core: the facade (checks, messages, reports) is the
real one, so that comparing `Engine` with `NaiveEngine` compares the cores.
"""

from __future__ import annotations

from collections.abc import Callable
from collections.abc import Set as AbstractSet
from dataclasses import dataclass, field
from time import perf_counter
from typing import Any, Final

from tavik import Engine, Update

__all__ = ["NaiveCore", "NaiveEngine"]


class _NoValue:
    __slots__ = ()

    def __repr__(self) -> str:
        return "<none>"


#: The value (or pending value) of a node that has none.
NONE: Final = _NoValue()
KINDS: Final = ("input", "source", "reactive", "view")

Fn = Callable[..., object]
Equality = Callable[[Any, Any], object]


@dataclass(eq=False)
class Node:
    id: str
    kind: str
    deps: tuple[str, ...]  # as given, repeats kept: the function gets one argument per entry
    fn: Fn | None  # a source's read
    equal: Equality | None  # None: ==
    value: object = NONE
    pending: object = NONE  # an input's value set since its last visit
    failure: tuple[str, BaseException] | None = None  # (origin, error)
    reason: str | None = "new"  # forces the next call: "new", "redefined", "invalidated"
    last_reason: str | None = None  # of the last call; None: never called
    last_changed: list[str] = field(default_factory=list)  # of the last call
    called_at: int = 0  # the clock at the last call
    outcome: str = "pending"
    dirty: bool = True
    stamp: int = 0  # the clock at the last change
    memo: tuple[int, ...] | None = None  # the stamps of the unique deps when last made clean


class NaiveCore:
    def __init__(self, missing: object, report: type[Update], /) -> None:
        self._missing = missing
        self._report = report
        self._nodes: dict[str, Node] = {}  # in definition order
        self._order: list[str] = []  # topological order
        self._clock = 0
        self._busy = False
        self._computing: str | None = None

    # ---- state ------------------------------------------------------------------------

    @property
    def busy(self) -> bool:
        return self._busy

    @property
    def computing(self) -> str | None:
        return self._computing

    def __len__(self) -> int:
        return len(self._nodes)

    def kind(self, id: str, /) -> str | None:
        self._idle()
        node = self._nodes.get(_exact(id))
        return None if node is None else node.kind

    def dependents(self, id: str, /) -> list[str]:
        self._idle()
        self._node(id)
        return [other.id for other in self._nodes.values() if id in other.deps]

    def failure(self, id: str, /) -> tuple[str, BaseException] | None:
        self._idle()
        return self._node(id).failure

    def explain(self, id: str, /) -> tuple[str, list[str]] | None:
        self._idle()
        node = self._node(id)
        if node.last_reason is None:
            return None
        return node.last_reason, list(node.last_changed)

    def state(self, id: str, /) -> str:
        self._idle()
        return "dirty" if self._node(id).dirty else "clean"

    def nodes(self, /) -> list[tuple[str, str, str, tuple[str, ...]]]:
        self._idle()
        return [(n.id, n.kind, n.outcome, n.deps) for n in self._nodes.values()]

    # ---- definitions and edits ----------------------------------------------------------

    def unknown(self, ids: tuple[object, ...], /) -> int:
        self._idle()
        for place, node_id in enumerate(ids):
            if type(node_id) is not str or node_id not in self._nodes:
                return place
        return -1

    def add(
        self,
        id: str,
        kind: str,
        deps: tuple[str, ...],
        fn: Fn | None,
        equal: Equality | None,
        value: object,
        /,
    ) -> None:
        self._idle()
        if _exact(id) in self._nodes:
            raise ValueError(f"node exists: {id!r}")
        if kind not in KINDS:
            raise ValueError(f"not a kind: {kind!r}")
        self._check_deps(id, deps)
        if kind in ("input", "source") and deps:
            raise ValueError("inputs and sources have no dependencies")
        if (kind == "input") != (fn is None) or (fn is not None and not callable(fn)):
            raise TypeError("inputs have no function, other nodes a callable one")
        if equal is not None and not callable(equal):
            raise TypeError("equal must be callable")
        node = Node(id, kind, deps, fn, equal)
        if kind == "input":
            node.pending = value
        self._nodes[id] = node
        self._order.append(id)

    def redefine(self, id: str, deps: tuple[str, ...] | None, fn: Fn | None, /) -> list[str] | None:
        self._idle()
        node = self._node(id)
        if node.kind == "input":
            raise ValueError("an input cannot be redefined")
        if fn is not None and not callable(fn):
            raise TypeError("fn must be callable")
        if deps is not None:
            self._check_deps(id, deps)
            if node.kind == "source" and deps:
                raise ValueError("a source has no dependencies")
            cycle = self._cycle(id, deps)
            if cycle is not None:
                return cycle
            self._reorder(id, deps)
            node.deps = deps
        if fn is not None:
            node.fn = fn
        if node.reason != "new":
            node.reason = "redefined"
        node.dirty = True
        return None

    def remove(self, id: str, /) -> None:
        self._idle()
        self._node(id)
        if self.dependents(id):
            raise ValueError("other nodes depend on it")
        del self._nodes[id]
        self._order.remove(id)

    def set(self, id: str, value: object, /) -> None:
        self.set_many([(id, value)])

    def set_many(self, items: list[tuple[str, object]], /) -> None:
        self._idle()
        for node_id, _value in items:
            if self._node(node_id).kind != "input":
                raise ValueError("not an input")
        for node_id, value in items:
            node = self._nodes[node_id]
            node.pending = value
            node.dirty = True

    def invalidate(self, ids: tuple[str, ...], /) -> None:
        self._idle()
        for node_id in ids:
            if self._node(node_id).kind == "input":
                raise ValueError("an input cannot be invalidated")
        for node_id in ids:
            node = self._nodes[node_id]
            if node.reason is None:
                node.reason = "invalidated"
            node.dirty = True

    def _cycle(self, id: str, deps: tuple[str, ...]) -> list[str] | None:
        """The cycle that depending on ``deps`` would close, each node depending on the next:
        a depth-first search from the new deps for a node that depends on ``id``."""
        parent: dict[str, str] = {}
        stack: list[str] = []
        for dep in reversed(deps):
            if dep not in parent:
                parent[dep] = id
                stack.append(dep)
        while stack:
            current = stack.pop()
            for dep in self._nodes[current].deps:
                if dep == id:
                    path = [current]
                    while parent[path[-1]] != id:
                        path.append(parent[path[-1]])
                    return [id, *reversed(path), id]
                if dep not in parent:
                    parent[dep] = current
                    stack.append(dep)
        return None

    def _reorder(self, id: str, deps: tuple[str, ...]) -> None:
        """Move ``id`` and what depends on it after its new deps, the rest keeping its order."""
        order = self._order
        p = order.index(id)
        u = max((order.index(dep) for dep in deps), default=-1)
        if u <= p:
            return
        downstream = {id}
        stack = [id]
        while stack:
            current = stack.pop()
            for other in self._nodes.values():
                if current in other.deps and other.id not in downstream:
                    downstream.add(other.id)
                    stack.append(other.id)
        segment = order[p : u + 1]
        order[p : u + 1] = [n for n in segment if n not in downstream] + [
            n for n in segment if n in downstream
        ]

    # ---- evaluation ---------------------------------------------------------------------

    def stabilize(self, /) -> Update:
        self._idle()
        start = perf_counter()
        report: Report = ([], [], [], [], [], [])
        self._walk(None, report)
        return self._report(*report, perf_counter() - start)

    def read(self, id: str, /) -> Any:
        self._idle()
        node = self._node(id)
        cone = {id}
        stack = [id]
        while stack:
            for dep in self._nodes[stack.pop()].deps:
                if dep not in cone:
                    cone.add(dep)
                    stack.append(dep)
        self._walk(cone, ([], [], [], [], [], []))
        return self._missing if node.failure is not None else node.value

    def _walk(self, cone: AbstractSet[str] | None, report: Report) -> None:
        """Visit every dirty node (of ``cone``, if given) in order, including those that become
        dirty on the way."""
        self._busy = True
        try:
            for node_id in self._order:
                node = self._nodes[node_id]
                if node.dirty and (cone is None or node_id in cone):
                    self._visit(node, report)
        finally:
            self._busy = False
            self._computing = None

    def _visit(self, node: Node, report: Report) -> None:
        schedule, computed, changed, cut_off, reused, failed = report
        if node.kind == "input":
            is_change = node.pending is not NONE and (
                node.value is NONE or not self._same(node, node.value, node.pending)
            )
            new, node.pending = node.pending, NONE
            node.dirty = False
            schedule.append(node.id)
            if is_change:
                node.value = new
                node.outcome = "changed"
                changed.append(node.id)
                self._changed(node)
            else:
                node.outcome = "unchanged"
            return

        deps = [self._nodes[dep] for dep in node.deps]
        sig = tuple(self._nodes[dep].stamp for dep in dict.fromkeys(node.deps))
        if node.reason is None and node.memo == sig:
            node.outcome = "reused"
            node.dirty = False
            schedule.append(node.id)
            reused.append(node.id)
            return
        failures = [dep.failure for dep in deps if dep.failure is not None]
        if failures:  # not called: it would see no value
            node.failure = failures[0]
            self._failed(node, sig, report)
            return

        assert node.fn is not None
        self._computing = node.id
        try:
            result = node.fn(*[dep.value for dep in deps])
        except Exception as error:
            self._called(node)
            computed.append(node.id)
            node.failure = (node.id, error)
            self._failed(node, sig, report)
            return
        finally:
            self._computing = None
        is_change = node.value is NONE or not self._same(node, node.value, result)
        self._called(node)
        node.failure = None
        node.memo = sig
        node.dirty = False
        schedule.append(node.id)
        computed.append(node.id)
        if is_change:
            node.value = result
            node.outcome = "changed"
            changed.append(node.id)
            self._changed(node)
        else:
            node.outcome = "cut_off"
            cut_off.append(node.id)

    def _same(self, node: Node, old: object, new: object) -> bool:
        """Whether ``new`` is no change from ``old``: only an exact True says so, and an
        Exception is a change; any other exception propagates."""
        self._computing = node.id
        try:
            result = old == new if node.equal is None else node.equal(old, new)
        except Exception:
            return False
        finally:
            self._computing = None
        return result is True

    def _called(self, node: Node) -> None:
        """Keep what `explain` tells of the call just made."""
        node.last_reason = node.reason or "dependencies"
        node.last_changed = []
        if node.last_reason == "dependencies":
            node.last_changed = [
                dep for dep in dict.fromkeys(node.deps) if self._nodes[dep].stamp > node.called_at
            ]
        node.called_at = self._clock
        node.reason = None

    def _failed(self, node: Node, sig: tuple[int, ...], report: Report) -> None:
        """Commit the node's failure like a value: its dependents are visited and fail too."""
        node.value = NONE
        node.memo = sig
        node.outcome = "failed"
        node.dirty = False
        report[0].append(node.id)
        report[5].append(node.id)
        self._changed(node)

    def _changed(self, node: Node) -> None:
        """The node's value (or failure) changed: a new stamp, and its dependents are dirty."""
        self._clock += 1
        node.stamp = self._clock
        for other in self._nodes.values():
            if node.id in other.deps:
                other.dirty = True

    # ---- preconditions ------------------------------------------------------------------

    def _idle(self) -> None:
        if self._busy:
            raise RuntimeError("the engine is computing")

    def _node(self, id: str) -> Node:
        try:
            return self._nodes[_exact(id)]
        except KeyError:
            raise KeyError(id) from None

    def _check_deps(self, id: str, deps: tuple[str, ...]) -> None:
        if type(deps) is not tuple:
            raise TypeError("deps must be a tuple")
        for dep in deps:
            self._node(dep)
            if dep == id:
                raise ValueError("a node cannot depend on itself")


Report = tuple[list[str], list[str], list[str], list[str], list[str], list[str]]


def _exact(id: object) -> str:
    if type(id) is not str:
        raise TypeError(f"ids are exact str, not {type(id).__name__}")
    return id


class NaiveEngine(Engine):
    """`tavik.Engine` on the naive core."""

    _Core = NaiveCore
