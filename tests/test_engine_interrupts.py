"""The engine under `KeyboardInterrupt`s from a signal handler, landing anywhere in its calls.

A SIGALRM handler raises `KeyboardInterrupt`; a one-shot timer, a few microseconds to a few
hundred long, fires it in the middle of definition loops, removals, redefinitions, `set_many` of
many ids, `invalidate` of many ids, stabilizations and reads. After each attempt, with the timer
cancelled, the engine must be consistent: every public call either completed or changed nothing
(a loop of calls stopped between two of them), its answers about every id agree with one another,
and a `stabilize()` gives every node the value of a from-scratch evaluation of the definitions
that exist.

The native core runs no Python of its own but users' functions, so the interrupt lands in the
facade, in a user's function, or between calls. The naive core is Python: it runs here with every
interrupt that lands in its own code held back until its call returns, which is what a native
core looks like from the facade.
"""

from __future__ import annotations

import math
import random
import gc
import signal
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import FrameType
from typing import ParamSpec, TypeVar

import pytest

from naive_core import NaiveCore, NaiveEngine
from tavik import CycleError, Engine

pytestmark = [
    pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer"),
    # SIGALRM is this module's: the run's own timeout must not use it.
    pytest.mark.timeout(300, method="thread"),
]

ATTEMPTS = 80  # per operation and engine
IDS = [f"n{i}" for i in range(60)]
SHORTEST, LONGEST = 2e-6, 3e-4  # seconds before the interrupt


class Alarm:
    """The state of the SIGALRM handler: it raises `KeyboardInterrupt` once while armed, or,
    inside a shielded call, when that call returns."""

    armed = False
    shielded = 0
    deferred = False


def on_alarm(signum: int, frame: FrameType | None) -> None:
    if not Alarm.armed:
        return
    if Alarm.shielded:
        Alarm.deferred = True
        return
    Alarm.armed = False
    raise KeyboardInterrupt


P = ParamSpec("P")
R = TypeVar("R")


def shielded(method: Callable[P, R]) -> Callable[P, R]:
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        Alarm.shielded += 1
        try:
            return method(*args, **kwargs)
        finally:
            Alarm.shielded -= 1
            if Alarm.deferred and not Alarm.shielded:
                Alarm.deferred = Alarm.armed = False
                raise KeyboardInterrupt  # as if it landed just after the call

    return call


class ShieldedCore(NaiveCore):
    """The naive core, with an interrupt landing inside one of its calls held back until the call
    returns."""


CORE_CALLS = ["kind", "add", "redefine", "remove", "dependents", "set", "set_many", "invalidate"]
CORE_CALLS += ["stabilize", "read", "failure", "explain", "state", "nodes"]
for _name in CORE_CALLS:
    setattr(ShieldedCore, _name, shielded(getattr(NaiveCore, _name)))


class ShieldedEngine(NaiveEngine):
    _Core = ShieldedCore


@pytest.fixture(autouse=True)
def alarm() -> Iterator[None]:
    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        Alarm.armed = Alarm.deferred = False
        Alarm.shielded = 0


def attempt(call: Callable[[], object], seconds: float) -> bool:
    """Run ``call`` with an interrupt due in ``seconds``; true if it was interrupted."""
    interrupted = False
    # The collector's callbacks (installed by test plugins) are Python code too: an interrupt
    # landing in one is reported as unraisable instead of reaching the call.
    gc.disable()
    try:
        Alarm.armed = True
        signal.setitimer(signal.ITIMER_REAL, seconds)
        call()
    except KeyboardInterrupt:
        interrupted = True
    finally:
        Alarm.armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        gc.enable()
    return interrupted


# ---- the program and its from-scratch values -----------------------------------------------


@dataclass(frozen=True)
class Plus:
    """A node's function: the sum of its arguments plus ``add``. Interrupts land in it even when
    a shielded core calls it."""

    add: int

    def __call__(self, *args: int) -> int:
        shield, Alarm.shielded = Alarm.shielded, 0
        try:
            return sum(args) + self.add
        finally:
            Alarm.shielded = shield


@dataclass
class Def:
    kind: str
    deps: tuple[str, ...] = ()
    add: int = 0  # a derived node's function, a source's value; an input's value


@dataclass
class Model:
    defs: dict[str, Def] = field(default_factory=dict)

    def dependents(self, node_id: str) -> list[str]:
        return [other for other, d in self.defs.items() if node_id in d.deps]

    def upstream(self, node_id: str) -> set[str]:
        seen: set[str] = set()
        stack = list(self.defs[node_id].deps)
        while stack:
            up = stack.pop()
            if up not in seen:
                seen.add(up)
                stack.extend(self.defs[up].deps)
        return seen

    def scratch(self) -> dict[str, int]:
        values: dict[str, int] = {}

        def value(node_id: str) -> int:
            if node_id not in values:
                d = self.defs[node_id]
                values[node_id] = d.add + sum(value(dep) for dep in d.deps)
            return values[node_id]

        return {node_id: value(node_id) for node_id in self.defs}


def define(e: Engine, node_id: str, d: Def) -> None:
    if d.kind == "input":
        e.input(node_id, d.add)
    elif d.kind == "source":
        e.source(node_id, Plus(d.add))
    elif d.kind == "reactive":
        e.reactive(node_id, d.deps, Plus(d.add))
    else:
        e.view(node_id, d.deps, Plus(d.add))


def new_def(rng: random.Random, present: list[str]) -> Def:
    kind = rng.choice(["input", "source", "reactive", "view", "reactive"] if present else ["input"])
    if kind in ("input", "source"):
        return Def(kind, (), rng.randrange(100))
    deps = tuple(rng.choice(present) for _ in range(rng.randint(1, 3)))
    return Def(kind, deps, rng.randrange(100))


# ---- consistency ----------------------------------------------------------------------------


def check_consistent(e: Engine, model: Model) -> None:
    """The engine's answers about every id agree, and match ``model``; after a stabilize every
    value is the from-scratch one."""
    core = e._core
    rows = {node_id: (kind, deps) for node_id, kind, _outcome, deps in core.nodes()}
    assert len(e) == len(core) == len(rows) == len(model.defs)
    for node_id in IDS:
        present = node_id in e
        assert present == (node_id in rows) == (core.kind(node_id) is not None), node_id
        assert present == (node_id in model.defs), node_id
        if present:
            d = model.defs[node_id]
            assert rows[node_id] == (d.kind, d.deps) and core.kind(node_id) == d.kind
            e[node_id]
            with pytest.raises(ValueError, match="^node already registered: "):
                e.input(node_id, 0)
        else:
            with pytest.raises(KeyError):
                e[node_id]
            e.input(node_id, 0)
            assert node_id in e and len(e) == len(model.defs) + 1
            e.remove(node_id)
    e.stabilize()
    expected = model.scratch()
    assert {node_id: e[node_id] for node_id in model.defs} == expected


def prefix(done: list[bool]) -> int:
    """How many of the calls of a loop completed; the loop must have stopped at one place."""
    count = done.index(False) if False in done else len(done)
    assert not any(done[count:]), done
    return count


# ---- the operations -----------------------------------------------------------------------------


class Run:
    def __init__(self, make: type[Engine], seed: int) -> None:
        self.rng = random.Random(seed)
        self.e = make()
        self.model = Model()
        self.interrupted = 0
        for node_id in IDS[:25]:
            d = new_def(self.rng, list(self.model.defs))
            define(self.e, node_id, d)
            self.model.defs[node_id] = d

    def seconds(self) -> float:
        return math.exp(self.rng.uniform(math.log(SHORTEST), math.log(LONGEST)))

    def attempt(self, call: Callable[[], object]) -> None:
        self.interrupted += attempt(call, self.seconds())

    def ids(self, kinds: tuple[str, ...]) -> list[str]:
        return [node_id for node_id, d in self.model.defs.items() if d.kind in kinds]

    def define(self) -> None:
        present = list(self.model.defs)
        free = [node_id for node_id in IDS if node_id not in self.model.defs]
        plan: list[tuple[str, Def]] = []
        for node_id in self.rng.sample(free, min(len(free), self.rng.randint(1, 30))):
            d = new_def(self.rng, present)
            plan.append((node_id, d))
            present.append(node_id)

        def loop() -> None:
            for node_id, d in plan:
                define(self.e, node_id, d)

        self.attempt(loop)
        count = prefix([node_id in self.e for node_id, _ in plan])
        self.model.defs.update(plan[:count])
        if len(self.model.defs) > 45:
            self.prune(20)

    def prune(self, keep: int) -> None:
        """Remove leaves, without interrupts, down to ``keep`` nodes."""
        while len(self.model.defs) > keep:
            leaf = next(n for n in reversed(self.model.defs) if not self.model.dependents(n))
            self.e.remove(leaf)
            del self.model.defs[leaf]

    def remove(self) -> None:
        left = Model(dict(self.model.defs))
        plan: list[str] = []
        for _ in range(self.rng.randint(1, 10)):
            leaves = [n for n in left.defs if not left.dependents(n)]
            if not leaves:
                break
            plan.append(self.rng.choice(leaves))
            del left.defs[plan[-1]]

        def loop() -> None:
            for node_id in plan:
                self.e.remove(node_id)

        self.attempt(loop)
        for node_id in plan[: prefix([node_id not in self.e for node_id in plan])]:
            del self.model.defs[node_id]
        if len(self.model.defs) < 10:
            self.define()

    def redefine(self) -> None:
        derived = self.ids(("reactive", "view"))
        if not derived:
            return
        node_id = self.rng.choice(derived)
        d = self.model.defs[node_id]
        others = [n for n in self.model.defs if n != node_id]
        deps = tuple(self.rng.choice(others) for _ in range(self.rng.randint(1, 3)))
        cycle = any(node_id in self.model.upstream(dep) for dep in deps)
        new = Def(d.kind, deps, d.add + 1 + self.rng.randrange(5))
        self.e.stabilize()

        def call() -> None:
            try:
                self.e.redefine(node_id, deps=new.deps, fn=Plus(new.add))
            except CycleError:
                assert cycle

        self.attempt(call)
        update = self.e.stabilize()
        applied = node_id in update.computed  # it was clean before
        if not applied:
            assert update.computed == []
        else:
            assert not cycle and self.e.explain(node_id).reason == "redefined"
            self.model.defs[node_id] = new

    def set_many(self) -> None:
        inputs = self.ids(("input",))
        chosen = self.rng.sample(inputs, self.rng.randint(1, len(inputs)))
        values = {node_id: self.model.defs[node_id].add + 1 for node_id in chosen}
        self.attempt(lambda: self.e.set_many(values))
        taken = [self.e[node_id] == value for node_id, value in values.items()]
        assert all(taken) or not any(taken), taken
        if all(taken):
            for node_id, value in values.items():
                self.model.defs[node_id].add = value

    def invalidate(self) -> None:
        others = self.ids(("source", "reactive", "view"))
        if not others:
            return
        chosen = self.rng.sample(others, self.rng.randint(1, len(others)))
        self.e.stabilize()
        self.attempt(lambda: self.e.invalidate(*chosen))
        # The functions are pure: the invalidated nodes are called and cut off, nothing else.
        assert set(self.e.stabilize().computed) in (set(), set(chosen))

    def stabilize(self) -> None:
        self.set_inputs()
        self.attempt(self.e.stabilize)

    def read(self) -> None:
        self.set_inputs()
        ids = [self.rng.choice(list(self.model.defs)) for _ in range(self.rng.randint(1, 10))]

        def loop() -> None:
            for node_id in ids:
                self.e[node_id]

        self.attempt(loop)

    def set_inputs(self) -> None:
        """Change some inputs, without interrupts, for an evaluation to do some work."""
        inputs = self.ids(("input",))
        for node_id in self.rng.sample(inputs, self.rng.randint(1, len(inputs))):
            self.model.defs[node_id].add += 1
            self.e.set(node_id, self.model.defs[node_id].add)


OPERATIONS: dict[str, Callable[[Run], None]] = {
    "define": Run.define,
    "remove": Run.remove,
    "redefine": Run.redefine,
    "set_many": Run.set_many,
    "invalidate": Run.invalidate,
    "stabilize": Run.stabilize,
    "read": Run.read,
}


@pytest.mark.parametrize("make", [Engine, ShieldedEngine], ids=["Engine", "ShieldedNaiveEngine"])
@pytest.mark.parametrize("name", list(OPERATIONS))
def test_an_interrupted_call_completes_or_changes_nothing(make: type[Engine], name: str) -> None:
    run = Run(make, seed=sum(map(ord, name)))
    operation = OPERATIONS[name]
    check_consistent(run.e, run.model)
    for _ in range(ATTEMPTS):
        operation(run)
        check_consistent(run.e, run.model)
    assert run.interrupted, "no attempt was cut short"  # a slower machine only cuts more

