"""The demo, `python -m tavik`: it shows the form before changing it, explains every report, and
its money adds up."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

from tavik.demo import FORMULAS, INPUTS, make_form, money, per_item, percent_of


def demo_lines(tmp_path: Path, *args: str) -> list[str]:
    result = subprocess.run(
        [sys.executable, "-m", "tavik", *args],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


@pytest.fixture(scope="module")
def lines(tmp_path_factory: pytest.TempPathFactory) -> list[str]:
    return demo_lines(tmp_path_factory.mktemp("demo"))


def block(lines: list[str], title: str) -> list[str]:
    """The lines of one change, from its title to the blank line after it."""
    start = lines.index(f"change: {title}")
    end = lines.index("", start) if "" in lines[start:] else len(lines)
    return lines[start + 1 : end]


def unwrapped(lines: list[str]) -> list[str]:
    """Lines with the demo's wrapped continuations (indented by 6 or more) joined back onto the
    line they continue."""
    joined: list[str] = []
    for line in lines:
        if joined and re.match(r"^ {6,}\S", line):
            joined[-1] += " " + line.strip()
        else:
            joined.append(line)
    return joined


def test_the_form_comes_first_with_every_input_and_formula(lines: list[str]) -> None:
    first_change = next(i for i, line in enumerate(lines) if line.startswith("change: "))
    form = "\n".join(lines[:first_change])
    assert lines[0].startswith("the order form")
    assert "  inputs:   price 12.50, quantity 8, discount 10%, tax_rate 20%, shipping 4.00, " \
        "budget 500.00" in lines
    for f in FORMULAS:
        assert re.search(rf"^    {f.id} +=", form, re.MULTILINE), f.id
    e = make_form()
    assert len(e) == len(INPUTS) + len(FORMULAS)


def test_every_change_says_why_and_lists_each_outcome(lines: list[str]) -> None:
    titles = [line.removeprefix("change: ") for line in lines if line.startswith("change: ")]
    assert len(titles) == 7
    for title in titles:
        shown = unwrapped(block(lines, title))
        assert shown[0].startswith("  why: "), title
        labels = [line.split(":")[0].strip() for line in shown[1:5]]
        assert labels == ["computed", "changed", "cut_off", "failed"], title


def test_a_cut_off_stops_the_change(lines: list[str]) -> None:
    assert unwrapped(block(lines, "shipping 4.00 -> 6.50"))[1:5] == [
        "   computed: delivery",
        "    changed: shipping",
        "    cut_off: delivery (still 0.00)",
        "     failed: -",
    ]
    assert unwrapped(block(lines, "shipping 4.00 -> 4.00"))[1] == "   computed: -"


def test_a_failure_names_the_function_that_raised(lines: list[str]) -> None:
    shown = unwrapped(block(lines, "quantity 10 -> 0"))
    computed = shown[1].removeprefix("   computed: ").split(", ")
    assert "unit_cost" in computed and "invoice" not in computed
    assert shown[4] == (
        "     failed: unit_cost (its function raised ZeroDivisionError), "
        "invoice (not called: unit_cost failed)"
    )
    assert (
        '  reading the invoice: node "invoice" depends on "unit_cost", whose function raised '
        "ZeroDivisionError: integer division or modulo by zero"
    ) in shown


def test_every_invoice_adds_up(lines: list[str]) -> None:
    amount = r"(\d+\.\d\d)"
    pattern = re.compile(
        rf"^  invoice: (\d+) x {amount} = {amount}, less (\d+)% = {amount}, tax {amount}, "
        rf"delivery {amount}: total {amount} \({amount} an item\)$"
    )
    invoices = [m for line in unwrapped(lines) if (m := pattern.match(line))]
    assert len(invoices) == 2
    for m in invoices:
        quantity, discount = int(m[1]), int(m[4])
        price, subtotal, discounted, tax, delivery, total, unit = (
            round(float(m[i]) * 100) for i in (2, 3, 5, 6, 7, 8, 9)
        )
        assert quantity * price == subtotal
        assert subtotal - percent_of(subtotal, discount) == discounted
        assert discounted + tax + delivery == total
        assert abs(unit * quantity - total) * 2 <= quantity  # the nearest cent
    assert invoices[-1][0].endswith("total 43.22 (10.81 an item)")
    assert unwrapped(lines)[-1] == (
        '  "unit_cost" was computed because its dependencies changed: "total", "quantity".'
    )


def test_output_fits_100_columns(lines: list[str]) -> None:
    assert [line for line in lines if len(line) > 100] == []


@pytest.mark.parametrize(
    ("cents", "text"),
    [(1250, "12.50"), (5, "0.05"), (0, "0.00"), (100000, "1000.00"), (-105, "-1.05")],
)
def test_money(cents: int, text: str) -> None:
    assert money(cents) == text


@pytest.mark.parametrize(
    ("cents", "quantity", "each"), [(4322, 4, 1081), (4321, 4, 1080), (4323, 4, 1081), (100, 3, 33)]
)
def test_per_item_rounds_to_the_nearest_cent_halves_up(
    cents: int, quantity: int, each: int
) -> None:
    assert per_item(cents, quantity) == each


def test_dot(tmp_path: Path) -> None:
    out = demo_lines(tmp_path, "--dot")
    assert out[0] == "digraph tavik {" and out[-1] == "}"
    assert '  "price" -> "subtotal";' in out
