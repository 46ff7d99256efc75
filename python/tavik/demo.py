"""An order form on `tavik.Engine`, and a short session with it: ``python -m tavik``.

The inputs are the cells a user types into; formulas are reactive nodes; the invoice and the
tax report are views. The demo first prints the form, then makes a few changes, each followed by
one ``stabilize()``, whose report shows what was brought up to date: what was computed, what
changed, where a change was cut off because a formula came out the same, and what failed, with a
line that says why. ``python -m tavik --dot`` prints the graph instead.

Amounts are whole cents (``int``), so that every sum the invoice shows adds up exactly; they are
printed as money (``1250`` as ``12.50``). Rates are whole percentages.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
import textwrap
from dataclasses import dataclass
from typing import Any

from tavik import Engine, NodeError, Update

Out = Callable[[str], None]


def money(cents: int) -> str:
    """``1250`` as ``12.50``."""
    sign = "-" if cents < 0 else ""
    return f"{sign}{abs(cents) // 100}.{abs(cents) % 100:02d}"


def percent_of(cents: int, rate: int) -> int:
    """``rate`` percent of an amount, to the nearest cent (halves up)."""
    return (cents * rate + 50) // 100


def per_item(cents: int, quantity: int) -> int:
    """An amount shared out over ``quantity`` items, to the nearest cent (halves up)."""
    return (2 * cents + quantity) // (2 * quantity)


def invoice_text(
    quantity: int, price: int, subtotal: int, discount: int, discounted: int, tax: int,
    delivery: int, total: int, unit_cost: int,
) -> str:
    return (
        f"{quantity} x {money(price)} = {money(subtotal)}, less {discount}% = {money(discounted)},"
        f" tax {money(tax)}, delivery {money(delivery)}: total {money(total)}"
        f" ({money(unit_cost)} an item)"
    )


@dataclass(frozen=True)
class Formula:
    id: str
    deps: Sequence[str]
    text: str  # the formula as the form shows it
    fn: Callable[..., Any]
    view: bool = False


# The inputs with their first values, and how the form shows each value.
INPUTS: dict[str, tuple[int, Callable[[int], str]]] = {
    "price": (1250, money),
    "quantity": (8, str),
    "discount": (10, lambda p: f"{p}%"),
    "tax_rate": (20, lambda p: f"{p}%"),
    "shipping": (400, money),
    "budget": (50000, money),
}
FREE_SHIPPING_FROM = 10000

FORMULAS = [
    Formula("subtotal", ["price", "quantity"], "price x quantity", lambda p, q: p * q),
    Formula("discounted", ["subtotal", "discount"], "subtotal less discount %, to the cent",
            lambda s, d: s - percent_of(s, d)),
    Formula("tax", ["discounted", "tax_rate"], "tax_rate % of discounted, to the cent",
            percent_of),
    Formula("free_shipping", ["discounted"], f"discounted >= {money(FREE_SHIPPING_FROM)}",
            lambda s: s >= FREE_SHIPPING_FROM),
    Formula("delivery", ["shipping", "free_shipping"], "0.00 if free_shipping else shipping",
            lambda c, free: 0 if free else c),
    Formula("total", ["discounted", "tax", "delivery"], "discounted + tax + delivery",
            lambda s, t, d: s + t + d),
    Formula("unit_cost", ["total", "quantity"], "total / quantity, to the cent", per_item),
    Formula("within_budget", ["total", "budget"], "total <= budget", lambda t, b: t <= b),
    Formula("invoice",
            ["quantity", "price", "subtotal", "discount", "discounted", "tax", "delivery", "total",
             "unit_cost"],
            '"<quantity> x <price> = <subtotal>, less <discount>% = <discounted>,\n'
            ' tax <tax>, delivery <delivery>: total <total> (<unit_cost> an item)"',
            invoice_text, view=True),
    Formula("tax_report", ["tax"], '"tax due <tax>"', lambda t: f"tax due {money(t)}", view=True),
]
MONEY = {"price", "shipping", "budget", "subtotal", "discounted", "tax", "delivery", "total",
         "unit_cost"}


def make_form() -> Engine:
    """The order form, defined but not yet evaluated."""
    e = Engine()
    for id, (value, _) in INPUTS.items():
        e.input(id, value)
    for f in FORMULAS:
        if f.view:
            e.view(f.id, f.deps, f.fn)
        else:
            e.reactive(f.id, f.deps, f.fn)
    return e


def shown(id: str, value: object) -> str:
    """A node's value as the form shows it."""
    if isinstance(value, int) and not isinstance(value, bool):
        if id in INPUTS:
            return INPUTS[id][1](value)
        if id in MONEY:
            return money(value)
    return str(value)


def say(out: Out, first: str, text: str, indent: str) -> None:
    """``text`` after ``first``, wrapped to 100 columns, continued under ``indent``."""
    for line in textwrap.wrap(text, 100, initial_indent=first, subsequent_indent=indent):
        out(line)


def print_form(e: Engine, out: Out) -> None:
    out("the order form (amounts are whole cents inside the engine, shown as money):")
    out("  inputs:   " + ", ".join(f"{id} {show(value)}" for id, (value, show) in INPUTS.items()))
    width = max(len(f.id) for f in FORMULAS)
    for heading, views in (("formulas", False), ("views", True)):
        out(f"  {heading}:")
        for f in FORMULAS:
            if f.view == views:
                first, *rest = f.text.split("\n")
                out(f"    {f.id:<{width}} = {first}")
                for line in rest:
                    out(f"    {'':<{width}}  {line}")
    out("each change below is followed by one stabilize(), whose report lists:")
    for name, meaning in LEGEND.items():
        out(f"  {name:>9}: {meaning}")


def failure(e: Engine, id: str) -> str:
    """A failed node, with what failed it."""
    try:
        e[id]
    except NodeError as err:
        if err.origin == id:
            return f"{id} (its function raised {type(err.__cause__).__name__})"
        return f"{id} (not called: {err.origin} failed)"
    return id


LEGEND = {
    "computed": "the formulas whose function was called",
    "changed": "the values now different: inputs set to a new value, formulas that came out new",
    "cut_off": "formulas called that came out the same: nothing below them is called",
    "failed": "formulas whose function raised, and those not called because a dependency failed",
}


def show(e: Engine, update: Update, why: str, out: Out) -> None:
    say(out, "  why: ", why, "       ")
    lists = {
        "computed": update.computed,
        "changed": update.changed,
        "cut_off": [f"{id} (still {shown(id, e[id])})" for id in update.cut_off],
        "failed": [failure(e, id) for id in update.failed],
    }
    for name, ids in lists.items():
        say(out, f"  {name:>9}: ", ", ".join(ids) if ids else "-", " " * 13)


# Each change: its title, the inputs it sets, and why the report holds what it holds.
STEPS: list[tuple[str, dict[str, int], str]] = [
    ("quantity 8 -> 10", {"quantity": 10},
     "quantity feeds subtotal and unit_cost: all below them is called; within_budget is true "
     "again"),
    ("shipping 4.00 -> 4.00", {"shipping": 400},
     "the same value is no change: nothing is called"),
    ("shipping 4.00 -> 6.50", {"shipping": 650},
     "delivery is called and stays 0.00 (free shipping from 100.00 on): total is not called"),
    ("budget 500.00 -> 800.00", {"budget": 80000},
     "within_budget is called and stays true: cut off, and nothing depends on it"),
    ("price 12.50 -> 9.00 and discount 10% -> 15%", {"price": 900, "discount": 15},
     "two inputs changed, one evaluation: each formula is called once, not once per input"),
]


def run(out: Out = print) -> Engine:
    e = make_form()
    print_form(e, out)
    first = e.stabilize()
    out(f"\nthe first stabilize computed all {len(first.computed)} formulas and views: "
        "every node is new")
    say(out, "  invoice: ", e["invoice"], " " * 11)

    for title, changes, why in STEPS:
        e.set_many(changes)
        out(f"\nchange: {title}")
        show(e, e.stabilize(), why, out)
    say(out, "  ", str(e.explain("total")), "  ")

    out("\nchange: quantity 10 -> 0")
    e.set("quantity", 0)
    show(e, e.stabilize(),
         "unit_cost divides by quantity: called (computed), it raised (failed); invoice is not "
         "called",
         out)
    try:
        e["invoice"]
    except NodeError as err:
        say(out, "  reading the invoice: ", str(err), " " * 6)

    out("\nchange: quantity 0 -> 4")
    e.set("quantity", 4)
    show(e, e.stabilize(),
         "a failure lasts until a dependency changes: quantity did, so unit_cost is called again",
         out)
    say(out, "  invoice: ", e["invoice"], " " * 11)
    say(out, "  ", str(e.explain("unit_cost")), "  ")
    return e


def dot() -> str:
    """The form's graph after its first evaluation, as Graphviz DOT."""
    e = make_form()
    e.stabilize()
    return e.to_dot()
