"""examples/join.py, the README's first command, run as a user runs it (small clouds)."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

JOIN = Path(__file__).resolve().parents[1] / "examples" / "join.py"


def run_join(*args):
    return subprocess.run([sys.executable, str(JOIN), *map(str, args)], capture_output=True, text=True, timeout=300)


def table_rows(stdout):
    """(A, B, six numbers) for each row of the printed per-pair table."""
    number = r"(\d+\.\d+)"
    pattern = re.compile(rf"^(\S+)\s+(\S+)" + rf"\s+{number}" * 6 + r"$")
    return [(m[1], m[2], *map(float, m.groups()[2:])) for m in map(pattern.match, stdout.splitlines()) if m]


def test_generated_clouds_are_joined_all_by_all_and_checked():
    result = run_join("--scale", "0.05", "--sample", "500")
    assert result.returncode == 0, result.stderr
    rows = table_rows(result.stdout)
    assert len(rows) == 15  # six clouds, every unordered pair once
    for a, b, mean_ab, mean_ba, chamfer, max_ab, max_ba, hausdorff in rows:
        assert a != b
        assert chamfer == pytest.approx(mean_ab + mean_ba, abs=2e-5)
        assert hausdorff == max(max_ab, max_ba)
        assert mean_ab <= max_ab and mean_ba <= max_ba
    assert "agree with cKDTree" in result.stdout
    assert re.search(r"M points/s", result.stdout)


def test_files_are_joined_and_their_pair_distances_match_a_brute_force(tmp_path):
    rng = np.random.default_rng(5)
    a, b = rng.random((700, 3)), rng.random((500, 3)) + [0.3, 0, 0]
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b.astype(np.float32))
    result = run_join(tmp_path / "a.npy", tmp_path / "b.npy", "--f64")
    assert result.returncode == 0, result.stderr
    [(name_a, name_b, mean_ab, mean_ba, _, max_ab, max_ba, _)] = table_rows(result.stdout)
    assert (name_a, name_b) == ("a", "b")
    b = b.astype(np.float32).astype(np.float64)
    d_ab = np.sqrt(((a[:, None] - b[None]) ** 2).sum(axis=2)).min(axis=1)
    d_ba = np.sqrt(((b[:, None] - a[None]) ** 2).sum(axis=2)).min(axis=1)
    assert (mean_ab, max_ab) == pytest.approx((d_ab.mean(), d_ab.max()), abs=1e-5)
    assert (mean_ba, max_ba) == pytest.approx((d_ba.mean(), d_ba.max()), abs=1e-5)


def test_duplicate_points_left_out_by_qhull_still_give_right_answers(tmp_path):
    # The duplicated corner point sorts first, and Qhull leaves one twin out
    # of the tetrahedralisation: a walk starting there must still move on.
    rng = np.random.default_rng(2)
    cloud = rng.random((2000, 3))
    cloud = np.vstack([cloud, cloud[np.argmin(cloud.sum(axis=1))]])
    np.save(tmp_path / "twins.npy", cloud)
    np.save(tmp_path / "other.npy", rng.random((1000, 3)))
    result = run_join(tmp_path / "twins.npy", tmp_path / "other.npy", "--sample", "1000")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "left out of the tetrahedralisation" in result.stdout


def unusable_inputs(tmp_path):
    good = tmp_path / "good.npy"
    np.save(good, np.random.default_rng(0).random((100, 3)))
    cases = {
        "missing": (tmp_path / "missing.npy", "no such file"),
        "shape": (tmp_path / "flat2d.npy", "expected (N, 3)"),
        "few": (tmp_path / "three.npy", "needs at least 4"),
        "coplanar": (tmp_path / "plane.npy", "cannot be tetrahedralised"),
        "nan": (tmp_path / "nan.npy", "NaN"),
        "text": (tmp_path / "text.npy", "not a .npy file"),
    }
    np.save(cases["shape"][0], np.zeros((10, 2)))
    np.save(cases["few"][0], np.eye(3))
    np.save(cases["coplanar"][0], np.c_[np.random.default_rng(1).random((50, 2)), np.zeros(50)])
    np.save(cases["nan"][0], np.full((10, 3), np.nan))
    cases["text"][0].write_text("1 2 3\n")
    return good, cases


@pytest.mark.parametrize("case", ["missing", "shape", "few", "coplanar", "nan", "text", "one file"])
def test_unusable_input_gets_one_line_and_status_2(tmp_path, case):
    good, cases = unusable_inputs(tmp_path)
    if case == "one file":
        result, expected = run_join(good), "at least two"
    else:
        path, expected = cases[case]
        result = run_join(good, path)
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("join.py: error: ") and expected in lines[0], result.stderr
