"""Kernel errors as Python exceptions: types, messages, and the quoted form of ids in them."""

from __future__ import annotations

import unicodedata
from collections.abc import Callable
from typing import Any

import pytest

from conftest import build_graph
from tavik import Graph

NOT_BUILT = "graph has not been built; call build() after registering nodes"

# Ids and their quoted form, as they appear in messages.
QUOTED: list[tuple[str, str]] = [
    ("x", '"x"'),
    ("", '""'),
    ("hello world", '"hello world"'),
    ('a"b', '"a\\"b"'),
    ("a\\b", '"a\\\\b"'),
    ("it's", '"it\'s"'),
    ("a\nb", '"a\\nb"'),
    ("\t", '"\\t"'),
    ("\r", '"\\r"'),
    ("\0", '"\\0"'),
    ("a\0b", '"a\\0b"'),
    ("\x01", '"\\u{1}"'),
    ("\x1b[0m", '"\\u{1b}[0m"'),
    ("\x7f", '"\\u{7f}"'),
    ("\x85", '"\\u{85}"'),
    ("\xa0", '"\\u{a0}"'),
    ("\xad", '"\\u{ad}"'),
    ("\u0301", '"\\u{301}"'),
    ("e\u0301", '"e\\u{301}"'),
    ("\xe9", '"\xe9"'),
    ("\u4e2d\u6587", '"\u4e2d\u6587"'),
    ("\U0001f600", '"\U0001f600"'),
    ("\u2764\ufe0f", '"\u2764\\u{fe0f}"'),
    ("\u200d", '"\\u{200d}"'),
    ("\U0001f468\u200d\U0001f469", '"\U0001f468\\u{200d}\U0001f469"'),
    ("\u200c", '"\\u{200c}"'),
    ("\u20dd", '"\\u{20dd}"'),
    ("\u0903", '"\u0903"'),  # a spacing mark that does not extend graphemes
    ("\u09be", '"\\u{9be}"'),  # a spacing mark that does
    ("\uff9e", '"\\u{ff9e}"'),  # a modifier letter that extends graphemes
    ("\u2028", '"\\u{2028}"'),
    ("\u2029", '"\\u{2029}"'),
    ("\u3000", '"\\u{3000}"'),
    ("\ufeff", '"\\u{feff}"'),
    ("\ue000", '"\\u{e000}"'),
    ("\U000f0000", '"\\u{f0000}"'),
    ("\u0378", '"\\u{378}"'),
    ("\U0010ffff", '"\\u{10ffff}"'),
    ("\U000e0041", '"\\u{e0041}"'),
    ('x\t"y"\n\\z', '"x\\t\\"y\\"\\n\\\\z"'),
    ("long plain run " * 8 + "\n" + "tail", '"' + "long plain run " * 8 + '\\ntail"'),
]

TRICKY_IDS = [pair[0] for pair in QUOTED]


class TestExceptionMapping:
    def test_unknown_node(self, graph: Graph) -> None:
        with pytest.raises(KeyError) as excinfo:
            graph.state_of("x")
        error = excinfo.value
        assert type(error) is KeyError
        assert error.args == ('unknown node: "x"',)
        assert str(error) == "'unknown node: \"x\"'"
        assert error.__cause__ is None and error.__context__ is None

    @pytest.mark.parametrize(
        "call",
        [
            lambda g: g.kind_of("zz"),
            lambda g: g.state_of("zz"),
            lambda g: g.deps_of("zz"),
            lambda g: g.set_deps("zz", ["zz"]),
            lambda g: g.set_deps("a", ["zz"]),
            lambda g: g.set_deps("a", ["b", "zz", "also-unknown"]),
            lambda g: g.check_node("zz"),
            lambda g: g.needs_recompute("zz", 0),
            lambda g: g.commit_node("zz", 0),
            lambda g: g.skip_node("zz", 0),
            lambda g: g.commit_input("zz", 0),
            lambda g: g.set_clean("zz", 0),
            lambda g: g.set_computing("zz"),
            lambda g: g.set_dirty("zz"),
        ],
    )
    def test_unknown_node_from_every_lookup(self, call: Callable[[Graph], object]) -> None:
        g = build_graph([("a", "input", []), ("b", "input", [])])
        with pytest.raises(KeyError) as excinfo:
            call(g)
        assert type(excinfo.value) is KeyError
        assert excinfo.value.args == ('unknown node: "zz"',)

    def test_duplicate_node(self) -> None:
        g = build_graph([("a", "input", [])])
        with pytest.raises(ValueError) as excinfo:
            g.add_node("a", "Bogus")  # type: ignore[arg-type]
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == ('node already registered: "a"',)
        assert str(excinfo.value) == 'node already registered: "a"'

    def test_self_dependency(self) -> None:
        g = build_graph([("a", "input", [])])
        with pytest.raises(ValueError) as excinfo:
            g.set_deps("a", ["a"])
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == ('node "a" cannot depend on itself',)

    @pytest.mark.parametrize(
        ("kind", "quoted"),
        [("Input", '"Input"'), ("", '""'), (" view", '" view"'), ("in\tput", '"in\\tput"')],
    )
    def test_invalid_kind(self, graph: Graph, kind: Any, quoted: str) -> None:
        with pytest.raises(ValueError) as excinfo:
            graph.add_node("a", kind)
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == (
            f"invalid node kind {quoted} (expected input|source|reactive|view)",
        )

    @pytest.mark.parametrize("call", [lambda g: g.topo_order(), lambda g: g.views()])
    def test_not_built(self, call: Callable[[Graph], object]) -> None:
        g = build_graph([("a", "input", [])])
        with pytest.raises(RuntimeError) as excinfo:
            call(g)
        assert type(excinfo.value) is RuntimeError
        assert excinfo.value.args == (NOT_BUILT,)

    def test_cycle_ids_are_not_quoted(self) -> None:
        first, second = 'a "1"', "b\n2"
        g = build_graph([(first, "reactive", []), (second, "reactive", [])])
        g.set_deps(first, [second])
        g.set_deps(second, [first])
        with pytest.raises(ValueError) as excinfo:
            g.build()
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == (f"dependency cycle detected involving: {first}, {second}",)

    def test_each_error_is_a_new_exception(self, graph: Graph) -> None:
        errors = []
        for _ in range(2):
            with pytest.raises(KeyError) as excinfo:
                graph.kind_of("x")
            errors.append(excinfo.value)
        assert errors[0] is not errors[1]
        assert errors[0].args == errors[1].args


class TestQuotedIds:
    @pytest.mark.parametrize(("node_id", "quoted"), QUOTED, ids=[ascii(i) for i in TRICKY_IDS])
    def test_unknown_node(self, graph: Graph, node_id: str, quoted: str) -> None:
        graph.add_node("other", "input")
        with pytest.raises(KeyError) as excinfo:
            graph.state_of(node_id)
        assert excinfo.value.args == ("unknown node: " + quoted,)
        assert str(excinfo.value) == repr("unknown node: " + quoted)

    @pytest.mark.parametrize(("node_id", "quoted"), QUOTED, ids=[ascii(i) for i in TRICKY_IDS])
    def test_in_every_message(self, graph: Graph, node_id: str, quoted: str) -> None:
        graph.add_node(node_id, "reactive")
        assert graph.node_ids() == [node_id]
        with pytest.raises(ValueError) as excinfo:
            graph.add_node(node_id, "input")
        assert excinfo.value.args == ("node already registered: " + quoted,)
        with pytest.raises(ValueError) as excinfo:
            graph.set_deps(node_id, [node_id])
        assert excinfo.value.args == (f"node {quoted} cannot depend on itself",)
        with pytest.raises(ValueError) as excinfo:
            graph.add_node(node_id + "!", node_id)  # type: ignore[arg-type]
        assert excinfo.value.args == (
            f"invalid node kind {quoted} (expected input|source|reactive|view)",
        )


# Characters assigned in every Unicode version since 3.2 with the same general category, whose
# quoting follows from the category alone. Spacing marks (Mc) are left out, since a few of them
# extend graphemes and most do not, as are the modifier letters U+FF9E and U+FF9F, which do.
NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
EXTENDING = {"Mn", "Me"}


def expected_quote(text: str) -> str:
    short = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}
    out = ['"']
    for ch in text:
        category = unicodedata.category(ch)
        if ch in short:
            out.append(short[ch])
        elif ch != " " and (category in NOT_PRINTABLE or category in EXTENDING):
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def stable_code_points() -> list[str]:
    old = unicodedata.ucd_3_2_0
    chars = []
    for cp in range(0x110000):
        if 0xD800 <= cp <= 0xDFFF or cp in (0xFF9E, 0xFF9F):
            continue
        ch = chr(cp)
        category = unicodedata.category(ch)
        if category in ("Cn", "Mc") or old.category(ch) != category:
            continue
        chars.append(ch)
    return chars


def test_quoting_agrees_with_the_general_categories(graph: Graph) -> None:
    """Every character whose treatment the general category decides is quoted accordingly."""
    chars = stable_code_points()
    assert len(chars) > 90_000
    for start in range(0, len(chars), 2000):
        chunk = "".join(chars[start : start + 2000])
        with pytest.raises(KeyError) as excinfo:
            graph.kind_of(chunk)
        expected = "unknown node: " + expected_quote(chunk)
        if excinfo.value.args != (expected,):
            got = excinfo.value.args[0]
            diff = next(i for i, (a, b) in enumerate(zip(got, expected)) if a != b)
            pytest.fail(f"quoted form differs near {got[diff - 20 : diff + 20]!r}")
