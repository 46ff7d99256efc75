"""tavik: the native kernel of an incremental computation engine.

It keeps the dependency graph and its state, and answers what must be recomputed, in which
order, and whether a node's memoised value is still valid. Node values stay in Python.
"""

from typing import Literal, TypeAlias

from tavik._tavik import Graph, kernel_version

__all__ = ["Graph", "Kind", "State", "kernel_version", "__version__"]

#: The kind names that ``Graph.add_node`` takes and ``kind_of``/``check_node`` return.
Kind: TypeAlias = Literal["input", "source", "reactive", "view"]
#: The state names that ``Graph.state_of`` returns.
State: TypeAlias = Literal["clean", "dirty", "computing"]

from tavik._version import __version__
