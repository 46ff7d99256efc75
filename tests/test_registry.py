"""Registering nodes, declaring their dependencies, and the registry queries."""

from __future__ import annotations

import random
from collections.abc import Callable
from typing import Any

import pytest

from conftest import snapshot
from tavik import Graph

MakeGraph = Callable[..., Graph]

KINDS: list[Any] = ["input", "source", "reactive", "view"]


def is_built(g: Graph) -> bool:
    try:
        g.topo_order()
    except RuntimeError:
        return False
    return True


@pytest.fixture
def chain(make_graph: MakeGraph) -> Graph:
    """a <- b <- c, plus a lone d; built."""
    return make_graph(
        [("a", "input", []), ("b", "reactive", ["a"]), ("c", "view", ["b"]), ("d", "source", [])],
        built=True,
    )


class TestAddNode:
    @pytest.mark.parametrize("kind", KINDS)
    def test_new_node(self, graph: Graph, kind: Any) -> None:
        assert graph.add_node("n", kind) is None  # type: ignore[func-returns-value]
        assert "n" in graph
        assert len(graph) == 1
        assert graph.kind_of("n") == kind
        assert graph.state_of("n") == "dirty"
        assert graph.deps_of("n") == []
        assert graph.check_node("n")[1] is True

    @pytest.mark.parametrize("node_id", ["", " ", "a b", "\u00e9", "\U0001f600", "x" * 10_000])
    def test_any_string_is_an_id(self, graph: Graph, node_id: str) -> None:
        graph.add_node(node_id, "input")
        assert node_id in graph
        assert graph.node_ids() == [node_id]
        assert graph.kind_of(node_id) == "input"

    def test_ids_are_compared_exactly(self, graph: Graph) -> None:
        decomposed, composed = "e\u0301", "\u00e9"
        for node_id in ("a", "A", "a ", decomposed, composed):
            graph.add_node(node_id, "input")
        assert len(graph) == 5
        assert " a" not in graph
        assert graph.node_ids() == ["a", "A", "a ", decomposed, composed]

    def test_registration_order(self, graph: Graph) -> None:
        for node_id in ("b", "a", "c"):
            graph.add_node(node_id, "source")
        assert graph.node_ids() == ["b", "a", "c"]

    @pytest.mark.parametrize("kind", ["Input", "INPUT", "input ", " input", "", "inputs", "in"])
    def test_invalid_kind_registers_nothing(self, chain: Graph, kind: Any) -> None:
        before = snapshot(chain)
        with pytest.raises(ValueError) as excinfo:
            chain.add_node("n", kind)
        assert str(excinfo.value) == (
            f'invalid node kind "{kind}" (expected input|source|reactive|view)'
        )
        assert "n" not in chain
        assert snapshot(chain) == before

    @pytest.mark.parametrize("kind", ["source", "Bogus", ""])
    def test_duplicate_is_reported_before_the_kind(self, chain: Graph, kind: Any) -> None:
        chain.set_clean("a", 5)
        before = snapshot(chain)
        with pytest.raises(ValueError) as excinfo:
            chain.add_node("a", kind)
        assert str(excinfo.value) == 'node already registered: "a"'
        assert snapshot(chain) == before

    def test_duplicate_with_a_non_string_kind_is_an_argument_error(self, chain: Graph) -> None:
        with pytest.raises(TypeError) as excinfo:
            chain.add_node("a", 1)  # type: ignore[arg-type]
        assert (
            str(excinfo.value) == "argument 'kind': 'int' object cannot be converted to 'PyString'"
        )

    def test_unbuilds_the_graph(self, chain: Graph) -> None:
        chain.add_node("e", "view")
        assert not is_built(chain)
        chain.build()
        assert chain.topo_order()[-1] == "e"

    def test_leaves_other_nodes_alone(self, chain: Graph) -> None:
        chain.commit_input("a", 3)
        chain.commit_node("b", 4)
        before = {i: (chain.state_of(i), chain.check_node(i)) for i in chain.node_ids()}
        chain.add_node("e", "reactive")
        assert {i: (chain.state_of(i), chain.check_node(i)) for i in before} == before


class TestSetDeps:
    @pytest.fixture
    def abc(self, graph: Graph) -> Graph:
        graph.add_node("a", "reactive")
        graph.add_node("b", "input")
        graph.add_node("c", "source")
        return graph

    @pytest.mark.parametrize(
        ("deps", "stored"),
        [
            (["b", "b", "c", "b"], ["b", "c"]),
            (["c", "b"], ["c", "b"]),
            (["b"], ["b"]),
            ([], []),
        ],
    )
    def test_stores_first_occurrences_in_order(
        self, abc: Graph, deps: list[str], stored: list[str]
    ) -> None:
        assert abc.set_deps("a", deps) is None  # type: ignore[func-returns-value]
        assert abc.deps_of("a") == stored

    def test_wide_fan_in_keeps_first_occurrences_after_failures(self, graph: Graph) -> None:
        ids = [f"n{k}" for k in range(300)]
        for node_id in [*ids, "sink"]:
            graph.add_node(node_id, "input")
        rng = random.Random(7)
        deps = ids + rng.choices(ids, k=600)
        rng.shuffle(deps)
        first = list(dict.fromkeys(deps))
        # Failures after most of the list was read must not leave any node counted as seen.
        with pytest.raises(KeyError):
            graph.set_deps("sink", [*deps, "zz"])
        with pytest.raises(ValueError):
            graph.set_deps("sink", [*deps, "sink"])
        assert graph.deps_of("sink") == []
        graph.set_deps("sink", deps)
        assert graph.deps_of("sink") == first
        assert sorted(first) == sorted(ids)

    def test_replaces_the_previous_list(self, abc: Graph) -> None:
        abc.set_deps("a", ["b", "c"])
        abc.set_deps("a", ["c"])
        assert abc.deps_of("a") == ["c"]
        abc.set_deps("a", [])
        assert abc.deps_of("a") == []

    def test_may_name_a_later_node(self, abc: Graph) -> None:
        abc.set_deps("b", ["c", "a"])
        assert abc.deps_of("b") == ["c", "a"]

    def test_does_not_detect_cycles(self, abc: Graph) -> None:
        abc.set_deps("a", ["b"])
        abc.set_deps("b", ["a"])
        assert abc.deps_of("b") == ["a"]

    @pytest.mark.parametrize(
        ("node_id", "deps", "error_type", "message"),
        [
            ("a", ["a"], ValueError, 'node "a" cannot depend on itself'),
            ("a", ["b", "a"], ValueError, 'node "a" cannot depend on itself'),
            ("a", ["a", "zz"], ValueError, 'node "a" cannot depend on itself'),
            ("a", ["zz", "a"], KeyError, 'unknown node: "zz"'),
            ("a", ["b", "zz", "yy"], KeyError, 'unknown node: "zz"'),
            ("zz", ["zz"], KeyError, 'unknown node: "zz"'),
            ("zz", ["yy"], KeyError, 'unknown node: "zz"'),
            ("zz", [], KeyError, 'unknown node: "zz"'),
        ],
    )
    @pytest.mark.parametrize("built", [False, True], ids=["unbuilt", "built"])
    def test_failure_leaves_the_graph_unchanged(
        self,
        abc: Graph,
        built: bool,
        node_id: str,
        deps: list[str],
        error_type: type[Exception],
        message: str,
    ) -> None:
        abc.set_deps("a", ["c"])
        if built:
            abc.build()
        before = snapshot(abc)
        with pytest.raises(error_type) as excinfo:
            abc.set_deps(node_id, deps)
        assert excinfo.value.args == (message,)
        assert snapshot(abc) == before
        assert is_built(abc) is built

    def test_any_success_unbuilds(self, chain: Graph) -> None:
        chain.set_deps("c", ["b"])  # the same list again
        assert not is_built(chain)
        with pytest.raises(RuntimeError, match="^graph has not been built; "):
            chain.views()
        chain.build()
        assert chain.views() == ["c"]

    def test_leaves_memo_fields_and_states(self, chain: Graph) -> None:
        chain.commit_input("a", 3)
        chain.commit_node("b", 4)
        chain.set_computing("c")
        chain.set_deps("c", ["a"])
        assert [chain.state_of(i) for i in "abcd"] == ["clean", "clean", "computing", "dirty"]
        assert chain.needs_recompute("b", 4) is False
        assert chain.needs_recompute("a", 3) is False


class TestQueries:
    def test_results_are_new_lists_of_new_strings(self, chain: Graph) -> None:
        ids = chain.node_ids()
        ids.append("x")
        ids[0] = "changed"
        assert chain.node_ids() == ["a", "b", "c", "d"]
        assert chain.node_ids() is not chain.node_ids()
        deps = chain.deps_of("b")
        deps.clear()
        assert chain.deps_of("b") == ["a"]
        assert all(type(i) is str for i in chain.node_ids() + chain.deps_of("c"))

    @pytest.mark.parametrize("method", ["kind_of", "state_of", "deps_of"])
    def test_unknown_id(self, chain: Graph, method: str) -> None:
        with pytest.raises(KeyError) as excinfo:
            getattr(chain, method)("A")
        assert excinfo.value.args == ('unknown node: "A"',)

    def test_queries_work_unbuilt(self, make_graph: MakeGraph) -> None:
        g = make_graph([("a", "input", []), ("b", "view", ["a"])])
        assert not is_built(g)
        assert g.kind_of("b") == "view"
        assert g.state_of("b") == "dirty"
        assert g.deps_of("b") == ["a"]
        assert g.node_ids() == ["a", "b"]

    def test_states_are_reported_by_name(self, chain: Graph) -> None:
        chain.set_computing("a")
        chain.set_clean("b", 1)
        assert [chain.state_of(i) for i in "abcd"] == ["computing", "clean", "dirty", "dirty"]

    def test_membership_and_length_after_failures(self, graph: Graph) -> None:
        assert len(graph) == 0 and "a" not in graph
        with pytest.raises(ValueError):
            graph.add_node("a", "Input")  # type: ignore[arg-type]
        assert len(graph) == 0 and "a" not in graph
        graph.add_node("a", "input")
        with pytest.raises(ValueError):
            graph.add_node("a", "input")
        assert len(graph) == 1 and "a" in graph

    def test_many_nodes(self, graph: Graph) -> None:
        ids = [f"n{k}" for k in range(5000)]
        for node_id in ids:
            graph.add_node(node_id, KINDS[len(node_id) % 4])
        graph.set_deps("n4999", ids[:4999:7])
        assert graph.node_ids() == ids
        assert len(graph) == 5000
        assert all(node_id in graph for node_id in ids)
        assert graph.deps_of("n4999") == ids[:4999:7]
        assert graph.kind_of("n123") == KINDS[4 % 4]
