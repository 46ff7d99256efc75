"""What an evaluation did (`Update`) and why a node was last computed (`Explanation`)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal, TypeAlias

from tavik.errors import quote, quote_all

__all__ = ["Explanation", "Reason", "Update"]

#: Why a node was computed: it was new, redefined, invalidated, or a dependency changed.
Reason: TypeAlias = Literal["new", "redefined", "invalidated", "dependencies"]


@dataclass(frozen=True, slots=True)
class Update:
    """The report of one `Engine.stabilize`; every list holds ids in topological order.

    Every scheduled node that is not an input is in exactly one of ``changed``, ``cut_off``,
    ``reused`` and ``failed``.
    """

    #: Every node that this call brought up to date.
    schedule: list[str]
    #: The nodes whose function (or a source's ``read``) was called.
    computed: list[str]
    #: The nodes whose value is now different from before: inputs set to a new value, computed
    #: nodes whose new value is not equal to the old one, and nodes computed for the first time.
    changed: list[str]
    #: Computed nodes whose new value equals the old one: their dependents were not disturbed.
    cut_off: list[str]
    #: Scheduled nodes that were not called because no dependency changed (memo hits).
    reused: list[str]
    #: Nodes whose function raised in this call, and nodes not called because a dependency failed.
    failed: list[str]
    #: Wall-clock time of the call.
    seconds: float


_BECAUSE: dict[Reason, str] = {
    "new": "it was new",
    "redefined": "it was redefined",
    "invalidated": "it was invalidated",
    "dependencies": "its dependencies changed",
}


@dataclass(frozen=True, slots=True)
class Explanation:
    """Why a node's most recent computation happened."""

    #: The node explained.
    node: str
    #: ``"new"``, ``"redefined"``, ``"invalidated"`` or ``"dependencies"``.
    reason: Reason
    #: The dependencies, in deps order, whose value changed between the node's previous
    #: computation and its latest one; empty unless ``reason`` is ``"dependencies"``.
    changed: list[str]

    def __str__(self) -> str:
        because = _BECAUSE[self.reason]
        if self.changed:
            because += f": {quote_all(self.changed)}"
        return f"{quote(self.node)} was computed because {because}."
