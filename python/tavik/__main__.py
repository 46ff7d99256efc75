"""``python -m tavik`` runs the demo; ``python -m tavik --version`` prints the version."""

from __future__ import annotations

import argparse

from tavik import __version__, kernel_version
from tavik.demo import run


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tavik", description="Run a short incremental update demo through tavik."
    )
    parser.add_argument(
        "--version", action="version", version=f"tavik {__version__} (kernel {kernel_version()})"
    )
    parser.parse_args(argv)
    run()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
