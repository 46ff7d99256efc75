"""``python -m tavik`` runs the demo; ``--dot`` prints its graph; ``--version`` the versions."""

from __future__ import annotations

import argparse

from tavik import __version__, kernel_version
from tavik.demo import dot, run


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tavik", description="Run a short incremental update demo through tavik."
    )
    parser.add_argument(
        "--version", action="version", version=f"tavik {__version__} (kernel {kernel_version()})"
    )
    parser.add_argument(
        "--dot", action="store_true", help="print the demo's graph as Graphviz DOT and exit"
    )
    args = parser.parse_args(argv)
    if args.dot:
        print(dot(), end="")
    else:
        run()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
