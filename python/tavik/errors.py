"""The engine's exceptions, and the quoting of ids in their messages."""

from __future__ import annotations

from collections.abc import Iterable

from tavik._tavik import Graph

__all__ = ["CycleError", "NodeError"]

_UNKNOWN = "unknown node: "


def quote(node_id: str) -> str:
    """``node_id`` between double quotes, escaped exactly as the kernel's own messages show ids.

    The kernel is the one place that knows its quoting rules (and its Unicode tables), so the
    quoted form is taken from the message of a lookup that fails on an empty graph. A lone
    surrogate, which no registered id can hold, is shown as ``\\u{...}`` like other unprintable
    characters.
    """
    try:
        Graph().kind_of(node_id)
    except KeyError as err:
        return str(err.args[0]).removeprefix(_UNKNOWN)
    except UnicodeEncodeError:
        pieces: list[str] = []
        run_start = 0
        for i, ch in enumerate(node_id):
            if 0xD800 <= ord(ch) <= 0xDFFF:
                pieces.append(quote(node_id[run_start:i])[1:-1])
                pieces.append(f"\\u{{{ord(ch):x}}}")
                run_start = i + 1
        pieces.append(quote(node_id[run_start:])[1:-1])
        return '"' + "".join(pieces) + '"'
    raise AssertionError("an empty graph knows no node")  # pragma: no cover


def quote_all(node_ids: Iterable[str]) -> str:
    """The quoted ids joined by ", "."""
    return ", ".join(quote(node_id) for node_id in node_ids)


def unknown_node(node_id: str) -> KeyError:
    """The KeyError for an id that the engine does not hold, worded as the kernel words it."""
    return KeyError(_UNKNOWN + quote(node_id))


class CycleError(ValueError):
    """A definition or an edit would close a dependency cycle; nothing was changed.

    ``cycle`` is one such cycle as a list of ids, each depending on the next one, starting and
    ending with the node being defined. It is also ``args[1]``.
    """

    def __init__(self, node: str, cycle: list[str]) -> None:
        path = " -> ".join(quote(node_id) for node_id in cycle)
        super().__init__(f"node {quote(node)} would close a dependency cycle: {path}", cycle)
        self.node = node
        self.cycle = cycle

    def __str__(self) -> str:
        return str(self.args[0])


class NodeError(Exception):
    """Reading a node whose function raised, or that depends on one whose function raised.

    ``node`` is the node read, ``origin`` the node whose function raised; the exception that
    function raised is ``__cause__``.
    """

    def __init__(self, node: str, origin: str, error: BaseException) -> None:
        try:
            text = str(error)
        except Exception:  # an exception that cannot say what it is: named by its type alone
            text = ""
        what = f"{type(error).__name__}: {text}" if text else type(error).__name__
        if node == origin:
            message = f"the function of node {quote(node)} raised {what}"
        else:
            message = (
                f"node {quote(node)} depends on {quote(origin)}, whose function raised {what}"
            )
        super().__init__(message)
        self.node = node
        self.origin = origin
