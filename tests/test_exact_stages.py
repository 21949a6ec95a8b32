"""The tetrahedraliser's exact stage in machine words (coordinates that are close multiples of one power
of two), checked sign by sign against rational arithmetic, and on the lattices it serves."""

import subprocess
from fractions import Fraction

import numpy as np
import pytest
from conftest import grid, native_checker
from delaunay_model import check_delaunay_exactly

import ornel


@pytest.fixture(scope="module")
def narrow_check(tmp_path_factory):
    program, env = native_checker(tmp_path_factory, "narrow_integer_check", "-ffp-contract=off")

    def run(cases):
        lines = "\n".join(" ".join(float(v).hex() for v in case.ravel()) for case in cases) + "\n"
        out = subprocess.run([str(program)], input=lines, capture_output=True, text=True, check=True, env=env).stdout
        return np.array([list(map(int, line.split())) for line in out.splitlines()])

    return run


def sign(x):
    return (x > 0) - (x < 0)


def det3(a, b, c):
    return a[0] * (b[1] * c[2] - b[2] * c[1]) + a[1] * (b[2] * c[0] - b[0] * c[2]) + a[2] * (b[0] * c[1] - b[1] * c[0])


def exact_signs(case):
    """The lifted determinant of the five points and the orientation of the first four, in Fractions."""
    p = [[Fraction(float(v)) for v in row] for row in case]
    d = [[p[i][k] - p[4][k] for k in range(3)] for i in range(4)]
    lift = [sum(v * v for v in row) for row in d]
    lifted = (lift[1] * det3(d[0], d[2], d[3]) - lift[0] * det3(d[1], d[2], d[3])) + (
        lift[3] * det3(d[0], d[1], d[2]) - lift[2] * det3(d[0], d[1], d[3])
    )
    e = [[p[i][k] - p[0][k] for k in range(3)] for i in (1, 2, 3)]
    return sign(lifted), sign(det3(*e))


def spread_in_bits(values):
    """How many places lie between the lowest set bit of the values and the power of two above them all."""
    values = [abs(Fraction(float(v))) for v in np.ravel(values) if v != 0]
    if not values:
        return 0
    top = max(v.numerator.bit_length() - v.denominator.bit_length() + 1 for v in values)
    low = min((v.numerator & -v.numerator).bit_length() - v.denominator.bit_length() for v in values)
    return top - low


def stage_takes(points, base):
    """Whether the stage works in words: the differences from points[base] are exact in floating point and
    lie within 61 places of one another, or else the coordinates do."""
    others = np.delete(points, base, axis=0)
    differences = others - points[base]
    exact = all(
        Fraction(float(d)) == Fraction(float(a)) - Fraction(float(b))
        for d, a, b in zip(differences.ravel(), others.ravel(), np.broadcast_to(points[base], others.shape).ravel())
    )
    return (exact and spread_in_bits(differences) <= 61) or spread_in_bits(points) <= 61


def cases(rng):
    """Five points a case: random, and degenerate in the ways lattices are (cospherical, coplanar, repeated),
    over every range the stage meets: small lattices, integers up to 2^60, decimal steps far out."""
    out = []
    for bits in (3, 12, 23, 24, 25, 40, 52):  # both sides of the 128-bit tier (differences below 2^24)
        out += [rng.integers(-(2**bits), 2**bits, size=(5, 3)).astype(np.float64) for _ in range(40)]
    for shift in (0, 4, 7, 8):  # integers of 53 bits shifted apart: up to 61 places between lowest and top bits
        for _ in range(40):
            case = rng.integers(-(2**52), 2**52, size=(5, 3)).astype(np.float64)
            case[rng.integers(0, 5)] *= 2.0**shift
            out.append(case)
    # Extremes, where the bounds on the products are nearly reached: cube corners (cospherical) and points
    # beside them, for differences just below and above 2^24 and up to 2^61.
    for extreme in (2.0**23 - 1, 2.0**24 - 1, 2.0**26 - 1, 2.0**60 - 2.0**8):
        for _ in range(40):
            case = rng.choice([-extreme, extreme], size=(5, 3))
            case[rng.integers(0, 5), rng.integers(0, 3)] = rng.choice([-3.0, -1.0, 1.0, 3.0, extreme - 2])
            out.append(case)
    octahedron = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]], np.float64)
    sphere = np.array([[a, b, c] for a in (-2, 2) for b in (-3, 3) for c in (-6, 6)], np.float64)  # radius 7
    for scale, offset in (
        (1.0, 0.0),
        (2.0**56, 0.0),
        (2.0**40 + 1, 2.0**45),
        (0.1, 5e5),
        (0.37, 1e5),
        (0.01, np.array([512_300.0, 5_402_100.0, 100.0])),
    ):  # eastings, northings, heights
        for shape in (octahedron, sphere, grid(3)):
            for _ in range(15):
                out.append(shape[rng.choice(len(shape), 5, replace=len(shape) < 5)] * scale + offset)
        out.append(np.repeat(octahedron[:1] * scale + offset, 5, axis=0))  # one point five times
    plane = rng.integers(-9, 9, size=(5, 3)).astype(np.float64)
    plane[:, 2] = 0
    out += [plane * 2.0**40 + 3, plane + [0, 0, 1e6]]
    for t in np.linspace(0.05, 0.95, 10):  # decimal steps near the origin: lowest bits far below the top
        out.append(np.round(rng.random((5, 3)) * 10, 1) * t)
    # Beyond the stage: coordinates 62 or more places apart, and ones that vanish when scaled down.
    out += [
        np.array([[1, 0, 0], [0, 1, 0], [0, 0, 1], [2.0**-61, 0, 0], [0, 0, 0]], np.float64),
        np.array([[1, 0, 0], [0, 1, 0], [0, 0, 1], [2.0**-60, 0, 0], [0, 0, 0]], np.float64),
        np.array([[1e300, 0, 0], [0, 1e300, 0], [0, 0, 1e300], [1e-300, 1e-300, 0], [0, 0, 0]]),
        np.array([[1e300, 0, 0], [-1e300, 0, 0], [0, 1e300, 0], [1e-300, 0, 0], [0, 0, 1e-300]]),
    ]
    return out


def test_signs_match_rational_arithmetic_wherever_the_stage_takes_the_points(narrow_check):
    all_cases = cases(np.random.default_rng(11))
    results = narrow_check(all_cases)
    taken = 0
    for case, (took_five, lifted, took_four, orientation) in zip(all_cases, results):
        expected_lifted, expected_orientation = exact_signs(case)
        assert took_five == stage_takes(case, 4), case
        assert took_four == stage_takes(case[:4], 0), case
        if took_five:
            taken += 1
            assert lifted == expected_lifted, case
        if took_four:
            assert orientation == expected_orientation, case
    degenerate = sum(exact_signs(case)[0] == 0 for case in all_cases)
    assert taken > 0.9 * len(all_cases) and degenerate > 50


@pytest.mark.parametrize(
    "cloud", ["decimal lattice", "decimal lattice far out", "sphere of large integers", "slab of decimal steps"]
)
def test_lattices_are_exactly_delaunay(cloud):
    rng = np.random.default_rng(4)
    if cloud == "decimal lattice":
        points = grid(4) * 0.1
    elif cloud == "decimal lattice far out":  # as a scan stores them: eastings and northings far beyond heights
        points = grid(4) * 0.37 + [512_300.0, 5_402_100.0, 30.0]
    elif cloud == "sphere of large integers":  # every point on one sphere, differences of 44 bits
        shell = np.array([[a, b, c] for a in (-2, 2) for b in (-3, 3) for c in (-6, 6)], np.float64)
        shell = np.concatenate([shell, shell[:, [1, 2, 0]], shell[:, [2, 0, 1]]])
        points = np.concatenate([shell * (2.0**40 + 1) + 2.0**45, [[2.0**45] * 3]])
    else:
        points = np.round(rng.random((60, 3)) * [3, 3, 0.2], 1)
    points = points[rng.permutation(len(points))]
    check_delaunay_exactly(points, ornel.delaunay(points, threads=3))
