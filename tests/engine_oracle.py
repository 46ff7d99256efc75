"""The engine in pure Python over the kernel's `Graph`: the oracle that `tavik.Engine` (whose
per-node walk is native) is compared with.

It is the engine as it was written first, kept unchanged in behaviour: the same API, errors,
reports and calls. The rest of this docstring describes it.

The incremental engine: values and functions live here, the graph and its memo in the kernel.

`Engine` keeps, per node, its value, its function and its equality. The kernel's `Graph` keeps
the dependency edges, the topological order, each node's state and the memo signatures, and
decides whether a node's value is still valid (`check_node`). An evaluation walks only what a
change reaches: the nodes that must be visited sit in a heap keyed by their place in the kernel's
order, and a node joins it when one of its dependencies changed, so an update that is cut off
after k nodes costs about k log k, whatever the size of the graph.
"""

from __future__ import annotations

import heapq
from collections.abc import Callable, Mapping, Sequence
from collections.abc import Set as AbstractSet
from time import perf_counter
from typing import Any, Final, TypeVar, overload

from tavik._dot import render_dot
from tavik._tavik import Graph
from tavik._types import Kind
from tavik.errors import CycleError, NodeError, quote, quote_all, unknown_node
from tavik.report import Explanation, Reason, Update

__all__ = ["OracleEngine"]

F = TypeVar("F", bound=Callable[..., object])
#: ``equal(old, new)``: true when ``new`` is no change from ``old``. Anything but ``True``, or an
#: exception, counts as a change.
Equal = Callable[[Any, Any], object]


class _Missing:
    """The value of a node that has none: never evaluated, or failed."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<no value>"


_MISSING: Final = _Missing()


class _Failure:
    """A function that raised: the node it belongs to, and the exception."""

    __slots__ = ("origin", "error")

    def __init__(self, origin: str, error: Exception) -> None:
        self.origin = origin
        self.error = error


class _Node:
    """One node's record on the engine's side."""

    __slots__ = (
        "id",
        "kind",
        "deps",
        "dep_nodes",
        "dependents",
        "fn",
        "equal",
        "value",
        "pending",
        "failure",
        "reason",
        "dirty",
        "pos",
        "changed_at",
        "changes",
        "last_reason",
        "last_changes",
        "last_deps",
        "outcome",
    )

    def __init__(
        self,
        node_id: str,
        kind: Kind,
        deps: tuple[str, ...],
        dep_nodes: tuple[_Node, ...],
        fn: Callable[..., object] | None,
        equal: Equal | None,
    ) -> None:
        self.id = node_id
        self.kind = kind
        self.deps = deps  # as given, repeats included: fn gets one argument per entry
        self.dep_nodes = dep_nodes
        self.dependents: list[_Node] = []  # each once, whatever its deps repeat
        self.fn = fn
        self.equal = equal
        self.value: object = _MISSING
        self.pending: object = _MISSING  # an input's value set since its last evaluation
        self.failure: _Failure | None = None
        self.reason: Reason | None = "new"  # forces the next computation when set
        self.dirty = True  # must be visited by the next evaluation that reaches it
        self.pos = -1  # place in the topological order
        self.changed_at = 0  # the engine's clock when the value (or failure) last changed
        # Explanations are built only when asked for: the dependencies that changed since the
        # last call, and the reason, changes and deps of the last call.
        self.changes: list[_Node] = []
        self.last_reason: Reason | None = None  # None: never called
        self.last_changes: list[_Node] = []
        self.last_deps: tuple[_Node, ...] = ()
        self.outcome = "pending"


def _same(node: _Node, old: object, new: object) -> bool:
    """Whether ``new`` is no change from ``old`` under the node's equality.

    A comparison that raises an ``Exception`` or answers anything but ``True`` is a change.
    """
    try:
        result = old == new if node.equal is None else node.equal(old, new)
    except Exception:
        return False
    return result is True


class _Recorder:
    """The lists of an `Update` as an evaluation fills them."""

    __slots__ = ("schedule", "computed", "changed", "cut_off", "reused", "failed")

    def __init__(self) -> None:
        self.schedule: list[str] = []
        self.computed: list[str] = []
        self.changed: list[str] = []
        self.cut_off: list[str] = []
        self.reused: list[str] = []
        self.failed: list[str] = []

    def update(self, seconds: float) -> Update:
        return Update(
            self.schedule,
            self.computed,
            self.changed,
            self.cut_off,
            self.reused,
            self.failed,
            seconds,
        )


class OracleEngine:
    """An incremental engine: define nodes, change inputs, read values kept up to date.

    Inputs hold values set by the user, sources read theirs from outside, reactive nodes and
    views compute theirs from their dependencies. Nothing is computed until a value is read
    (``engine[id]``) or ``stabilize()`` is called; then only what a change reaches is visited,
    and a node whose recomputed value equals the old one stops the change there.
    """

    def __init__(self) -> None:
        self._graph = Graph()
        self._nodes: dict[str, _Node] = {}
        self._order: list[_Node] = []  # by place in the topological order
        self._stale = False  # the order must be taken from the kernel again
        self._heap: list[int] = []  # places of dirty nodes (and of some that no longer are)
        self._clock = 0  # advances with every change of a value
        self._failures = 0  # nodes holding a failure
        self._busy = False  # an evaluation is running: refuse every call into the engine
        self._computing: _Node | None = None

    # ---- definitions --------------------------------------------------------------------

    def input(self, id: str, value: object, *, equal: Equal | None = None) -> None:
        """Define an input node holding ``value``; `set` changes it."""
        self._idle("input")
        self._check_new(id, equal)
        node = _Node(id, "input", (), (), None, equal)
        node.pending = value
        self._register(node)

    def source(self, id: str, read: Callable[[], object], *, equal: Equal | None = None) -> None:
        """Define a source: ``read()`` gives its value, at its first evaluation and again after
        ``invalidate(id)``."""
        self._idle("source")
        self._check_new(id, equal)
        self._check_callable("read", read)
        self._register(_Node(id, "source", (), (), read, equal))

    @overload
    def reactive(
        self, id: str, deps: Sequence[str], fn: None = None, *, equal: Equal | None = None
    ) -> Callable[[F], F]: ...
    @overload
    def reactive(
        self, id: str, deps: Sequence[str], fn: Callable[..., object], *, equal: Equal | None = None
    ) -> None: ...
    def reactive(
        self,
        id: str,
        deps: Sequence[str],
        fn: Callable[..., object] | None = None,
        *,
        equal: Equal | None = None,
    ) -> Callable[[F], F] | None:
        """Define a derived node: its value is ``fn(*values of deps, in deps order)``.

        With ``fn`` omitted, returns a decorator that defines the node with the function it
        decorates and returns that function unchanged.
        """
        return self._derived("reactive", id, deps, fn, equal)

    @overload
    def view(
        self, id: str, deps: Sequence[str], fn: None = None, *, equal: Equal | None = None
    ) -> Callable[[F], F]: ...
    @overload
    def view(
        self, id: str, deps: Sequence[str], fn: Callable[..., object], *, equal: Equal | None = None
    ) -> None: ...
    def view(
        self,
        id: str,
        deps: Sequence[str],
        fn: Callable[..., object] | None = None,
        *,
        equal: Equal | None = None,
    ) -> Callable[[F], F] | None:
        """Define a view, a derived node that is an output of the program; see `reactive`."""
        return self._derived("view", id, deps, fn, equal)

    def _derived(
        self,
        kind: Kind,
        node_id: str,
        deps: Sequence[str],
        fn: Callable[..., object] | None,
        equal: Equal | None,
    ) -> Callable[[F], F] | None:
        self._idle(kind)
        self._check_new(node_id, equal)
        dep_ids = self._check_deps(node_id, deps)
        if fn is None:

            def define(function: F) -> F:
                self._derived(kind, node_id, dep_ids, function, equal)
                return function

            return define
        self._check_callable("fn", fn)
        dep_nodes = tuple(self._nodes[d] for d in dep_ids)
        self._register(_Node(node_id, kind, dep_ids, dep_nodes, fn, equal))
        return None

    def _register(self, node: _Node) -> None:
        graph = self._graph
        graph.add_node(node.id, node.kind)
        if node.deps:
            try:
                graph.set_deps(node.id, node.deps)
            except BaseException:
                self._graph = self._rebuilt_graph(self._nodes)  # forget the half-added node
                raise
        self._nodes[node.id] = node
        for dep in dict.fromkeys(node.dep_nodes):
            dep.dependents.append(node)
        # Its deps are all defined and nothing depends on it: its place is last, which is
        # where the kernel's order puts it too.
        if not self._stale:
            node.pos = len(self._order)
            self._order.append(node)
            heapq.heappush(self._heap, node.pos)

    # ---- edits ----------------------------------------------------------------------------

    def set(self, id: str, value: object) -> None:
        """Change an input's value; nothing is computed until the next read or `stabilize`."""
        self._idle("set")
        node = self._input(id)
        node.pending = value
        self._mark_dirty(node)

    def set_many(self, values: Mapping[str, object]) -> None:
        """Change several inputs; every id is checked before any value changes."""
        self._idle("set_many")
        nodes = [(self._input(node_id), value) for node_id, value in values.items()]
        for node, value in nodes:
            node.pending = value
            self._mark_dirty(node)

    def invalidate(self, *ids: str) -> None:
        """Force the listed sources or derived nodes to be recomputed at their next evaluation."""
        self._idle("invalidate")
        nodes = [self._node(node_id) for node_id in ids]
        for node in nodes:
            if node.kind == "input":
                raise ValueError(
                    f"cannot invalidate input {quote(node.id)}: set its value instead"
                )
        for node in nodes:
            if node.reason is None:
                node.reason = "invalidated"
            self._mark_dirty(node)

    def redefine(
        self,
        id: str,
        *,
        deps: Sequence[str] | None = None,
        fn: Callable[..., object] | None = None,
    ) -> None:
        """Change a derived node's dependencies and/or function, or a source's ``read``.

        The node is recomputed at its next evaluation; a cycle is refused before anything
        changes.
        """
        self._idle("redefine")
        node = self._node(id)
        if node.kind == "input":
            raise ValueError(f"cannot redefine input {quote(id)}: set its value instead")
        if deps is None and fn is None:
            raise TypeError("redefine() needs deps=, fn= or both")
        if fn is not None:
            self._check_callable("fn" if node.kind != "source" else "read", fn)
        dep_ids = None
        if deps is not None:
            dep_ids = self._check_deps(id, deps)
            if node.kind == "source" and dep_ids:
                raise ValueError(f"source {quote(id)} cannot have dependencies")
            cycle = self._find_cycle(node, dep_ids)
            if cycle is not None:
                raise CycleError(id, cycle)
        if dep_ids is not None and dep_ids != node.deps:
            self._graph.set_deps(id, dep_ids)
            for dep in dict.fromkeys(node.dep_nodes):
                dep.dependents.remove(node)
            node.deps = dep_ids
            node.dep_nodes = tuple(self._nodes[d] for d in dep_ids)
            for dep in dict.fromkeys(node.dep_nodes):
                dep.dependents.append(node)
            # The order stands while every dependency still comes first; otherwise the kernel
            # orders the graph again.
            if any(dep.pos > node.pos for dep in node.dep_nodes):
                self._stale = True
        if fn is not None:
            node.fn = fn
        if node.reason != "new":
            node.reason = "redefined"
        self._mark_dirty(node)

    def remove(self, id: str) -> None:
        """Remove a node that nothing depends on; nothing else is recomputed."""
        self._idle("remove")
        node = self._node(id)
        if node.dependents:
            dependents = [dependent.id for dependent in node.dependents]
            raise ValueError(f"cannot remove node {quote(id)}: {quote_all(dependents)} depend on it")
        rest = {node_id: other for node_id, other in self._nodes.items() if other is not node}
        self._graph = self._rebuilt_graph(rest)
        self._nodes = rest
        for dep in dict.fromkeys(node.dep_nodes):
            dep.dependents.remove(node)
        if node.failure is not None:
            self._failures -= 1
        self._stale = True

    # ---- evaluation -----------------------------------------------------------------------

    def stabilize(self) -> Update:
        """Bring every node up to date and report what happened."""
        self._idle("stabilize")
        start = perf_counter()
        self._take_order()
        record = _Recorder()
        self._evaluate(self._heap, None, record)
        return record.update(perf_counter() - start)

    def __getitem__(self, id: str) -> Any:
        """The node's up-to-date value, computing only the out-of-date nodes it depends on.

        Raises `NodeError` if the node's function, or that of a node it depends on, raised.
        """
        self._idle("__getitem__")
        node = self._node(id)
        if self._heap or self._stale:
            self._take_order()
            cone, due = self._cone(node)
            if due:
                self._evaluate(due, cone, _Recorder())
        failure = node.failure
        if failure is not None:
            raise NodeError(id, failure.origin, failure.error) from failure.error
        return node.value

    @staticmethod
    def _cone(target: _Node) -> tuple[AbstractSet[_Node], list[int]]:
        """``target`` and every node it depends on, and the places of the dirty ones."""
        cone = {target}
        stack = [target]
        due: list[int] = []
        while stack:
            node = stack.pop()
            if node.dirty:
                due.append(node.pos)
            for dep in node.dep_nodes:
                if dep not in cone:
                    cone.add(dep)
                    stack.append(dep)
        heapq.heapify(due)
        return cone, due

    def _evaluate(
        self, due: list[int], cone: AbstractSet[_Node] | None, record: _Recorder
    ) -> None:
        """Bring the dirty nodes at the places in the heap ``due`` up to date, in order.

        Dependents of a node that changed become dirty; those in ``cone`` (all of them when it
        is None) join ``due``. The kernel is told of a dirty node only if it is left dirty at the
        end: inside the walk nothing else can look at its state.
        """
        order, heap, graph = self._order, self._heap, self._graph
        heappop, heappush, process = heapq.heappop, heapq.heappush, self._process
        self._busy = True
        try:
            while due:
                node = order[due[0]]
                if node.dirty and process(node, record):
                    for dependent in node.dependents:
                        dependent.changes.append(node)
                        if not dependent.dirty:
                            dependent.dirty = True
                            heappush(heap, dependent.pos)
                            if cone is not None:
                                if dependent in cone:
                                    heappush(due, dependent.pos)
                                else:
                                    graph.set_dirty(dependent.id)
                heappop(due)  # only now: an interrupted node stays due
        except BaseException:
            for pos in heap:  # tell the kernel of every node left dirty
                if order[pos].dirty:
                    graph.set_dirty(order[pos].id)
            raise
        finally:
            self._busy = False

    def _process(self, node: _Node, record: _Recorder) -> bool:
        """Bring one dirty node up to date; true if its value (or failure) changed.

        Its dependencies are all up to date. If a user's function or equality raises a
        `BaseException` that is not an `Exception`, the node is left dirty and unchanged.
        """
        graph = self._graph
        node_id = node.id
        record.schedule.append(node_id)
        if node.kind == "input":
            new = node.pending
            changed = new is not _MISSING and (
                node.value is _MISSING or not _same(node, node.value, new)
            )
            node.pending = _MISSING
            node.dirty = False
            if changed:
                node.value = new
                self._clock += 1
                node.changed_at = self._clock
                node.outcome = "changed"
                record.changed.append(node_id)
            else:
                node.outcome = "unchanged"
            # The content hash of an input is the clock of its last change: exact, and no
            # value needs to be hashable.
            graph.commit_input(node_id, node.changed_at)
            return changed

        _kind, needs, signature = graph.check_node(node_id)
        reason = node.reason
        if reason is None and not needs:
            graph.skip_node(node_id, signature)
            node.dirty = False
            node.outcome = "reused"
            record.reused.append(node_id)
            return False
        if self._failures:
            for dep in node.dep_nodes:
                if dep.failure is not None:  # not called: it would see no value
                    self._fail(node, dep.failure)
                    return self._failed(node, signature, record)

        self._computing = node
        try:
            fn = node.fn
            assert fn is not None
            new = fn(*[dep.value for dep in node.dep_nodes])
            old = node.value
            if old is _MISSING:
                changed = True
            elif node.equal is None:
                try:
                    changed = (old == new) is not True
                except Exception:
                    changed = True
            else:
                changed = not _same(node, old, new)
        except Exception as error:
            self._called(node, reason, record)
            self._fail(node, _Failure(node_id, error))
            return self._failed(node, signature, record)
        finally:
            self._computing = None

        self._called(node, reason, record)
        if node.failure is not None:
            self._failures -= 1
            node.failure = None
        node.dirty = False
        if changed:
            node.value = new
            graph.commit_node(node_id, signature)
            self._clock += 1
            node.changed_at = self._clock
            node.outcome = "changed"
            record.changed.append(node_id)
        else:
            graph.skip_node(node_id, signature)  # the epoch stays: dependents stay valid
            node.outcome = "cut_off"
            record.cut_off.append(node_id)
        return changed

    @staticmethod
    def _called(node: _Node, reason: Reason | None, record: _Recorder) -> None:
        """Keep what `explain` needs of the call that just happened."""
        record.computed.append(node.id)
        node.last_reason = reason or "dependencies"
        node.last_deps = node.dep_nodes
        if node.changes:
            node.last_changes = node.changes
            node.changes = []
        elif node.last_changes:
            node.last_changes = []
        node.reason = None

    def _fail(self, node: _Node, failure: _Failure) -> None:
        if node.failure is None:
            self._failures += 1
        node.failure = failure
        node.value = _MISSING

    def _failed(self, node: _Node, signature: int, record: _Recorder) -> bool:
        # A failure is kept until a dependency changes or the node is redefined or
        # invalidated: it is committed like a value, with a new epoch so that the nodes that
        # depend on it are visited and fail too.
        self._graph.commit_node(node.id, signature)
        self._clock += 1
        node.changed_at = self._clock
        node.dirty = False
        node.outcome = "failed"
        record.failed.append(node.id)
        return True

    # ---- queries --------------------------------------------------------------------------

    def explain(self, id: str) -> Explanation:
        """Why the node's most recent computation happened."""
        self._idle("explain")
        node = self._node(id)
        if node.kind == "input":
            raise ValueError(f"input {quote(id)} is set, never computed")
        if node.last_reason is None:
            raise ValueError(f"node {quote(id)} has not been computed yet")
        if node.last_reason != "dependencies":
            return Explanation(id, node.last_reason, [])
        changed = set(node.last_changes)
        ids = [dep.id for dep in dict.fromkeys(node.last_deps) if dep in changed]
        return Explanation(id, "dependencies", ids)

    def to_dot(self) -> str:
        """The graph in Graphviz DOT: every node with its kind and the outcome of its last
        evaluation, and an edge from each dependency to the node that depends on it."""
        self._idle("to_dot")
        return render_dot(
            (node.id, node.kind, node.outcome, node.deps) for node in self._nodes.values()
        )

    def __len__(self) -> int:
        self._idle("__len__")
        return len(self._nodes)

    def __contains__(self, id: object) -> bool:
        self._idle("__contains__")
        if not isinstance(id, str):
            raise TypeError(f"node ids are str, not {type(id).__name__}")
        return id in self._nodes

    def __repr__(self) -> str:
        return f"<tavik.Engine nodes={len(self._nodes)}>"

    # ---- helpers --------------------------------------------------------------------------

    def _idle(self, call: str) -> None:
        """Refuse a call made while the engine is evaluating (from a node's function)."""
        if self._busy:
            computing = self._computing
            where = f" node {quote(computing.id)}" if computing is not None else ""
            raise RuntimeError(
                f"Engine.{call}() called while the engine is computing{where}: a node's "
                "function reads its dependencies through its arguments only"
            )

    def _node(self, node_id: str) -> _Node:
        if not isinstance(node_id, str):
            raise TypeError(f"node ids are str, not {type(node_id).__name__}")
        try:
            return self._nodes[node_id]
        except KeyError:
            raise unknown_node(node_id) from None

    def _input(self, node_id: str) -> _Node:
        node = self._node(node_id)
        if node.kind != "input":
            raise ValueError(f"cannot set {node.kind} node {quote(node_id)}: it is not an input")
        return node

    def _check_new(self, node_id: str, equal: Equal | None) -> None:
        if not isinstance(node_id, str):
            raise TypeError(f"node ids are str, not {type(node_id).__name__}")
        if node_id in self._nodes:
            raise ValueError(f"node already registered: {quote(node_id)}")
        if equal is not None:
            self._check_callable("equal", equal)

    def _check_deps(self, node_id: str, deps: Sequence[str]) -> tuple[str, ...]:
        if isinstance(deps, str) or not isinstance(deps, Sequence):
            raise TypeError(
                f"deps of {quote(node_id)} must be a list or tuple of ids, "
                f"not {type(deps).__name__}"
            )
        dep_ids = tuple(deps)
        for dep in dep_ids:
            if dep == node_id:
                raise CycleError(node_id, [node_id, node_id])
            self._node(dep)
        return dep_ids

    @staticmethod
    def _check_callable(name: str, fn: object) -> None:
        if not callable(fn):
            raise TypeError(f"{name} must be callable, not {type(fn).__name__}")

    def _mark_dirty(self, node: _Node) -> None:
        """Between evaluations: the node must be visited by the next one that reaches it."""
        if not node.dirty:
            node.dirty = True
            self._graph.set_dirty(node.id)
            if not self._stale:
                heapq.heappush(self._heap, node.pos)

    def _take_order(self) -> None:
        """After an edit that moved a node, take the kernel's new order and re-key the heap."""
        if not self._stale:
            return
        graph = self._graph
        graph.build()
        nodes = self._nodes
        order = [nodes[node_id] for node_id in graph.topo_order()]
        for pos, node in enumerate(order):
            node.pos = pos
        self._order = order
        self._heap = [node.pos for node in order if node.dirty]  # sorted, so a heap
        self._stale = False

    def _find_cycle(self, node: _Node, deps: tuple[str, ...]) -> list[str] | None:
        """A cycle that depending on ``deps`` would close through ``node``, or None.

        Only nodes after ``node`` in the order can depend on it, so the search stays between
        ``node`` and its new dependencies.
        """
        self._take_order()
        floor = node.pos
        parent: dict[_Node, _Node] = {}
        stack: list[_Node] = []
        for dep_id in reversed(deps):
            dep = self._nodes[dep_id]
            if dep.pos > floor and dep not in parent:
                parent[dep] = node
                stack.append(dep)
        while stack:
            current = stack.pop()
            for dep in current.dep_nodes:
                if dep is node:
                    path = [current.id]
                    while (current := parent[current]) is not node:
                        path.append(current.id)
                    return [node.id, *reversed(path), node.id]
                if dep.pos > floor and dep not in parent:
                    parent[dep] = current
                    stack.append(dep)
        return None

    @staticmethod
    def _rebuilt_graph(nodes: Mapping[str, _Node]) -> Graph:
        """A new kernel graph holding ``nodes`` with their states and memo carried over.

        Epochs cannot be copied, so every node gets a fresh one in topological order, with a
        signature that keeps the kernel's verdict (valid or not) what it was; inputs keep
        their content hash, and dirty nodes stay dirty. Nothing is recomputed because of it.
        """
        graph = Graph()
        for node in nodes.values():
            graph.add_node(node.id, node.kind)
        for node in nodes.values():
            if node.deps:
                graph.set_deps(node.id, node.deps)
        graph.build()
        for node_id in graph.topo_order():
            node = nodes[node_id]
            if node.kind == "input":
                graph.commit_input(node_id, node.changed_at)
            else:
                valid = node.outcome != "pending" and not node.dirty
                signature = graph.check_node(node_id)[2]
                graph.commit_node(node_id, signature if valid else signature ^ 1)
            if node.dirty:
                graph.set_dirty(node_id)
        return graph
