"""An order form on `tavik.Engine`, and a short session with it: ``python -m tavik``.

The inputs are the cells a user types into; formulas are reactive nodes; the invoice and the
tax report are views. Each change is followed by one ``stabilize()``, whose report shows what was
brought up to date: what was computed, what changed, where a change was cut off because a
formula came out the same, and what failed. ``python -m tavik --dot`` prints the graph instead.
"""

from __future__ import annotations

from collections.abc import Callable

from tavik import Engine, NodeError, Update

Out = Callable[[str], None]


def make_form() -> Engine:
    """The order form, defined but not yet evaluated."""
    e = Engine()
    e.input("price", 12.5)
    e.input("quantity", 8)
    e.input("discount", 0.1)
    e.input("tax_rate", 0.2)
    e.input("shipping", 4.0)
    e.input("budget", 500.0)
    e.reactive("subtotal", ["price", "quantity"], lambda p, q: p * q)
    e.reactive("discounted", ["subtotal", "discount"], lambda s, d: round(s * (1 - d), 2))
    e.reactive("tax", ["discounted", "tax_rate"], lambda s, t: round(s * t, 2))
    e.reactive("free_shipping", ["discounted"], lambda s: s >= 100)
    e.reactive("delivery", ["shipping", "free_shipping"], lambda c, free: 0.0 if free else c)
    e.reactive("total", ["discounted", "tax", "delivery"], lambda s, t, d: round(s + t + d, 2))
    e.reactive("unit_cost", ["total", "quantity"], lambda t, q: round(t / q, 2))
    e.reactive("within_budget", ["total", "budget"], lambda t, b: t <= b)

    @e.view("invoice", ["total", "quantity", "unit_cost"])
    def invoice(total: float, quantity: int, unit_cost: float) -> str:
        return f"{quantity} items at {unit_cost:.2f}, total {total:.2f}"

    e.view("tax_report", ["tax"], lambda t: f"tax due {t:.2f}")
    return e


def show(update: Update, out: Out) -> None:
    for name in ("computed", "changed", "cut_off", "failed"):
        ids: list[str] = getattr(update, name)
        out(f"  {name:>9}: {', '.join(ids) if ids else '-'}")


def run(out: Out = print) -> Engine:
    e = make_form()
    first = e.stabilize()
    out(f"defined {len(e)} nodes; the first stabilize computed {len(first.computed)} formulas")
    out(f"  invoice: {e['invoice']}")

    steps: list[tuple[str, dict[str, object]]] = [
        ("quantity 8 -> 10", {"quantity": 10}),
        ("shipping 4.0 -> 4.0 (the same value: nothing to do)", {"shipping": 4.0}),
        ("shipping 4.0 -> 6.5 (shipping is free above 100, so the change stops there)",
         {"shipping": 6.5}),
        ("budget 500 -> 800 (within budget stays true)", {"budget": 800.0}),
        ("price 12.5 -> 9.0 and discount 0.1 -> 0.15", {"price": 9.0, "discount": 0.15}),
    ]
    for title, changes in steps:
        e.set_many(changes)
        out(f"\nchange: {title}")
        show(e.stabilize(), out)
    out(f"why was the total recomputed? {e.explain('total')}")

    out("\nchange: quantity 10 -> 0 (unit_cost divides by it)")
    e.set("quantity", 0)
    show(e.stabilize(), out)
    try:
        e["invoice"]
    except NodeError as err:
        out(f"  reading the invoice: {err}")
    out("\nchange: quantity 0 -> 4")
    e.set("quantity", 4)
    show(e.stabilize(), out)
    out(f"  invoice: {e['invoice']}")
    out(f"  {e.explain('unit_cost')}")
    return e


def dot() -> str:
    """The form's graph after its first evaluation, as Graphviz DOT."""
    e = make_form()
    e.stabilize()
    return e.to_dot()
