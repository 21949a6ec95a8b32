"""Prints the requirements of extras of pyproject.toml, one per line, the package's own
extras (`ornel[...]`) resolved; with --core, its core dependencies first. For the scripts
that install requirements apart from the package (ci/bench.sh, ci/lint.sh, ci/py314.sh):
    python ci/requirements-of.py [--core] EXTRA...
"""

import re
import sys
import tomllib
from pathlib import Path


def main(arguments):
    project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())["project"]
    extras = project["optional-dependencies"]

    def requirements(extra):
        for requirement in extras[extra]:
            own = re.fullmatch(rf"{project['name']}\[(.*)\]", requirement)
            if own:
                for inner in own.group(1).split(","):
                    yield from requirements(inner.strip())
            else:
                yield requirement

    core = arguments[:1] == ["--core"]
    names = arguments[1:] if core else arguments
    listed = [*(project["dependencies"] if core else []), *(r for name in names for r in requirements(name))]
    print("\n".join(dict.fromkeys(listed)))


if __name__ == "__main__":
    main(sys.argv[1:])
