"""examples/join.py, the API example, run as a user runs it (small clouds)."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import brute_nearest

JOIN = Path(__file__).resolve().parents[1] / "examples" / "join.py"


def run_join(*args):
    return subprocess.run([sys.executable, str(JOIN), *map(str, args)], capture_output=True, text=True, timeout=300)


def table_rows(stdout):
    """(a, b, six numbers) for each row of the printed per-pair table."""
    number = r"(-?\d[\d.eE+-]*)"
    pattern = re.compile(r"^\s*(\S+)\s+(\S+)" + rf"\s+{number}" * 6 + r"$")
    rows = []
    for match in map(pattern.match, stdout.splitlines()):
        if match:
            rows.append((match[1], match[2], *map(float, match.groups()[2:])))
    return rows


def test_generated_clouds_are_joined_all_by_all():
    result = run_join("--scale", "0.03")
    assert result.returncode == 0, result.stderr
    rows = table_rows(result.stdout)
    assert len(rows) == 10  # five clouds, every unordered pair once
    for a, b, mean_ab, mean_ba, chamfer, max_ab, max_ba, hausdorff in rows:
        assert a != b
        assert chamfer == pytest.approx(mean_ab + mean_ba, rel=1e-5)
        assert hausdorff == max(max_ab, max_ba)
        assert 0 < mean_ab <= max_ab and 0 < mean_ba <= max_ba


def test_files_with_duplicates_are_joined_and_match_a_brute_force(tmp_path):
    rng = np.random.default_rng(5)
    a = rng.random((700, 3))
    a = np.vstack([a, a[np.argmin(a.sum(axis=1))], a[:50]])  # duplicates, one at the first sorted point
    b = (np.round((rng.random((500, 3)) + [0.3, 0, 0]) * 16) / 16).astype(np.float32)  # quantised
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    result = run_join(tmp_path / "a.npy", tmp_path / "b.npy", "--f64")
    assert result.returncode == 0, result.stderr
    [(name_a, name_b, mean_ab, mean_ba, _, max_ab, max_ba, _)] = table_rows(result.stdout)
    assert (name_a, name_b) == ("a", "b")
    d_ab, d_ba = brute_nearest(a, b.astype(np.float64))[0], brute_nearest(b.astype(np.float64), a)[0]
    assert (mean_ab, max_ab) == pytest.approx((d_ab.mean(), d_ab.max()), rel=1e-5)
    assert (mean_ba, max_ba) == pytest.approx((d_ba.mean(), d_ba.max()), rel=1e-5)


@pytest.mark.parametrize(
    "case, expected",
    [
        ("missing", "no such file"),
        ("shape", "expected at least three"),
        ("nan", "non-finite"),
        ("text", "not a valid .npy file"),
    ],
)
def test_unusable_input_gets_one_line_and_status_2(tmp_path, case, expected):
    good = tmp_path / "good.npy"
    np.save(good, np.random.default_rng(0).random((100, 3)))
    path = tmp_path / f"{case}.npy"
    if case == "shape":
        np.save(path, np.zeros((10, 2)))
    elif case == "nan":
        np.save(path, np.full((10, 3), np.nan))
    elif case == "text":
        path.write_text("1 2 3\n")
    result = run_join(good, path)
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"join.py: error: {path}: ") and expected in lines[0], result.stderr
