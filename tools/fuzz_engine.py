"""Coverage-guided fuzzer of `tavik.Engine` against the naive core (run with atheris).

Each input is decoded into a random engine program: definitions of every kind (with repeated
dependencies, equalities that raise or answer something other than a bool), sets, invalidations,
redefinitions (cycles included), removals, reads, stabilizations, explanations and DOT renderings,
with functions that raise for some results and functions armed to raise `KeyboardInterrupt`. The
same program runs on `tavik.Engine` (its walk native) and on `tests/naive_core.NaiveEngine` (the
same facade over a pure-Python core written to be obviously right); every call must agree: the
same result (reports without their times), or the same exception type and message, and the same
functions called in the same order.

    tools/fuzz_engine.sh [runs] [extra libFuzzer flags...]
"""

from __future__ import annotations

import dataclasses
import os
import sys
from collections.abc import Callable
from functools import partial
from typing import Any

import atheris  # type: ignore[import-untyped, import-not-found, unused-ignore]

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports(include=["tavik", "naive_core"]):
    from naive_core import NaiveEngine

    from tavik import Engine, Explanation, NodeError, Update

IDS = ["a", "b", "c", "d", "e", "f", "g", "h"]
MOD = 7
MAX_CALLS = 40


class Interrupt(KeyboardInterrupt):
    pass


EQUALITIES: list[Callable[[Any, Any], object] | None] = [
    None,
    lambda old, new: old == new,
    lambda old, new: 1 // 0,
    lambda old, new: "yes",
]


class Side:
    """One engine, the log of the functions it called, and the node armed to interrupt."""

    def __init__(self, engine: Engine) -> None:
        self.engine = engine
        self.log: list[str] = []
        self.armed: str | None = None
        self.outside: dict[str, int] = {}

    def function(self, node_id: str, mult: int, add: int, bad: int | None) -> Callable[..., int]:
        def fn(*args: int) -> int:
            if self.armed == node_id:
                self.armed = None
                raise Interrupt
            self.log.append(node_id)
            if not args:
                args = (self.outside.get(node_id, 0),)
            result = (sum(args) * mult + add) % MOD
            if result == bad:
                raise ValueError(f"bad value {result}")
            return result

        return fn


def outcome(call: Callable[[], object]) -> tuple[str, object]:
    try:
        result = call()
    except NodeError as error:
        cause = error.__cause__
        return ("NodeError", (str(error), error.node, error.origin, type(cause), str(cause)))
    except (Exception, KeyboardInterrupt) as error:
        return (type(error).__name__, str(error))
    if isinstance(result, Update):
        result = dataclasses.replace(result, seconds=0.0)
    elif isinstance(result, Explanation):
        result = (result, str(result))
    return ("ok", result)


def run_program(data: bytes) -> None:
    d = atheris.FuzzedDataProvider(data)
    sides = [Side(Engine()), Side(NaiveEngine())]
    history: list[str] = []
    for _ in range(MAX_CALLS):
        if d.remaining_bytes() == 0:
            break
        op = d.ConsumeIntInRange(0, 12)
        node_id = IDS[d.ConsumeIntInRange(0, len(IDS) - 1)]
        deps = [IDS[d.ConsumeIntInRange(0, len(IDS) - 1)] for _ in range(d.ConsumeIntInRange(0, 3))]
        mult, add = d.ConsumeIntInRange(1, 3), d.ConsumeIntInRange(0, MOD - 1)
        bad = d.ConsumeIntInRange(0, MOD) if d.ConsumeBool() else None
        bad = None if bad == MOD else bad
        value = d.ConsumeIntInRange(0, MOD - 1)
        equal = EQUALITIES[d.ConsumeIntInRange(0, len(EQUALITIES) - 1)]
        history.append(f"{op} {node_id} {deps} {mult} {add} {bad} {value}")
        results = []
        for side in sides:
            e = side.engine

            def call(side: Side = side, e: Engine = e) -> object:
                fn = side.function(node_id, mult, add, bad)
                if op == 0:
                    e.input(node_id, value, equal=equal)
                    return None
                if op == 1:
                    side.outside[node_id] = value
                    e.source(node_id, fn, equal=equal)
                    return None
                if op == 2:
                    return e.reactive(node_id, deps, fn, equal=equal)
                if op == 3:
                    return e.view(node_id, deps, fn, equal=equal)
                if op == 4:
                    e.set(node_id, value)
                    return None
                if op == 5:
                    e.set_many({node_id: value, deps[0] if deps else node_id: mult})
                    return None
                if op == 6:
                    e.invalidate(node_id, *deps[:1])
                    return None
                if op == 7:
                    e.redefine(node_id, deps=deps if add % 2 else None, fn=fn)
                    return None
                if op == 8:
                    e.remove(node_id)
                    return None
                if op == 9:
                    side.armed = node_id if add < 2 else None
                    side.outside[node_id] = value
                    return e[node_id]
                if op == 10:
                    side.armed = node_id if add < 2 else None
                    return e.stabilize()
                if op == 11:
                    return e.explain(node_id)
                return (e.to_dot(), len(e), node_id in e)

            results.append((outcome(call), list(side.log)))
            side.log.clear()
            side.armed = None
        if results[0] != results[1]:
            raise AssertionError(
                f"after {history!r}:\nengine {results[0]!r}\nnaive {results[1]!r}"
            )
    # Both end up with the same values everywhere.
    final = [outcome(side.engine.stabilize) for side in sides]
    values = [
        [outcome(partial(side.engine.__getitem__, node_id)) for node_id in IDS]
        for side in sides
    ]
    assert final[0] == final[1] and values[0] == values[1], history


def main() -> None:
    atheris.Setup(sys.argv, atheris.instrument_func(run_program))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
