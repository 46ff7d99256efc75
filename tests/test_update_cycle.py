"""One incremental update end to end through the public API: mark the changed inputs dirty,
walk the schedule, ask check_node for each node, and record skip_node or commit_node."""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from dataclasses import dataclass, field

import pytest

from tavik import Graph, Kind


def value_hash(value: object) -> int:
    return int.from_bytes(hashlib.blake2b(repr(value).encode(), digest_size=8).digest(), "little")


@dataclass
class Engine:
    """Values and formulas in Python; the graph decides what to recompute."""

    graph: Graph = field(default_factory=Graph)
    values: dict[str, object] = field(default_factory=dict)
    formulas: dict[str, tuple[Callable[..., object], list[str]]] = field(default_factory=dict)
    calls: list[str] = field(default_factory=list)  # formulas run during the last walk
    hits: list[str] = field(default_factory=list)  # memo hits of the last walk
    cut: list[str] = field(default_factory=list)  # recomputed to an equal value

    def input(self, node_id: str, value: object) -> None:
        self.graph.add_node(node_id, "input")
        self.values[node_id] = value

    def formula(self, node_id: str, kind: Kind, deps: list[str], fn: Callable[..., object]) -> None:
        self.graph.add_node(node_id, kind)
        self.formulas[node_id] = (fn, deps)

    def start(self) -> None:
        """Declares the dependencies (a formula may name a node registered after it), builds,
        and computes everything once."""
        for node_id, (_, deps) in self.formulas.items():
            self.graph.set_deps(node_id, deps)
        self.graph.build()
        self.walk(self.graph.dirty_nodes())

    def walk(self, schedule: list[str]) -> None:
        self.calls, self.hits, self.cut = [], [], []
        g = self.graph
        for node_id in schedule:
            if node_id not in self.formulas:
                g.commit_input(node_id, value_hash(self.values[node_id]))
                continue
            kind, needs, signature = g.check_node(node_id)
            assert kind == g.kind_of(node_id)
            if not needs:
                g.skip_node(node_id, signature)
                self.hits.append(node_id)
                continue
            g.set_computing(node_id)
            assert node_id not in g.dirty_nodes()
            fn, deps = self.formulas[node_id]
            value = fn(*(self.values[d] for d in deps))
            self.calls.append(node_id)
            if node_id in self.values and self.values[node_id] == value:
                g.skip_node(node_id, signature)  # keep the epoch: dependents stay valid
                self.cut.append(node_id)
            else:
                self.values[node_id] = value
                g.commit_node(node_id, signature)
            assert g.check_node(node_id) == (kind, False, signature)

    def change(self, **changes: object) -> list[str]:
        self.values.update(changes)
        schedule = self.graph.mark_dirty(list(changes))
        assert self.graph.dirty_nodes() == schedule  # everything else was clean
        self.walk(schedule)
        assert self.graph.dirty_nodes() == []
        return schedule


@pytest.fixture
def engine() -> Engine:
    e = Engine()
    e.formula("report", "view", ["total", "scaled"], lambda t, s: f"{t}/{s}")
    e.input("a", 1)
    e.input("b", 2)
    e.formula("total", "reactive", ["a", "b"], lambda a, b: a + b)
    e.formula("positive", "reactive", ["total"], lambda t: t > 0)
    e.formula("label", "view", ["positive"], lambda p: "up" if p else "down")
    e.input("c", 3)
    e.formula("scaled", "reactive", ["c"], lambda c: c * 2)
    e.start()
    return e


def test_first_walk_computes_everything(engine: Engine) -> None:
    assert engine.graph.topo_order() == ["a", "b", "total", "positive", "label", "c"] + [
        "scaled",
        "report",
    ]
    assert engine.calls == ["total", "positive", "label", "scaled", "report"]
    assert engine.hits == engine.cut == []
    assert engine.values["report"] == "3/6"
    assert engine.values["label"] == "up"
    assert all(engine.graph.state_of(n) == "clean" for n in engine.graph.node_ids())


def test_same_value_gives_memo_hits_only(engine: Engine) -> None:
    schedule = engine.change(a=1)
    assert schedule == ["a", "total", "positive", "label", "report"]
    assert engine.calls == []
    assert engine.hits == ["total", "positive", "label", "report"]


def test_changed_value_recomputes_until_values_stop_changing(engine: Engine) -> None:
    schedule = engine.change(a=5)
    assert schedule == ["a", "total", "positive", "label", "report"]
    # total changes (3 -> 7); positive is recomputed but stays True, so label is a memo hit;
    # report depends on total directly and is recomputed.
    assert engine.calls == ["total", "positive", "report"]
    assert engine.cut == ["positive"]
    assert engine.hits == ["label"]
    assert engine.values["report"] == "7/6"

    schedule = engine.change(a=-10)
    assert engine.calls == ["total", "positive", "label", "report"]
    assert engine.hits == engine.cut == []
    assert engine.values["label"] == "down"


def test_two_inputs_changed_at_once(engine: Engine) -> None:
    schedule = engine.change(c=4, b=2)
    assert schedule == ["b", "total", "positive", "label", "c", "scaled", "report"]
    assert engine.calls == ["scaled", "report"]
    assert engine.hits == ["total", "positive", "label"]
    assert engine.values["report"] == "3/8"


def test_input_changed_back_is_still_recomputed(engine: Engine) -> None:
    # Epochs only move forward: returning to an earlier value does not revive old memos.
    engine.change(c=10)
    engine.change(c=3)
    assert engine.calls == ["scaled", "report"]
    assert engine.values["report"] == "3/6"
