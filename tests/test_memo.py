"""Memo bookkeeping: the six state transitions, epochs and the clock, hash arguments, and the
recompute decision with its dependency signature.

The clock's wrap-around from 2**64 - 1 to 0 is not exercised here: reaching it takes 2**64
commits and no public operation sets the clock.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import SupportsIndex

import pytest
from conftest import Index
from model import SIGNATURE_BASIS, fold, populate, raises_like, unknown_node

from tavik import Graph, Kind

MAX = 2**64 - 1
OLD_I = 100  # content hash and signature of the input i after setup
OLD_R = 200  # signature of the reactive r after setup; its epoch is 1
NEW = 555

TRANSITIONS = {
    "set_dirty": ("dirty", False, False, False),
    "set_computing": ("computing", False, False, False),
    "set_clean": ("clean", True, False, False),
    "skip_node": ("clean", True, False, False),
    "commit_input": ("clean", True, True, False),
    "commit_node": ("clean", True, False, True),
}


def apply(g: Graph, op: str, node_id: str, value: int = NEW) -> None:
    method = getattr(g, op)
    if op in ("set_dirty", "set_computing"):
        method(node_id)
    else:
        method(node_id, value)


@pytest.fixture
def g() -> Graph:
    """i (input) and r (reactive), each watched by a dependent that folds what it contributes
    (ci reads i's content hash, cr reads r's epoch), and probe/cp to read the clock."""
    graph = Graph()
    populate(
        graph,
        [
            ("i", "input", []),
            ("r", "reactive", []),
            ("ci", "reactive", ["i"]),
            ("cr", "reactive", ["r"]),
            ("probe", "source", []),
            ("cp", "view", ["probe"]),
        ],
    )
    graph.commit_input("i", OLD_I)
    graph.commit_node("r", OLD_R)
    return graph


def next_epoch(g: Graph) -> int:
    """Commits the probe node and returns the epoch it received."""
    g.commit_node("probe", 0)
    sig = g.check_node("cp")[2]
    for epoch in range(64):
        if fold([epoch]) == sig:
            return epoch
    raise AssertionError("epoch out of the probed range")


class TestTransitions:
    @pytest.mark.parametrize("start", ["dirty", "computing", "clean"])
    @pytest.mark.parametrize("target", ["i", "r"])
    @pytest.mark.parametrize("op", list(TRANSITIONS))
    def test_effects_and_non_effects(self, g: Graph, op: str, target: str, start: str) -> None:
        state, sets_signature, sets_content, bumps_epoch = TRANSITIONS[op]
        old = OLD_I if target == "i" else OLD_R
        if start == "dirty":
            g.set_dirty(target)
        elif start == "computing":
            g.set_computing(target)
        other = "r" if target == "i" else "i"
        other_state = g.state_of(other)

        apply(g, op, target)

        assert g.state_of(target) == state
        assert g.state_of(other) == other_state
        assert (target in g.dirty_nodes()) == (state == "dirty")
        signature = NEW if sets_signature else old
        assert g.needs_recompute(target, signature) is False
        assert g.needs_recompute(target, NEW + old - signature) is True
        content = NEW if sets_content and target == "i" else OLD_I
        assert g.check_node("ci") == ("reactive", True, fold([content]))
        epoch = 2 if bumps_epoch and target == "r" else 1
        assert g.check_node("cr") == ("reactive", True, fold([epoch]))
        assert next_epoch(g) == (3 if bumps_epoch else 2)
        # The other node's memo fields stayed.
        assert g.needs_recompute(other, OLD_R if target == "i" else OLD_I) is False

    @pytest.mark.parametrize("op", list(TRANSITIONS))
    def test_unknown_id_changes_nothing(self, g: Graph, op: str) -> None:
        before = [(g.state_of(x), g.check_node(x)) for x in g.node_ids()]
        with raises_like(unknown_node("nope")):
            apply(g, op, "nope")
        assert [(g.state_of(x), g.check_node(x)) for x in g.node_ids()] == before
        assert next_epoch(g) == 2

    @pytest.mark.parametrize("op", list(TRANSITIONS))
    def test_work_on_a_graph_never_built(self, op: str) -> None:
        g = Graph()
        populate(g, [("a", "input", []), ("b", "reactive", ["a"])], build=False)
        apply(g, op, "a")
        apply(g, op, "b")
        assert g.state_of("b") == TRANSITIONS[op][0]

    def test_epochs_follow_call_order_and_skip_failed_commits(self) -> None:
        g = Graph()
        populate(
            g,
            [("x", "source", []), ("y", "reactive", []), ("z", "view", [])]
            + [("all", "reactive", ["x", "y", "z"])],
            build=False,
        )
        g.commit_node("z", 0)
        with pytest.raises(KeyError):
            g.commit_node("w", 0)
        g.commit_node("x", 0)
        g.commit_node("y", 0)
        assert g.check_node("all")[2] == fold([2, 3, 1])
        g.commit_node("x", 0)
        g.commit_node("x", 0)
        assert g.check_node("all")[2] == fold([5, 3, 1])

    def test_skip_after_commit_keeps_epoch_replaces_signature(self, g: Graph) -> None:
        g.skip_node("r", 9)
        assert g.needs_recompute("r", OLD_R) is True
        assert g.needs_recompute("r", 9) is False
        assert g.check_node("cr")[2] == fold([1])

    def test_set_clean_and_skip_node_are_alike(self) -> None:
        graphs = []
        for op in ("set_clean", "skip_node"):
            g = Graph()
            populate(g, [("a", "input", []), ("b", "reactive", ["a"]), ("c", "view", ["b"])])
            g.commit_node("b", 1)
            g.set_computing("b")
            getattr(g, op)("b", 42)
            graphs.append(g)
        first, second = graphs
        for node_id in ("a", "b", "c"):
            assert first.state_of(node_id) == second.state_of(node_id)
            assert first.check_node(node_id) == second.check_node(node_id)
            assert first.needs_recompute(node_id, 42) == second.needs_recompute(node_id, 42)
        assert first.dirty_nodes() == second.dirty_nodes() == ["a", "c"]

    def test_commit_input_on_reactive_node(self, g: Graph) -> None:
        g.set_dirty("r")
        g.commit_input("r", 77)
        assert g.state_of("r") == "clean"
        assert g.needs_recompute("r", 77) is False
        # r contributes its epoch, which commit_input does not touch.
        assert g.check_node("cr")[2] == fold([1])

    def test_dirty_marks_keep_memo_fields(self, g: Graph) -> None:
        before = [g.check_node(x) for x in g.node_ids()]
        g.set_dirty("i")
        g.set_dirty("r")
        assert g.mark_dirty(["i", "r"]) == ["i", "r", "ci", "cr"]
        assert g.state_of("i") == g.state_of("r") == "dirty"
        assert [g.check_node(x) for x in g.node_ids()] == before
        assert g.needs_recompute("i", OLD_I) is False
        assert g.needs_recompute("r", OLD_R) is False


VALUE_METHODS = [
    ("set_clean", "hash"),
    ("skip_node", "signature"),
    ("commit_input", "content_hash"),
    ("commit_node", "signature"),
    ("needs_recompute", "input_hash"),
]


@pytest.mark.parametrize(("method", "param"), VALUE_METHODS, ids=[m for m, _ in VALUE_METHODS])
class TestHashArguments:
    @pytest.fixture
    def g(self) -> Graph:
        graph = Graph()
        populate(graph, [("a", "input", []), ("b", "reactive", ["a"])])
        graph.skip_node("a", 5)
        return graph

    @pytest.mark.parametrize(("value", "stored"), [(0, 0), (MAX, MAX), (True, 1), (Index(7), 7)])
    def test_accepted(
        self, g: Graph, method: str, param: str, value: SupportsIndex, stored: int
    ) -> None:
        if method == "needs_recompute":
            g.skip_node("a", stored)
            assert g.needs_recompute("a", value) is False
            assert g.needs_recompute("a", (stored + 1) % 2**64) is True
            return
        assert getattr(g, method)("a", value) is None
        assert g.needs_recompute("a", stored) is False
        if method == "commit_input":
            assert g.check_node("b")[2] == fold([stored])

    @pytest.mark.parametrize("value", [-1, 2**64, -(2**64), 2**70])
    def test_out_of_range_is_unprefixed_overflow(
        self, g: Graph, method: str, param: str, value: int
    ) -> None:
        for node_id in ("a", "unknown"):
            with pytest.raises(OverflowError) as info:
                getattr(g, method)(node_id, value)
            assert type(info.value) is OverflowError
            assert not str(info.value).startswith("argument")
        self.assert_unchanged(g)

    @pytest.mark.parametrize("value", [1.0, "1", None, b"\x01"])
    def test_non_integer_is_prefixed_type_error(
        self, g: Graph, method: str, param: str, value: object
    ) -> None:
        for node_id in ("a", "unknown"):
            with pytest.raises(TypeError) as info:
                getattr(g, method)(node_id, value)
            assert str(info.value).startswith(f"argument '{param}': ")
        self.assert_unchanged(g)

    def test_bad_id_reported_before_bad_value(self, g: Graph, method: str, param: str) -> None:
        with pytest.raises(TypeError) as info:
            getattr(g, method)(5, -1)
        assert info.value.args == ("argument 'id': 'int' object cannot be converted to 'PyString'",)
        self.assert_unchanged(g)

    @staticmethod
    def assert_unchanged(g: Graph) -> None:
        assert g.state_of("a") == "clean"
        assert g.needs_recompute("a", 5) is False
        assert g.check_node("b") == ("reactive", True, fold([0]))
        g.commit_node("b", 0)  # no commit happened before: b gets epoch 1
        g.add_node("c", "reactive")
        g.set_deps("c", ["b"])
        assert g.check_node("c")[2] == fold([1])


class TestSignature:
    @pytest.fixture
    def abc(self) -> Graph:
        """The worked example: A input with content hash 7, B reactive with epoch 2, C reactive
        depending on A then B."""
        g = Graph()
        populate(g, [("A", "input", []), ("B", "reactive", []), ("C", "reactive", ["A", "B"])])
        g.commit_input("A", 7)
        g.commit_node("B", 0)
        g.commit_node("B", 0)
        return g

    def test_worked_example(self, abc: Graph) -> None:
        assert abc.check_node("C") == ("reactive", True, 11127404022565937034)
        abc.commit_node("C", 11127404022565937034)
        assert abc.check_node("C") == ("reactive", False, 11127404022565937034)
        assert abc.needs_recompute("C", 11127404022565937034) is False

        abc.set_deps("C", ["B", "A"])
        assert abc.check_node("C") == ("reactive", True, 11124533197705245788)
        abc.set_deps("C", ["A", "B"])
        assert abc.check_node("C") == ("reactive", False, 11127404022565937034)

    def test_after_b_epoch_three(self) -> None:
        g = Graph()
        populate(g, [("A", "input", []), ("B", "reactive", []), ("C", "reactive", ["A", "B"])])
        g.commit_input("A", 7)
        for _ in range(3):
            g.commit_node("B", 0)
        assert g.check_node("C") == ("reactive", True, 11127405122077565245)

    def test_result_types(self, abc: Graph) -> None:
        kind, needs, sig = abc.check_node("C")
        assert type(kind) is str and type(needs) is bool and type(sig) is int
        assert needs is True

    @pytest.mark.parametrize("kind", ["input", "source", "reactive", "view"])
    def test_no_deps_gives_basis_whatever_the_kind(self, kind: Kind) -> None:
        g = Graph()
        g.add_node("n", kind)
        assert g.check_node("n") == (kind, True, SIGNATURE_BASIS)
        assert g.needs_recompute("n", 0) is True
        g.commit_input("n", SIGNATURE_BASIS - 1)
        assert g.check_node("n") == (kind, True, SIGNATURE_BASIS)
        g.set_clean("n", SIGNATURE_BASIS)
        assert g.check_node("n") == (kind, False, SIGNATURE_BASIS)
        assert g.needs_recompute("n", SIGNATURE_BASIS) is False

    @pytest.mark.parametrize("value", [0, 1, 2**63, MAX])
    def test_fresh_node_needs_recompute_for_every_hash(self, value: int) -> None:
        g = Graph()
        populate(g, [("a", "input", []), ("b", "reactive", ["a"])], build=False)
        assert g.needs_recompute("b", value) is True
        assert g.check_node("b")[1] is True

    def test_absent_zero_hash_and_zero_epoch_contribute_alike(self) -> None:
        g = Graph()
        populate(
            g,
            [
                ("absent", "input", []),
                ("zero", "input", []),
                ("never", "source", []),
                ("n1", "reactive", ["absent"]),
                ("n2", "reactive", ["zero"]),
                ("n3", "reactive", ["never"]),
                ("all", "view", ["absent", "zero", "never"]),
            ],
        )
        g.commit_input("zero", 0)
        g.set_clean("never", 12)
        sigs = {g.check_node(x)[2] for x in ("n1", "n2", "n3")}
        assert sigs == {fold([0])}
        assert g.check_node("all")[2] == fold([0, 0, 0])

    def test_input_dep_contributes_hash_even_after_commit_node(self) -> None:
        g = Graph()
        populate(g, [("i", "input", []), ("n", "reactive", ["i"])])
        g.commit_input("i", 40)
        g.commit_node("i", 41)
        assert g.check_node("n")[2] == fold([40])
        g.commit_node("i", 42)
        assert g.check_node("n")[2] == fold([40])

    def test_reactive_dep_contributes_epoch_even_after_commit_input(self) -> None:
        g = Graph()
        populate(g, [("r", "reactive", []), ("n", "reactive", ["r"])])
        g.commit_node("r", 5)
        g.commit_input("r", 99)
        assert g.check_node("n")[2] == fold([1])

    def test_dep_order_matters(self) -> None:
        g = Graph()
        populate(g, [("p", "input", []), ("q", "input", []), ("n", "reactive", ["p", "q"])])
        g.commit_input("p", 1)
        g.commit_input("q", 2)
        forward = g.check_node("n")[2]
        g.commit_node("n", forward)
        g.set_deps("n", ["q", "p"])
        assert g.check_node("n") == ("reactive", True, fold([2, 1]))
        assert forward == fold([1, 2]) != fold([2, 1])

    def test_node_state_not_consulted(self) -> None:
        g = Graph()
        populate(g, [("i", "input", []), ("n", "reactive", ["i"])])
        g.commit_input("i", 3)
        g.commit_node("n", fold([3]))
        for mark in (g.set_dirty, g.set_computing):
            mark("n")
            assert g.check_node("n") == ("reactive", False, fold([3]))
            assert g.needs_recompute("n", fold([3])) is False
        g.commit_input("i", 4)  # a changed input flips a clean node
        g.set_clean("n", fold([3]))
        assert g.check_node("n")[1] is True

    def test_signatures_above_two_to_the_63_round_trip(self) -> None:
        g = Graph()
        populate(g, [("i", "input", []), ("n", "reactive", ["i"])])
        g.commit_input("i", MAX)
        sig = g.check_node("n")[2]
        assert sig == fold([MAX])
        g.skip_node("n", sig)
        assert g.check_node("n") == ("reactive", False, sig)

    def test_answers_on_unbuilt_cyclic_graph(self) -> None:
        g = Graph()
        populate(
            g,
            [("a", "reactive", ["b"]), ("b", "reactive", ["a"]), ("i", "input", [])],
            build=False,
        )
        with pytest.raises(ValueError):
            g.build()
        g.commit_node("a", 0)
        g.commit_node("b", 0)
        assert g.check_node("a") == ("reactive", True, fold([2]))
        assert g.check_node("b") == ("reactive", True, fold([1]))
        g.skip_node("a", fold([2]))
        assert g.check_node("a")[1] is False
        assert g.needs_recompute("a", fold([2])) is False

    def test_queries_change_nothing(self) -> None:
        g = Graph()
        populate(g, [("i", "input", []), ("n", "reactive", ["i"]), ("m", "view", ["n"])])
        g.commit_input("i", 1)
        calls: list[Callable[[], object]] = [
            lambda: g.check_node("n"),
            lambda: g.needs_recompute("n", 3),
            lambda: g.check_node("m"),
        ]
        for call in calls * 2:
            call()
        assert g.dirty_nodes() == ["n", "m"]
        g.commit_node("n", 0)
        assert g.check_node("m")[2] == fold([1])
