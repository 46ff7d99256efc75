"""Binding call arguments to parameters and converting them: messages, types and precedence."""

from __future__ import annotations

import ctypes
import enum
import operator
import sys
from collections import UserList, deque
from collections.abc import Callable, Iterator
from decimal import Decimal
from fractions import Fraction
from typing import Any

import pytest

from conftest import Index, snapshot
from tavik import Graph

Call = Callable[[Graph], object]

U64_MAX = 2**64 - 1


def interpreter_index_error(value: Any) -> str:
    """The interpreter's own message for a value that is not an integer."""
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{value!r} has __index__")


def interpreter_overflow_error(value: int) -> str:
    """The interpreter's own message for an int outside the unsigned 64-bit range."""
    read = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    read.argtypes = [ctypes.py_object]
    read.restype = ctypes.c_ulonglong
    try:
        read(value)
    except OverflowError as error:
        return str(error)
    raise AssertionError(f"{value} fits in 64 bits")


def interpreter_encode_error(text: str) -> str:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return str(error)
    raise AssertionError(f"{text!r} has a UTF-8 form")


def stored_signature_is(g: Graph, node_id: str, value: int) -> bool:
    """Whether the signature recorded on the node is exactly `value`."""
    return not g.needs_recompute(node_id, value) and g.needs_recompute(node_id, value ^ 1)


class RaisingIndex:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __index__(self) -> int:
        raise self.error


class TestBinding:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (
                lambda g: g.add_node("a"),
                "Graph.add_node() missing 1 required positional argument: 'kind'",
            ),
            (
                lambda g: g.add_node(),
                "Graph.add_node() missing 2 required positional arguments: 'id' and 'kind'",
            ),
            (
                lambda g: g.add_node(kind="input"),
                "Graph.add_node() missing 1 required positional argument: 'id'",
            ),
            (
                lambda g: g.state_of(),
                "Graph.state_of() missing 1 required positional argument: 'id'",
            ),
            (
                lambda g: g.mark_dirty(),
                "Graph.mark_dirty() missing 1 required positional argument: 'seeds'",
            ),
            (
                lambda g: g.set_clean(hash=1),
                "Graph.set_clean() missing 1 required positional argument: 'id'",
            ),
            (
                lambda g: g.commit_input("a"),
                "Graph.commit_input() missing 1 required positional argument: 'content_hash'",
            ),
            (
                lambda g: g.set_dirty("a", "b"),
                "Graph.set_dirty() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda g: g.add_node("a", "b", "c"),
                "Graph.add_node() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda g: g.dirty_subgraph([], [], [], []),
                "Graph.dirty_subgraph() takes 1 positional arguments but 4 were given",
            ),
            (
                lambda g: g.add_node("a", id="b"),
                "Graph.add_node() got multiple values for argument 'id'",
            ),
            (
                lambda g: g.needs_recompute("a", 1, input_hash=2),
                "Graph.needs_recompute() got multiple values for argument 'input_hash'",
            ),
            (
                lambda g: g.add_node("a", "input", colour="red"),
                "Graph.add_node() got an unexpected keyword argument 'colour'",
            ),
            (
                lambda g: g.set_deps("a", [], **{"ID": "a"}),
                "Graph.set_deps() got an unexpected keyword argument 'ID'",
            ),
            (
                lambda g: g.kind_of(**{"\u00e9": 1}),
                "Graph.kind_of() got an unexpected keyword argument '\u00e9'",
            ),
            (
                lambda g: g.kind_of(**{"id\0": "a"}),
                "Graph.kind_of() got an unexpected keyword argument 'id\0'",
            ),
            # The first failing step decides: surplus positionals, then the keywords in the order
            # given, then the missing parameters.
            (
                lambda g: g.add_node(1, 2, 3, colour=4),
                "Graph.add_node() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda g: g.add_node("a", id="b", colour=1),
                "Graph.add_node() got multiple values for argument 'id'",
            ),
            (
                lambda g: g.add_node("a", colour=1, id="b"),
                "Graph.add_node() got an unexpected keyword argument 'colour'",
            ),
            (
                lambda g: g.add_node(colour=1),
                "Graph.add_node() got an unexpected keyword argument 'colour'",
            ),
            # Binding comes before conversion: wrong types are not looked at.
            (
                lambda g: g.add_node(5),
                "Graph.add_node() missing 1 required positional argument: 'kind'",
            ),
            (
                lambda g: g.set_clean(None, 1.5, object()),
                "Graph.set_clean() takes 2 positional arguments but 3 were given",
            ),
        ],
    )
    def test_messages(self, abc: Graph, call: Call, message: str) -> None:
        before = snapshot(abc)
        with pytest.raises(TypeError) as excinfo:
            call(abc)
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (message,)
        assert excinfo.value.__cause__ is None
        assert snapshot(abc) == before

    def test_binding_runs_no_conversion(self, graph: Graph) -> None:
        graph.add_node("a", "input")
        value = Index(1)
        with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
            graph.set_clean("a", value, 3)  # type: ignore[call-arg]
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            graph.set_clean("a", hash=value, x=1)  # type: ignore[call-arg]
        assert value.calls == 0


class TestConstructorArguments:
    @pytest.mark.parametrize(
        ("args", "kwargs", "message"),
        [
            ((1,), {}, "Graph.__new__() takes 0 positional arguments but 1 was given"),
            ((1, 2), {}, "Graph.__new__() takes 0 positional arguments but 2 were given"),
            ((), {"a": 1}, "Graph.__new__() got an unexpected keyword argument 'a'"),
            ((), {"b": 1, "a": 2}, "Graph.__new__() got an unexpected keyword argument 'b'"),
            ((1,), {"a": 1}, "Graph.__new__() takes 0 positional arguments but 1 was given"),
        ],
    )
    def test_messages(self, args: tuple[Any, ...], kwargs: dict[str, Any], message: str) -> None:
        with pytest.raises(TypeError) as excinfo:
            Graph(*args, **kwargs)
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (message,)

    def test_through_dunder_new(self) -> None:
        g = Graph.__new__(Graph)
        assert type(g) is Graph and len(g) == 0
        with pytest.raises(TypeError) as excinfo:
            Graph.__new__(Graph, "x")  # type: ignore[call-arg]
        assert str(excinfo.value) == "Graph.__new__() takes 0 positional arguments but 1 was given"
        empty = Graph(**{})  # an empty keyword mapping is no argument at all
        assert type(empty) is Graph and len(empty) == 0 and empty.node_ids() == []


class TestStringConversion:
    class Thing:
        pass

    @pytest.mark.parametrize(
        ("value", "type_name"),
        [
            (5, "int"),
            (b"a", "bytes"),
            (None, "NoneType"),
            (1.5, "float"),
            (["a"], "list"),
            (Thing(), "TestStringConversion.Thing"),
        ],
    )
    @pytest.mark.parametrize(
        ("call", "param"),
        [
            (lambda g, v: g.state_of(v), "id"),
            (lambda g, v: g.add_node(v, "input"), "id"),
            (lambda g, v: g.add_node("new", v), "kind"),
            (lambda g, v: g.set_deps(v, []), "id"),
            (lambda g, v: g.commit_node(v, 1), "id"),
            (lambda g, v: v in g, "id"),
        ],
        ids=["state_of", "add_node-id", "add_node-kind", "set_deps", "commit_node", "in"],
    )
    def test_wrong_type(
        self,
        abc: Graph,
        call: Callable[[Graph, object], object],
        param: str,
        value: object,
        type_name: str,
    ) -> None:
        before = snapshot(abc)
        with pytest.raises(TypeError) as excinfo:
            call(abc, value)
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (
            f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'",
        )
        assert excinfo.value.__cause__ is None
        assert excinfo.value.__suppress_context__
        assert snapshot(abc) == before

    def test_type_name_is_qualified(self, graph: Graph) -> None:
        class Local:
            pass

        with pytest.raises(TypeError) as excinfo:
            graph.kind_of(Local())  # type: ignore[arg-type]
        assert str(excinfo.value) == (
            "argument 'id': 'TestStringConversion.test_type_name_is_qualified.<locals>.Local' "
            "object cannot be converted to 'PyString'"
        )

    def test_str_subclass_is_taken_by_its_characters(self, graph: Graph) -> None:
        class Weird(str):
            def __eq__(self, other: object) -> bool:
                return False

            def __hash__(self) -> int:
                return 0

            def __str__(self) -> str:
                return "other"

        graph.add_node(Weird("a"), Weird("input"))  # type: ignore[arg-type]
        assert graph.node_ids() == ["a"]
        assert type(graph.node_ids()[0]) is str
        assert Weird("a") in graph
        assert graph.kind_of(Weird("a")) == "input"
        graph.add_node("b", "reactive")
        graph.set_deps(Weird("b"), [Weird("a")])
        assert graph.deps_of("b") == ["a"]

    def test_embedded_nul_is_part_of_the_id(self, graph: Graph) -> None:
        graph.add_node("a\0b", "input")
        graph.add_node("a", "input")
        assert graph.node_ids() == ["a\0b", "a"]
        assert "a\0" not in graph
        assert graph.kind_of("a\0b") == "input"

    @pytest.mark.parametrize(
        "call",
        [
            lambda g, s: g.state_of(s),
            lambda g, s: g.add_node(s, "input"),
            lambda g, s: g.add_node("new", s),
            lambda g, s: s in g,
            lambda g, s: g.set_deps("b", ["a", s]),
            lambda g, s: g.dirty_subgraph([s]),
            lambda g, s: g.set_clean(s, -1),
        ],
        ids=["state_of", "add_node-id", "add_node-kind", "in", "deps", "seeds", "before-hash"],
    )
    @pytest.mark.parametrize("text", ["\ud800", "ab\udfffcd"])
    def test_lone_surrogate(
        self, abc: Graph, call: Callable[[Graph, str], object], text: str
    ) -> None:
        before = snapshot(abc)
        with pytest.raises(UnicodeEncodeError) as excinfo:
            call(abc, text)
        assert type(excinfo.value) is UnicodeEncodeError
        assert str(excinfo.value) == interpreter_encode_error(text)
        assert snapshot(abc) == before


class MyStr(str):
    pass


class TestIdListConversion:
    @pytest.mark.parametrize("value", ["ab", "", MyStr("a")])
    @pytest.mark.parametrize("method", ["set_deps", "dirty_subgraph", "mark_dirty"])
    def test_a_string_is_refused(self, abc: Graph, method: str, value: str) -> None:
        before = snapshot(abc)
        param = "deps" if method == "set_deps" else "seeds"
        args = ("c", value) if method == "set_deps" else (value,)
        with pytest.raises(TypeError) as excinfo:
            getattr(abc, method)(*args)
        assert excinfo.value.args == (f"argument '{param}': Can't extract `str` to `Vec`",)
        assert snapshot(abc) == before

    @pytest.mark.parametrize(
        ("value", "type_name"),
        [
            ({"a"}, "set"),
            (frozenset(["a"]), "frozenset"),
            ({"a": 1}, "dict"),
            ({"a": 1}.keys(), "dict_keys"),
            ((x for x in ["a"]), "generator"),
            (iter(["a"]), "list_iterator"),
            (5, "int"),
            (None, "NoneType"),
        ],
    )
    @pytest.mark.parametrize("method", ["set_deps", "dirty_subgraph", "mark_dirty"])
    def test_a_non_sequence_is_refused(
        self, abc: Graph, method: str, value: object, type_name: str
    ) -> None:
        before = snapshot(abc)
        param = "deps" if method == "set_deps" else "seeds"
        args = ("c", value) if method == "set_deps" else (value,)
        with pytest.raises(TypeError) as excinfo:
            getattr(abc, method)(*args)
        assert excinfo.value.args == (
            f"argument '{param}': '{type_name}' object cannot be converted to 'Sequence'",
        )
        assert snapshot(abc) == before

    @pytest.mark.parametrize(
        "make",
        [list, tuple, deque, UserList, lambda ids: [MyStr(i) for i in ids]],
        ids=["list", "tuple", "deque", "UserList", "str-subclass-items"],
    )
    def test_sequences_are_accepted(self, abc: Graph, make: Callable[[list[str]], Any]) -> None:
        abc.set_deps("c", make(["b", "a", "b"]))
        assert abc.deps_of("c") == ["b", "a"]
        abc.build()
        assert abc.dirty_subgraph(make(["b", "b"])) == ["b", "c"]
        assert abc.mark_dirty(make([])) == []

    @pytest.mark.parametrize(
        ("items", "type_name"),
        [
            (["a", 3], "int"),
            (["a", 3, None], "int"),
            ([None, 3], "NoneType"),
            ([b"a"], "bytes"),
            (b"ab", "int"),
            (range(2), "int"),
        ],
    )
    def test_first_bad_element_decides(self, abc: Graph, items: Any, type_name: str) -> None:
        before = snapshot(abc)
        with pytest.raises(TypeError) as excinfo:
            abc.set_deps("c", items)
        assert excinfo.value.args == (
            f"argument 'deps': '{type_name}' object cannot be converted to 'PyString'",
        )
        with pytest.raises(TypeError) as excinfo:
            abc.mark_dirty(items)
        assert excinfo.value.args == (
            f"argument 'seeds': '{type_name}' object cannot be converted to 'PyString'",
        )
        assert snapshot(abc) == before

    def test_getitem_protocol_without_length(self, abc: Graph) -> None:
        class Old:
            def __getitem__(self, i: int) -> str:
                if i < 2:
                    return "ab"[i]
                raise IndexError(i)

        abc.set_deps("c", Old())  # type: ignore[arg-type]
        assert abc.deps_of("c") == ["a", "b"]

    @pytest.mark.parametrize("length", [0, 1, 1000])
    def test_length_is_only_a_hint(self, abc: Graph, length: int) -> None:
        class Lying:
            def __len__(self) -> int:
                return length

            def __getitem__(self, i: int) -> str:
                if i < 2:
                    return ["b", "a"][i]
                raise IndexError(i)

        abc.set_deps("c", Lying())  # type: ignore[arg-type]
        assert abc.deps_of("c") == ["b", "a"]

    @pytest.mark.parametrize("length", [2**40, sys.maxsize])
    def test_huge_length_hint_does_not_fail_the_conversion(self, abc: Graph, length: int) -> None:
        """A length that no memory could hold is still only a hint."""

        class Huge:
            def __len__(self) -> int:
                return length

            def __getitem__(self, i: int) -> str:
                if i == 0:
                    return "a"
                raise IndexError(i)

        abc.set_deps("c", Huge())  # type: ignore[arg-type]
        assert abc.deps_of("c") == ["a"]

    def test_failing_length_is_ignored(self, abc: Graph) -> None:
        class NoLength:
            def __len__(self) -> int:
                raise ValueError("no length")

            def __getitem__(self, i: int) -> str:
                if i == 0:
                    return "a"
                raise IndexError(i)

        abc.set_deps("c", NoLength())  # type: ignore[arg-type]
        assert abc.deps_of("c") == ["a"]
        assert sys.exc_info() == (None, None, None)

    @pytest.mark.parametrize(
        ("error", "expected_type", "message"),
        [
            (ValueError("boom"), ValueError, "boom"),
            (KeyError("k"), KeyError, "'k'"),
            (TypeError("boom"), TypeError, "argument 'deps': boom"),
        ],
    )
    def test_iteration_errors(
        self, abc: Graph, error: Exception, expected_type: type[Exception], message: str
    ) -> None:
        class Failing:
            def __len__(self) -> int:
                return 2

            def __getitem__(self, i: int) -> str:
                if i == 0:
                    return "a"
                raise error

        before = snapshot(abc)
        with pytest.raises(expected_type) as excinfo:
            abc.set_deps("c", Failing())  # type: ignore[arg-type]
        assert type(excinfo.value) is expected_type
        assert str(excinfo.value) == message
        assert snapshot(abc) == before

    def test_failing_iter(self, abc: Graph) -> None:
        class BadIter:
            def __len__(self) -> int:
                return 1

            def __getitem__(self, i: int) -> str:
                return "a"

            def __iter__(self) -> Iterator[str]:
                raise LookupError("no iterator")

        with pytest.raises(LookupError, match="^no iterator$"):
            abc.set_deps("c", BadIter())  # type: ignore[arg-type]


class TestIntegerConversion:
    class MyInt(int):
        def __index__(self) -> int:
            return 99

    class Colour(enum.IntEnum):
        RED = 5

    @pytest.mark.parametrize(
        ("value", "expected"),
        [
            (0, 0),
            (1, 1),
            (2**63, 2**63),
            (U64_MAX, U64_MAX),
            (True, 1),
            (False, 0),
            (Index(7), 7),
            (Index(U64_MAX), U64_MAX),
            (MyInt(5), 5),  # an int is read as it is, without its __index__
            (Colour.RED, 5),
        ],
        ids=repr,
    )
    @pytest.mark.parametrize("method", ["set_clean", "skip_node", "commit_node", "commit_input"])
    def test_accepted(self, abc: Graph, method: str, value: object, expected: int) -> None:
        getattr(abc, method)("b", value)
        assert stored_signature_is(abc, "b", expected)
        assert abc.needs_recompute("b", value) is False  # type: ignore[arg-type]

    @pytest.mark.parametrize(
        "value", [-1, 2**64, -(2**70), 2**100, Index(-1), Index(2**64)], ids=repr
    )
    @pytest.mark.parametrize(
        "method", ["set_clean", "skip_node", "commit_node", "commit_input", "needs_recompute"]
    )
    def test_out_of_range(self, abc: Graph, method: str, value: Any) -> None:
        before = snapshot(abc)
        with pytest.raises(OverflowError) as excinfo:
            getattr(abc, method)("b", value)
        assert type(excinfo.value) is OverflowError
        number = value.value if isinstance(value, Index) else value
        assert str(excinfo.value) == interpreter_overflow_error(number)
        assert snapshot(abc) == before

    @pytest.mark.parametrize(
        ("method", "param"),
        [
            ("needs_recompute", "input_hash"),
            ("commit_node", "signature"),
            ("skip_node", "signature"),
            ("commit_input", "content_hash"),
            ("set_clean", "hash"),
        ],
    )
    @pytest.mark.parametrize(
        "value", [1.0, "5", None, Decimal(1), Fraction(1, 1), b"\x01", [1]], ids=repr
    )
    def test_not_an_integer(self, abc: Graph, method: str, param: str, value: object) -> None:
        before = snapshot(abc)
        with pytest.raises(TypeError) as excinfo:
            getattr(abc, method)("b", value)
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (f"argument '{param}': {interpreter_index_error(value)}",)
        assert snapshot(abc) == before

    def test_index_returning_a_non_int(self, abc: Graph) -> None:
        value = Index("7")
        with pytest.raises(TypeError) as excinfo:
            abc.set_clean("b", value)
        assert str(excinfo.value) == f"argument 'hash': {interpreter_index_error(value)}"


class TestWrappedErrors:
    """What a conversion error becomes: only a plain TypeError is rewritten."""

    @pytest.mark.parametrize(
        "error",
        [ValueError("bad"), ZeroDivisionError(), LookupError("x"), OverflowError("mine")],
        ids=repr,
    )
    def test_other_exceptions_pass_through_unchanged(self, abc: Graph, error: Exception) -> None:
        with pytest.raises(type(error)) as excinfo:
            abc.set_clean("b", RaisingIndex(error))
        assert excinfo.value is error

    def test_type_error_subclass_passes_through(self, abc: Graph) -> None:
        class MyTypeError(TypeError):
            pass

        error = MyTypeError("mine")
        with pytest.raises(MyTypeError) as excinfo:
            abc.commit_input("a", RaisingIndex(error))
        assert excinfo.value is error
        assert str(excinfo.value) == "mine"

    @pytest.mark.parametrize(
        ("error", "message"),
        [
            (TypeError("boom"), "argument 'signature': boom"),
            (TypeError(), "argument 'signature': "),
            (TypeError("a", "b"), "argument 'signature': ('a', 'b')"),
        ],
        ids=repr,
    )
    def test_plain_type_error_is_prefixed(self, abc: Graph, error: TypeError, message: str) -> None:
        with pytest.raises(TypeError) as excinfo:
            abc.skip_node("b", RaisingIndex(error))
        wrapped = excinfo.value
        assert wrapped is not error
        assert type(wrapped) is TypeError
        assert wrapped.args == (message,)
        assert wrapped.__cause__ is None
        assert wrapped.__suppress_context__ is True

    def test_cause_is_kept(self, abc: Graph) -> None:
        cause = KeyError("root")
        error = TypeError("boom")
        error.__cause__ = cause
        with pytest.raises(TypeError) as excinfo:
            abc.skip_node("b", RaisingIndex(error))
        assert str(excinfo.value) == "argument 'signature': boom"
        assert excinfo.value.__cause__ is cause
        assert excinfo.value.__suppress_context__ is True

    def test_context_is_suppressed(self, abc: Graph) -> None:
        class Chained:
            def __index__(self) -> int:
                try:
                    raise LookupError("inner")
                except LookupError:
                    raise TypeError("outer")  # noqa: B904

        with pytest.raises(TypeError) as excinfo:
            abc.commit_node("b", Chained())
        assert str(excinfo.value) == "argument 'signature': outer"
        assert excinfo.value.__cause__ is None
        assert excinfo.value.__suppress_context__ is True


class TestPrecedence:
    """Binding first, then each parameter in declaration order, then the kernel."""

    @pytest.mark.parametrize(
        ("call", "error_type", "message"),
        [
            (
                lambda g: g.set_clean(5, -1),
                TypeError,
                "argument 'id': 'int' object cannot be converted to 'PyString'",
            ),
            (
                lambda g: g.set_clean(hash=1.5, id=None),
                TypeError,
                "argument 'id': 'NoneType' object cannot be converted to 'PyString'",
            ),
            (lambda g: g.set_clean("unknown", -1), OverflowError, None),
            (
                lambda g: g.needs_recompute("unknown", 1.5),
                TypeError,
                "argument 'input_hash': 'float' object cannot be interpreted as an integer",
            ),
            (
                lambda g: g.set_deps(5, "abc"),
                TypeError,
                "argument 'id': 'int' object cannot be converted to 'PyString'",
            ),
            (
                lambda g: g.set_deps("unknown", "abc"),
                TypeError,
                "argument 'deps': Can't extract `str` to `Vec`",
            ),
            (
                lambda g: g.set_deps("unknown", ["zz", 1]),
                TypeError,
                "argument 'deps': 'int' object cannot be converted to 'PyString'",
            ),
            (lambda g: g.set_deps("unknown", ["zz"]), KeyError, 'unknown node: "unknown"'),
            (
                lambda g: g.add_node(5, None),
                TypeError,
                "argument 'id': 'int' object cannot be converted to 'PyString'",
            ),
            (
                lambda g: g.add_node("a", None),
                TypeError,
                "argument 'kind': 'NoneType' object cannot be converted to 'PyString'",
            ),
            (lambda g: g.commit_input("unknown", U64_MAX), KeyError, 'unknown node: "unknown"'),
        ],
    )
    def test_first_failure_decides(
        self, abc: Graph, call: Call, error_type: type[Exception], message: str | None
    ) -> None:
        before = snapshot(abc)
        with pytest.raises(error_type) as excinfo:
            call(abc)
        assert type(excinfo.value) is error_type
        if message is not None:
            assert excinfo.value.args == (message,)
        assert snapshot(abc) == before

    def test_value_is_not_converted_when_the_id_fails(self, abc: Graph) -> None:
        value = Index(1)
        with pytest.raises(TypeError, match="^argument 'id': "):
            abc.set_clean(b"b", value)  # type: ignore[arg-type]
        assert value.calls == 0

        iterated: list[int] = []

        class Watched:
            def __getitem__(self, i: int) -> str:
                iterated.append(i)
                raise IndexError(i)

        with pytest.raises(TypeError, match="^argument 'id': "):
            abc.set_deps(None, Watched())  # type: ignore[arg-type]
        assert iterated == []

    def test_conversion_runs_once(self, abc: Graph) -> None:
        value = Index(3)
        abc.set_clean("b", value)
        assert value.calls == 1
