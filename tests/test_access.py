"""Access to one graph while a call on it is converting its arguments, and reference counts.

A call holds shared access (queries) or exclusive access (mutations) while it converts its
arguments. The conversion can run the caller's Python code (an `__index__`, the iteration of a
sequence), and that code can call back into the same graph: any number of shared holders may
nest, an exclusive holder excludes every other call.
"""

from __future__ import annotations

import gc
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import pytest

from conftest import Index, make_abc, snapshot
from tavik._tavik import Graph

MUTABLY_BORROWED = "Already mutably borrowed"
BORROWED = "Already borrowed"

Inner = Callable[[Graph], object]
Outcome = tuple[str, object]


def outcome(call: Callable[[], object]) -> Outcome:
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the outcome is what is being tested
        return (type(error).__name__, str(error))


# Calls made from inside the conversion of another call: (name, call, takes exclusive access).
INNER: list[tuple[str, Inner, bool]] = [
    ("state_of", lambda g: g.state_of("a"), False),
    ("check_node", lambda g: g.check_node("c"), False),
    ("node_ids", lambda g: g.node_ids(), False),
    ("len", len, False),
    ("repr", repr, False),
    ("in", lambda g: "a" in g, False),
    ("set_dirty", lambda g: g.set_dirty("a"), True),
    ("add_node", lambda g: g.add_node("new", "input"), True),
    ("build", lambda g: g.build(), True),
]


class Seq(Sequence[str]):
    """A sequence of ids that runs `hook` when asked for its length (`where` "len"), for an
    iterator ("iter") or for each item ("item")."""

    def __init__(self, ids: list[str], hook: Callable[[], object], where: str = "item") -> None:
        self.ids = ids
        self.hook = hook
        self.where = where

    def __len__(self) -> int:
        if self.where == "len":
            self.hook()
        return len(self.ids)

    def __getitem__(self, i: Any) -> Any:
        if self.where == "item":
            self.hook()
        return self.ids[i]

    def __iter__(self) -> Iterator[str]:
        if self.where == "iter":
            self.hook()
        return (self[i] for i in range(len(self.ids)))


@dataclass(frozen=True)
class Outer:
    """A call whose conversion runs the caller's code; `arg` wraps the hook into its argument."""

    name: str
    exclusive: bool
    call: Callable[[Graph, Any], object]
    arg: Callable[[Callable[[], object]], object]


OUTER: list[Outer] = [
    Outer("needs_recompute", False, lambda g, x: g.needs_recompute("b", x), lambda h: Index(1, h)),
    Outer("dirty_subgraph", False, lambda g, x: g.dirty_subgraph(x), lambda h: Seq(["a"], h)),
    Outer("commit_node", True, lambda g, x: g.commit_node("b", x), lambda h: Index(1, h)),
    Outer("skip_node", True, lambda g, x: g.skip_node("b", x), lambda h: Index(1, h)),
    Outer("commit_input", True, lambda g, x: g.commit_input("a", x), lambda h: Index(1, h)),
    Outer("set_clean", True, lambda g, x: g.set_clean("b", x), lambda h: Index(1, h)),
    Outer("set_deps", True, lambda g, x: g.set_deps("c", x), lambda h: Seq(["b"], h)),
    Outer("mark_dirty", True, lambda g, x: g.mark_dirty(x), lambda h: Seq(["a"], h)),
]


def expected_inner(outer_exclusive: bool, inner_exclusive: bool) -> str | None:
    """The RuntimeError message of a nested call, or None when it is allowed."""
    if outer_exclusive:
        return BORROWED if inner_exclusive else MUTABLY_BORROWED
    return BORROWED if inner_exclusive else None


class TestNestedCalls:
    @pytest.mark.parametrize("outer", OUTER, ids=lambda o: o.name)
    @pytest.mark.parametrize(
        ("inner", "inner_exclusive"),
        [(call, exclusive) for _, call, exclusive in INNER],
        ids=[name for name, _, _ in INNER],
    )
    def test_matrix(self, outer: Outer, inner: Inner, inner_exclusive: bool) -> None:
        g = make_abc()
        # What the inner call answers on its own; it is only read while nothing has changed.
        alone = outcome(lambda: inner(make_abc()))
        seen: list[Outcome] = []
        outer_result = outer.call(g, outer.arg(lambda: seen.append(outcome(lambda: inner(g)))))

        message = expected_inner(outer.exclusive, inner_exclusive)
        assert seen, "the hook did not run"
        if message is None:
            assert seen[0] == alone
        else:
            assert seen[0] == ("RuntimeError", message)
        # The outer call completed as if nothing had happened in between.
        reference = make_abc()
        assert outer_result == outer.call(reference, outer.arg(lambda: None))
        assert snapshot(g) == snapshot(reference)
        # Access is free again: both kinds of access succeed.
        assert g.state_of("a") in ("clean", "dirty")
        g.set_dirty("c")
        assert g.state_of("c") == "dirty"

    @pytest.mark.parametrize("outer", OUTER, ids=lambda o: o.name)
    def test_refused_call_escaping_fails_the_outer_call(self, outer: Outer) -> None:
        g = make_abc()
        before = snapshot(g)
        refused = (lambda: g.node_ids()) if outer.exclusive else (lambda: g.set_dirty("a"))
        with pytest.raises(RuntimeError) as excinfo:
            outer.call(g, outer.arg(refused))
        assert type(excinfo.value) is RuntimeError
        assert excinfo.value.args == (MUTABLY_BORROWED if outer.exclusive else BORROWED,)
        assert snapshot(g) == before
        g.add_node("after", "view")
        assert "after" in g

    @pytest.mark.parametrize("where", ["len", "item", "iter"])
    @pytest.mark.parametrize(
        ("method", "message"),
        [
            ("mark_dirty", MUTABLY_BORROWED),
            ("set_deps", MUTABLY_BORROWED),
            ("dirty_subgraph", None),
        ],
    )
    def test_every_step_of_a_sequence_conversion(
        self, where: str, method: str, message: str | None
    ) -> None:
        g = make_abc()
        seen: list[Outcome] = []
        seq = Seq(["a"], lambda: seen.append(outcome(g.node_ids)), where)
        if method == "set_deps":
            g.set_deps("c", seq)
        else:
            getattr(g, method)(seq)
        expected: Outcome = (
            ("ok", ["a", "b", "c"]) if message is None else ("RuntimeError", message)
        )
        assert seen == [expected]

    def test_binding_comes_before_access(self) -> None:
        g = make_abc()
        seen: list[Outcome] = []

        def hook() -> None:
            seen.append(outcome(lambda: g.state_of()))  # type: ignore[call-arg]
            seen.append(outcome(lambda: g.add_node("x", "input", "extra")))  # type: ignore[call-arg]
            seen.append(outcome(lambda: g.node_ids(1)))  # type: ignore[call-arg]
            # Access comes before conversion.
            seen.append(outcome(lambda: g.state_of(5)))  # type: ignore[arg-type]

        g.set_clean("b", Index(1, hook))
        assert seen[0] == (
            "TypeError",
            "Graph.state_of() missing 1 required positional argument: 'id'",
        )
        assert seen[1] == (
            "TypeError",
            "Graph.add_node() takes 2 positional arguments but 3 were given",
        )
        assert seen[2][0] == "TypeError"
        assert seen[3] == ("RuntimeError", MUTABLY_BORROWED)

    def test_shared_calls_nest_deeply(self) -> None:
        g = make_abc()
        seen: list[Outcome] = []

        def innermost() -> None:
            seen.append(outcome(lambda: g.state_of("c")))
            seen.append(outcome(lambda: g.set_dirty("c")))
            seen.append(outcome(len(g).__int__))

        def middle() -> None:
            seen.append(outcome(lambda: g.needs_recompute("c", Index(0, innermost))))
            seen.append(outcome(lambda: g.dirty_subgraph(Seq(["b"], lambda: None))))

        assert g.dirty_subgraph(Seq(["a"], middle)) == ["a", "b", "c"]
        assert seen == [
            ("ok", "dirty"),
            ("RuntimeError", BORROWED),
            ("ok", 3),
            ("ok", True),
            ("ok", ["b", "c"]),
        ]
        g.commit_node("c", 5)
        assert g.state_of("c") == "clean"

    def test_refusal_does_not_disturb_the_outer_access(self) -> None:
        """After a refused exclusive call inside a shared one, the shared count is intact."""
        g = make_abc()
        seen: list[Outcome] = []

        def hook() -> None:
            seen.append(outcome(lambda: g.build()))
            seen.append(outcome(lambda: g.set_dirty("a")))
            seen.append(outcome(lambda: g.kind_of("a")))

        assert g.needs_recompute("b", Index(1, hook)) is True
        assert seen == [
            ("RuntimeError", BORROWED),
            ("RuntimeError", BORROWED),
            ("ok", "input"),
        ]
        g.build()
        g.set_clean("b", 2)
        assert g.state_of("b") == "clean"

    def test_other_graphs_are_independent(self) -> None:
        g, other = make_abc(), make_abc()
        seen: list[Outcome] = []

        def hook() -> None:
            seen.append(outcome(lambda: other.mark_dirty(["a"])))
            seen.append(outcome(lambda: other.add_node("x", "view")))

        g.set_clean("b", Index(1, hook))
        assert seen == [("ok", ["a", "b", "c"]), ("ok", None)]
        assert "x" in other and "x" not in g

    def test_repeated_refusals_leave_the_graph_usable(self) -> None:
        g = make_abc()
        for _ in range(100):
            with pytest.raises(RuntimeError):
                g.set_clean("b", Index(1, lambda: g.state_of("a")))
            with pytest.raises(RuntimeError):
                g.dirty_subgraph(Seq(["a"], lambda: g.set_dirty("a")))
        g.set_clean("b", 1)
        assert g.state_of("b") == "clean"
        assert g.node_ids() == ["a", "b", "c"]


def refcounts(objects: list[object]) -> list[int]:
    gc.collect()  # a traceback cycle is not a leak
    return [sys.getrefcount(o) for o in objects]


def new_str(text: str) -> str:
    """A string object of its own: not interned, not shared with any constant."""
    return "".join([text[:1], text[1:]])


class Plain:
    """An `__index__` without side effects, answering a large integer."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class TestReferenceCounts:
    """Argument objects are borrowed: no call keeps or drops a reference to them."""

    @pytest.fixture
    def g(self) -> Graph:
        g = Graph()
        g.add_node("alpha", "input")
        g.add_node("beta", "reactive")
        g.add_node("gamma", "view")
        g.set_deps("beta", ["alpha"])
        g.set_deps("gamma", ["beta"])
        g.build()
        return g

    def test_successful_calls(self, g: Graph) -> None:
        alpha, beta, gamma = new_str("alpha"), new_str("beta"), new_str("gamma")
        new_id, kind = new_str("new"), new_str("input")
        kind_any: Any = kind
        deps = [new_str("alpha"), new_str("beta")]
        deps_tuple = tuple(deps)
        big = 2**64 - int("1")
        plain = Plain(2**63 + int("5"))
        seq = Seq([new_str("alpha")], lambda: None)
        watched: list[object] = [g, alpha, beta, gamma, new_id, kind, deps, deps_tuple, *deps]
        watched += [big, plain, plain.value, seq, seq.ids[0]]
        before = refcounts(watched)
        for _ in range(3):
            g.set_deps(gamma, deps)
            g.set_deps(gamma, deps_tuple)
            g.build()
            g.dirty_subgraph(deps)
            g.mark_dirty(seq)
            g.downstream(alpha)
            g.set_clean(beta, big)
            g.commit_node(beta, plain)
            g.needs_recompute(beta, plain)
            g.check_node(gamma)
            g.deps_of(gamma)
            g.kind_of(alpha)
            assert beta in g
        g.add_node(new_id, kind_any)
        assert refcounts(watched) == before

    @pytest.mark.parametrize(
        "call",
        [
            lambda g, o: g.set_deps(o["id"], [o["dep"], o["bad"]]),
            lambda g, o: g.set_deps(o["id"], [o["dep"], o["unknown"]]),
            lambda g, o: g.set_deps(o["unknown"], [o["dep"]]),
            lambda g, o: g.set_deps(o["id"], o["id"]),
            lambda g, o: g.mark_dirty([o["dep"], o["unknown"]]),
            lambda g, o: g.add_node(o["id"], o["id"]),
            lambda g, o: g.add_node(o["unknown"], o["id"]),
            lambda g, o: g.set_clean(o["id"], o["negative"]),
            lambda g, o: g.set_clean(o["unknown"], o["big"]),
            lambda g, o: g.set_clean(o["bad"], o["big"]),
            lambda g, o: g.commit_node(o["id"], o["raising"]),
            lambda g, o: g.commit_node(o["id"], o["big"], o["dep"]),
            lambda g, o: g.commit_node(o["id"], signature=o["big"], x=o["dep"]),
            lambda g, o: g.state_of(o["surrogate"]),
            lambda g, o: o["bad"] in g,
            lambda g, o: g.needs_recompute(o["id"], o["refused"]),
            lambda g, o: g.set_deps(o["id"], o["refused_seq"]),
        ],
    )
    def test_failing_calls(self, g: Graph, call: Callable[[Graph, dict[str, Any]], object]) -> None:
        objects: dict[str, Any] = {
            "id": new_str("gamma"),
            "dep": new_str("alpha"),
            "unknown": new_str("zz"),
            "bad": object(),
            "negative": -(2**70),
            "big": 2**64 - int("1"),
            "raising": Index(1, lambda: 1 / 0),
            "surrogate": new_str("x\ud800"),
            "refused": Index(1, lambda: g.set_dirty("alpha")),
            "refused_seq": Seq(["alpha"], lambda: g.node_ids()),
        }
        watched = [g, *objects.values()]
        before = refcounts(watched)
        for _ in range(3):
            with pytest.raises(Exception):  # noqa: B017 - each case raises its own type
                call(g, objects)
        assert refcounts(watched) == before

    def test_results_hold_only_their_own_references(self, g: Graph) -> None:
        # Counted outside the assertions, whose rewriting keeps temporaries alive.
        ids = g.node_ids()
        counts = [sys.getrefcount(ids), *(sys.getrefcount(ids[k]) for k in range(3))]
        deps = g.deps_of("gamma")
        counts += [sys.getrefcount(deps), sys.getrefcount(deps[0])]
        result = g.check_node("gamma")
        counts += [sys.getrefcount(result), sys.getrefcount(result[2])]
        assert counts == [2] * len(counts)

    def test_kind_and_state_names_are_new_strings(self, g: Graph) -> None:
        other = Graph()
        other.add_node("y", "view")
        names = [
            g.kind_of("gamma"),
            g.kind_of("gamma"),
            g.check_node("gamma")[0],
            other.kind_of("y"),
            other.check_node("y")[0],
            g.state_of("gamma"),
            g.state_of("gamma"),
            other.state_of("y"),
        ]
        assert names == ["view"] * 5 + ["dirty"] * 3
        assert len({id(name) for name in names}) == len(names)
        assert g.kind_of("gamma") is not other.check_node("y")[0]
        # Counted outside the assertion, whose rewriting keeps temporaries alive: each string is
        # held by the list alone (and by the call's argument).
        counts = [sys.getrefcount(names[k]) for k in range(len(names))]
        assert counts == [2] * len(names)

    def test_kind_and_state_names_stay_balanced(self, g: Graph) -> None:
        # Answers build their kind and state names anew: no string gains or keeps a reference.
        kind, state = g.kind_of("gamma"), g.state_of("gamma")
        before = [sys.getrefcount(kind), sys.getrefcount(state)]
        for _ in range(100):
            g.check_node("gamma")
            g.kind_of("gamma")
            g.state_of("gamma")
        assert [sys.getrefcount(kind), sys.getrefcount(state)] == before

    def test_type_references_are_balanced(self) -> None:
        before = sys.getrefcount(Graph)
        graphs = [Graph() for _ in range(50)]
        for graph in graphs:
            graph.add_node("a", "input")
        del graphs, graph
        assert sys.getrefcount(Graph) == before

    def test_booleans_are_not_leaked(self, g: Graph) -> None:
        g.set_clean("beta", 1)
        before = (sys.getrefcount(True), sys.getrefcount(False))
        for _ in range(200):
            g.needs_recompute("beta", 1)
            g.needs_recompute("beta", 2)
            g.check_node("beta")
            "alpha" in g  # noqa: B015
        assert (sys.getrefcount(True), sys.getrefcount(False)) == before
