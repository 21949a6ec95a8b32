"""The errors the package raises about its input, in a module of their own so that
every other module (readers, clouds, joins) can raise them without importing another."""

from __future__ import annotations

from typing import Any


class CloudError(ValueError):
    """A cloud that cannot be used: unreadable file, bad shape, non-finite or too few points.

    `str(error)` reads "SOURCE: what is wrong", SOURCE being the file or the cloud's name."""

    def __init__(self, source: str | None, problem: str) -> None:
        self.source, self.problem = source, problem
        super().__init__(f"{source}: {problem}" if source else problem)

    def __reduce__(self) -> tuple[Any, ...]:  # unpickles with its source and problem (across processes)
        return type(self), (self.source, self.problem), self.__dict__


class FieldClash(CloudError):
    """A new per-point field named like a field the file has (ignoring case)."""
