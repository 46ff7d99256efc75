"""The incremental engine: the typed API over the native core that runs it.

`Engine` checks arguments, raises the errors and builds the reports; the native `Core`
(`tavik._engine`) keeps, per node, its value, its function and its equality over a kernel graph
that keeps the dependency edges, the topological order, each node's state and the memo
signatures, and decides whether a node's value is still valid. An evaluation walks only what a
change reaches: the nodes that must be visited sit in a heap keyed by their place in the kernel's
order, and a node joins it when one of its dependencies changed, so an update that is cut off
after k nodes costs about k log k, whatever the size of the graph. Python code runs only inside
users' functions and equalities.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from time import perf_counter
from typing import Any, Final, TypeVar, cast, overload

from tavik._dot import render_dot
from tavik._engine import Core
from tavik._types import Kind
from tavik.errors import CycleError, NodeError, quote, quote_all, unknown_node
from tavik.report import Explanation, Reason, Update

__all__ = ["Engine", "Equal"]

F = TypeVar("F", bound=Callable[..., object])
#: ``equal(old, new)``: true when ``new`` is no change from ``old``. Anything but ``True``, or an
#: exception, counts as a change.
Equal = Callable[[Any, Any], object]


class _Missing:
    """What the core gives for a node without a value: one that failed."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<no value>"


_MISSING: Final = _Missing()


class Engine:
    """An incremental engine: define nodes, change inputs, read values kept up to date.

    Inputs hold values set by the user, sources read theirs from outside, reactive nodes and
    views compute theirs from their dependencies. Nothing is computed until a value is read
    (``engine[id]``) or ``stabilize()`` is called; then only what a change reaches is visited,
    and a node whose recomputed value equals the old one stops the change there.
    """

    def __init__(self) -> None:
        self._core = Core(_MISSING)
        self._kinds: dict[str, Kind] = {}

    # ---- definitions --------------------------------------------------------------------

    def input(self, id: str, value: object, *, equal: Equal | None = None) -> None:
        """Define an input node holding ``value``; `set` changes it."""
        self._idle("input")
        self._check_new(id, equal)
        self._core.add(id, "input", (), None, equal, value)
        self._kinds[id] = "input"

    def source(self, id: str, read: Callable[[], object], *, equal: Equal | None = None) -> None:
        """Define a source: ``read()`` gives its value, at its first evaluation and again after
        ``invalidate(id)``."""
        self._idle("source")
        self._check_new(id, equal)
        self._check_callable("read", read)
        self._core.add(id, "source", (), read, equal, None)
        self._kinds[id] = "source"

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
        self._core.add(node_id, kind, dep_ids, fn, equal, None)
        self._kinds[node_id] = kind
        return None

    # ---- edits ----------------------------------------------------------------------------

    def set(self, id: str, value: object) -> None:
        """Change an input's value; nothing is computed until the next read or `stabilize`."""
        self._idle("set")
        self._input(id)
        self._core.set(id, value)

    def set_many(self, values: Mapping[str, object]) -> None:
        """Change several inputs; every id is checked before any value changes."""
        self._idle("set_many")
        items = list(values.items())
        for node_id, _value in items:
            self._input(node_id)
        core_set = self._core.set
        for node_id, value in items:
            core_set(node_id, value)

    def invalidate(self, *ids: str) -> None:
        """Force the listed sources or derived nodes to be recomputed at their next evaluation."""
        self._idle("invalidate")
        kinds = [self._kind(node_id) for node_id in ids]
        for node_id, kind in zip(ids, kinds):
            if kind == "input":
                raise ValueError(f"cannot invalidate input {quote(node_id)}: set its value instead")
        for node_id in ids:
            self._core.invalidate(node_id)

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
        kind = self._kind(id)
        if kind == "input":
            raise ValueError(f"cannot redefine input {quote(id)}: set its value instead")
        if deps is None and fn is None:
            raise TypeError("redefine() needs deps=, fn= or both")
        if fn is not None:
            self._check_callable("fn" if kind != "source" else "read", fn)
        dep_ids = None
        if deps is not None:
            dep_ids = self._check_deps(id, deps)
            if kind == "source" and dep_ids:
                raise ValueError(f"source {quote(id)} cannot have dependencies")
            cycle = self._core.find_cycle(id, dep_ids)
            if cycle is not None:
                raise CycleError(id, cycle)
        self._core.redefine(id, dep_ids, fn)

    def remove(self, id: str) -> None:
        """Remove a node that nothing depends on; nothing else is recomputed."""
        self._idle("remove")
        self._kind(id)
        dependents = self._core.dependents(id)
        if dependents:
            raise ValueError(f"cannot remove node {quote(id)}: {quote_all(dependents)} depend on it")
        self._core.remove(id)
        del self._kinds[id]

    # ---- evaluation -----------------------------------------------------------------------

    def stabilize(self) -> Update:
        """Bring every node up to date and report what happened."""
        self._idle("stabilize")
        start = perf_counter()
        lists = self._core.stabilize()
        return Update(*lists, perf_counter() - start)

    def __getitem__(self, id: str) -> Any:
        """The node's up-to-date value, computing only the out-of-date nodes it depends on.

        Raises `NodeError` if the node's function, or that of a node it depends on, raised.
        """
        core = self._core
        if core.busy:
            self._idle("__getitem__")
        if type(id) is not str or id not in self._kinds:
            self._kind(id)
        value = core.read(id)
        if value is _MISSING:
            failure = core.failure(id)
            if failure is not None:
                origin, error = failure
                raise NodeError(id, origin, error) from error
        return value

    # ---- queries --------------------------------------------------------------------------

    def explain(self, id: str) -> Explanation:
        """Why the node's most recent computation happened."""
        self._idle("explain")
        if self._kind(id) == "input":
            raise ValueError(f"input {quote(id)} is set, never computed")
        last = self._core.explain(id)
        if last is None:
            raise ValueError(f"node {quote(id)} has not been computed yet")
        reason, changed = last
        return Explanation(id, cast(Reason, reason), changed)

    def to_dot(self) -> str:
        """The graph in Graphviz DOT: every node with its kind and the outcome of its last
        evaluation, and an edge from each dependency to the node that depends on it."""
        self._idle("to_dot")
        return render_dot(self._core.nodes())

    def __len__(self) -> int:
        self._idle("__len__")
        return len(self._kinds)

    def __contains__(self, id: object) -> bool:
        self._idle("__contains__")
        if not isinstance(id, str):
            raise TypeError(f"node ids are str, not {type(id).__name__}")
        return id in self._kinds

    def __repr__(self) -> str:
        return f"<tavik.Engine nodes={len(self._kinds)}>"

    # ---- helpers --------------------------------------------------------------------------

    def _idle(self, call: str) -> None:
        """Refuse a call made while the engine is evaluating (from a node's function)."""
        core = self._core
        if core.busy:
            computing = core.computing
            where = f" node {quote(computing)}" if computing is not None else ""
            raise RuntimeError(
                f"Engine.{call}() called while the engine is computing{where}: a node's "
                "function reads its dependencies through its arguments only"
            )

    def _kind(self, node_id: str) -> Kind:
        if not isinstance(node_id, str):
            raise TypeError(f"node ids are str, not {type(node_id).__name__}")
        try:
            return self._kinds[node_id]
        except KeyError:
            raise unknown_node(node_id) from None

    def _input(self, node_id: str) -> None:
        kind = self._kind(node_id)
        if kind != "input":
            raise ValueError(f"cannot set {kind} node {quote(node_id)}: it is not an input")

    def _check_new(self, node_id: str, equal: Equal | None) -> None:
        if not isinstance(node_id, str):
            raise TypeError(f"node ids are str, not {type(node_id).__name__}")
        if node_id in self._kinds:
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
            self._kind(dep)
        return dep_ids

    @staticmethod
    def _check_callable(name: str, fn: object) -> None:
        if not callable(fn):
            raise TypeError(f"{name} must be callable, not {type(fn).__name__}")
