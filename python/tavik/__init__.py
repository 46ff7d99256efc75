"""tavik: the native kernel of an incremental computation engine.

It keeps the dependency graph and its state, and answers what must be recomputed, in which
order, and whether a node's memoised value is still valid. Node values stay in Python.
"""

from tavik._tavik import Graph, kernel_version

__all__ = ["Graph", "kernel_version", "__version__"]

__version__: str = kernel_version()
