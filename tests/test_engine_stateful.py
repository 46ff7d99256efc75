"""The engine against a from-scratch evaluation and against the naive core, over random
programs of definitions, edits, sets, invalidations, raising functions, interrupts, reads and
stabilizations.

After every evaluation the values read must equal what evaluating every definition from scratch
gives (consistency), and every function call must have been needed (minimality): at most one
call per node per evaluation, and only for a node that is new, redefined or invalidated, or one
of whose dependencies recorded a change since the node's last call. The same program runs on
`naive_core.NaiveEngine`, the same facade over a pure-Python core written to be obviously right:
every report, value, failure, explanation, DOT rendering, refused removal and call (in order)
must be the same.
"""

from __future__ import annotations

import dataclasses
import os
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from naive_core import NaiveEngine
from tavik import CycleError, Engine, NodeError, Update

IDS = [f"n{i}" for i in range(10)]
MOD = 7
EQUALITIES: dict[str, Callable[[Any, Any], object] | None] = {
    "default": None,
    "same": lambda old, new: old == new,
    "raises": lambda old, new: 1 // 0,  # a comparison that raises is a change
    "not a bool": lambda old, new: "yes",  # and so is one that is not a bool
}
EXACT = {"default", "same"}


class Interrupt(KeyboardInterrupt):
    pass


@dataclass
class Formula:
    """``(sum(args) * mult + add) % MOD``, raising where the result is ``bad``."""

    mult: int
    add: int
    bad: int | None

    def __call__(self, *args: int) -> int:
        result = (sum(args) * self.mult + self.add) % MOD
        if result == self.bad:
            raise ValueError(f"bad value {result}")
        return result


@dataclass
class Def:
    kind: str
    deps: list[str]
    formula: Formula
    equality: str = "default"
    # Minimality bookkeeping, as of the node's last completed call.
    seen: dict[str, int] = field(default_factory=dict)  # changes of each upstream node


Result = tuple[str, int | str]  # ("value", v) or ("failed", the id of the node that raised)

# Functions that raise for one result in seven, and a few that never raise.
formulas = st.builds(
    Formula,
    st.integers(1, 3),
    st.integers(0, MOD - 1),
    st.sampled_from([*range(MOD), None]),
)


class EngineMachine(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.engine = Engine()
        self.naive = NaiveEngine()
        self.defs: dict[str, Def] = {}
        self.inputs: dict[str, int] = {}  # current values, as set
        self.applied: dict[str, int] = {}  # input values as the engine last took them
        self.outside: dict[str, int] = {}  # what a source's read returns now
        self.read_result: dict[str, Result] = {}  # what a source's last read gave
        self.forced: set[str] = set()
        self.changes: Counter[str] = Counter()  # recorded changes per node
        self.last: dict[str, Result] = {}  # each computed node's last call's result
        self.calls: list[str] = []  # calls during the current evaluation
        self.armed: str | None = None  # this node's next call raises an interrupt
        self.naive_calls: list[str] = []  # the naive engine's calls during the current evaluation
        self.naive_armed: str | None = None

    def both(self, call: Callable[[Any], object]) -> Any:
        """``call`` on the engine, then on the naive engine: the same result or the same error."""
        try:
            result = call(self.engine)
        except Exception as error:
            with pytest.raises(type(error)) as info:
                call(self.naive)
            assert str(info.value) == str(error)
            raise
        assert call(self.naive) == result
        return result

    # ---- the functions the engine calls --------------------------------------------------

    def function(self, node_id: str) -> Callable[..., int]:
        def fn(*args: int) -> int:
            d = self.defs[node_id]
            if self.armed == node_id:
                self.armed = None
                raise Interrupt
            self.check_needed(node_id)
            self.calls.append(node_id)
            if d.kind == "source":
                args = (self.outside[node_id],)
            try:
                value = d.formula(*args)
            except ValueError:
                self.record(node_id, ("failed", node_id))
                raise
            self.record(node_id, ("value", value))
            return value

        return fn

    def naive_function(self, node_id: str) -> Callable[..., int]:
        """The naive engine's function for the node: the same values and errors, and no checks."""

        def fn(*args: int) -> int:
            d = self.defs[node_id]
            if self.naive_armed == node_id:
                self.naive_armed = None
                raise Interrupt
            self.naive_calls.append(node_id)
            if d.kind == "source":
                args = (self.outside[node_id],)
            return d.formula(*args)

        return fn

    def record(self, node_id: str, result: Result) -> None:
        d = self.defs[node_id]
        old = self.last.get(node_id)
        if old is None or old != result or d.equality not in EXACT or result[0] == "failed":
            self.changes[node_id] += 1
        self.last[node_id] = result
        if d.kind == "source":
            self.read_result[node_id] = result
        d.seen = {up: self.changes[up] for up in self.upstream(node_id)}
        self.forced.discard(node_id)

    def check_needed(self, node_id: str) -> None:
        assert node_id not in self.calls, f"{node_id} called twice in one evaluation"
        if node_id in self.forced:
            return
        d = self.defs[node_id]
        moved = [up for up in self.upstream(node_id) if self.changes[up] > d.seen.get(up, 0)]
        assert moved, f"{node_id} called though nothing it depends on changed"

    # ---- the model ------------------------------------------------------------------------

    def upstream(self, node_id: str) -> set[str]:
        """Every node that ``node_id`` depends on, directly or not."""
        seen: set[str] = set()
        stack = list(self.defs[node_id].deps)
        while stack:
            up = stack.pop()
            if up not in seen:
                seen.add(up)
                stack.extend(self.defs[up].deps)
        return seen

    def apply_inputs(self, ids: set[str]) -> None:
        """The engine takes the inputs' values as an evaluation reaches them."""
        for node_id in ids:
            if self.defs[node_id].kind == "input":
                if self.applied.get(node_id) != self.inputs[node_id]:
                    self.changes[node_id] += 1
                self.applied[node_id] = self.inputs[node_id]

    def scratch(self, ids: list[str]) -> dict[str, Result]:
        """The results of ``ids`` (and what they depend on), from the definitions alone."""
        results: dict[str, Result] = {}

        def result(node_id: str) -> Result:
            if node_id not in results:
                d = self.defs[node_id]
                if d.kind == "input":
                    results[node_id] = ("value", self.inputs[node_id])
                elif d.kind == "source":
                    results[node_id] = self.read_result[node_id]
                else:
                    args = [result(dep) for dep in d.deps]
                    failed = [r for r in args if r[0] == "failed"]
                    if failed:
                        results[node_id] = failed[0]
                    else:
                        try:
                            values = [v for _, v in args if isinstance(v, int)]
                            results[node_id] = ("value", d.formula(*values))
                        except ValueError:
                            results[node_id] = ("failed", node_id)
            return results[node_id]

        for node_id in ids:
            result(node_id)
        return results

    def check_read(self, node_id: str, expected: Result) -> None:
        for engine in (self.engine, self.naive):
            if expected[0] == "value":
                assert engine[node_id] == expected[1], node_id
            else:
                with pytest.raises(NodeError) as info:
                    engine[node_id]
                assert (info.value.node, info.value.origin) == (node_id, expected[1])
                assert isinstance(info.value.__cause__, ValueError)

    def evaluate(self, action: Callable[[Any], object], reached: set[str]) -> bool:
        """Run an evaluation on the engine, then on the naive engine; false if it was interrupted.

        Both must call the same functions in the same order, and report the same.
        """
        self.apply_inputs(reached)
        self.calls = []
        self.naive_calls = []
        self.naive_armed = self.armed
        outcomes: list[tuple[str, object] | None] = []
        for engine in (self.engine, self.naive):
            try:
                result = action(engine)
            except Interrupt:
                outcomes.append(None)
            else:
                if isinstance(result, Update):  # everything but the time taken
                    result = dataclasses.replace(result, seconds=0.0)
                outcomes.append(("done", result))
            finally:
                if engine is self.engine:
                    self.armed = None
                else:
                    self.naive_armed = None
        assert outcomes[0] == outcomes[1]
        assert self.calls == self.naive_calls
        return outcomes[0] is not None

    # ---- rules ----------------------------------------------------------------------------

    def free_id(self, data: st.DataObject) -> str | None:
        free = [node_id for node_id in IDS if node_id not in self.defs]
        return data.draw(st.sampled_from(free)) if free else None

    def pick(self, data: st.DataObject, kinds: tuple[str, ...]) -> str | None:
        ids = [node_id for node_id, d in self.defs.items() if d.kind in kinds]
        return data.draw(st.sampled_from(ids)) if ids else None

    @initialize(data=st.data(), size=st.integers(3, 8))
    def program(self, data: st.DataObject, size: int) -> None:
        """A first program: two inputs, then derived nodes on what is already there."""
        for value in (1, 2):
            self.define_input(data, value)
        for _ in range(size - 2):
            self.define_derived(
                data,
                data.draw(st.sampled_from(["reactive", "view"])),
                data.draw(formulas),
                data.draw(st.sampled_from(sorted(EQUALITIES))),
            )

    @precondition(lambda self: len(self.defs) < len(IDS))
    @rule(data=st.data(), value=st.integers(0, MOD - 1))
    def define_input(self, data: st.DataObject, value: int) -> None:
        node_id = self.free_id(data)
        if node_id is not None:
            self.both(lambda engine: engine.input(node_id, value))
            self.defs[node_id] = Def("input", [], Formula(1, 0, None))
            self.inputs[node_id] = value
            self.applied.pop(node_id, None)
            self.changes[node_id] += 1

    @precondition(lambda self: len(self.defs) < len(IDS))
    @rule(data=st.data(), value=st.integers(0, MOD - 1), formula=formulas)
    def define_source(self, data: st.DataObject, value: int, formula: Formula) -> None:
        node_id = self.free_id(data)
        if node_id is not None:
            self.defs[node_id] = Def("source", [], formula)
            self.outside[node_id] = value
            self.engine.source(node_id, self.function(node_id))
            self.naive.source(node_id, self.naive_function(node_id))
            self.forced.add(node_id)
            self.last.pop(node_id, None)

    @precondition(lambda self: len(self.defs) < len(IDS))
    @rule(
        data=st.data(),
        kind=st.sampled_from(["reactive", "view"]),
        formula=formulas,
        equality=st.sampled_from(sorted(EQUALITIES)),
    )
    def define_derived(
        self, data: st.DataObject, kind: str, formula: Formula, equality: str
    ) -> None:
        node_id = self.free_id(data)
        if node_id is None:
            return
        ids = sorted(self.defs)
        deps = data.draw(st.lists(st.sampled_from(ids), min_size=1, max_size=3)) if ids else []
        self.defs[node_id] = Def(kind, deps, formula, equality)
        for engine, function in (
            (self.engine, self.function),
            (self.naive, self.naive_function),
        ):
            define = engine.reactive if kind == "reactive" else engine.view
            define(node_id, deps, function(node_id), equal=EQUALITIES[equality])
        self.forced.add(node_id)
        self.last.pop(node_id, None)

    @rule(data=st.data(), value=st.integers(0, MOD - 1))
    def set_input(self, data: st.DataObject, value: int) -> None:
        node_id = self.pick(data, ("input",))
        if node_id is not None:
            self.both(lambda engine: engine.set(node_id, value))
            self.inputs[node_id] = value

    @rule(data=st.data())
    def set_many(self, data: st.DataObject) -> None:
        ids = sorted(node_id for node_id, d in self.defs.items() if d.kind == "input")
        if not ids:
            return
        chosen = data.draw(st.lists(st.sampled_from(ids), min_size=1, max_size=4, unique=True))
        values = {node_id: data.draw(st.integers(0, MOD - 1)) for node_id in chosen}
        self.both(lambda engine: engine.set_many(values))
        self.inputs.update(values)

    @rule(data=st.data(), value=st.integers(0, MOD - 1))
    def change_outside(self, data: st.DataObject, value: int) -> None:
        node_id = self.pick(data, ("source",))
        if node_id is not None:
            self.outside[node_id] = value

    @rule(data=st.data())
    def invalidate(self, data: st.DataObject) -> None:
        ids = sorted(node_id for node_id, d in self.defs.items() if d.kind != "input")
        if ids:
            chosen = data.draw(st.lists(st.sampled_from(ids), min_size=1, max_size=3))
            self.both(lambda engine: engine.invalidate(*chosen))
            self.forced.update(chosen)

    @rule(data=st.data(), formula=st.none() | formulas)
    def redefine(self, data: st.DataObject, formula: Formula | None) -> None:
        node_id = self.pick(data, ("reactive", "view"))
        if node_id is None:
            return
        d = self.defs[node_id]
        new_deps = data.draw(st.none() | st.lists(st.sampled_from(sorted(self.defs)), max_size=3))
        if new_deps is None and formula is None:
            return
        if new_deps is not None and (
            node_id in new_deps or any(node_id in self.upstream(dep) for dep in new_deps)
        ):
            with pytest.raises(CycleError) as info:
                self.engine.redefine(node_id, deps=new_deps, fn=self.function(node_id))
            with pytest.raises(CycleError) as naive_info:
                self.naive.redefine(node_id, deps=new_deps, fn=self.naive_function(node_id))
            cycle = info.value.cycle
            assert cycle == naive_info.value.cycle
            assert cycle[0] == cycle[-1] == node_id and cycle[1] in new_deps
            for node, dep in zip(cycle[1:], cycle[2:]):
                assert dep in self.defs[node].deps
            return
        fn = self.function(node_id) if formula is not None else None
        self.engine.redefine(node_id, deps=new_deps, fn=fn)
        naive_fn = self.naive_function(node_id) if formula is not None else None
        self.naive.redefine(node_id, deps=new_deps, fn=naive_fn)
        if new_deps is not None:
            d.deps = new_deps
        if formula is not None:
            d.formula = formula
        self.forced.add(node_id)

    @rule(data=st.data())
    def remove(self, data: st.DataObject) -> None:
        leaves = [i for i in self.defs if not any(i in d.deps for d in self.defs.values())]
        if leaves:
            node_id = data.draw(st.sampled_from(leaves))
            self.both(lambda engine: engine.remove(node_id))
            del self.defs[node_id]
            for table in (self.inputs, self.applied, self.outside, self.read_result, self.last):
                table.pop(node_id, None)
            self.forced.discard(node_id)
            self.changes[node_id] += 1  # a later node of that id is new

    @rule(data=st.data())
    def arm_interrupt(self, data: st.DataObject) -> None:
        self.armed = self.pick(data, ("source", "reactive", "view"))

    @rule()
    def stabilize(self) -> None:
        if not self.evaluate(lambda engine: engine.stabilize(), set(self.defs)):
            return
        expected = self.scratch(list(self.defs))
        for node_id, result in expected.items():
            if node_id in self.forced:  # not called: a dependency failed
                assert result[0] == "failed" and result[1] != node_id
            self.check_read(node_id, result)

    @rule(data=st.data())
    def read(self, data: st.DataObject) -> None:
        node_id = self.pick(data, ("input", "source", "reactive", "view"))
        if node_id is None:
            return
        cone = self.upstream(node_id) | {node_id}

        def read(engine: Any) -> None:
            try:
                engine[node_id]
            except NodeError:
                pass

        if not self.evaluate(read, cone):
            return
        assert set(self.calls) <= cone, "a read computed nodes it does not depend on"
        self.calls = []
        self.naive_calls = []
        self.check_read(node_id, self.scratch([node_id])[node_id])
        assert self.calls == [] == self.naive_calls, "a second read computed again"

    @invariant()
    def same_nodes(self) -> None:
        assert len(self.engine) == len(self.defs) == len(self.naive)

    @invariant()
    def same_as_naive(self) -> None:
        """Explanations, the DOT rendering and the dependents named by a refused removal."""
        assert self.engine.to_dot() == self.naive.to_dot()
        for node_id in self.defs:

            def explain(engine: Any) -> object:
                try:
                    return engine.explain(node_id)
                except ValueError as error:
                    return str(error)

            assert explain(self.engine) == explain(self.naive)
            if any(node_id in d.deps for d in self.defs.values()):
                with pytest.raises(ValueError) as info:
                    self.engine.remove(node_id)
                with pytest.raises(ValueError) as naive_info:
                    self.naive.remove(node_id)
                assert str(info.value) == str(naive_info.value)


EngineMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("TAVIK_ENGINE_EXAMPLES", "150")),
    stateful_step_count=50,
    deadline=None,
    derandomize=os.environ.get("TAVIK_HYPOTHESIS_PROFILE") != "long",
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestEngineAgainstScratch = EngineMachine.TestCase
