"""The engine workloads on a Python signals library (reaktiv): one ``Signal`` per input, one
``Computed`` per derived node, reading its dependencies' signals and calling the node's
function with their values. Every signal compares values with ``==`` (the library's default is
identity), as the engines do, so a recomputed value equal to the old one stops a change there.

The library is lazy: a change is brought up to date by reading. An update here sets the input
and reads every node that nothing depends on (every other node is upstream of one of them), so
everything the change reaches is recomputed, as by ``Engine.stabilize``.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import importlib.util
import operator
from collections.abc import Callable, Sequence
from typing import Any

from workloads import Workload, initial_value, leaves, node_fn

LIBRARY = "reaktiv"


def available() -> str | None:
    """The installed library's version, or None if it is not installed."""
    if importlib.util.find_spec(LIBRARY) is None:
        return None
    return importlib.metadata.version(LIBRARY)


def _compute(fn: Callable[..., Any], sources: Sequence[Any]) -> Callable[[], Any]:
    return lambda: fn(*[s() for s in sources])


class SignalGraph:
    def __init__(self, w: Workload, fns: Callable[[str], Callable[..., Any]] | None = None
                 ) -> None:
        rk: Any = importlib.import_module(LIBRARY)
        signal, computed, eq = rk.Signal, rk.Computed, operator.eq
        self.nodes: dict[str, Any] = {}
        nodes = self.nodes
        k = 0
        for id, kind, deps in w.nodes:
            if kind == "input":
                nodes[id] = signal(initial_value(k), equal=eq)
                k += 1
            else:
                fn = node_fn if fns is None else fns(id)
                nodes[id] = computed(_compute(fn, [nodes[d] for d in deps]), equal=eq)
        self.sinks = [nodes[id] for id in leaves(w)]
        # The first values in definition order, so that no read recurses through the graph.
        for id, kind, _ in w.nodes:
            if kind != "input":
                nodes[id]()

    def set(self, id: str, value: Any) -> None:
        self.nodes[id].set(value)

    def update(self) -> None:
        """Read every node that nothing depends on."""
        for s in self.sinks:
            s()

    def __getitem__(self, id: str) -> Any:
        return self.nodes[id]()
