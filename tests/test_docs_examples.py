"""Every example in the README and the documentation runs, and shows what it prints.

Fenced blocks are taken by their language:
- ``console``: lines starting with ``$ `` are commands run by the shell; the lines after
  each, up to the next command, are what it must print (exactly, unless the block follows
  an ``<!-- output varies -->`` comment: then only its exit status 0 is checked);
- ``pycon``: doctest examples (``>>>``), their printed output checked;
- ``python`` and ``sh``: run, and must succeed.
A block right after an ``<!-- not run: why -->`` comment is left out, with the reason in
the page. Each page runs in a directory of its own holding the repository's ``data/`` and
the clouds ``ci/generate-clouds.py`` writes, with the blocks of a page in order and one
Python namespace for the page.
"""

from __future__ import annotations

import doctest
import os
import re
import shutil
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(
    r"^(?P<indent> *)```(?P<language>[\w-]*)[^\n]*\n(?P<body>.*?)^(?P=indent)```[ \t]*$", re.MULTILINE | re.DOTALL
)
MARK = re.compile(r"<!--\s*(?P<mark>not run|output varies)\s*(?::\s*(?P<why>.*?))?\s*-->\s*$")
RUN_LANGUAGES = {"console", "pycon", "python", "sh"}
# What the extras install: a page's example may need one of them.
OPTIONAL_MODULES = {"distributed", "dask", "matplotlib", "laspy", "lazrs", "pypcd4"}


@dataclass
class Block:
    page: Path
    line: int
    language: str
    body: str
    mark: str | None  # "not run", "output varies" or None


def blocks(page: Path) -> list[Block]:
    text = page.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        mark = MARK.search(before)
        body = textwrap.dedent(match["body"]) if match["indent"] else match["body"]
        found.append(
            Block(page, text.count("\n", 0, match.start()) + 1, match["language"], body, mark["mark"] if mark else None)
        )
    return found


def console_steps(body: str) -> list[tuple[str, str]]:
    """(command, expected output) pairs of a console block."""
    steps: list[tuple[str, list[str]]] = []
    for line in body.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif steps:
            steps[-1][1].append(line)
        elif line.strip():
            raise AssertionError(f"console block output before any command: {line!r}")
    return [(command, "\n".join(output).rstrip("\n")) for command, output in steps]


@pytest.fixture(scope="module")
def example_files(tmp_path_factory):
    """The files every page's examples may use, made once."""
    directory = tmp_path_factory.mktemp("examples")
    shutil.copytree(ROOT / "data", directory / "data")
    subprocess.run([sys.executable, str(ROOT / "ci" / "generate-clouds.py"), str(directory)], check=True)
    return directory


def environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env["COLUMNS"] = "100"
    env.pop("ORNEL_PROGRESS", None)
    return env


def run_page(page: Path, directory: Path) -> None:
    namespace: dict[str, object] = {"__name__": "__main__"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    cwd = os.getcwd()
    os.chdir(directory)
    try:
        for block in blocks(page):
            if block.language not in RUN_LANGUAGES or block.mark == "not run":
                continue
            where = f"{page.name}, line {block.line}"
            if block.language == "console":
                for command, expected in console_steps(block.body):
                    done = subprocess.run(
                        command, shell=True, capture_output=True, text=True, env=environment(), timeout=600
                    )
                    assert done.returncode == 0, f"{where}: `{command}` exited {done.returncode}:\n{done.stderr}"
                    if block.mark != "output varies":
                        assert done.stdout.rstrip("\n") == expected, f"{where}: `{command}` printed:\n{done.stdout}"
            elif block.language == "sh":
                done = subprocess.run(
                    ["bash", "-euo", "pipefail", "-c", block.body],
                    capture_output=True,
                    text=True,
                    env=environment(),
                    timeout=600,
                )
                assert done.returncode == 0, f"{where}: exited {done.returncode}:\n{done.stderr}"
            elif block.language == "python":
                try:
                    exec(compile(block.body, where, "exec"), namespace)
                except ModuleNotFoundError as missing:
                    # A page about an extra (the cluster's Dask) in an environment without it.
                    if missing.name not in OPTIONAL_MODULES:
                        raise
                    pytest.skip(f"{where} needs {missing.name}, which this environment lacks")
            else:
                test = doctest.DocTestParser().get_doctest(block.body, namespace, where, str(page), block.line)
                result = runner.run(test, clear_globs=False)
                assert result.failed == 0, f"{where}: {result.failed} doctest example(s) failed (see above)"
    finally:
        os.chdir(cwd)


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_every_example_of_the_page_runs_and_prints_what_it_shows(page, example_files, tmp_path):
    for entry in example_files.iterdir():
        (tmp_path / entry.name).symlink_to(entry)
    run_page(page, tmp_path)


def test_the_block_reader_finds_commands_outputs_and_marks(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(
        "text\n\n<!-- not run: needs hosts -->\n```python\nraise SystemExit\n```\n\n"
        "<!-- output varies -->\n```console\n$ echo a\na\n$ echo b\n```\n\n  ```sh\n  true\n  ```\n"
    )
    found = blocks(page)
    assert [(b.language, b.mark) for b in found] == [("python", "not run"), ("console", "output varies"), ("sh", None)]
    assert console_steps(found[1].body) == [("echo a", "a"), ("echo b", "")]
    assert found[2].body == "true\n"
