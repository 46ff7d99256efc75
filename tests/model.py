"""A pure-Python model of `tavik.Graph`, used as an oracle by the tests.

The model keeps the same records as the native kernel (nodes in registration order, declared
dependencies, reverse edges, the cached order and its inverse, states, memo fields, the epoch
clock and the `built` flag) and gives the same answers and the same exceptions with the same
messages. `ModelGraph` models only the kernel and the error mapping, not argument conversion: it
expects already well-typed arguments (`str` ids and kinds, lists of `str`, ints in 0..2**64-1).
`ModelSurface` wraps it in the binding: argument binding, access and conversion of any arguments.

Quoting of ids in messages uses `unicodedata`, whose tables may be older than the module's. The
Grapheme_Extend property is not in `unicodedata`, so it is approximated as the categories Mn and
Me plus the Other_Grapheme_Extend code points listed below. The approximation is only relied on
for ids that the tests generate themselves (ASCII and a handful of well-known characters).
"""

from __future__ import annotations

import ctypes
import functools
import heapq
import operator
import unicodedata
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, Protocol

from tavik import Kind

MASK64 = 2**64 - 1
SIGNATURE_BASIS = 1469598103934665603
SIGNATURE_PRIME = 1099511628211

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


# ---- the Python surface: binding, access and argument conversion -------------------------------
#
# `ModelSurface` wraps a `ModelGraph` in the same per-call sequence as the native type: bind the
# arguments, take shared or exclusive access, convert the arguments in parameter order, run the
# kernel operation, release access. It takes arbitrary Python arguments and raises the same
# exceptions as the module, with the same messages. The interpreter's own conversions (`__index__`,
# reading an unsigned 64-bit integer, UTF-8 encoding) are run through the interpreter itself so that
# their messages are exactly the interpreter's.

# Parameters of every method with the vector call convention, in declaration order.
PARAMETERS: dict[str, tuple[str, ...]] = {
    "add_node": ("id", "kind"),
    "set_deps": ("id", "deps"),
    "dirty_subgraph": ("seeds",),
    "mark_dirty": ("seeds",),
    "downstream": ("id",),
    "needs_recompute": ("id", "input_hash"),
    "check_node": ("id",),
    "commit_node": ("id", "signature"),
    "skip_node": ("id", "signature"),
    "commit_input": ("id", "content_hash"),
    "set_clean": ("id", "hash"),
    "set_computing": ("id",),
    "set_dirty": ("id",),
    "state_of": ("id",),
    "kind_of": ("id",),
    "deps_of": ("id",),
}
NOARGS_METHODS = ("build", "topo_order", "dirty_nodes", "views", "node_ids")
METHODS = tuple(PARAMETERS) + NOARGS_METHODS
EXCLUSIVE_METHODS = frozenset(
    {
        "add_node",
        "set_deps",
        "build",
        "mark_dirty",
        "commit_node",
        "skip_node",
        "commit_input",
        "set_clean",
        "set_computing",
        "set_dirty",
    }
)
STR_PARAMETERS = frozenset({"id", "kind"})
ID_LIST_PARAMETERS = frozenset({"deps", "seeds"})
U64_PARAMETERS = frozenset({"input_hash", "signature", "content_hash", "hash"})

_as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
_as_u64.argtypes = [ctypes.py_object]
_as_u64.restype = ctypes.c_ulonglong
_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def _qualname(o: object) -> str:
    return type(o).__qualname__


def _cannot_convert(o: object, target: str) -> TypeError:
    return TypeError(f"'{_qualname(o)}' object cannot be converted to '{target}'")


def convert_str(o: object) -> str:
    """The string conversion: a `str` (or subclass) with a UTF-8 encoding, as an exact `str`."""
    if not issubclass(type(o), str):
        raise _cannot_convert(o, "PyString")
    assert isinstance(o, str)
    return str.encode(o, "utf-8").decode("utf-8")


def convert_u64(o: object) -> int:
    """The integer conversion: an `int` (or subclass) read directly, anything else through its
    `__index__`; negative values and values from 2**64 up raise the interpreter's
    `OverflowError`."""
    if issubclass(type(o), int):
        return int(_as_u64(o))
    return int(_as_u64(operator.index(o)))  # type: ignore[arg-type]


def convert_id_list(o: object) -> list[str]:
    """The id-list conversion: any sequence but a string, iterated, each element a string."""
    if issubclass(type(o), str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _sequence_check(o):
        raise _cannot_convert(o, "Sequence")
    try:
        len(o)  # type: ignore[arg-type]  # only sizes a reservation; its failure is dropped
    except Exception:
        pass
    return [convert_str(item) for item in iter(o)]  # type: ignore[call-overload]


def _str_of_exception(exc: BaseException) -> str:
    try:
        return str(exc)
    except Exception:
        return "<exception str() failed>"


def convert_argument(name: str, o: object) -> object:
    """Converts the argument of parameter `name`; a plain `TypeError` (not a subclass) is raised
    again as "argument '{name}': {message}", every other exception passes unchanged."""
    try:
        if name in STR_PARAMETERS:
            return convert_str(o)
        if name in ID_LIST_PARAMETERS:
            return convert_id_list(o)
        assert name in U64_PARAMETERS, name
        return convert_u64(o)
    except Exception as exc:
        if type(exc) is not TypeError:
            raise
        raise TypeError(f"argument '{name}': {_str_of_exception(exc)}") from exc.__cause__


def bind_arguments(
    name: str, params: Sequence[str], args: Sequence[object], kwargs: dict[str, object]
) -> list[object]:
    """Binds a vector call's arguments to `params`, with the messages of the native binding."""
    display = f"Graph.{name}()"
    if len(args) > len(params):
        verb = "was" if len(args) == 1 else "were"
        raise TypeError(
            f"{display} takes {len(params)} positional arguments but {len(args)} {verb} given"
        )
    slots: list[object | None] = list(args) + [None] * (len(params) - len(args))
    filled = [True] * len(args) + [False] * (len(params) - len(args))
    for key, value in kwargs.items():
        if key not in params:
            raise TypeError(f"{display} got an unexpected keyword argument '{key}'")
        i = params.index(key)
        if filled[i]:
            raise TypeError(f"{display} got multiple values for argument '{key}'")
        slots[i], filled[i] = value, True
    missing = [f"'{p}'" for p, f in zip(params, filled) if not f]
    if missing:
        if len(missing) == 1:
            names = missing[0]
        elif len(missing) == 2:
            names = " and ".join(missing)
        else:
            names = ", ".join(missing[:-1]) + ", and " + missing[-1]
        word = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{display} missing {len(missing)} required positional {word}: {names}")
    return slots


class ModelSurface:
    """The whole Python surface of `tavik.Graph` over a `ModelGraph`: every method takes the
    arguments a caller would pass (any objects, positional or by keyword) and behaves like the
    native method, including the access rule that refuses conflicting calls made from inside an
    argument's conversion."""

    def __init__(self) -> None:
        self.graph = ModelGraph()
        self.borrow_flag = 0

    @contextmanager
    def _access(self, exclusive: bool) -> Iterator[ModelGraph]:
        if exclusive:
            if self.borrow_flag != 0:
                raise RuntimeError("Already borrowed")
            self.borrow_flag = -1
        else:
            if self.borrow_flag == -1:
                raise RuntimeError("Already mutably borrowed")
            self.borrow_flag += 1
        try:
            yield self.graph
        finally:
            self.borrow_flag = 0 if exclusive else self.borrow_flag - 1

    def call(self, name: str, *args: object, **kwargs: object) -> object:
        if name in NOARGS_METHODS:
            if kwargs:
                raise TypeError(f"Graph.{name}() takes no keyword arguments")
            if args:
                raise TypeError(f"Graph.{name}() takes no arguments ({len(args)} given)")
            with self._access(name in EXCLUSIVE_METHODS) as graph:
                return getattr(graph, name)()
        params = PARAMETERS[name]
        bound = bind_arguments(name, params, args, kwargs)
        with self._access(name in EXCLUSIVE_METHODS) as graph:
            converted = [convert_argument(p, o) for p, o in zip(params, bound)]
            return getattr(graph, name)(*converted)

    def __getattr__(self, name: str) -> Callable[..., object]:
        if name not in METHODS:
            raise AttributeError(name)
        return functools.partial(self.call, name)

    def __len__(self) -> int:
        with self._access(False) as graph:
            return len(graph)

    def __contains__(self, key: object) -> bool:
        with self._access(False) as graph:
            return convert_argument("id", key) in graph

    def __repr__(self) -> str:
        with self._access(False) as graph:
            return repr(graph)


# ---- hostile arguments --------------------------------------------------------------------------
#
# Recipes for argument objects that run Python code while they are converted. A recipe is made into
# a fresh object once per graph under test (`materialise`), so that the module and `ModelSurface`
# each see their own object calling back into themselves; what every call back returned or raised
# is appended to a log, and the two logs must agree.

CallLog = list[tuple[object, ...]]


def outcome(call: Callable[[], object]) -> tuple[object, ...]:
    """What a call did: ("ok", result with the exact types of it and its items) or
    ("raised", exception type, exception args)."""
    try:
        return ("ok", typed(call()))
    except Exception as exc:
        return ("raised", type(exc), exc.args)


def typed(value: object) -> object:
    """`value` with the exact type of it and of every item of a list or tuple made explicit."""
    if isinstance(value, (list, tuple)):
        return (type(value), tuple(typed(v) for v in value))
    return (type(value), value)


class Hostile:
    def make(self, target: Any, log: CallLog) -> object:
        raise NotImplementedError


def materialise(arg: object, target: Any, log: CallLog) -> object:
    """`arg` with every recipe in it (at top level or as an item of a list or tuple) made."""
    if isinstance(arg, Hostile):
        return arg.make(target, log)
    if type(arg) in (list, tuple):
        assert isinstance(arg, (list, tuple))
        return type(arg)(materialise(a, target, log) for a in arg)
    return arg


class StrSubclass(str):
    pass


class TypeErrorSubclass(TypeError):
    pass


class Unprintable:
    """Carried by an exception, makes `str()` of that exception fail."""

    def __str__(self) -> str:
        raise ValueError("no text")

    def __repr__(self) -> str:
        return "Unprintable()"


@dataclass(frozen=True)
class SubStr(Hostile):
    """An instance of a subclass of `str`."""

    text: str

    def make(self, target: Any, log: CallLog) -> object:
        return StrSubclass(self.text)


@dataclass(frozen=True)
class CallBack:
    """A call of `method` with `args` on the graph under test, made from inside a conversion.
    The outcome is logged; an exception escapes if `escape` is true and is swallowed otherwise."""

    method: str
    args: tuple[object, ...] = ()
    escape: bool = True

    def run(self, target: Any, log: CallLog) -> None:
        def call() -> object:
            if self.method == "len":
                return len(target)
            if self.method == "in":
                return self.args[0] in target
            if self.method == "repr":
                return repr(target)
            return getattr(target, self.method)(*self.args)

        log.append(outcome(call))
        if self.escape:
            call_result = log[-1]
            if call_result[0] == "raised":
                exc_type = call_result[1]
                assert isinstance(exc_type, type) and issubclass(exc_type, BaseException)
                raise exc_type(*call_result[2])  # type: ignore[misc]


@dataclass(frozen=True)
class Index(Hostile):
    """An object that is not an `int` but has an `__index__`: it first runs `callback` (if any),
    then raises `raises` (if any: an exception type and its arguments), else returns `value`."""

    value: object = 7
    raises: tuple[type[Exception], tuple[object, ...]] | None = None
    callback: CallBack | None = None

    def make(self, target: Any, log: CallLog) -> object:
        recipe = self

        class Indexable:
            def __index__(self) -> object:
                if recipe.callback is not None:
                    recipe.callback.run(target, log)
                if recipe.raises is not None:
                    raise recipe.raises[0](*recipe.raises[1])
                return recipe.value

        return Indexable()


@dataclass(frozen=True)
class Seq(Hostile):
    """A user-defined sequence of `items`. Its iteration runs `callback` (if any) before the
    first item and raises `raises` (an exception type and its arguments) after `raise_after`
    items; `__len__` runs `len_callback` (if any), then returns `length`, or raises `ValueError`
    when `length` is negative."""

    items: tuple[object, ...] = ()
    raise_after: int | None = None
    raises: tuple[type[Exception], tuple[object, ...]] = (ValueError, ("iteration failed",))
    callback: CallBack | None = None
    length: int = 0
    len_callback: CallBack | None = None

    def make(self, target: Any, log: CallLog) -> object:
        recipe = self
        items = [materialise(item, target, log) for item in self.items]

        class UserSequence:
            def __len__(self) -> int:
                if recipe.len_callback is not None:
                    recipe.len_callback.run(target, log)
                if recipe.length < 0:
                    raise ValueError("no length")
                return recipe.length

            def __getitem__(self, k: int) -> object:
                return items[k]

            def __iter__(self) -> Iterator[object]:
                if recipe.callback is not None:
                    recipe.callback.run(target, log)
                for k, item in enumerate(items):
                    if k == recipe.raise_after:
                        raise recipe.raises[0](*recipe.raises[1])
                    yield item
                if recipe.raise_after is not None and recipe.raise_after >= len(items):
                    raise recipe.raises[0](*recipe.raises[1])

        return UserSequence()
