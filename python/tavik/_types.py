"""Names of node kinds and states, as the kernel spells them."""

from typing import Literal, TypeAlias

__all__ = ["Kind", "State"]

#: The kind names that ``Graph.add_node`` takes and ``kind_of``/``check_node`` return.
Kind: TypeAlias = Literal["input", "source", "reactive", "view"]
#: The state names that ``Graph.state_of`` returns.
State: TypeAlias = Literal["clean", "dirty", "computing"]
