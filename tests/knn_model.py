"""A plain-Python model of the k-nearest join, written from its rules.

Slow and sequential on purpose: the tests run it on tiny clouds with arbitrary
(non-Delaunay) graphs, coarse coordinates (many equal distances) and NaN, and
require the module's rows to match it bit for bit. That pins down what a
brute-force comparison cannot: the heap's sift rules, the order in which equal
distances are expanded and listed, the stop and acceptance tests, the visit
stamps, the running seed and the walk of the query graph.
"""

import numpy as np
from descent_model import (
    box,
    box_gap_squared,
    point_box_squared,
    reaches_beyond,
    squared_distance,
    start_vertex,
    walk_query_graph,
)


def total_order_key(S, value):
    """An int whose order is IEEE totalOrder on values of S."""
    signed = np.int32 if S is np.float32 else np.int64
    bits = int(np.asarray(value, dtype=S).view(signed))
    return bits ^ int(np.iinfo(signed).max) if bits < 0 else bits


class Heap:
    """Min-heap of (key, vertex, d) with the exact push and pop moves."""

    def __init__(self):
        self.a = []

    def _up(self, pos, entry):
        while pos > 0:
            parent = (pos - 1) // 2
            if self.a[parent][0] > entry[0]:
                self.a[pos] = self.a[parent]
                pos = parent
            else:
                break
        self.a[pos] = entry

    def push(self, entry):
        self.a.append(entry)
        self._up(len(self.a) - 1, entry)

    def pop(self):
        last = self.a.pop()
        if not self.a:
            return last
        top = self.a[0]
        n = len(self.a)
        hole = 0
        while 2 * hole + 1 <= n - 2:
            left, right = 2 * hole + 1, 2 * hole + 2
            child = right if self.a[right][0] <= self.a[left][0] else left
            self.a[hole] = self.a[child]
            hole = child
        if 2 * hole + 1 == n - 1:
            self.a[hole] = self.a[2 * hole + 1]
            hole = 2 * hole + 1
        self._up(hole, last)
        return top


def count_at_most(found, d):
    """Entries of `found` with distance <= d, by halving the range (fixed probes, so NaN lists agree too)."""
    size = len(found)
    if size == 0:
        return 0
    base = 0
    while size > 1:
        half = size // 2
        if found[base + half][1] <= d:
            base += half
        size -= half
    return base + (1 if found[base][1] <= d else 0)


def best_first(S, target_points, offsets, neighbours, stamps, epoch, seed, q, ef):
    """One search; returns the result list [(vertex, squared distance)]."""
    nt = len(target_points)
    assert seed < nt
    stamps[seed] = epoch
    d = squared_distance(S, target_points[seed], q)
    heap = Heap()
    heap.push((total_order_key(S, d), seed, d))
    found = [(seed, d)]
    while heap.a:
        _, c, dc = heap.pop()
        if len(found) == ef and dc > found[-1][1]:
            break
        begin, end = int(offsets[c]), int(offsets[c + 1])
        for i in range(begin, end):  # empty when end < begin
            v = int(neighbours[i])
            if stamps[v] == epoch:
                continue
            stamps[v] = epoch
            d = squared_distance(S, target_points[v], q)
            if not (len(found) < ef or found[-1][1] > d):
                continue
            heap.push((total_order_key(S, d), v, d))
            t = count_at_most(found, d)
            if len(found) == ef:
                found.pop()
            found.insert(t, (v, d))
    return found


def knn_join(
    S,
    query_points,
    query_offsets,
    query_neighbours,
    target_points,
    target_offsets,
    target_neighbours,
    k,
    ef,
    r=None,
    query_box=None,
):
    """(dists, idx) of shape (nq, k) exactly as the module's k-nearest join computes them."""
    nq = len(query_offsets) - 1
    nt = len(target_points)
    dists = np.full((nq, k), np.inf, dtype=S)
    idx = np.full((nq, k), nt, dtype=np.uint64)
    per_point_test = False
    if r is not None:
        r = S(r)
        r2 = r * r
        if nq == 0:
            return dists, idx
        target_box = box(S, target_points)
        qbox = query_box if query_box is not None else box(S, query_points)
        if box_gap_squared(S, target_box, qbox) > r2:
            return dists, idx
        per_point_test = reaches_beyond(target_box, qbox, r)

    stamps = [0] * nt
    epoch = 0
    running_seed = start_vertex(target_offsets, nt)

    def answer(seed, q):
        nonlocal epoch, running_seed
        p = query_points[q]
        if per_point_test and point_box_squared(S, target_box, p) > r2:
            return
        epoch += 1
        found = best_first(S, target_points, target_offsets, target_neighbours, stamps, epoch, seed, p, ef)
        if k == 0:
            return
        if r is not None and found[0][1] > r2:
            return
        for j, (v, d2) in enumerate(found[:k]):
            if r is not None and d2 > r2:
                break
            dists[q, j] = np.sqrt(d2)
            idx[q, j] = v
        running_seed = found[0][0]

    def answered(seed, q):  # a query's neighbours start from the running seed, whoever set it last
        answer(seed, q)
        return running_seed

    walk_query_graph(query_offsets, query_neighbours, answered, lambda: running_seed)
    return dists, idx
