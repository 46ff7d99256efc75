"""The package as Python users see it: signatures, keywords, type stubs, version and entry point."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import inspect
import os
import re
import subprocess
import sys
import textwrap
import tomllib
from importlib import resources
from pathlib import Path
import pytest

import model
import tavik
from tavik import Graph, kernel_version

ROOT = Path(__file__).resolve().parents[1]
SOURCES = ROOT / "python"

# Every method of Graph with its parameters after `self`, as the binding accepts them by keyword.
PARAMETERS: dict[str, tuple[str, ...]] = {
    **model.PARAMETERS,
    **{method: () for method in model.NOARGS_METHODS},
}

# A value for each parameter that the method accepts on the graph of the `abc` fixture.
VALUES: dict[str, object] = {
    "id": "b",
    "kind": "view",
    "deps": ["a"],
    "seeds": ["a"],
    "input_hash": 1,
    "signature": 2,
    "content_hash": 3,
    "hash": 4,
}
OVERRIDES: dict[str, dict[str, object]] = {"add_node": {"id": "new"}}


def keyword_arguments(method: str) -> dict[str, object]:
    return {name: OVERRIDES.get(method, {}).get(name, VALUES[name]) for name in PARAMETERS[method]}


def version_in(text: str, pattern: str) -> str:
    """The version that `pattern` (one group) finds in the text of a source file."""
    match = re.search(pattern, text, re.MULTILINE)
    assert match, f"no version matching {pattern!r}"
    return match.group(1)


def package_version_source() -> str:
    """The package's version as written in its one source, tavik/_version.py (as installed)."""
    text = (resources.files("tavik") / "_version.py").read_text(encoding="utf-8")
    return version_in(text, r'^__version__ = "([^"]+)"$')


def kernel_version_source() -> str:
    """The kernel's version as written in its one source, the CMake project."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return version_in(text, r"^project\(tavik VERSION (\S+) ")


def run_python(*args: str, cwd: Path, env: dict[str, str] | None = None) -> str:
    """Run the interpreter of this test session; return its standard output."""
    result = subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def mypy_available() -> bool:
    return importlib.util.find_spec("mypy") is not None


needs_mypy = pytest.mark.skipif(not mypy_available(), reason="mypy is not installed")


def source_stub_env() -> dict[str, str]:
    """An environment in which mypy takes the package's types from the source tree."""
    return {**os.environ, "MYPYPATH": str(SOURCES)}


class TestSignatures:
    def test_method_table_is_complete(self) -> None:
        public = {name for name in dir(Graph) if not name.startswith("_")}
        assert public == set(PARAMETERS)

    def test_constructor_and_function_take_nothing(self) -> None:
        assert str(inspect.signature(Graph)) == "()"
        assert str(inspect.signature(kernel_version)) == "()"

    @pytest.mark.parametrize("method", PARAMETERS)
    def test_signature_names_the_parameters(self, method: str) -> None:
        params = list(inspect.signature(getattr(Graph, method)).parameters.values())
        assert [p.name for p in params] == ["self", *PARAMETERS[method]]
        assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY
        for p in params[1:]:
            assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert p.default is inspect.Parameter.empty

    @pytest.mark.parametrize("method", PARAMETERS)
    def test_bound_method_signature(self, abc: Graph, method: str) -> None:
        assert tuple(inspect.signature(getattr(abc, method)).parameters) == PARAMETERS[method]

    @pytest.mark.parametrize("method", PARAMETERS)
    @pytest.mark.parametrize("reverse", [False, True], ids=["declared", "reversed"])
    def test_accepts_its_parameter_names_as_keywords(
        self, abc: Graph, method: str, reverse: bool
    ) -> None:
        kwargs = keyword_arguments(method)
        if reverse:
            kwargs = dict(reversed(kwargs.items()))
        getattr(abc, method)(**kwargs)

    @pytest.mark.parametrize("method", [m for m, params in PARAMETERS.items() if params])
    def test_refuses_other_keywords(self, abc: Graph, method: str) -> None:
        before = (abc.node_ids(), [abc.state_of(n) for n in abc.node_ids()])
        with pytest.raises(TypeError) as info:
            getattr(abc, method)(**keyword_arguments(method), self=abc)
        assert str(info.value) == f"Graph.{method}() got an unexpected keyword argument 'self'"
        assert (abc.node_ids(), [abc.state_of(n) for n in abc.node_ids()]) == before

    @pytest.mark.parametrize("method", [m for m, params in PARAMETERS.items() if not params])
    def test_methods_without_parameters_refuse_keywords(self, abc: Graph, method: str) -> None:
        with pytest.raises(TypeError) as info:
            getattr(abc, method)(id="a")
        assert str(info.value) == f"Graph.{method}() takes no keyword arguments"


class TestVersion:
    def test_package_version_has_one_source(self) -> None:
        with open(ROOT / "pyproject.toml", "rb") as f:
            project = tomllib.load(f)["project"]
        assert "version" not in project and "version" in project["dynamic"]
        assert tavik.__version__ == importlib.metadata.version("tavik") == package_version_source()
        assert tavik.__version__ == "1.3.0"

    def test_kernel_has_its_own_version(self) -> None:
        assert kernel_version() == kernel_version_source() == "1.2.0"

    def test_command_line_version(self, tmp_path: Path) -> None:
        out = run_python("-m", "tavik", "--version", cwd=tmp_path)
        assert out == f"tavik {tavik.__version__} (kernel {kernel_version()})\n"
        assert out == "tavik 1.3.0 (kernel 1.2.0)\n"


class TestPackage:
    def test_exports(self) -> None:
        assert tavik.__all__ == [
            "CycleError",
            "Engine",
            "Equal",
            "Explanation",
            "Graph",
            "Kind",
            "NodeError",
            "Reason",
            "State",
            "Update",
            "kernel_version",
            "__version__",
        ]
        assert all(hasattr(tavik, name) for name in tavik.__all__)
        assert tavik.Graph is tavik._tavik.Graph
        assert tavik.kernel_version is tavik._tavik.kernel_version

    @pytest.mark.parametrize("name", ["py.typed", "_tavik.pyi", "_engine.pyi"])
    def test_installed_with_types(self, name: str) -> None:
        assert (resources.files("tavik") / name).is_file()


@needs_mypy
class TestTypes:
    def test_stub_matches_the_module(self, tmp_path: Path) -> None:
        out = run_python("-m", "mypy.stubtest", "tavik._tavik", cwd=tmp_path, env=source_stub_env())
        assert "Success" in out

    def test_types_seen_by_a_user(self, tmp_path: Path) -> None:
        # Each `type: ignore` must be needed (strict mode warns about unused ones), so every marked
        # line proves that the stub refuses it, and every `assert_type` that the stub is precise.
        user = tmp_path / "user.py"
        user.write_text(textwrap.dedent("""\
            from typing import assert_type

            from tavik import Graph, Kind, State

            g = Graph()
            g.add_node("a", "input")
            g.add_node(id="b", kind="reactive")
            g.set_deps("b", ("a",))
            g.build()
            assert_type(g.mark_dirty(seeds=["a"]), list[str])
            kind, stale, signature = g.check_node("b")
            assert_type(kind, Kind)
            assert_type(stale, bool)
            assert_type(signature, int)
            assert_type(g.state_of("b"), State)
            assert_type(g.kind_of("b"), Kind)
            assert_type("a" in g, bool)
            assert_type(len(g), int)
            g.commit_node("b", signature)

            g.add_node("c", "Input")  # type: ignore[arg-type]
            g.add_node(name="c", kind="view")  # type: ignore[call-arg]
            g.commit_node("b", 1.0)  # type: ignore[arg-type]
            g.set_deps("b", {"a"})  # type: ignore[arg-type]
            _ = 5 in g  # type: ignore[operator]
            _ = g.state_of("b") == "stale"  # type: ignore[comparison-overlap]
            Graph(1)  # type: ignore[call-arg]

            class Mine(Graph):  # type: ignore[misc]
                pass
            """))
        run_python("-m", "mypy", "--strict", str(user), cwd=tmp_path, env=source_stub_env())
