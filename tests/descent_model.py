"""A plain-Python model of the single-nearest join, written from its rules.

It is slow and obviously sequential on purpose: the tests run it on small
clouds and arbitrary (non-Delaunay) graphs and require the module's answers to
match it bit for bit, so that the walk order, the seeds, the tie rule, NaN
handling and the bound tests are all pinned down, not just the Delaunay case
where any correct search gives the same answer.
"""

import numpy as np


def squared_distance(S, t, q):
    dx = S(t[0]) - S(q[0])
    dy = S(t[1]) - S(q[1])
    dz = S(t[2]) - S(q[2])
    return (dx * dx + dy * dy) + dz * dz


def _nan_min(a, b):
    if a != a:
        return b
    return b if b < a else a


def _nan_max(a, b):
    if a != a:
        return b
    return b if b > a else a


def box(S, points):
    """Lane-wise (lo, hi) over x, y, z and the zero pad lane, NaN passed over."""
    inf = S(np.inf)
    if len(points) == 0:
        return [inf] * 4, [-inf] * 4
    lo = [S(points[0][0]), S(points[0][1]), S(points[0][2]), S(0)]
    hi = list(lo)
    for p in points[1:]:
        for lane in range(3):
            lo[lane] = _nan_min(lo[lane], S(p[lane]))
            hi[lane] = _nan_max(hi[lane], S(p[lane]))
    return lo, hi


def _clamp(S, v):
    return v if v > S(0) else S(0)


def _lane_sum(values):
    return (values[0] + values[1]) + (values[2] + values[3])


def box_gap_squared(S, target_box, query_box):
    (tlo, thi), (qlo, qhi) = target_box, query_box
    gaps = []
    for lane in range(4):
        below = tlo[lane] - qhi[lane]
        above = qlo[lane] - thi[lane]
        g = _clamp(S, _nan_max(below, above))
        gaps.append(g * g)
    return _lane_sum(gaps)


def reaches_beyond(target_box, query_box, r):
    (tlo, thi), (qlo, qhi) = target_box, query_box
    return any(tlo[a] - r > qlo[a] or qhi[a] > thi[a] + r for a in range(3))


def point_box_squared(S, target_box, p):
    tlo, thi = target_box
    lanes = [S(p[0]), S(p[1]), S(p[2]), S(0)]
    terms = []
    for lane in range(4):
        e = _clamp(S, tlo[lane] - lanes[lane]) + _clamp(S, lanes[lane] - thi[lane])
        terms.append(e * e)
    return _lane_sum(terms)


def start_vertex(offsets, n_points):
    """Where searches of a target start: 0, or, when row 0 is empty, the first row that
    holds something (0 again if the offsets decrease before one is found)."""
    offsets = [int(o) for o in offsets]
    if len(offsets) < 2 or offsets[0] != offsets[1]:
        return 0
    for v in range(1, min(n_points, len(offsets) - 1)):
        if offsets[v] > offsets[v + 1]:
            return 0
        if offsets[v] < offsets[v + 1]:
            return v
    return 0


def greedy_descent(S, target_points, offsets, neighbours, seed, q):
    current = int(seed)
    best = squared_distance(S, target_points[current], q)
    while True:
        candidate = current
        for v in neighbours[offsets[current] : offsets[current + 1]]:
            v = int(v)
            d = squared_distance(S, target_points[v], q)
            if d < best or (d == best and v < candidate):
                best, candidate = d, v
        if candidate == current:
            return current, best
        current = candidate


def walk_query_graph(query_offsets, query_neighbours, answer, root_seed):
    """Answers every query in the joins' order: roots in index order, each one's unvisited
    component depth first (last pushed, first answered). A root starts from `root_seed()`;
    a neighbour from what `answer(seed, q)` returned for the query that reached it."""
    marks = [False] * (len(query_offsets) - 1)
    for root in range(len(marks)):
        if marks[root]:
            continue
        marks[root] = True
        stack = [(root_seed(), root)]
        while stack:
            seed, q = stack.pop()
            seed_for_neighbours = answer(seed, q)
            for m in query_neighbours[query_offsets[q] : query_offsets[q + 1]]:
                m = int(m)
                if not marks[m]:
                    marks[m] = True
                    stack.append((seed_for_neighbours, m))


def nearest_join(
    S,
    query_points,
    query_offsets,
    query_neighbours,
    target_points,
    target_offsets,
    target_neighbours,
    r=None,
    query_box=None,
):
    """(dists, idx) exactly as the module's single-nearest join computes them."""
    nq = len(query_offsets) - 1
    nt = len(target_points)
    inf = S(np.inf)
    dists = np.zeros(nq, dtype=S)
    idx = np.zeros(nq, dtype=np.uint64)
    mode = "A"
    if r is not None:
        r = S(r)
        if nq == 0:
            return dists, idx
        target_box = box(S, target_points)
        qbox = query_box if query_box is not None else box(S, query_points)
        if box_gap_squared(S, target_box, qbox) > r * r:
            dists[:] = inf
            idx[:] = nt
            return dists, idx
        mode = "B" if reaches_beyond(target_box, qbox, r) else "A"

    global_seed = start_vertex(target_offsets, nt)

    def answer(seed, q):
        nonlocal global_seed
        p = query_points[q]
        if mode == "B":
            if point_box_squared(S, target_box, p) > r * r:
                dists[q], idx[q] = inf, nt
                return seed
            vertex, best = greedy_descent(S, target_points, target_offsets, target_neighbours, seed, p)
            d = np.sqrt(best)
            if d * d > r * r:
                dists[q], idx[q] = inf, nt
                return seed
        else:
            vertex, best = greedy_descent(S, target_points, target_offsets, target_neighbours, seed, p)
            d = np.sqrt(best)
        dists[q], idx[q] = d, vertex
        global_seed = vertex
        return vertex

    walk_query_graph(query_offsets, query_neighbours, answer, lambda: global_seed)

    if mode == "A" and r is not None:
        for i in range(nq):
            if dists[i] * dists[i] > r * r:
                dists[i], idx[i] = inf, nt
    return dists, idx
