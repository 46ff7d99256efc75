"""build, topo_order and views: the deterministic order, cycles, and the `built` guard."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from conftest import build_graph
from model import NodeSpec, cycle, not_built, populate, raises_like

from tavik import Graph


class TestOrder:
    def test_empty_graph_builds(self) -> None:
        g = Graph()
        g.build()
        assert g.topo_order() == []
        assert g.views() == []
        assert g.dirty_nodes() == []

    @pytest.mark.parametrize(
        ("nodes", "expected"),
        [
            pytest.param(
                [("b", "source", []), ("a", "source", []), ("c", "source", [])],
                ["b", "a", "c"],
                id="no-deps-registration-order",
            ),
            pytest.param(
                [
                    ("s1", "source", []),
                    ("s2", "source", []),
                    ("r", "reactive", ["s2"]),
                    ("v", "view", ["s1"]),
                ],
                ["s1", "s2", "r", "v"],
                id="min-heap-not-fifo",
            ),
            pytest.param(
                [("x", "reactive", ["y"]), ("y", "source", [])],
                ["y", "x"],
                id="dep-registered-later",
            ),
            pytest.param(
                # Once b is out, a (index 0) goes before c (index 2), which was ready earlier.
                [("a", "reactive", ["b"]), ("b", "source", []), ("c", "source", [])],
                ["b", "a", "c"],
                id="released-node-joins-ready-set",
            ),
            pytest.param(
                [
                    ("e", "view", ["d"]),
                    ("d", "reactive", ["c"]),
                    ("c", "reactive", ["b"]),
                    ("b", "reactive", ["a"]),
                    ("a", "input", []),
                ],
                ["a", "b", "c", "d", "e"],
                id="chain-registered-backwards",
            ),
            pytest.param(
                [("a", "input", []), ("b", "reactive", ["a", "a", "a"])],
                ["a", "b"],
                id="repeated-dep-counts-once",
            ),
            pytest.param(
                # After z is out, y (index 1) and w (index 3) are ready: y first, then its
                # dependent x (index 0) is smaller than w and jumps ahead of it.
                [
                    ("x", "reactive", ["y"]),
                    ("y", "reactive", ["z"]),
                    ("z", "source", []),
                    ("w", "reactive", ["z"]),
                ],
                ["z", "y", "x", "w"],
                id="smallest-ready-index-each-step",
            ),
        ],
    )
    def test_order(self, nodes: list[NodeSpec], expected: list[str]) -> None:
        g = build_graph(nodes, built=True)
        assert g.topo_order() == expected

    def test_repeated_builds_give_the_same_order_and_no_duplicate_dependents(self) -> None:
        g = build_graph(
            [
                ("c", "reactive", ["a", "b"]),
                ("a", "input", []),
                ("b", "input", []),
                ("d", "view", ["c", "a"]),
            ],
            built=True,
        )
        first = g.topo_order()
        g.build()
        g.build()
        assert g.topo_order() == first == ["a", "b", "c", "d"]
        # Reverse edges are rebuilt from scratch, not appended to.
        assert g.downstream("a") == ["c", "d"]
        assert g.dirty_subgraph(["a", "b"]) == ["a", "b", "c", "d"]

    def test_build_leaves_states_and_memo_fields_alone(self) -> None:
        g = build_graph([("a", "input", []), ("b", "reactive", ["a"])], built=True)
        g.commit_input("a", 5)
        g.set_computing("b")
        before = (g.check_node("a"), g.check_node("b"))
        g.build()
        assert (g.state_of("a"), g.state_of("b")) == ("clean", "computing")
        assert (g.check_node("a"), g.check_node("b")) == before

    def test_views_in_topological_not_registration_order(self) -> None:
        g = build_graph(
            [
                ("v1", "view", ["r"]),
                ("v2", "view", []),
                ("r", "reactive", ["i"]),
                ("i", "input", []),
                ("v3", "view", ["i"]),
            ],
            built=True,
        )
        assert g.topo_order() == ["v2", "i", "r", "v1", "v3"]
        assert g.views() == ["v2", "v1", "v3"]

    def test_views_empty_without_view_nodes(self) -> None:
        g = build_graph(
            [("a", "input", []), ("b", "reactive", ["a"]), ("c", "source", [])], built=True
        )
        assert g.views() == []

    def test_results_are_fresh_lists(self) -> None:
        g = build_graph([("a", "input", []), ("v", "view", ["a"])], built=True)
        order, views = g.topo_order(), g.views()
        order.append("zz")
        views.clear()
        assert g.topo_order() == ["a", "v"]
        assert g.views() == ["v"]
        assert g.topo_order() is not g.topo_order()


class TestCycles:
    @pytest.mark.parametrize(
        ("nodes", "blocked"),
        [
            pytest.param([("a", "source", ["b"]), ("b", "source", ["a"])], ["a", "b"], id="pair"),
            pytest.param(
                [("b", "source", ["a"]), ("a", "source", ["b"])],
                ["b", "a"],
                id="pair-registered-b-first",
            ),
            pytest.param(
                # d depends on the cycle and is listed; free and the upstream e are emitted first.
                [
                    ("d", "view", ["a"]),
                    ("free", "source", []),
                    ("a", "reactive", ["b", "e"]),
                    ("e", "input", []),
                    ("b", "reactive", ["a"]),
                ],
                ["d", "a", "b"],
                id="dependent-listed-free-node-not",
            ),
            pytest.param(
                [
                    ("a", "reactive", ["c"]),
                    ("b", "reactive", ["a"]),
                    ("c", "reactive", ["b"]),
                    ("x", "view", ["y"]),
                    ("y", "view", ["c"]),
                    ("z", "view", ["free"]),
                    ("free", "input", []),
                ],
                ["a", "b", "c", "x", "y"],
                id="three-cycle-with-chain-downstream",
            ),
            pytest.param(
                [
                    ("p", "source", ["q"]),
                    ("q", "source", ["p"]),
                    ("m", "source", []),
                    ("r", "source", ["s"]),
                    ("s", "source", ["r"]),
                ],
                ["p", "q", "r", "s"],
                id="two-separate-cycles",
            ),
        ],
    )
    def test_cycle_payload(self, nodes: list[NodeSpec], blocked: list[str]) -> None:
        g = Graph()
        populate(g, nodes, build=False)
        with raises_like(cycle(blocked)):
            g.build()

    def test_message_verbatim_with_unusual_ids(self) -> None:
        g = Graph()
        ids = ['x "q"', "line\nfeed", "é, ü"]
        populate(
            g,
            [
                (ids[0], "source", [ids[2]]),
                (ids[1], "source", [ids[0]]),
                (ids[2], "source", [ids[1]]),
            ],
            build=False,
        )
        with pytest.raises(ValueError) as info:
            g.build()
        # Ids are joined as stored: no quotes, no escaping.
        assert info.value.args == ('dependency cycle detected involving: x "q", line\nfeed, é, ü',)

    def test_failed_build_leaves_graph_unbuilt_then_recovers(self) -> None:
        g = build_graph(
            [("a", "input", []), ("b", "reactive", ["a"]), ("c", "reactive", ["b"])], built=True
        )
        g.commit_input("a", 1)
        g.set_deps("a", ["c"])
        with raises_like(cycle(["a", "b", "c"])):
            g.build()
        for call in (g.topo_order, g.views, g.dirty_nodes):
            with raises_like(not_built()):
                call()
        with raises_like(not_built()):
            g.downstream("a")
        # A second attempt fails the same way; states were not touched.
        with raises_like(cycle(["a", "b", "c"])):
            g.build()
        assert [g.state_of(x) for x in "abc"] == ["clean", "dirty", "dirty"]

        g.set_deps("a", [])
        g.set_deps("b", ["c"])
        g.set_deps("c", ["a"])
        g.build()
        assert g.topo_order() == ["a", "c", "b"]
        # Reverse edges follow the repaired declaration, not the one before the failure.
        assert g.downstream("a") == ["c", "b"]
        assert g.downstream("b") == []

    def test_cycle_in_fresh_graph_keeps_nodes_dirty(self) -> None:
        g = Graph()
        populate(g, [("a", "source", ["b"]), ("b", "source", ["a"])], build=False)
        with pytest.raises(ValueError):
            g.build()
        assert [g.state_of("a"), g.state_of("b")] == ["dirty", "dirty"]
        g.set_deps("b", [])
        g.build()
        assert g.dirty_nodes() == ["b", "a"]


NEEDS_BUILD: list[tuple[str, Callable[[Any], object]]] = [
    ("topo_order", lambda g: g.topo_order()),
    ("views", lambda g: g.views()),
    ("downstream", lambda g: g.downstream("a")),
    ("dirty_subgraph", lambda g: g.dirty_subgraph(["a"])),
    ("mark_dirty", lambda g: g.mark_dirty(["a"])),
    ("dirty_nodes", lambda g: g.dirty_nodes()),
]


@pytest.mark.parametrize(("name", "query"), NEEDS_BUILD, ids=[n for n, _ in NEEDS_BUILD])
class TestBuiltGuard:
    @pytest.fixture
    def g(self) -> Graph:
        return build_graph([("a", "input", []), ("b", "reactive", ["a"])], built=True)

    def test_before_first_build(self, name: str, query: Callable[[Graph], object]) -> None:
        g = Graph()
        g.add_node("a", "input")
        with raises_like(not_built()):
            query(g)

    @pytest.mark.parametrize(
        "change",
        [
            pytest.param(lambda g: g.add_node("c", "view"), id="add_node"),
            pytest.param(lambda g: g.set_deps("b", ["a"]), id="set_deps-same-list"),
            pytest.param(lambda g: g.set_deps("a", []), id="set_deps-empty"),
            pytest.param(lambda g: g.set_deps("a", ("b",)), id="set_deps-new-edge-cycle"),
        ],
    )
    def test_successful_topology_change_unbuilds(
        self, g: Graph, name: str, query: Callable[[Graph], object], change: Callable[[Graph], None]
    ) -> None:
        query(g)
        change(g)
        with raises_like(not_built()):
            query(g)

    @pytest.mark.parametrize(
        "change",
        [
            pytest.param(lambda g: g.add_node("a", "view"), id="duplicate"),
            pytest.param(lambda g: g.add_node("c", "View"), id="invalid-kind"),
            pytest.param(lambda g: g.set_deps("zz", ["a"]), id="unknown-id"),
            pytest.param(lambda g: g.set_deps("b", ["a", "b"]), id="self-dependency"),
            pytest.param(lambda g: g.set_deps("b", ["a", "zz"]), id="unknown-dep"),
            pytest.param(lambda g: g.set_deps("b", "a"), id="argument-error"),
        ],
    )
    def test_failed_topology_change_keeps_built(
        self, g: Graph, name: str, query: Callable[[Graph], object], change: Callable[[Graph], None]
    ) -> None:
        expected = query(g)
        with pytest.raises((ValueError, KeyError, TypeError)):
            change(g)
        assert query(g) == expected
        assert g.deps_of("b") == ["a"]

    def test_memo_operations_do_not_unbuild(
        self, g: Graph, name: str, query: Callable[[Graph], object]
    ) -> None:
        for op in (
            lambda: g.commit_input("a", 3),
            lambda: g.commit_node("b", 4),
            lambda: g.skip_node("b", 4),
            lambda: g.set_clean("a", 3),
            lambda: g.set_computing("b"),
            lambda: g.set_dirty("b"),
            lambda: g.check_node("b"),
            lambda: g.needs_recompute("b", 1),
        ):
            op()
            query(g)

    def test_rebuild_lifts_the_guard(
        self, g: Graph, name: str, query: Callable[[Graph], object]
    ) -> None:
        g.add_node("c", "view")
        g.set_deps("c", ["b"])
        g.build()
        query(g)
        assert g.topo_order() == ["a", "b", "c"]
