"""The incremental engine: the typed API over the native core that runs it.

`Engine` checks arguments, raises the errors and builds the reports; the native `Core`
(`tavik._engine`) keeps, per node, its value, its function and its equality over a kernel graph
that keeps the dependency edges, the topological order, each node's state and the memo
signatures, and decides whether a node's value is still valid. An evaluation walks only what a
change reaches: the nodes that must be visited sit in a heap keyed by their place in the kernel's
order, and a node joins it when one of its dependencies changed, so an update that is cut off
after k nodes costs about k log k, whatever the size of the graph. Python code runs only inside
users' functions and equalities.

The facade keeps nothing of its own: every fact about the nodes comes from the core. Every
public call first checks everything it needs (reading only), then makes exactly one call that
changes the core, then returns, so that a call either completes or changes nothing, even when a
`KeyboardInterrupt` from a signal handler lands between any two of its bytecodes.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, ClassVar, Final, NoReturn, Protocol, TypeVar, cast, overload

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


class CoreLike(Protocol):
    """What `Engine` needs of its core: the interface of `tavik._engine.Core`.

    The core may assume that the facade checked every argument; on a violated precondition it
    raises a plain TypeError, ValueError or KeyError and changes nothing. While `busy`, every
    method but `busy`, `computing` and `__len__` raises RuntimeError.
    """

    @property
    def busy(self) -> bool: ...
    @property
    def computing(self) -> str | None: ...
    def __len__(self) -> int: ...
    def kind(self, id: str, /) -> str | None: ...
    def unknown(self, ids: tuple[object, ...], /) -> int: ...
    def add(
        self,
        id: str,
        kind: str,
        deps: tuple[str, ...],
        fn: Callable[..., object] | None,
        equal: Callable[[Any, Any], object] | None,
        value: object,
        /,
    ) -> None: ...
    def redefine(
        self, id: str, deps: tuple[str, ...] | None, fn: Callable[..., object] | None, /
    ) -> list[str] | None: ...
    def remove(self, id: str, /) -> None: ...
    def dependents(self, id: str, /) -> list[str]: ...
    def set(self, id: str, value: object, /) -> None: ...
    def set_many(self, items: list[tuple[str, object]], /) -> None: ...
    def invalidate(self, ids: tuple[str, ...], /) -> None: ...
    def stabilize(self, /) -> Update: ...
    def read(self, id: str, /) -> Any: ...
    def failure(self, id: str, /) -> tuple[str, BaseException] | None: ...
    def explain(self, id: str, /) -> tuple[str, list[str]] | None: ...
    def state(self, id: str, /) -> str: ...
    def nodes(self, /) -> list[tuple[str, str, str, tuple[str, ...]]]: ...


class CoreType(Protocol):
    """What makes a core: `tavik._engine.Core`, or a core of the tests."""

    def __call__(self, missing: object, report: type[Update], /) -> CoreLike: ...


class _Missing:
    """What the core gives for a node without a value: one that failed."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<no value>"


_MISSING: Final = _Missing()
_NOT_OWNED: Final = "it owns its nodes' functions and values"


def _node_id(node_id: object) -> str:
    """``node_id`` as an exact `str`: a subclass of str is taken by its string value, so that no
    method of the subclass runs later; anything else is refused."""
    if type(node_id) is str:
        return node_id
    if isinstance(node_id, str):
        return str.__str__(node_id)
    raise TypeError(f"node ids are str, not {type(node_id).__name__}")


class Engine:
    """An incremental engine: define nodes, change inputs, read values kept up to date.

    Inputs hold values set by the user, sources read theirs from outside, reactive nodes and
    views compute theirs from their dependencies. Nothing is computed until a value is read
    (``engine[id]``) or ``stabilize()`` is called; then only what a change reaches is visited,
    and a node whose recomputed value equals the old one stops the change there.
    """

    #: The type of the core the engine runs on.
    _Core: ClassVar[CoreType] = Core

    _core: CoreLike

    def __init__(self) -> None:
        if getattr(self, "_core", None) is not None:
            self._idle("__init__")
        self._core = type(self)._Core(_MISSING, Update)

    # ---- definitions --------------------------------------------------------------------

    def input(self, id: str, value: object, *, equal: Equal | None = None) -> None:
        """Define an input node holding ``value``; `set` changes it."""
        self._idle("input")
        node_id = self._check_new(id, equal)
        self._core.add(node_id, "input", (), None, equal, value)

    def source(self, id: str, read: Callable[[], object], *, equal: Equal | None = None) -> None:
        """Define a source: ``read()`` gives its value, at its first evaluation and again after
        ``invalidate(id)``."""
        self._idle("source")
        node_id = self._check_new(id, equal)
        self._check_callable("read", read)
        self._core.add(node_id, "source", (), read, equal, None)

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
        id: str,
        deps: Sequence[str],
        fn: Callable[..., object] | None,
        equal: Equal | None,
    ) -> Callable[[F], F] | None:
        self._idle(kind)
        node_id = self._check_new(id, equal)
        dep_ids = self._check_deps(node_id, deps)
        if fn is None:

            def define(function: F) -> F:
                self._derived(kind, node_id, dep_ids, function, equal)
                return function

            return define
        self._check_callable("fn", fn)
        self._core.add(node_id, kind, dep_ids, fn, equal, None)
        return None

    # ---- edits ----------------------------------------------------------------------------

    def set(self, id: str, value: object) -> None:
        """Change an input's value; nothing is computed until the next read or `stabilize`."""
        self._idle("set")
        node_id = self._input(id)
        self._core.set(node_id, value)

    def set_many(self, values: Mapping[str, object]) -> None:
        """Change several inputs; every id is checked before any value changes."""
        self._idle("set_many")
        items = [(self._input(node_id), value) for node_id, value in list(values.items())]
        self._core.set_many(items)

    def invalidate(self, *ids: str) -> None:
        """Force the listed sources or derived nodes to be recomputed at their next evaluation."""
        self._idle("invalidate")
        node_ids: list[str] = []
        kinds: list[Kind] = []
        for given in ids:
            node_id = _node_id(given)
            kinds.append(self._kind(node_id))
            node_ids.append(node_id)
        for node_id, kind in zip(node_ids, kinds):
            if kind == "input":
                raise ValueError(f"cannot invalidate input {quote(node_id)}: set its value instead")
        self._core.invalidate(tuple(node_ids))

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
        node_id = _node_id(id)
        kind = self._kind(node_id)
        if kind == "input":
            raise ValueError(f"cannot redefine input {quote(node_id)}: set its value instead")
        if deps is None and fn is None:
            raise TypeError("redefine() needs deps=, fn= or both")
        if fn is not None:
            self._check_callable("fn" if kind != "source" else "read", fn)
        dep_ids = None
        if deps is not None:
            dep_ids = self._check_deps(node_id, deps)
            if kind == "source" and dep_ids:
                raise ValueError(f"source {quote(node_id)} cannot have dependencies")
        cycle = self._core.redefine(node_id, dep_ids, fn)
        if cycle is not None:
            raise CycleError(node_id, cycle)

    def remove(self, id: str) -> None:
        """Remove a node that nothing depends on; nothing else is recomputed."""
        self._idle("remove")
        node_id = _node_id(id)
        self._kind(node_id)
        dependents = self._core.dependents(node_id)
        if dependents:
            raise ValueError(
                f"cannot remove node {quote(node_id)}: {quote_all(dependents)} depend on it"
            )
        self._core.remove(node_id)

    # ---- evaluation -----------------------------------------------------------------------

    def stabilize(self) -> Update:
        """Bring every node up to date and report what happened."""
        core = self._core
        if core.busy:
            self._idle("stabilize")
        return core.stabilize()

    def __getitem__(self, id: str) -> Any:
        """The node's up-to-date value, computing only the out-of-date nodes it depends on.

        Raises `NodeError` if the node's function, or that of a node it depends on, raised.
        """
        core = self._core
        if core.busy:
            self._idle("__getitem__")
        node_id = id if type(id) is str else _node_id(id)
        try:
            value = core.read(node_id)
        except KeyError:  # the core's own: an unknown id (a function's KeyError is a failure)
            raise unknown_node(node_id) from None
        if value is _MISSING:
            failure = core.failure(node_id)
            if failure is not None:
                origin, error = failure
                raise NodeError(node_id, origin, error) from error
        return value

    # ---- queries --------------------------------------------------------------------------

    def explain(self, id: str) -> Explanation:
        """Why the node's most recent computation happened."""
        self._idle("explain")
        node_id = _node_id(id)
        if self._kind(node_id) == "input":
            raise ValueError(f"input {quote(node_id)} is set, never computed")
        last = self._core.explain(node_id)
        if last is None:
            raise ValueError(f"node {quote(node_id)} has not been computed yet")
        reason, changed = last
        return Explanation(node_id, cast(Reason, reason), changed)

    def to_dot(self) -> str:
        """The graph in Graphviz DOT: every node with its kind and the outcome of its last
        evaluation, and an edge from each dependency to the node that depends on it."""
        self._idle("to_dot")
        return render_dot(self._core.nodes())

    def __len__(self) -> int:
        self._idle("__len__")
        return len(self._core)

    def __contains__(self, id: object) -> bool:
        self._idle("__contains__")
        return self._core.kind(_node_id(id)) is not None

    def __repr__(self) -> str:
        return f"<tavik.Engine nodes={len(self._core)}>"

    # An engine holds users' functions and values, and its core cannot be copied or rebuilt.

    def __copy__(self) -> NoReturn:
        self._idle("__copy__")
        raise TypeError(f"cannot copy an Engine: {_NOT_OWNED}")

    def __deepcopy__(self, memo: object) -> NoReturn:
        self._idle("__deepcopy__")
        raise TypeError(f"cannot copy an Engine: {_NOT_OWNED}")

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        self._idle("__reduce_ex__")
        raise TypeError(f"cannot pickle an Engine: {_NOT_OWNED}")

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
        """The kind of the node ``node_id`` (an exact str), which must exist."""
        kind = self._core.kind(node_id)
        if kind is None:
            raise unknown_node(node_id)
        return cast(Kind, kind)

    def _input(self, id: object) -> str:
        node_id = _node_id(id)
        kind = self._kind(node_id)
        if kind != "input":
            raise ValueError(f"cannot set {kind} node {quote(node_id)}: it is not an input")
        return node_id

    def _check_new(self, id: object, equal: Equal | None) -> str:
        node_id = _node_id(id)
        if self._core.kind(node_id) is not None:
            raise ValueError(f"node already registered: {quote(node_id)}")
        if equal is not None:
            self._check_callable("equal", equal)
        return node_id

    def _check_deps(self, node_id: str, deps: Sequence[str]) -> tuple[str, ...]:
        if isinstance(deps, str) or not isinstance(deps, Sequence):
            raise TypeError(
                f"deps of {quote(node_id)} must be a list or tuple of ids, "
                f"not {type(deps).__name__}"
            )
        given = tuple(deps)
        # One core call checks them all in the common case; otherwise the loop below finds the
        # first fault in order.
        if self._core.unknown(given) < 0 and node_id not in given:
            return given
        dep_ids: list[str] = []
        for dep in given:
            dep_id = _node_id(dep)
            if dep_id == node_id:
                raise CycleError(node_id, [node_id, node_id])
            self._kind(dep_id)
            dep_ids.append(dep_id)
        return tuple(dep_ids)

    @staticmethod
    def _check_callable(name: str, fn: object) -> None:
        if not callable(fn):
            raise TypeError(f"{name} must be callable, not {type(fn).__name__}")
