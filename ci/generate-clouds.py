"""Writes a few generated clouds into DIRECTORY for the main job: two noisy scans of
the Stanford Bunny (one quantised to a 0.1 mm grid, as scanners store points, so with
duplicates), a noisy sphere, in the formats scans come in.

    python ci/generate-clouds.py DIRECTORY
"""

import sys
from pathlib import Path

import numpy as np

import ornel

directory = Path(sys.argv[1])
rng = np.random.default_rng(2026)
bunny = np.load(Path(__file__).resolve().parents[1] / "data" / "stanford-bunny.npy").astype(np.float64)
size = float(np.ptp(bunny, axis=0).max())


def scan(n: int) -> np.ndarray:
    picked = bunny[rng.choice(len(bunny), size=min(n, len(bunny)), replace=False)]
    return picked + rng.normal(scale=0.002 * size, size=picked.shape)


no_fields: dict[str, np.ndarray] = {}
ornel.write_points(directory / "bunny-scan-a.ply", scan(25_000), no_fields)
ornel.write_points(directory / "bunny-scan-b.xyz", np.round(scan(20_000) * 1e4) / 1e4, no_fields)
sphere = rng.normal(size=(20_000, 3))
sphere = sphere / np.linalg.norm(sphere, axis=1)[:, None] * size / 2 + bunny.mean(axis=0)
ornel.write_points(directory / "sphere.csv", sphere + rng.normal(scale=0.002 * size, size=sphere.shape), no_fields)
# A scan of the Bunny moved by a known rigid motion (3° about z, a few millimetres), to align.
angle = np.radians(3.0)
turn = np.array([[np.cos(angle), -np.sin(angle), 0.0], [np.sin(angle), np.cos(angle), 0.0], [0.0, 0.0, 1.0]])
ornel.write_points(directory / "bunny-scan-moved.ply", scan(25_000) @ turn.T + [0.004, -0.003, 0.002], no_fields)
