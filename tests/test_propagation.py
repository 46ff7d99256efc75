"""downstream, dirty_subgraph, mark_dirty and dirty_nodes: ordered recompute schedules."""

from __future__ import annotations

import itertools

import pytest
from model import fold, not_built, populate, raises_like, unknown_node

from tavik import Graph


@pytest.fixture
def chain() -> Graph:
    """a <- b <- c: b depends on a, c on b."""
    g = Graph()
    populate(g, [("a", "input", []), ("b", "reactive", ["a"]), ("c", "view", ["b"])])
    return g


@pytest.fixture
def diamond() -> Graph:
    """b and c depend on a, d on both; registered d, c, b, a so that the order is decided by
    the tie-break on registration index, not by registration order alone."""
    g = Graph()
    populate(
        g,
        [("d", "view", ["b", "c"]), ("c", "reactive", ["a"]), ("b", "reactive", ["a"])]
        + [("a", "input", [])],
    )
    return g


def settle(g: Graph) -> None:
    """Makes every node clean."""
    for node_id in g.node_ids():
        g.set_clean(node_id, 0)


class TestChain:
    def test_examples(self, chain: Graph) -> None:
        assert chain.downstream("a") == ["b", "c"]
        assert chain.downstream("b") == ["c"]
        assert chain.downstream("c") == []
        assert chain.dirty_subgraph(["b"]) == ["b", "c"]
        assert chain.dirty_subgraph(["c", "a"]) == ["a", "b", "c"]
        assert chain.dirty_subgraph(["c"]) == ["c"]

    def test_mark_dirty_marks_the_schedule_only(self, chain: Graph) -> None:
        settle(chain)
        assert chain.dirty_nodes() == []
        assert chain.mark_dirty(["b"]) == ["b", "c"]
        assert [chain.state_of(x) for x in "abc"] == ["clean", "dirty", "dirty"]
        assert chain.dirty_nodes() == ["b", "c"]

    def test_dirty_subgraph_changes_nothing(self, chain: Graph) -> None:
        settle(chain)
        chain.set_computing("b")
        assert chain.dirty_subgraph(["a"]) == ["a", "b", "c"]
        assert [chain.state_of(x) for x in "abc"] == ["clean", "computing", "clean"]
        assert chain.dirty_nodes() == []


class TestDiamond:
    def test_order_follows_topo_order(self, diamond: Graph) -> None:
        order = diamond.topo_order()
        assert order == ["a", "c", "b", "d"]
        assert diamond.dirty_subgraph(["a"]) == order
        assert diamond.downstream("a") == ["c", "b", "d"]
        assert diamond.downstream("b") == ["d"]
        assert diamond.dirty_subgraph(["b"]) == ["b", "d"]

    @pytest.mark.parametrize("seeds", list(itertools.permutations(["d", "b", "a"])))
    def test_seed_order_irrelevant(self, diamond: Graph, seeds: tuple[str, ...]) -> None:
        assert diamond.dirty_subgraph(list(seeds)) == ["a", "c", "b", "d"]
        assert diamond.mark_dirty(seeds) == ["a", "c", "b", "d"]

    @pytest.mark.parametrize(
        ("seeds", "expected"),
        [
            (["b", "b"], ["b", "d"]),
            (["d", "b", "d"], ["b", "d"]),
            (["c", "d", "a", "a"], ["a", "c", "b", "d"]),
            (["b", "c"], ["c", "b", "d"]),
        ],
    )
    def test_each_node_listed_once(
        self, diamond: Graph, seeds: list[str], expected: list[str]
    ) -> None:
        assert diamond.dirty_subgraph(seeds) == expected
        assert diamond.mark_dirty(seeds) == expected

    def test_dirty_nodes_accumulate_across_calls(self, diamond: Graph) -> None:
        settle(diamond)
        assert diamond.mark_dirty(["c"]) == ["c", "d"]
        diamond.set_dirty("a")
        assert diamond.dirty_nodes() == ["a", "c", "d"]
        assert diamond.mark_dirty(["b"]) == ["b", "d"]
        assert diamond.dirty_nodes() == ["a", "c", "b", "d"]
        # Already-dirty nodes are returned again.
        assert diamond.mark_dirty(["b"]) == ["b", "d"]


class TestSeeds:
    def test_empty_seeds(self, chain: Graph) -> None:
        settle(chain)
        assert chain.dirty_subgraph([]) == []
        assert chain.mark_dirty(()) == []
        assert chain.dirty_nodes() == []

    @pytest.mark.parametrize(
        ("seeds", "named"),
        [
            (["a", "z"], "z"),
            (["z", "a"], "z"),
            (["a", "y", "b", "z"], "y"),
            (["q\n", "a"], "q\n"),
        ],
    )
    def test_unknown_seed_first_named_nothing_marked(
        self, chain: Graph, seeds: list[str], named: str
    ) -> None:
        settle(chain)
        with raises_like(unknown_node(named)):
            chain.mark_dirty(seeds)
        with raises_like(unknown_node(named)):
            chain.dirty_subgraph(seeds)
        assert [chain.state_of(x) for x in "abc"] == ["clean"] * 3

    def test_unknown_downstream_id(self, chain: Graph) -> None:
        with raises_like(unknown_node("A")):
            chain.downstream("A")

    def test_empty_graph(self) -> None:
        g = Graph()
        g.build()
        assert g.dirty_nodes() == []
        assert g.dirty_subgraph([]) == []
        assert g.mark_dirty([]) == []
        with raises_like(unknown_node("a")):
            g.downstream("a")
        with raises_like(unknown_node("")):
            g.mark_dirty([""])


class TestNotBuilt:
    @pytest.mark.parametrize(
        "call",
        [
            pytest.param(lambda g: g.dirty_subgraph([]), id="dirty_subgraph-empty"),
            pytest.param(lambda g: g.mark_dirty([]), id="mark_dirty-empty"),
            pytest.param(lambda g: g.dirty_subgraph(["zz", "a"]), id="dirty_subgraph-unknown"),
            pytest.param(lambda g: g.mark_dirty(["zz"]), id="mark_dirty-unknown"),
            pytest.param(lambda g: g.downstream("zz"), id="downstream-unknown"),
            pytest.param(lambda g: g.dirty_nodes(), id="dirty_nodes"),
        ],
    )
    def test_not_built_comes_before_id_lookup(self, chain: Graph, call: object) -> None:
        settle(chain)
        chain.set_deps("c", ["b"])
        with raises_like(not_built()):
            call(chain)  # type: ignore[operator]
        assert [chain.state_of(x) for x in "abc"] == ["clean"] * 3

    def test_argument_error_comes_before_not_built(self) -> None:
        g = Graph()
        with pytest.raises(TypeError) as info:
            g.mark_dirty("a")
        assert info.value.args == ("argument 'seeds': Can't extract `str` to `Vec`",)


class TestStates:
    def test_computing_becomes_dirty_memo_fields_kept(self, chain: Graph) -> None:
        chain.commit_input("a", 10)
        chain.commit_node("b", 20)
        chain.set_computing("b")
        chain.commit_node("c", 30)
        chain.set_computing("c")
        before = [chain.check_node(x) for x in "abc"]
        needs = [chain.needs_recompute(x, h) for x, h in zip("abc", (10, 20, 30))]
        assert needs == [False, False, False]
        assert chain.dirty_nodes() == []

        assert chain.mark_dirty(["b"]) == ["b", "c"]
        assert [chain.state_of(x) for x in "abc"] == ["clean", "dirty", "dirty"]
        assert [chain.check_node(x) for x in "abc"] == before
        assert [chain.needs_recompute(x, h) for x, h in zip("abc", (10, 20, 30))] == needs
        assert before[2][2] == fold([1])  # c folds b's epoch 1
        # The clock is untouched too: the next commit hands out epoch 3.
        chain.commit_node("b", 0)
        assert chain.check_node("c")[2] == fold([3])

    def test_fresh_build_reports_every_node_dirty(self, diamond: Graph) -> None:
        assert diamond.dirty_nodes() == diamond.topo_order()

    def test_dirty_nodes_skips_computing(self, chain: Graph) -> None:
        chain.set_computing("b")
        assert chain.dirty_nodes() == ["a", "c"]


def test_returned_lists_are_new_objects(chain: Graph) -> None:
    results = [
        chain.downstream("a"),
        chain.dirty_subgraph(["a"]),
        chain.mark_dirty(["a"]),
        chain.dirty_nodes(),
    ]
    for r in results:
        r.append("zz")
        r.reverse()
    assert chain.downstream("a") == ["b", "c"]
    assert chain.dirty_subgraph(["a"]) == ["a", "b", "c"]
    assert chain.mark_dirty(["a"]) == ["a", "b", "c"]
    assert chain.dirty_nodes() == ["a", "b", "c"]
    assert chain.dirty_nodes() is not chain.dirty_nodes()
