"""The module and the Graph class as Python sees them: exports, docs, signatures, protocols."""

from __future__ import annotations

import copy
import gc
import importlib
import importlib.util
import inspect
import pickle
import re
import shutil
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path
from typing import Any

import pytest

import tavik._tavik as native
from conftest import NodeTuple, build_graph, snapshot
from tavik._tavik import Graph

# Every method of Graph: its parameters after self, and its docstring body (None when empty).
METHODS: dict[str, tuple[tuple[str, ...], str | None]] = {
    "add_node": (
        ("id", "kind"),
        "Register a node. `kind` is one of input|source|reactive|view.",
    ),
    "set_deps": (
        ("id", "deps"),
        "Set a node's inbound edges (its dependencies). All deps must exist.",
    ),
    "build": (
        (),
        "Validate the graph is acyclic and cache a topological order. Call once\n"
        "after all nodes and edges are declared.",
    ),
    "topo_order": ((), "Full build order: all node ids, topologically sorted."),
    "dirty_subgraph": (
        ("seeds",),
        "Recompute schedule for changed seeds: the seeds plus all transitively\n"
        "affected nodes, topologically ordered. Pure \u2014 does not mutate state.",
    ),
    "mark_dirty": (
        ("seeds",),
        "Mark seeds and everything downstream `dirty`; return them topo-ordered.",
    ),
    "downstream": (("id",), "Nodes strictly downstream of `id`, topologically ordered."),
    "needs_recompute": (
        ("id", "input_hash"),
        "Does `id` need recomputation given the content hash of its inputs?",
    ),
    "check_node": (("id",), None),  # its wording is checked on its own below
    "commit_node": (
        ("id", "signature"),
        "Commit a computed node clean with the signature it ran on; bumps its epoch.",
    ),
    "skip_node": (
        ("id", "signature"),
        "Commit a memo hit: mark clean without bumping the epoch.",
    ),
    "commit_input": (
        ("id", "content_hash"),
        "Record an Input node's current value hash for downstream signatures.",
    ),
    "set_clean": (
        ("id", "hash"),
        "Commit `id` clean with the content hash it was computed from.",
    ),
    "set_computing": (("id",), None),
    "set_dirty": (("id",), None),
    "state_of": (("id",), None),
    "kind_of": (("id",), None),
    "deps_of": (("id",), None),
    "dirty_nodes": ((), "All currently-dirty node ids, topologically ordered."),
    "views": ((), "View-kind node ids in topological order."),
    "node_ids": ((), "All node ids in insertion order."),
}

FAST_METHODS = [name for name, (params, _) in METHODS.items() if params]
NOARGS_METHODS = [name for name, (params, _) in METHODS.items() if not params]

CLASS_DOC = (
    "A reactive directed acyclic graph: dirty tracking, topological scheduling,\n"
    "propagation, and memo bookkeeping. Holds topology and state only \u2014 node\n"
    "values stay on the Python side."
)


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )


class TestModule:
    def test_exports(self) -> None:
        assert native.__name__ == "tavik._tavik"
        assert native.__all__ == ["kernel_version", "Graph"]
        assert type(native.__all__) is list
        assert native.__doc__ == ""
        public = {name for name in vars(native) if not name.startswith("_")}
        assert public == {"kernel_version", "Graph"}

    def test_kernel_version(self) -> None:
        version = native.kernel_version()
        assert version == "1.2.0"
        assert type(version) is str
        assert native.kernel_version.__name__ == "kernel_version"
        assert native.kernel_version.__module__ == "tavik._tavik"
        assert getattr(native.kernel_version, "__text_signature__") == "()"
        doc = native.kernel_version.__doc__
        assert doc and "\n" not in doc and "version" in doc.lower()
        assert inspect.signature(native.kernel_version).parameters == {}

    @pytest.mark.parametrize(
        ("args", "kwargs"), [((1,), {}), ((), {"x": 1})], ids=["positional", "keyword"]
    )
    def test_kernel_version_takes_no_arguments(
        self, args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> None:
        with pytest.raises(TypeError):
            native.kernel_version(*args, **kwargs)

    def test_reinitialisation_returns_the_same_module(
        self, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.delitem(sys.modules, "tavik._tavik")
        again = importlib.import_module("tavik._tavik")
        assert again is native
        assert again.__all__ == ["kernel_version", "Graph"]
        assert again.Graph is Graph

    def test_second_interpreter_is_refused(self, tmp_path: Path) -> None:
        """The module loads in the first interpreter only; another one gets an ImportError."""
        if importlib.util.find_spec("_xxsubinterpreters") is None:
            pytest.skip("no sub-interpreter support in this Python")
        out = tmp_path / "result.txt"
        result = run_python(f"""
            import _xxsubinterpreters as interpreters
            import tavik._tavik
            tavik._tavik.Graph().add_node("a", "input")
            try:
                interp = interpreters.create(isolated=False)  # shares the GIL, where asked
            except TypeError:
                interp = interpreters.create()
            interpreters.run_string(interp, '''
            try:
                import tavik._tavik
            except ImportError as error:
                result = "ImportError: " + str(error)
            else:
                result = "imported"
            with open({str(out)!r}, "w") as f:
                f.write(result)
            ''')
            interpreters.destroy(interp)
            print(tavik._tavik.kernel_version())
            """)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "1.2.0\n"
        message = out.read_text()
        assert message.startswith("ImportError: ")
        assert re.search("sub-?interpreter", message, re.IGNORECASE)

    def test_exports_only_the_entry_function(self) -> None:
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm is not installed")
        library = native.__file__
        assert library is not None
        listing = subprocess.run(
            [nm, "-D", "--defined-only", library], capture_output=True, text=True, check=True
        ).stdout
        symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
        assert symbols == {"PyInit__tavik"}


class TestGraphType:
    def test_names_and_docs(self) -> None:
        assert Graph.__name__ == "Graph"
        assert Graph.__qualname__ == "Graph"
        assert Graph.__module__ == "tavik._tavik"
        assert Graph.__bases__ == (object,)
        assert Graph.__text_signature__ == "()"
        assert Graph.__doc__ == CLASS_DOC
        assert inspect.signature(Graph).parameters == {}

    def test_not_subclassable(self) -> None:
        with pytest.raises(TypeError):
            type("Sub", (Graph,), {})

    def test_no_instance_dict_or_weak_references(self, graph: Graph) -> None:
        assert not hasattr(graph, "__dict__")
        with pytest.raises(AttributeError):
            graph.colour = "red"  # type: ignore[attr-defined]
        with pytest.raises(TypeError):
            weakref.ref(graph)
        assert "__weakref__" not in dir(Graph)

    def test_not_tracked_by_the_garbage_collector(self, graph: Graph) -> None:
        graph.add_node("a", "input")
        assert not gc.is_tracked(graph)

    @pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy])
    def test_no_pickling_or_copying(self, graph: Graph, operation: Any) -> None:
        with pytest.raises(TypeError):
            operation(graph)

    def test_method_set(self) -> None:
        public = {name for name in dir(Graph) if not name.startswith("_")}
        assert public == set(METHODS)
        for name in METHODS:
            assert type(vars(Graph)[name]).__name__ == "method_descriptor"


class TestMethodSignatures:
    @pytest.mark.parametrize("name", list(METHODS))
    def test_text_signature_and_doc(self, name: str) -> None:
        params, body = METHODS[name]
        method = getattr(Graph, name)
        assert method.__text_signature__ == "(" + ", ".join(("$self", *params)) + ")"
        if name != "check_node":
            assert method.__doc__ == body
        parameters = inspect.signature(method).parameters
        assert list(parameters) == ["self", *params]
        for parameter in list(parameters.values())[1:]:
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert parameter.default is inspect.Parameter.empty

    def test_check_node_doc(self) -> None:
        doc = Graph.check_node.__doc__
        assert doc is not None
        first, second, *rest = doc.split("\n")
        assert first == "Hot-path per-node decision: `(kind, needs_recompute, signature)` in one"
        assert second.startswith("call. ")
        assert second.endswith("Input deps by")
        whole = " ".join([first, second, *rest])
        assert "content hash" in whole and "epoch" in whole and "native module" in whole

    @pytest.mark.parametrize("name", FAST_METHODS)
    def test_binding_accepts_the_signature_names_as_keywords(self, graph: Graph, name: str) -> None:
        """Every documented parameter binds by keyword, and conversion still runs in parameter
        order: the error names the first parameter whatever the keyword order."""
        params = METHODS[name][0]
        kwargs = {param: object() for param in reversed(params)}
        target = "Sequence" if params[0] == "seeds" else "PyString"
        with pytest.raises(TypeError) as excinfo:
            getattr(graph, name)(**kwargs)
        assert str(excinfo.value) == (
            f"argument '{params[0]}': 'object' object cannot be converted to '{target}'"
        )
        with pytest.raises(TypeError) as excinfo:
            getattr(graph, name)(**kwargs, self=object())
        assert str(excinfo.value) == f"Graph.{name}() got an unexpected keyword argument 'self'"

    @pytest.mark.parametrize("name", NOARGS_METHODS)
    def test_no_argument_methods_refuse_arguments(self, graph: Graph, name: str) -> None:
        method = getattr(graph, name)
        with pytest.raises(TypeError, match=rf"^Graph\.{name}\(\) takes no arguments"):
            method(1)
        with pytest.raises(TypeError, match=rf"^Graph\.{name}\(\) takes no keyword arguments"):
            method(x=1)


def populated() -> Graph:
    nodes: list[NodeTuple] = [
        ("a", "input", []),
        ("b", "reactive", ["a"]),
        ("c", "view", ["b", "a"]),
    ]
    return build_graph(nodes, built=True)


# Valid arguments for each method with parameters, on the graph of `populated`.
VALID_ARGS: dict[str, tuple[Any, ...]] = {
    "add_node": ("z", "view"),
    "set_deps": ("c", ["a"]),
    "dirty_subgraph": (["a"],),
    "mark_dirty": (["b"],),
    "downstream": ("a",),
    "needs_recompute": ("b", 5),
    "check_node": ("c",),
    "commit_node": ("b", 9),
    "skip_node": ("c", 11),
    "commit_input": ("a", 7),
    "set_clean": ("b", 3),
    "set_computing": ("b",),
    "set_dirty": ("a",),
    "state_of": ("b",),
    "kind_of": ("c",),
    "deps_of": ("c",),
}


class TestKeywordCalls:
    @pytest.mark.parametrize("name", FAST_METHODS)
    @pytest.mark.parametrize("order", [1, -1], ids=["in-order", "reversed"])
    def test_keywords_act_like_positional_arguments(self, name: str, order: int) -> None:
        params = METHODS[name][0]
        args = VALID_ARGS[name]
        by_position, by_keyword = populated(), populated()
        expected = getattr(by_position, name)(*args)
        kwargs = dict(list(zip(params, args))[::order])
        assert getattr(by_keyword, name)(**kwargs) == expected
        assert snapshot(by_keyword) == snapshot(by_position)

    def test_mixed_positional_and_keyword(self, graph: Graph) -> None:
        graph.add_node("a", kind="source")
        assert graph.kind_of(id="a") == "source"

    def test_keyword_names_need_not_be_interned(self, graph: Graph) -> None:
        id_name = "".join(["i", "d"])
        kind_name = "".join(["ki", "nd"])
        kwargs: dict[str, Any] = {id_name: "a", kind_name: "input"}
        graph.add_node(**kwargs)
        assert graph.kind_of(**{id_name: "a"}) == "input"


class TestProtocols:
    def test_repr_and_len(self, graph: Graph) -> None:
        assert repr(graph) == "<tavik.Graph nodes=0>"
        assert len(graph) == 0
        for node_id in ("a", "b", "c"):
            graph.add_node(node_id, "input")
        assert repr(graph) == "<tavik.Graph nodes=3>"
        assert len(graph) == 3
        assert str(graph) == repr(graph)

    def test_repr_has_no_separators(self, graph: Graph) -> None:
        for k in range(1234):
            graph.add_node(str(k), "source")
        assert repr(graph) == "<tavik.Graph nodes=1234>"

    def test_truth_follows_length(self, graph: Graph) -> None:
        assert not graph
        graph.add_node("", "input")
        assert graph

    def test_membership(self, graph: Graph) -> None:
        assert ("a" in graph) is False
        graph.add_node("a", "input")
        assert ("a" in graph) is True
        assert "A" not in graph
        assert "a " not in graph

    @pytest.mark.parametrize(
        ("operand", "type_name"), [(5, "int"), (b"a", "bytes"), (None, "NoneType")]
    )
    def test_membership_of_a_non_string(
        self, graph: Graph, operand: object, type_name: str
    ) -> None:
        with pytest.raises(TypeError) as excinfo:
            operand in graph  # type: ignore[operator]  # noqa: B015
        assert str(excinfo.value) == (
            f"argument 'id': '{type_name}' object cannot be converted to 'PyString'"
        )

    def test_not_iterable(self, graph: Graph) -> None:
        graph.add_node("a", "input")
        with pytest.raises(TypeError):
            iter(graph)  # type: ignore[call-overload]
        with pytest.raises(TypeError):
            list(graph)  # type: ignore[call-overload]
        with pytest.raises(TypeError):
            graph[0]  # type: ignore[index]

    def test_identity_equality_and_hash(self) -> None:
        a, b = Graph(), Graph()
        assert a == a
        assert a != b
        assert hash(a) == object.__hash__(a)
        assert len({a, b, a}) == 2
        with pytest.raises(TypeError):
            a < b  # type: ignore[operator]  # noqa: B015

    def test_instances_are_independent(self) -> None:
        a, b = Graph(), Graph()
        a.add_node("x", "input")
        assert "x" not in b
        assert len(b) == 0
