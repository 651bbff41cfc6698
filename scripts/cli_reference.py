"""Writes docs/reference/cli.md from the command line's own argparse parser, so that the page
cannot drift from the program: `python scripts/cli_reference.py` rewrites it, and
`--check` fails when the page differs from what the parser prints now (the tests run that).

The help is formatted at a fixed width, whatever the terminal. argparse wraps a usage line
differently from one Python version to the next (3.13 keeps an option beside its metavar), so
the check compares the words and their order, not where the lines break."""
from __future__ import annotations

import argparse
import os
import re
import sys
from pathlib import Path

PAGE = Path(__file__).resolve().parents[1] / "docs" / "reference" / "cli.md"
WIDTH = "100"


def help_texts() -> list[tuple[str, str]]:
    """(command, --help text) for the program and each subcommand, in the parser's order."""
    previous = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = WIDTH
    try:
        from quorvalent_index.__main__ import parser
        top = parser("quorvalent-index")
        texts = [("quorvalent-index", top.format_help())]
        commands = next(a for a in top._actions if isinstance(a, argparse._SubParsersAction))
        for name, sub in commands.choices.items():
            texts.append((f"quorvalent-index {name}", sub.format_help()))
        return texts
    finally:
        if previous is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = previous


def render() -> str:
    from quorvalent_index.__main__ import __doc__ as description
    parts = [
        "# Command line",
        "",
        "<!-- Written by scripts/cli_reference.py from the parser; edit the parser, not this page. -->",
        "",
        "`quorvalent-index` (or `python -m quorvalent_index`) runs a search over a file of hashes "
        "and prints the result. This page is generated from the program's own `--help`.",
        "",
        "```text",
        (description or "").strip(),
        "```",
    ]
    for command, text in help_texts():
        parts += ["", f"## `{command}`", "", "```text", text.rstrip(), "```"]
    return "\n".join(parts) + "\n"


def main() -> int:
    check = "--check" in sys.argv[1:]
    text = render()
    if check:
        words = lambda page: re.sub(r"\s+", " ", page).strip()  # noqa: E731
        if not PAGE.exists() or words(PAGE.read_text()) != words(text):
            print(f"{PAGE} differs from the parser's --help; run python scripts/cli_reference.py", file=sys.stderr)
            return 1
        return 0
    PAGE.write_text(text)
    print(f"wrote {PAGE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
