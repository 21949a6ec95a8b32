"""matplotlib, loaded one way for every picture the package draws: without a display,
and, where it is not installed, with an error that names the extra to install."""

from __future__ import annotations

from typing import Any

MISSING = 'drawing a PNG needs matplotlib: pip install matplotlib (ornel\'s "plot" extra)'


def require_matplotlib() -> Any:
    """matplotlib itself (cheap: no pyplot yet), or ImportError naming the extra."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError(MISSING) from None
    return matplotlib


def pyplot() -> Any:
    """matplotlib.pyplot drawing off screen (the Agg backend), or ImportError naming the extra."""
    require_matplotlib().use("Agg")
    import matplotlib.pyplot as plt

    return plt
