"""Rendering an engine's graph as Graphviz DOT."""

from __future__ import annotations

from collections.abc import Iterable

_SHAPES = {"input": "box", "source": "cylinder", "reactive": "ellipse", "view": "doubleoctagon"}
_FILLS = {
    "changed": "#c6efce",
    "unchanged": "#f2f2f2",
    "cut_off": "#ffeb9c",
    "reused": "#f2f2f2",
    "failed": "#ffc7ce",
    "pending": "#ffffff",
}


def dot_string(text: str) -> str:
    """``text`` as a quoted DOT string: distinct texts stay distinct, line breaks stay visible."""
    escaped = (
        text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "\\r")
    )
    return f'"{escaped}"'


def render_dot(nodes: Iterable[tuple[str, str, str, Iterable[str]]]) -> str:
    """A ``digraph`` of (id, kind, outcome, deps) records, edges from each dep to its dependent.

    Each node carries its kind and outcome as the attributes ``kind`` and ``outcome``, and in
    its label; the shape tells the kind and the fill colour the outcome.
    """
    lines = ["digraph tavik {", "  rankdir=LR;", '  node [style=filled, fontname="Helvetica"];']
    edges: list[str] = []
    for node_id, kind, outcome, deps in nodes:
        name = dot_string(node_id)
        label = dot_string(f"{node_id}\n{kind}, {outcome}")
        lines.append(
            f"  {name} [label={label}, kind={kind}, outcome={outcome}, "
            f'shape={_SHAPES[kind]}, fillcolor="{_FILLS[outcome]}"];'
        )
        for dep in dict.fromkeys(deps):
            edges.append(f"  {dot_string(dep)} -> {name};")
    lines.extend(edges)
    lines.append("}")
    return "\n".join(lines) + "\n"
