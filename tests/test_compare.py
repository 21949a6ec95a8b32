"""ornel.compare against cKDTree: per-point fields, the bound, the summary, F-scores,
the Hausdorff point, invalid points, and the pictures and JSON it writes."""

import json

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.spatial import cKDTree

import ornel
from ornel._compare import PERCENTILES, summary

DATA_OFFSETS = (0.0, 5e5, 5e6)


def scans(offset, seed=0, n=3000):
    rng = np.random.default_rng(seed)
    bunny = np.load(__import__("pathlib").Path(__file__).resolve().parent.parent / "data" / "stanford-bunny.npy")
    a = bunny[rng.choice(len(bunny), n, replace=False)] + rng.normal(0, 2e-3, (n, 3))
    b = np.round(bunny[rng.choice(len(bunny), n, replace=False)], 3)  # quantised, with duplicates
    return a + offset, b + offset


@pytest.mark.parametrize("offset", DATA_OFFSETS)
@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_fields_against_brute_force(offset, precision):
    a, b = scans(offset)
    ref, ref_idx = cKDTree(b).query(a)
    tolerance = 0 if precision == "f64" else 2.0**-22 * (np.abs(b - b.mean(0)).max() * 5) + 2.0**-23 * ref
    result = ornel.compare(a, b, precision=precision, threads=2)
    assert np.all(np.abs(result.distance - ref) <= tolerance)
    # The index is a nearest point: its distance is the nearest distance (ties may differ).
    np.testing.assert_allclose(np.linalg.norm(b[result.index] - a, axis=1), ref, rtol=0, atol=np.max(tolerance) + 0)
    np.testing.assert_array_equal(result.split(), b[result.index] - a)
    bound = float(np.percentile(ref, 80))
    bounded = ornel.compare(a, b, precision=precision, max_distance=bound)
    inside = bounded.found
    assert np.array_equal(np.isnan(bounded.distance), ~inside) and (bounded.index[~inside] == -1).all()
    np.testing.assert_array_equal(bounded.distance[inside], result.distance[inside])
    assert abs(np.count_nonzero(inside) - np.count_nonzero(ref <= bound)) <= np.count_nonzero(
        np.abs(ref - bound) <= np.max(tolerance)
    )
    stats = bounded.statistics()
    assert stats["within_max_distance"] + stats["beyond_max_distance"] == len(a)
    assert stats["max"] <= bound


def test_summary_f_scores_and_hausdorff():
    a, b = scans(0.0, seed=1)
    ref_ab = cKDTree(b).query(a)[0]
    ref_ba = cKDTree(a).query(b)[0]
    result = ornel.compare(a, b, precision="f64")
    stats = result.statistics(radii=[1e-3, 5e-3])
    assert stats["mean"] == pytest.approx(ref_ab.mean(), rel=1e-12)
    assert stats["rms"] == pytest.approx(np.sqrt((ref_ab**2).mean()), rel=1e-12)
    assert stats["std"] == pytest.approx(ref_ab.std(), rel=1e-9)
    assert stats["max"] == ref_ab.max() and stats["min"] == ref_ab.min()
    assert stats["p95"] == pytest.approx(np.percentile(ref_ab, 95), rel=1e-12)
    worst = int(np.argmax(ref_ab))
    assert stats["hausdorff"] == {"distance": ref_ab[worst], "index": worst, "point": a[worst].tolist()}
    for row, r in zip(stats["f_scores"], [1e-3, 5e-3]):
        p, rc = np.mean(ref_ab <= r), np.mean(ref_ba <= r)
        assert row["precision"] == pytest.approx(p) and row["recall"] == pytest.approx(rc)
        assert row["f_score"] == pytest.approx(2 * p * rc / (p + rc))


def test_invalid_points_are_skipped_on_request_and_kept_as_nan():
    a, b = scans(0.0, seed=2, n=1000)
    a[::7] = np.nan
    a[3, 1] = np.inf
    with pytest.raises(ornel.CloudError, match="non-finite"):
        ornel.compare(a, b)
    result = ornel.compare(a, b, precision="f64", skip_invalid=True)
    invalid = ~np.isfinite(a).all(axis=1)
    assert result.skipped == np.count_nonzero(invalid) and len(result.distance) == len(a)
    assert np.isnan(result.distance[invalid]).all() and (result.index[invalid] == -1).all()
    np.testing.assert_array_equal(result.distance[~invalid], cKDTree(b).query(a[~invalid])[0])
    stats = result.statistics()
    assert stats["skipped_invalid"] == result.skipped and stats["beyond_max_distance"] == 0


def test_pictures_and_json_are_written_whole(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib.image

    a, b = scans(5e5, seed=3, n=2000)
    result = ornel.compare(a, b, max_distance=0.004)
    result.histogram(tmp_path / "h.png", log=True)
    result.plot(tmp_path / "p.png", clip_percentile=95)
    for name in ("h.png", "p.png"):
        image = matplotlib.image.imread(tmp_path / name)
        assert image.ndim == 3 and image.shape[0] > 300 and image[..., :3].std() > 0.05
    result.to_json(tmp_path / "s.json", radii=[0.002])
    stats = json.loads((tmp_path / "s.json").read_text())
    assert stats["f_scores"][0]["radius"] == 0.002 and stats["within_max_distance"] <= len(a)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["h.png", "p.png", "s.json"]
    nothing = ornel.compare(a, b + 1.0, max_distance=1e-6).statistics()
    assert nothing["mean"] is None and nothing["hausdorff"] is None
    assert "NaN" not in json.dumps(nothing) and "Infinity" not in json.dumps(nothing)


def test_the_command_prints_writes_and_draws_what_the_api_computes(tmp_path):
    import subprocess
    import sys
    from pathlib import Path

    script = Path(sys.executable).parent / "ornel"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "ornel"]
    a, b = scans(5e5, seed=4, n=1500)
    a[::50] = np.nan  # an organised scan's empty pixels
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    base = [*command, "compare", tmp_path / "a.npy", tmp_path / "b.npy", "--f64"]
    refused = subprocess.run(base, capture_output=True, text=True, timeout=300)
    assert refused.returncode == 2 and len(refused.stderr.strip().splitlines()) == 1
    run = subprocess.run(
        [
            *base,
            "--skip-invalid",
            "--split",
            "--index",
            "--max-distance",
            "0.004",
            "--radius",
            "0.001",
            "--radius",
            "0.003",
            "--out",
            tmp_path / "d.npy",
            "--json",
            tmp_path / "s.json",
            "--histogram",
            tmp_path / "h.png",
            "--log-counts",
            "--png",
            tmp_path / "p.png",
            "--threads",
            "2",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    expected = ornel.compare(a, b, precision="f64", max_distance=0.004, skip_invalid=True)
    stats = expected.statistics([0.001, 0.003])
    assert json.loads((tmp_path / "s.json").read_text()) == json.loads(
        json.dumps({**stats, "a": str(tmp_path / "a.npy"), "b": str(tmp_path / "b.npy")})
    )
    printed = dict(line.split() for line in run.stdout.splitlines()[1:])
    assert int(printed["skipped"]) == 30 and int(printed["within"]) == stats["within_max_distance"]
    assert float(printed["f_score@0.003"]) == pytest.approx(stats["f_scores"][1]["f_score"], rel=1e-6)
    out = np.load(tmp_path / "d.npy")
    np.testing.assert_array_equal(out[:, :3], a)
    np.testing.assert_array_equal(out[:, 3], expected.distance)
    np.testing.assert_array_equal(out[:, 4:7], expected.split())
    np.testing.assert_array_equal(out[:, 7], expected.index)
    assert (tmp_path / "h.png").stat().st_size > 10_000 and (tmp_path / "p.png").stat().st_size > 10_000
    modelled = subprocess.run(
        [
            *base,
            "--skip-invalid",
            "--signed",
            "--local-model",
            "plane",
            "--neighbours",
            "12",
            "--out",
            tmp_path / "m.npy",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert modelled.returncode == 0, modelled.stderr
    expected = ornel.compare(a, b, precision="f64", skip_invalid=True).with_measure(
        local_model="plane", signed=True, neighbours=12
    )
    np.testing.assert_array_equal(np.load(tmp_path / "m.npy")[:, 3], expected.distance)
    assert "signed plane distances" in modelled.stdout.splitlines()[0]


@pytest.mark.parametrize("out", ["d.laz", "d.las"])
def test_compare_gives_a_real_las_file_back_whole_with_its_distances(tmp_path, out):
    import subprocess
    import sys
    from pathlib import Path

    laspy = pytest.importorskip("laspy")
    script = Path(sys.executable).parent / "ornel"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "ornel"]
    source = Path(__file__).resolve().parent.parent / "data" / "las" / "4_6_crop.las"  # GPS time, RGB, a CRS
    original = laspy.read(str(source))
    points = np.c_[original.x, original.y, original.z]
    reference = points[::3] + [0.3, -0.2, 0.05]
    np.save(tmp_path / "b.npy", reference)
    run = subprocess.run(
        [
            *command,
            "compare",
            source,
            tmp_path / "b.npy",
            "--out",
            tmp_path / out,
            "--split",
            "--index",
            "--max-distance",
            "0.5",
            "--f64",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    written = laspy.read(str(tmp_path / out))
    assert written.header.point_format.id == original.header.point_format.id
    assert written.header.version == original.header.version
    np.testing.assert_array_equal(written.header.scales, original.header.scales)
    np.testing.assert_array_equal(written.header.offsets, original.header.offsets)
    assert [
        (v.record_id, v.user_id, bytes(v.record_data_bytes())) for v in written.header.vlrs if v.user_id != "LASF_Spec"
    ] == [
        (v.record_id, v.user_id, bytes(v.record_data_bytes())) for v in original.header.vlrs if v.user_id != "LASF_Spec"
    ]
    for name in original.point_format.dimension_names:
        np.testing.assert_array_equal(np.asarray(written[name]), np.asarray(original[name]), err_msg=name)
    ref, ref_idx = cKDTree(reference).query(points)
    within = ref <= 0.5
    distance = np.asarray(written["distance"])
    np.testing.assert_array_equal(distance[within], ref[within])
    assert np.isnan(distance[~within]).all() and (np.asarray(written["index"])[~within] == -1).all()
    np.testing.assert_array_equal(
        np.c_[written["dx"], written["dy"], written["dz"]][within],
        (reference[np.asarray(written["index"])[within]] - points[within]),
    )


def test_signed_and_plane_distances_against_numpy_planes():
    # B: a quantised, wavy sheet with duplicate returns; A: points above and below it.
    rng = np.random.default_rng(6)
    xy = np.round(rng.random((4000, 2)), 3)
    b = np.c_[xy, 0.05 * np.sin(3 * xy[:, 0])]
    b[:200] = b[200:400]
    a_xy = rng.random((1500, 2)) * 0.8 + 0.1
    offset = rng.choice([-1, 1], 1500) * (0.005 + 0.01 * rng.random(1500))
    a = np.c_[a_xy, 0.05 * np.sin(3 * a_xy[:, 0]) + offset]
    base = ornel.compare(a, b, precision="f64")
    k = 12
    signed = base.with_measure(signed=True, neighbours=k)
    plane = base.with_measure(local_model="plane", neighbours=k)
    signed_plane = base.with_measure(local_model="plane", signed=True, neighbours=k)
    assert (signed.measure, plane.measure, signed_plane.measure) == ("signed point", "plane", "signed plane")
    np.testing.assert_array_equal(np.abs(signed.distance), base.distance)
    # The sheet's normals are oriented consistently: the sign follows the side of the sheet.
    up = np.sign(signed.distance) == np.sign(offset)
    assert up.mean() > 0.98 or up.mean() < 0.02
    # The plane model against NumPy: the least-squares plane through B's k nearest points
    # (by cKDTree) around each nearest point.
    tree = cKDTree(b)
    dist, near = tree.query(b[base.index], k=k + 1)
    clear = dist[:, k - 1] < dist[:, k]  # no tie at the k-th neighbour (duplicate returns)
    near = near[:, :k]
    expected = np.empty(len(a))
    for i in range(len(a)):
        patch = b[near[i]]
        centre = patch.mean(axis=0)
        normal = np.linalg.eigh(np.cov((patch - centre).T))[1][:, 0]
        expected[i] = abs((a[i] - centre) @ normal)
    assert clear.mean() > 0.8
    np.testing.assert_allclose(plane.distance[clear], expected[clear], rtol=1e-6, atol=1e-12)
    np.testing.assert_array_equal(np.abs(signed_plane.distance), plane.distance)
    # Closer to the true offsets than point-to-point distances: the sampling bias removed.
    assert np.abs(plane.distance - np.abs(offset)).mean() < 0.5 * np.abs(base.distance - np.abs(offset)).mean()
    with pytest.raises(ValueError, match="local_model"):
        base.with_measure(local_model="sphere")


def numpy_summary(found):
    """The summary as NumPy computes it, call by call: what `statistics` must equal."""
    return {
        "mean": float(found.mean()),
        "rms": float(np.sqrt(np.mean(found**2))),
        "std": float(found.std()),
        "min": float(found.min()),
        "max": float(found.max()),
        **{f"p{p}": float(v) for p, v in zip(PERCENTILES, np.percentile(found, PERCENTILES))},
    }


@given(
    st.lists(st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False), min_size=1, max_size=300),
    st.sampled_from([0.0, 1e5, -3e5]),
)
def test_the_summary_equals_numpys_bit_for_bit(values, offset):
    values = np.asarray(values) + offset
    for found in (values, np.round(values, 1), np.abs(values)):  # spread, tied, unsigned
        kept = found.copy()
        assert summary(found) == numpy_summary(found)
        np.testing.assert_array_equal(found, kept)  # the caller's values are left as they were


@pytest.mark.parametrize("n", [1, 2, 3, 99, 100, 101, 20_000])
def test_the_statistics_of_a_comparison_are_numpys_with_or_without_a_bound_or_skipped_points(n):
    rng = np.random.default_rng(n)
    a, b = rng.random((n, 3)) + 5e5, np.round(rng.random((max(n, 4), 3)), 2) + 5e5  # quantised: ties
    a[::7] = b[: len(a[::7])]  # some distances exactly 0
    for result in (
        ornel.compare(a, b, precision="f64"),
        ornel.compare(a, b, precision="f64", max_distance=0.01),
        ornel.compare(np.r_[a, [[np.nan, 0, 0]]], b, precision="f64", skip_invalid=True),
        ornel.compare(a, b, precision="f64").with_measure(signed=True, neighbours=3),
    ):
        found = result.distance[result.index >= 0]
        stats = result.statistics()
        if len(found) == 0:
            assert stats["mean"] is None and stats["hausdorff"] is None
            continue
        assert {key: stats[key] for key in numpy_summary(found)} == numpy_summary(found)
        # The first point of greatest size, NaN (no nearest point) stepped over.
        worst = int(np.nanargmax(np.abs(result.distance)))
        assert stats["hausdorff"]["index"] == worst
        assert stats["hausdorff"]["distance"] == abs(result.distance[worst])
