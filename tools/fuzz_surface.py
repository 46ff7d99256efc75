"""Coverage-guided fuzzer of the Python surface of `tavik.Graph` (run with atheris).

Each input is decoded into a short session of calls on one new `Graph`: any of the 21 methods,
`len`, `in`, `repr` and the constructor, with arguments positional, by keyword or malformed, and
with hostile argument objects: non-strings, strings with lone surrogates, `str` subclasses, user
sequences whose iteration raises or calls back into the same graph, objects whose `__index__`
raises, returns something odd or calls back. The same session runs on `ModelSurface` (tests/model.py)
with its own copies of the hostile objects, and every call must agree: the same result with the
same types, or the same exception type and arguments, and the same outcomes of the calls made back
from inside the conversions. Besides, every call must return its documented type or raise one of
the expected exception types, and after each input the graph must still answer a plain `len()`
and `node_ids()` (no access left held).

    tools/fuzz_surface.sh [runs] [extra libFuzzer flags...]
"""

from __future__ import annotations

import copy
import functools
import os
import sys
import warnings
from collections.abc import Callable
from typing import Any

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports(include=["model"]):
    from model import (
        KINDS,
        MASK64,
        METHODS,
        NOARGS_METHODS,
        PARAMETERS,
        CallBack,
        CallLog,
        Hostile,
        Index,
        ModelSurface,
        Seq,
        SubStr,
        TypeErrorSubclass,
        Unprintable,
        materialise,
        outcome,
    )

from tavik import Graph

# __index__ returning a bool is deprecated by the interpreter; as an error it must pass through.
warnings.simplefilter("error")

# Ids whose quoted form does not depend on the Unicode version behind the escaping.
IDS = [
    "a", "b", "c", "d", "e", "", "'", 'q"t', "b\\s", "n\n", "t\tab", "nul\0", "\x7f", "é",
    "e\u0301", "中文", "\U0001f600", "zw\u200dj", "vs\ufe0f",
]  # fmt: skip
MAX_CALLS = 32  # calls per session, the prelude included
PRELUDE_IDS = 5  # the first ids of IDS, registered at the start of most sessions
# Calls to decode, the more common ones more than once.
CALLABLE = list(METHODS) + ["len", "in", "repr", "Graph"] + [
    "add_node", "set_deps", "set_deps", "build", "build", "mark_dirty", "check_node",
    "commit_node", "commit_input", "skip_node", "needs_recompute",
]  # fmt: skip
BAD_KINDS = ["Input", "", "VIEW", " source", "reactive\n", "kind", "input\0"]
LONE_SURROGATES = ["\ud800", "a\udfff", "\udc80b"]
WRONG_TYPES: list[object] = [5, None, b"a", 1.5, ["a"], ("a",), {"a"}, {"a": 1}, True, object()]
U64_VALUES: list[object] = [0, 1, 2, 7, MASK64, MASK64 - 1, 2**63, 2**64, -1, -(2**64), 2**100]
# Anything the module may raise, besides exceptions of the caller's own code passing through.
EXPECTED = (
    TypeError,
    ValueError,
    KeyError,
    RuntimeError,
    OverflowError,
    UnicodeEncodeError,
    MemoryError,
    DeprecationWarning,  # raised by the interpreter for an __index__ returning a bool
)
RESULT_TYPES: dict[str, type] = {
    "needs_recompute": bool,
    "check_node": tuple,
    "state_of": str,
    "kind_of": str,
    "len": int,
    "in": bool,
    "repr": str,
}
LIST_METHODS = {
    "topo_order",
    "dirty_subgraph",
    "mark_dirty",
    "downstream",
    "deps_of",
    "dirty_nodes",
    "views",
    "node_ids",
}


class Fresh(Hostile):
    """An object made anew for each graph by `factory` (generators, sets, dictionaries)."""

    def __init__(self, factory: Callable[[], object]) -> None:
        self.factory = factory

    def make(self, target: Any, log: CallLog) -> object:
        return self.factory()

    def __repr__(self) -> str:
        return f"Fresh({self.factory()!r})"


class Decoder:
    def __init__(self, data: bytes) -> None:
        self.fdp = atheris.FuzzedDataProvider(data)

    def more(self) -> bool:
        return int(self.fdp.remaining_bytes()) > 0

    def int(self, lo: int, hi: int) -> int:
        return int(self.fdp.ConsumeIntInRange(lo, hi))

    def pick(self, values: list[Any]) -> Any:
        return self.fdp.PickValueInList(values)

    def bool(self) -> bool:
        return bool(self.fdp.ConsumeBool())

    def text(self) -> str:
        # Latin-1 text: its characters' categories are the same in every Unicode version.
        return bytes(self.fdp.ConsumeBytes(self.int(0, 6))).decode("latin-1")

    # ---- arguments -----------------------------------------------------------------------------

    def node_id(self) -> str:
        r = self.int(0, 15)
        if r < 10:
            return str(self.pick(IDS[:PRELUDE_IDS]))
        return str(self.pick(IDS)) if r < 15 else self.text()

    def id_arg(self) -> object:
        r = self.int(0, 31)
        if r < 26:
            return self.node_id()
        if r < 28:
            return SubStr(self.node_id())
        if r == 28:
            return self.pick(LONE_SURROGATES)
        return self.wrong_type()

    def kind_arg(self) -> object:
        r = self.int(0, 15)
        if r < 11:
            return str(self.pick(list(KINDS)))
        if r < 13:
            return str(self.pick(BAD_KINDS))
        if r == 13:
            return SubStr(str(self.pick(list(KINDS))))
        return self.text() if self.bool() else self.wrong_type()

    def wrong_type(self) -> object:
        r = self.int(0, len(WRONG_TYPES) + 1)
        if r < len(WRONG_TYPES):
            return Fresh(functools.partial(copy.copy, WRONG_TYPES[r]))
        if r == len(WRONG_TYPES):
            return Fresh(lambda: (x for x in ["a"]))
        return self.pick(LONE_SURROGATES)

    def items(self) -> tuple[object, ...]:
        return tuple(
            self.id_arg() if self.int(0, 9) == 0 else self.node_id() for _ in range(self.int(0, 4))
        )

    def ids_arg(self) -> object:
        r = self.int(0, 23)
        if r < 12:
            return list(self.items())
        if r < 15:
            return self.items()
        if r < 20:
            raise_after = self.int(0, 4) if self.int(0, 2) == 0 else None
            exc = self.pick([(ValueError, ("iteration failed",)), (TypeError, ("plain",))])
            return Seq(
                items=self.items(),
                raise_after=raise_after,
                raises=exc,
                callback=self.callback() if self.bool() else None,
                length=self.pick([-1, 0, 1, 3, 5, 2**62, 2**63]),
                len_callback=self.callback() if self.int(0, 3) == 0 else None,
            )
        if r == 20:
            return self.node_id()  # a plain string is refused
        if r == 21:
            return SubStr(self.node_id())
        if r == 22:
            return Fresh(functools.partial(set, [x for x in self.items() if isinstance(x, str)]))
        return self.wrong_type()

    def u64_arg(self) -> object:
        r = self.int(0, 23)
        if r < 8:
            return self.pick(U64_VALUES)
        if r < 16:
            return self.int(0, MASK64) if self.bool() else self.int(0, 3)
        if r < 22:
            value = self.pick([7, 0, MASK64, 2**64, -1, True, "x", 1.5, None])
            raises = None
            if self.int(0, 2) == 0:
                raises = self.pick(
                    [
                        (ValueError, ("bad index",)),
                        (TypeError, ("plain type error",)),
                        (TypeErrorSubclass, ("subclass",)),
                        (TypeError, (Unprintable(),)),
                        (OverflowError, ("own overflow",)),
                    ]
                )
            callback = self.callback() if self.bool() else None
            return Index(value=value, raises=raises, callback=callback)
        return self.wrong_type()

    def callback(self) -> CallBack:
        method = str(self.pick(list(METHODS) + ["len", "in", "repr"]))
        if method in ("len", "repr"):
            args: tuple[object, ...] = ()
        elif method == "in":
            args = (self.node_id(),)
        elif method in NOARGS_METHODS:
            args = ()
        else:
            args = tuple(self.plain_arg(p) for p in PARAMETERS[method])
        return CallBack(method, args, escape=self.bool())

    def plain_arg(self, param: str) -> object:
        if param == "kind":
            return str(self.pick(list(KINDS)))
        if param in ("deps", "seeds"):
            return [self.node_id() for _ in range(self.int(0, 2))]
        if param == "id":
            return self.node_id()
        return self.int(0, 3)

    def arg(self, param: str) -> object:
        if param == "id":
            return self.id_arg()
        if param == "kind":
            return self.kind_arg()
        if param in ("deps", "seeds"):
            return self.ids_arg()
        return self.u64_arg()


Call = tuple[str, tuple[object, ...], dict[str, object]]


def decode_call(d: Decoder) -> Call:
    name = str(d.pick(CALLABLE))
    if name in ("len", "repr"):
        return name, (), {}
    if name == "in":
        return name, (d.id_arg(),), {}
    params = PARAMETERS.get(name, ())
    values = [d.arg(p) for p in params]
    shape = d.int(0, 15)
    args: list[object] = []
    kwargs: dict[str, object] = {}
    if shape < 10:  # positional
        args = values
    elif shape < 13:  # by keyword, in declaration order or reversed
        pairs = list(zip(params, values))
        kwargs = dict(reversed(pairs) if d.bool() else pairs)
    elif shape == 13:  # first positional, the rest by keyword
        args = values[:1]
        kwargs = dict(zip(params[1:], values[1:]))
    else:  # malformed: extra, missing, unknown or repeated arguments
        args = values
        mistake = d.int(0, 3)
        if mistake == 0:
            args = values + [d.arg("id")]
        elif mistake == 1 and values:
            args = values[: d.int(0, len(values) - 1)]
        elif mistake == 2:
            kwargs = {str(d.pick(["colour", "ids", "id", "hash", "seeds"])): d.node_id()}
        elif params:
            kwargs = {params[-1]: d.node_id()}
    return name, tuple(args), kwargs


def invoke(target: Any, call: Call, log: CallLog) -> object:
    name, args, kwargs = call
    made_args = [materialise(a, target, log) for a in args]
    made_kwargs = {k: materialise(v, target, log) for k, v in kwargs.items()}
    if name == "len":
        return len(target)
    if name == "in":
        return made_args[0] in target
    if name == "repr":
        return repr(target)
    if name == "Graph":
        return construct(type(target), made_args, made_kwargs)
    return getattr(target, name)(*made_args, **made_kwargs)


def construct(kind: type, args: list[object], kwargs: dict[str, object]) -> object:
    """The constructor of the graph type under test; for the model, its binding messages."""
    if kind is Graph:
        return type(Graph(*args, **kwargs))
    if args:
        verb = "was" if len(args) == 1 else "were"
        raise TypeError(
            f"Graph.__new__() takes 0 positional arguments but {len(args)} {verb} given"
        )
    if kwargs:
        raise TypeError(
            f"Graph.__new__() got an unexpected keyword argument '{next(iter(kwargs))}'"
        )
    return Graph


def check_type(name: str, result: tuple[object, ...]) -> None:
    if result[0] == "raised":
        exc_type = result[1]
        assert isinstance(exc_type, type) and issubclass(exc_type, EXPECTED), result
        return
    typed_value: Any = result[1]
    value_type, value = typed_value
    if name in LIST_METHODS:
        assert value_type is list and all(t is str for t, _ in value), result
    elif name == "check_node":
        assert [t for t, _ in value] == [str, bool, int], result
    elif name == "Graph":
        assert value == Graph, result
    else:
        assert value_type is RESULT_TYPES.get(name, type(None)), result


def prelude(d: Decoder) -> list[Call]:
    """Plain calls that register up to PRELUDE_IDS nodes, each depending on some earlier ones,
    and mostly build the graph, so that the hostile calls meet graphs with something in them."""
    calls: list[Call] = []
    count = d.int(0, PRELUDE_IDS)
    for k in range(count):
        calls.append(("add_node", (IDS[k], d.pick(list(KINDS))), {}))
    for k in range(count):
        mask = d.int(0, 2**k - 1)
        deps = [IDS[j] for j in range(k) if mask >> j & 1]
        if deps:
            calls.append(("set_deps", (IDS[k], deps), {}))
    if d.int(0, 3):
        calls.append(("build", (), {}))
    return calls


def run_session(data: bytes) -> None:
    d = Decoder(data)
    real = Graph()
    surface = ModelSurface()
    history: list[Call] = []
    calls = prelude(d)
    while len(calls) < MAX_CALLS and d.more():
        calls.append(decode_call(d))
    for call in calls:
        history.append(call)
        real_log: CallLog = []
        model_log: CallLog = []
        actual = outcome(lambda: invoke(real, call, real_log))
        expected = outcome(lambda: invoke(surface, call, model_log))
        if actual != expected or real_log != model_log:
            raise AssertionError(
                f"after {history!r}:\nmodule {actual!r} {real_log!r}\n"
                f"model  {expected!r} {model_log!r}"
            )
        check_type(call[0], actual)
    # The graph is usable again, and holds what the model holds.
    assert len(real) == len(surface)
    model = surface.graph
    assert real.node_ids() == model.node_ids(), history
    if model.built:
        assert real.topo_order() == model.topo_order(), history
    assert [real.state_of(i) for i in real.node_ids()] == [
        model.state_of(i) for i in model.node_ids()
    ], history


def main() -> None:
    atheris.Setup(sys.argv, atheris.instrument_func(run_session))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
