"""A small spreadsheet engine on top of tavik, and a short session with it.

The engine keeps the values and the formulas; tavik keeps the dependency graph and answers, on
every change, what must be recomputed, in which order, and whether a memoised value is still
valid. Run it with ``python -m tavik``.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable, Sequence
from typing import Literal

from tavik._tavik import Graph

Formula = Callable[..., object]
Kind = Literal["source", "reactive", "view"]


def content_hash(value: object) -> int:
    """A stable 64-bit hash of a value (Python's own ``hash`` is salted per process)."""
    digest = hashlib.blake2b(repr(value).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


class Sheet:
    """Cells are inputs; formulas are reactive nodes; reports are views."""

    def __init__(self) -> None:
        self.graph = Graph()
        self.values: dict[str, object] = {}
        self.formulas: dict[str, tuple[Formula, tuple[str, ...]]] = {}
        self.log: list[tuple[str, str]] = []  # (id, "computed" | "memo hit" | "unchanged")

    def cell(self, cell_id: str, value: object) -> None:
        self.graph.add_node(cell_id, "input")
        self.values[cell_id] = value

    def formula(self, cell_id: str, deps: Sequence[str], fn: Formula, kind: Kind = "reactive") -> None:
        self.graph.add_node(cell_id, kind)
        self.graph.set_deps(cell_id, list(deps))
        self.formulas[cell_id] = (fn, tuple(deps))

    def build(self) -> None:
        """Fix the topology, then bring every node up to date once."""
        self.graph.build()
        self._update(self.graph.dirty_nodes())

    def set(self, changes: dict[str, object]) -> list[str]:
        """Change some cells and recompute what depends on them; returns the schedule."""
        self.values.update(changes)
        schedule = self.graph.mark_dirty(list(changes))
        self._update(schedule)
        return schedule

    def _update(self, schedule: list[str]) -> None:
        graph = self.graph
        for node in schedule:
            if node not in self.formulas:  # an input cell: record its value's hash
                graph.commit_input(node, content_hash(self.values[node]))
                continue
            _kind, needs_recompute, signature = graph.check_node(node)
            if not needs_recompute:
                graph.skip_node(node, signature)  # the memoised value is still valid
                self.log.append((node, "memo hit"))
                continue
            graph.set_computing(node)
            fn, deps = self.formulas[node]
            value = fn(*(self.values[d] for d in deps))
            if node in self.values and self.values[node] == value:
                # Recomputed to the same value: keep the epoch, so dependents stay memo hits.
                graph.skip_node(node, signature)
                self.log.append((node, "unchanged"))
            else:
                self.values[node] = value
                graph.commit_node(node, signature)
                self.log.append((node, "computed"))


def make_sheet() -> Sheet:
    sheet = Sheet()
    sheet.cell("price", 12.5)
    sheet.cell("quantity", 8)
    sheet.cell("discount", 0.1)
    sheet.cell("tax_rate", 0.2)
    sheet.cell("shipping", 4.0)
    sheet.formula("subtotal", ["price", "quantity"], lambda p, q: p * q)
    sheet.formula("discounted", ["subtotal", "discount"], lambda s, d: round(s * (1 - d), 2))
    sheet.formula("tax", ["discounted", "tax_rate"], lambda s, t: round(s * t, 2))
    sheet.formula("free_shipping", ["discounted"], lambda s: s >= 100)
    sheet.formula("delivery", ["shipping", "free_shipping"], lambda c, free: 0.0 if free else c)
    sheet.formula("total", ["discounted", "tax", "delivery"], lambda s, t, d: round(s + t + d, 2))
    sheet.formula(
        "invoice", ["total", "quantity"], lambda t, q: f"{q} items, total {t:.2f}", kind="view"
    )
    sheet.formula("tax_report", ["tax"], lambda t: f"tax due {t:.2f}", kind="view")
    return sheet


def run(out: Callable[[str], None] = print) -> Sheet:
    sheet = make_sheet()
    sheet.build()
    out(f"built {len(sheet.graph)} nodes; order: {', '.join(sheet.graph.topo_order())}")
    out(f"first evaluation computed {len(sheet.log)} formulas")

    steps: list[tuple[str, dict[str, object]]] = [
        ("quantity 8 -> 10", {"quantity": 10}),
        ("shipping 4.0 -> 4.0 (same value)", {"shipping": 4.0}),
        ("shipping 4.0 -> 6.5 (free shipping applies, so nothing downstream moves)", {"shipping": 6.5}),
        ("price 12.5 -> 9.0 and discount 0.1 -> 0.15", {"price": 9.0, "discount": 0.15}),
    ]
    for title, changes in steps:
        sheet.log.clear()
        schedule = sheet.set(changes)
        out(f"\nchange: {title}")
        out(f"  schedule: {', '.join(schedule)}")
        for verdict in ("computed", "unchanged", "memo hit"):
            ids = [node for node, v in sheet.log if v == verdict]
            out(f"  {verdict:>9}: {', '.join(ids) if ids else '-'}")

    out("\nfinal values:")
    for node in sheet.graph.topo_order():
        out(f"  {node:>13} = {sheet.values[node]!r}")
    return sheet


if __name__ == "__main__":
    run()
