"""An incremental engine in pure Python, written the way a careful user would: the peer that
``tavik.Engine`` is measured against.

It has the subset of ``tavik.Engine``'s interface that the benchmarks use (``input``,
``reactive``/``view``, ``set``, ``redefine``, ``stabilize``, ``engine[id]``) and the same
semantics: a function is called only when its node is new, redefined, or a dependency changed
(a new value not ``==`` the old one) since its last call; a recomputed value equal to the old
one cuts the update off there; a function that raises fails its node and every node below it,
and the failure is kept until a dependency changes or the node is redefined; ``engine[id]``
computes only the out-of-date nodes that the node depends on.

The data structures are plain dicts keyed by id. Every node has a position in a topological
order; an update pops the nodes to evaluate from a heap of positions, so only dependents of
changed nodes are ever visited. A ``redefine`` that adds a dependency placed later in the
order moves only the nodes between the two positions that must move (the dynamic
topological-order algorithm of Pearce and Kelly), so an edit never reorders the whole graph.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Sequence
from collections.abc import Set as AbstractSet
from dataclasses import dataclass
from heapq import heapify, heappop, heappush
from typing import Any, TypeVar

F = TypeVar("F", bound=Callable[..., Any])

#: The previous value of a node never computed: equal to nothing, so its first value is new.
_NEW: Any = object()


class PyNodeError(Exception):
    """Reading a node whose function raised, or that depends on one that did."""

    def __init__(self, node: str, origin: str) -> None:
        super().__init__(f"node {node!r} failed: function of {origin!r} raised")
        self.node = node
        self.origin = origin


class PyCycleError(ValueError):
    def __init__(self, node: str) -> None:
        super().__init__(f"redefining {node!r} would close a cycle")
        self.node = node


@dataclass(frozen=True, slots=True)
class PyUpdate:
    schedule: list[str]
    computed: list[str]
    changed: list[str]
    cut_off: list[str]
    reused: list[str]
    failed: list[str]
    seconds: float


class PyEngine:
    def __init__(self) -> None:
        #: id -> function, None for inputs
        self._fn: dict[str, Callable[..., Any] | None] = {}
        self._deps: dict[str, tuple[str, ...]] = {}
        #: id -> its dependents, a dict used as an ordered set so that an edit removes in O(1)
        self._dependents: dict[str, dict[str, None]] = {}
        self._value: dict[str, Any] = {}
        self._equal: dict[str, Callable[[Any, Any], object]] = {}
        self._pos: dict[str, int] = {}
        self._at: dict[int, str] = {}
        self._next_pos = 0
        #: nodes to evaluate at the next update: inputs with a pending value, nodes that are new
        #: or redefined, and dependents of nodes whose value changed
        self._dirty: set[str] = set()
        self._pending: dict[str, Any] = {}
        #: failed node -> the node whose function raised
        self._failed: dict[str, str] = {}
        self._cause: dict[str, BaseException] = {}

    # ---- definitions --------------------------------------------------------------------------

    def __len__(self) -> int:
        return len(self._fn)

    def __contains__(self, id: object) -> bool:
        return id in self._fn

    def _new(self, id: str) -> None:
        if id in self._fn:
            raise ValueError(f"node {id!r} already exists")
        p = self._next_pos
        self._next_pos = p + 1
        self._pos[id] = p
        self._at[p] = id
        self._dependents[id] = {}
        self._value[id] = _NEW
        self._dirty.add(id)

    def input(self, id: str, value: Any, *,
              equal: Callable[[Any, Any], object] | None = None) -> None:
        self._new(id)
        self._fn[id] = None
        self._deps[id] = ()
        self._pending[id] = value
        if equal is not None:
            self._equal[id] = equal

    def reactive(self, id: str, deps: Sequence[str], fn: F | None = None, *,
                 equal: Callable[[Any, Any], object] | None = None) -> Any:
        if fn is None:
            def register(f: F) -> F:
                self.reactive(id, deps, f, equal=equal)
                return f
            return register
        ds = self._checked_deps(id, deps)
        self._new(id)
        self._fn[id] = fn
        self._deps[id] = ds
        for d in ds:
            self._dependents[d][id] = None
        if equal is not None:
            self._equal[id] = equal
        return fn

    view = reactive

    def _checked_deps(self, id: str, deps: Iterable[str]) -> tuple[str, ...]:
        ds = tuple(dict.fromkeys(deps))
        for d in ds:
            if d not in self._fn:
                raise KeyError(d)
            if d == id:
                raise PyCycleError(id)
        return ds

    def set(self, id: str, value: Any) -> None:
        if self._fn[id] is not None:
            raise ValueError(f"node {id!r} is not an input")
        self._pending[id] = value
        self._dirty.add(id)

    def redefine(self, id: str, *, deps: Sequence[str] | None = None,
                 fn: Callable[..., Any] | None = None) -> None:
        if self._fn[id] is None:
            raise ValueError(f"node {id!r} is an input")
        if deps is not None:
            ds = self._checked_deps(id, deps)
            later = [d for d in ds if self._pos[d] > self._pos[id]]
            if later:
                self._reorder(id, later)  # raises before changing anything on a cycle
            dependents = self._dependents
            for d in self._deps[id]:
                del dependents[d][id]
            for d in ds:
                dependents[d][id] = None
            self._deps[id] = ds
        if fn is not None:
            self._fn[id] = fn
        self._dirty.add(id)

    def _reorder(self, id: str, later: list[str]) -> None:
        """Make room for the new edges d -> id (d placed after id): the nodes reachable from id
        up to the latest d move after the nodes that reach some d down to id's position."""
        pos, deps, dependents = self._pos, self._deps, self._dependents
        lo, hi = pos[id], max(pos[d] for d in later)
        forward = {id}
        stack = [id]
        while stack:
            for m in dependents[stack.pop()]:
                p = pos[m]
                if p == hi or m in later:
                    raise PyCycleError(id)
                if p < hi and m not in forward:
                    forward.add(m)
                    stack.append(m)
        backward = set(later)
        stack = list(later)
        while stack:
            for m in deps[stack.pop()]:
                if pos[m] > lo and m not in backward:
                    backward.add(m)
                    stack.append(m)
        moved = sorted(backward, key=pos.__getitem__) + sorted(forward, key=pos.__getitem__)
        slots = sorted(pos[m] for m in moved)
        at = self._at
        for m, p in zip(moved, slots):
            pos[m] = p
            at[p] = m

    # ---- evaluation ---------------------------------------------------------------------------

    def stabilize(self) -> PyUpdate:
        t0 = time.perf_counter()
        pos = self._pos
        heap = [pos[n] for n in self._dirty]
        heapify(heap)
        update = self._run(heap, None, t0)
        # Every dirty node has been evaluated. A new set, because a set never shrinks its table
        # and iterating an emptied one costs as much as iterating it full.
        self._dirty = set()
        return update

    def __getitem__(self, id: str) -> Any:
        if self._dirty and id in self._fn:
            self._bring_up_to_date(id)
        if id in self._failed:
            raise PyNodeError(id, self._failed[id]) from self._cause[self._failed[id]]
        return self._value[id]

    def _bring_up_to_date(self, id: str) -> None:
        deps, dirty = self._deps, self._dirty
        cone = {id}
        stack = [id]
        while stack:
            for d in deps[stack.pop()]:
                if d not in cone:
                    cone.add(d)
                    stack.append(d)
        pos = self._pos
        heap = [pos[n] for n in (cone & dirty)]
        if heap:
            heapify(heap)
            self._run(heap, cone, time.perf_counter())

    def _run(self, heap: list[int], within: AbstractSet[str] | None, t0: float) -> PyUpdate:
        """Evaluate the nodes of the heap in position order; a node whose value changed puts
        its dependents (those in `within`, if given) on the heap."""
        at, fns, deps, dependents, values, equal = (
            self._at, self._fn, self._deps, self._dependents, self._value, self._equal)
        pos, dirty, pending, failed = self._pos, self._dirty, self._pending, self._failed
        schedule: list[str] = []
        computed: list[str] = []
        changed: list[str] = []
        cut_off: list[str] = []
        failures: list[str] = []
        value_of, unmark, mark = values.__getitem__, dirty.discard, dirty.add
        scheduled, called, changes, cuts = (
            schedule.append, computed.append, changed.append, cut_off.append)
        while heap:
            n = at[heappop(heap)]
            unmark(n)
            scheduled(n)
            fn = fns[n]
            if fn is None:
                new = pending.pop(n)
            else:
                if failed:
                    origin = next((failed[d] for d in deps[n] if d in failed), None)
                    if origin is not None:  # not called: a dependency failed
                        self._fail(n, origin, heap, within, failures)
                        continue
                try:
                    new = fn(*map(value_of, deps[n]))
                except Exception as err:
                    called(n)
                    self._cause[n] = err
                    self._fail(n, n, heap, within, failures)
                    continue
                except BaseException:
                    mark(n)  # interrupted: the next evaluation calls it again
                    raise
                called(n)
                if failed and n in failed:  # recovered: its dependents fail no more
                    del failed[n]
                    self._cause.pop(n, None)
                    values[n] = _NEW
            old = values[n]
            if old is not _NEW:
                try:
                    same = (old == new) if not equal or n not in equal else equal[n](old, new)
                except Exception:
                    same = False
                if same is True:
                    if fn is not None:
                        cuts(n)
                    continue
            values[n] = new
            changes(n)
            if within is None:
                for m in dependents[n]:
                    if m not in dirty:
                        mark(m)
                        heappush(heap, pos[m])
            else:
                for m in dependents[n]:
                    if m not in dirty:
                        mark(m)
                        if m in within:
                            heappush(heap, pos[m])
        return PyUpdate(schedule, computed, changed, cut_off, [], failures,
                        time.perf_counter() - t0)

    def _fail(self, n: str, origin: str, heap: list[int], within: AbstractSet[str] | None,
              failures: list[str]) -> None:
        failures.append(n)
        if self._failed.get(n) != origin:
            self._failed[n] = origin
            self._push(n, heap, within)

    def _push(self, n: str, heap: list[int], within: AbstractSet[str] | None) -> None:
        dirty, pos = self._dirty, self._pos
        for m in self._dependents[n]:
            if m not in dirty:
                dirty.add(m)
                if within is None or m in within:
                    heappush(heap, pos[m])
