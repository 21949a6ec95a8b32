"""M3C2 by brute force in NumPy, from its definitions (Lague, Brodu and Leroux 2013, and
py4dgeo's documented choices): every point tested against every ball and cylinder."""

import numpy as np


def in_ball(points, centre, radius):
    """Rows of `points` within `radius` of `centre`, the boundary included, with the
    expression the native search evaluates (dx*dx + dy*dy + dz*dz <= r²)."""
    d = points.astype(np.float64) - centre
    return np.flatnonzero(d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1] + d[:, 2] * d[:, 2] <= radius * radius)


def cylinder_positions(points, centre, axis, radius, half_length):
    """(rows, positions along the axis) of the points in the closed cylinder."""
    d = points.astype(np.float64) - centre
    t = d[:, 0] * axis[0] + d[:, 1] * axis[1] + d[:, 2] * axis[2]
    e = d - t[:, None] * axis
    inside = (np.abs(t) <= half_length) & (e[:, 0] * e[:, 0] + e[:, 1] * e[:, 1] + e[:, 2] * e[:, 2] <= radius * radius)
    rows = np.flatnonzero(inside)
    return rows, t[rows]


def pca_normal(points, centre, radius):
    """(unit normal, λ3 / Σλ) of the points in the ball, or (None, inf) when they do not span a plane."""
    near = points[in_ball(points, centre, radius)].astype(np.float64) - centre
    if len(near) < 3:
        return None, np.inf
    centred = near - near.mean(axis=0)
    values, vectors = np.linalg.eigh(centred.T @ centred)
    if values[1] <= 1e-12 * max(values[2], 1e-300):
        return None, np.inf
    return vectors[:, 0], max(values[0], 0.0) / values.sum()


def quantile_type2(values, q):
    return np.percentile(values, 100 * q, method="averaged_inverted_cdf")


def m3c2_reference(
    epoch1,
    epoch2,
    cores,
    normal_radii,
    cylinder_radius,
    max_depth,
    *,
    toward=(0, 0, 1),
    sensor=None,
    normals=None,
    robust=False,
    registration_error=0.0,
    min_points=1,
):
    """Per core point: normal, distance, lod, spread1, spread2, count1, count2."""
    q = len(cores)
    out = {name: np.full(q, np.nan) for name in ("distance", "lod", "spread1", "spread2")}
    out["count1"] = np.zeros(q, dtype=np.int64)
    out["count2"] = np.zeros(q, dtype=np.int64)
    out["normal"] = np.full((q, 3), np.nan)
    for i, core in enumerate(np.asarray(cores, dtype=np.float64)):
        if normals is not None:
            normal = normals[i]
        else:
            best, normal = np.inf, None
            for radius in normal_radii:
                candidate, share = pca_normal(epoch1, core, radius)
                if share < best:
                    best, normal = share, candidate
            if normal is None:
                continue
            side = np.asarray(sensor, dtype=np.float64) - core if sensor is not None else np.asarray(toward)
            if normal @ side < 0:
                normal = -normal
        out["normal"][i] = normal
        located = []
        for k, epoch in ((1, epoch1), (2, epoch2)):
            _, t = cylinder_positions(epoch, core, normal, cylinder_radius, max_depth)
            out[f"count{k}"][i] = len(t)
            if len(t) == 0:
                located.append(np.nan)
                continue
            if robust:
                located.append(quantile_type2(t, 0.5))
                out[f"spread{k}"][i] = quantile_type2(t, 0.75) - quantile_type2(t, 0.25)
            else:
                located.append(t.mean())
                out[f"spread{k}"][i] = t.std(ddof=1) if len(t) > 1 else np.nan
        if min(out["count1"][i], out["count2"][i]) >= min_points:
            out["distance"][i] = located[1] - located[0]
            out["lod"][i] = 1.96 * (
                np.sqrt(out["spread1"][i] ** 2 / out["count1"][i] + out["spread2"][i] ** 2 / out["count2"][i])
                + registration_error
            )
    return out
