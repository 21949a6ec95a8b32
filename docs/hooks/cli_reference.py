"""MkDocs hook: the command-line reference is the parser's own help, so it cannot drift."""

from __future__ import annotations

import argparse
import os

MARKER = "<!-- the command's help -->"


def _help_of(parser: argparse.ArgumentParser) -> str:
    return parser.format_help().rstrip()


def reference() -> str:
    os.environ["COLUMNS"] = "100"  # argparse wraps to the terminal: fix the width so builds agree
    from ornel._command import parser

    main = parser()
    parts = ["## `ornel`", "", "```text", _help_of(main), "```"]
    for action in main._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, command in action.choices.items():
                parts += ["", f"## `ornel {name}`", "", "```text", _help_of(command), "```"]
    return "\n".join(parts)


def on_page_markdown(markdown: str, page, **_: object) -> str:
    if MARKER not in markdown:
        return markdown
    return markdown.replace(MARKER, reference())
