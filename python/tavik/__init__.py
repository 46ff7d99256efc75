"""tavik: an incremental computation engine on a native kernel.

`Engine` keeps values and functions and recomputes, on every change, only what the change
reaches. Its kernel, `Graph`, keeps the dependency graph and its state, and answers what must be
recomputed, in which order, and whether a node's memoised value is still valid; it can also be
driven directly by engines of your own.
"""

from tavik._tavik import Graph, kernel_version
from tavik._types import Kind, State
from tavik.engine import Engine, Equal
from tavik.errors import CycleError, NodeError
from tavik.report import Explanation, Reason, Update

__all__ = [
    "CycleError",
    "Engine",
    "Equal",
    "Explanation",
    "Graph",
    "Kind",
    "NodeError",
    "Reason",
    "State",
    "Update",
    "kernel_version",
    "__version__",
]

__version__: str = kernel_version()
