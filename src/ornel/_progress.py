"""Progress bars that cost nothing when nobody watches: tqdm is imported (some 30 to 100
ms on a first call) only for a bar that is shown."""

from __future__ import annotations

from types import TracebackType
from typing import Any


class _Unseen:
    """Takes a bar's updates and shows nothing."""

    def __enter__(self) -> _Unseen:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        return None

    def update(self, steps: int = 1) -> None:
        return None


def progress_bar(total: int, unit: str, shown: bool) -> Any:
    """A context manager whose `update(steps=1)` advances a bar of `total` steps, drawn
    on stderr by tqdm when `shown`, and cleared when done."""
    if not shown:
        return _Unseen()
    from tqdm import tqdm

    return tqdm(total=total, desc="ornel", unit=unit, leave=False)
