"""Stateful property test: random call sequences on `tavik.Graph` and on `ModelSurface`.

A hypothesis state machine sends the same calls, through the whole Python surface (the 21
methods, `len`, `in`, `repr`), to the module and to the model: ids with quotes, escapes, control
characters, combining marks and emoji sequences, unknown ids, invalid kinds, arguments of the wrong
type, out-of-range and boundary integers, keyword and malformed calls, and argument objects that
raise or call back into the same graph while they are converted. Every result (with its types),
every exception (type and `args`) and every outcome of a call made back from inside a conversion
must agree, and after each step the visible state of both must be the same.

The run length is chosen by TAVIK_HYPOTHESIS_PROFILE: unset (or "ci") is a short derandomised run,
"long" a long random one whose number of state-machine runs TAVIK_HYPOTHESIS_EXAMPLES sets
(default 5000).
"""

from __future__ import annotations

import os
from typing import Any

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
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

settings.register_profile(
    "tavik-ci",
    max_examples=100,
    stateful_step_count=40,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "tavik-long",
    max_examples=int(os.environ.get("TAVIK_HYPOTHESIS_EXAMPLES", "5000")),
    stateful_step_count=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
PROFILE = "tavik-" + os.environ.get("TAVIK_HYPOTHESIS_PROFILE", "ci")

# Ids whose quoted form is the same under the module's Unicode tables and `unicodedata`. The
# first few are the ones most calls use, so that calls often meet registered nodes.
ID_POOL = [
    "a", "b", "c", "d", 'q"t', "", "b\\s", "n\n", "t\tab", "nul\0", "e\u0301", "é", "中文",
    "\U0001f600", "zw\u200dj", "vs\ufe0f", "'", "esc\x1b", "nb\u00a0sp",
]  # fmt: skip
COMMON = 6
BAD_KINDS = ["Input", "VIEW", " source", "reactive\n", "", "kind", "input\0"]
LONE_SURROGATES = ["\ud800", "a\udfff"]
WRONG_TYPES: list[object] = [5, None, b"a", 1.5, True, ["a"], ("a",)]
ARG_NAMES = ["id", "kind", "deps", "seeds", "hash", "colour", "ids"]


class Generator(Hostile):
    """A generator over `items`: not a sequence, so refused; made anew for each graph."""

    def __init__(self, items: tuple[str, ...]) -> None:
        self.items = items

    def make(self, target: Any, log: CallLog) -> object:
        return (x for x in self.items)

    def __repr__(self) -> str:
        return f"Generator({self.items!r})"


def any_of(*weighted: tuple[int, st.SearchStrategy[Any]]) -> st.SearchStrategy[Any]:
    """One of the strategies, each as many times more likely as its weight."""
    choices = [s for weight, s in weighted for _ in range(weight)]
    return st.sampled_from(choices).flatmap(lambda s: s)


node_ids = any_of(
    (4, st.sampled_from(ID_POOL[:COMMON])),
    (2, st.sampled_from(ID_POOL)),
    (1, st.text(st.characters(max_codepoint=0xFF), max_size=3)),  # Latin-1: version-proof
)
wrong_types = st.sampled_from(WRONG_TYPES) | st.sampled_from(LONE_SURROGATES)
id_args = any_of((12, node_ids), (1, node_ids.map(SubStr)), (1, wrong_types))
kind_args = any_of(
    (8, st.sampled_from(KINDS)),
    (2, st.sampled_from(BAD_KINDS)),
    (1, st.sampled_from(KINDS).map(SubStr)),
    (1, wrong_types),
)


def plain_argument(param: str) -> st.SearchStrategy[Any]:
    """A well-typed argument (for calls made back from inside a conversion)."""
    if param == "id":
        return node_ids
    if param == "kind":
        return st.sampled_from(KINDS)
    if param in ("deps", "seeds"):
        return st.lists(node_ids, max_size=2)
    return st.integers(0, 3)


@st.composite
def callbacks(draw: st.DrawFn) -> CallBack:
    method = draw(st.sampled_from(METHODS + ("len", "in", "repr")))
    if method == "in":
        args: tuple[object, ...] = (draw(node_ids),)
    elif method in NOARGS_METHODS or method in ("len", "repr"):
        args = ()
    else:
        args = tuple(draw(plain_argument(p)) for p in PARAMETERS[method])
    return CallBack(method, args, escape=draw(st.booleans()))


index_errors = st.sampled_from(
    [
        (ValueError, ("bad index",)),
        (TypeError, ("plain",)),
        (TypeErrorSubclass, ("subclass",)),
        (TypeError, (Unprintable(),)),
    ]
)
u64_args = any_of(
    (4, st.sampled_from([0, 1, 2, MASK64, True, False])),
    (4, st.integers(0, MASK64)),
    (2, st.sampled_from([-1, 2**64, 2**100, -(2**70), 1.0, None, "5", b"\x05"])),
    (1, st.builds(Index, st.sampled_from([7, MASK64, 2**64, -1, True, "7", 2.0]))),
    (1, st.builds(Index, raises=index_errors)),
    (1, st.builds(Index, st.just(3), callback=callbacks())),
)
id_lists = st.lists(any_of((9, node_ids), (1, id_args)), max_size=4)
id_list_args = any_of(
    (8, id_lists),
    (2, id_lists.map(tuple)),
    (1, node_ids),  # a plain string is refused
    (1, node_ids.map(SubStr)),
    (1, st.sets(node_ids, max_size=2)),
    (1, st.lists(node_ids, max_size=2).map(lambda x: Generator(tuple(x)))),
    (1, st.sampled_from([None, 5, b"ab", {"a": 1}, range(2)])),
    (
        2,
        st.builds(
            Seq,
            id_lists.map(tuple),
            raise_after=st.none() | st.integers(0, 3),
            raises=st.sampled_from([(ValueError, ("iteration failed",)), (TypeError, ("plain",))]),
            callback=st.none() | callbacks(),
            length=st.sampled_from([-1, 0, 2, 4, 2**62, 2**63]),
            len_callback=st.none() | callbacks(),
        ),
    ),
)
ARGUMENTS = {"id": id_args, "kind": kind_args, "deps": id_list_args, "seeds": id_list_args}
STYLES = ["positional", "keyword", "reversed keywords", "first positional"]


def argument(param: str) -> st.SearchStrategy[Any]:
    return ARGUMENTS.get(param, u64_args)


def shape(
    params: tuple[str, ...], values: list[object], style: str
) -> tuple[tuple[object, ...], dict[str, object]]:
    """Positional and keyword arguments passing `values` to `params` in the given style."""
    if style == "positional":
        return tuple(values), {}
    if style == "first positional":
        return tuple(values[:1]), dict(zip(params[1:], values[1:]))
    pairs = list(zip(params, values))
    return (), dict(reversed(pairs) if style == "reversed keywords" else pairs)


class GraphMachine(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.real = Graph()
        self.model = ModelSurface()

    def do(self, name: str, *args: object, **kwargs: object) -> tuple[object, ...]:
        """Makes the same call on both; returns its outcome (see `model.outcome`)."""
        real_log: CallLog = []
        model_log: CallLog = []

        def on(target: Any, log: CallLog) -> object:
            made_args = [materialise(a, target, log) for a in args]
            made_kwargs = {k: materialise(v, target, log) for k, v in kwargs.items()}
            if name == "len":
                return len(target)
            if name == "in":
                return made_args[0] in target
            if name == "repr":
                return repr(target)
            return getattr(target, name)(*made_args, **made_kwargs)

        actual = outcome(lambda: on(self.real, real_log))
        expected = outcome(lambda: on(self.model, model_log))
        assert actual == expected
        assert real_log == model_log
        return actual

    def registered(self) -> list[str]:
        return self.model.graph.node_ids()

    # ---- registry ------------------------------------------------------------------------------

    @initialize(
        kinds=st.lists(st.sampled_from(KINDS), min_size=COMMON, max_size=COMMON),
        masks=st.lists(st.integers(0, 2**COMMON - 1), min_size=COMMON, max_size=COMMON),
        build=st.booleans(),
    )
    def register_common(self, kinds: list[str], masks: list[int], build: bool) -> None:
        """Registers the common ids, each depending on some earlier ones, and maybe builds."""
        for k, (node_id, kind) in enumerate(zip(ID_POOL, kinds)):
            self.do("add_node", node_id, kind)
            deps = [ID_POOL[j] for j in range(k) if masks[k] >> j & 1]
            if deps:
                self.do("set_deps", node_id, deps)
        if build:
            self.do("build")

    @rule(node_id=id_args, kind=kind_args, style=st.sampled_from(STYLES))
    def add_node(self, node_id: object, kind: object, style: str) -> None:
        args, kwargs = shape(("id", "kind"), [node_id, kind], style)
        self.do("add_node", *args, **kwargs)

    @rule(node_id=id_args, deps=id_list_args, style=st.sampled_from(STYLES))
    def set_deps(self, node_id: object, deps: object, style: str) -> None:
        args, kwargs = shape(("id", "deps"), [node_id, deps], style)
        self.do("set_deps", *args, **kwargs)

    @precondition(lambda self: len(self.model.graph.nodes) > 0)
    @rule(data=st.data())
    def set_acyclic_deps(self, data: st.DataObject) -> None:
        """Deps only on nodes registered earlier, so that graphs often build."""
        ids = self.registered()
        k = data.draw(st.integers(0, len(ids) - 1), label="node")
        deps = data.draw(st.lists(st.sampled_from(ids[: k + 1]), max_size=3), label="deps")
        self.do("set_deps", ids[k], [d for d in deps if d != ids[k]])

    # ---- build and schedules -------------------------------------------------------------------

    @rule()
    def build(self) -> None:
        self.do("build")

    @rule(
        name=st.sampled_from(["dirty_subgraph", "mark_dirty"]),
        seeds=id_list_args,
        keyword=st.booleans(),
    )
    def schedule(self, name: str, seeds: object, keyword: bool) -> None:
        if keyword:
            self.do(name, seeds=seeds)
        else:
            self.do(name, seeds)

    @rule(name=st.sampled_from(["topo_order", "views", "dirty_nodes", "node_ids"]))
    def query(self, name: str) -> None:
        self.do(name)

    # ---- per-node calls ------------------------------------------------------------------------

    @rule(
        name=st.sampled_from(
            [
                "downstream",
                "check_node",
                "set_computing",
                "set_dirty",
                "state_of",
                "kind_of",
                "deps_of",
            ]
        ),
        node_id=id_args,
        keyword=st.booleans(),
    )
    def id_call(self, name: str, node_id: object, keyword: bool) -> None:
        if keyword:
            self.do(name, id=node_id)
        else:
            self.do(name, node_id)

    @rule(
        name=st.sampled_from(
            ["needs_recompute", "commit_node", "skip_node", "commit_input", "set_clean"]
        ),
        node_id=id_args,
        value=u64_args,
        style=st.sampled_from(STYLES),
    )
    def value_call(self, name: str, node_id: object, value: object, style: str) -> None:
        args, kwargs = shape(PARAMETERS[name], [node_id, value], style)
        self.do(name, *args, **kwargs)

    @rule(seeds=st.lists(node_ids, max_size=2), data=st.data())
    def update(self, seeds: list[str], data: st.DataObject) -> None:
        """One engine update: mark dirty, then check each scheduled node and commit it or record
        the memo hit, mostly with the signature that `check_node` returned."""
        result = self.do("mark_dirty", seeds)
        if result[0] != "ok":
            return
        schedule: Any = result[1][1]  # type: ignore[index]
        for _, node_id in schedule:
            if self.model.graph.kind_of(node_id) == "input" and data.draw(st.booleans()):
                self.do("commit_input", node_id, data.draw(st.integers(0, 3)))
                continue
            checked = self.do("check_node", node_id)
            decision: Any = checked[1]
            _, ((_, _), (_, needs), (_, signature)) = decision
            if data.draw(st.integers(0, 9)) == 0:
                signature = data.draw(st.integers(0, MASK64))
            self.do("commit_node" if needs else "skip_node", node_id, signature)

    # ---- protocol and malformed calls ------------------------------------------------------

    @rule(name=st.sampled_from(["len", "repr"]))
    def protocol(self, name: str) -> None:
        self.do(name)

    @rule(key=id_args)
    def contains(self, key: object) -> None:
        self.do("in", key)

    @rule(
        name=st.sampled_from(METHODS),
        data=st.data(),
        mistake=st.sampled_from(["extra", "missing", "unknown keyword", "repeated"]),
    )
    def malformed(self, name: str, data: st.DataObject, mistake: str) -> None:
        params = PARAMETERS.get(name, ())
        args = [data.draw(argument(p), label=p) for p in params]
        kwargs: dict[str, object] = {}
        if mistake == "extra":
            args.append(data.draw(id_args, label="extra"))
        elif mistake == "missing" and args:
            args = args[: data.draw(st.integers(0, len(args) - 1), label="kept")]
        elif mistake == "unknown keyword":
            kwargs[data.draw(st.sampled_from(ARG_NAMES), label="keyword")] = "a"
        elif params:
            kwargs[data.draw(st.sampled_from(params), label="keyword")] = "a"
        self.do(name, *args, **kwargs)

    # ---- invariants ----------------------------------------------------------------------------

    @invariant()
    def same_visible_state(self) -> None:
        assert len(self.real) == len(self.model)
        assert repr(self.real) == repr(self.model)
        ids = self.real.node_ids()
        assert ids == self.model.node_ids()
        if self.model.graph.built:
            assert self.real.topo_order() == self.model.topo_order()
            assert self.real.dirty_nodes() == self.model.dirty_nodes()
        for node_id in ids:
            assert node_id in self.real
            assert self.real.state_of(node_id) == self.model.state_of(node_id)
            assert self.real.deps_of(node_id) == self.model.deps_of(node_id)
            assert self.real.check_node(node_id) == self.model.check_node(node_id)


GraphMachine.TestCase.settings = settings.get_profile(PROFILE)
TestGraphMachine = GraphMachine.TestCase
if PROFILE == "tavik-long":
    # A long run takes as long as it was asked to: no per-test time limit.
    TestGraphMachine = pytest.mark.timeout(0)(TestGraphMachine)
