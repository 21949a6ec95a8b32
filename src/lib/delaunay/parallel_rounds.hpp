// Tetrahedralisation's parallel rounds: one round of the insertion order
// shared between threads, each owning a range of the Hilbert curve.
//
// The curve is cut into one range of cells per thread, each holding as many
// of the round's points; a thread inserts its own points in order and
// touches only tetrahedra whose finite vertices are all its own (owned) and
// their neighbours. Those sets never meet: a tetrahedron next to an owned one
// has a face of owned vertices, at least two of them finite, and two faces of
// one tetrahedron share a finite vertex. So no two threads read or write the
// same tetrahedron while they run. A point whose walk or cavity would leave
// the owned tetrahedra is put off, with every later point of its cell (so
// that equal points keep the smallest index first). The points put off get
// another pass with the cuts moved along the curve (a tetrahedron two ranges
// shared may now lie in one), while a pass still settles a quarter of them
// (three passes at most); the calling thread inserts the last ones alone
// (mostly points whose cavities hold long tetrahedra, with vertices far
// apart on the curve, which no range owns wherever the cuts fall). With the perturbation the
// tetrahedralisation is unique, so the order does not change it.
#pragma once

#include "tetrahedralisation.hpp"

namespace ornel::delaunay {

inline void Tetrahedralisation::insert_in_parallel(const std::vector<std::uint32_t>& order, std::size_t begin,
                                                   std::size_t end) {
    const std::size_t parts = std::min<std::size_t>(threads_, max_threads);
    std::vector<std::uint32_t> pending(order.begin() + static_cast<std::ptrdiff_t>(begin),
                                       order.begin() + static_cast<std::ptrdiff_t>(end));
    // The cuts share out the round's points, not the ones left: those
    // crowd along the last pass's cuts, and cuts that shared them out would
    // fall there again. Each pass turns the curve by an irrational fraction,
    // so that the cuts never come back to the same places.
    std::vector<std::uint32_t> sample;
    const std::size_t step = std::max<std::size_t>(1, pending.size() / 4096);
    for (std::size_t i = 0; i < pending.size(); i += step) sample.push_back(cell_[pending[i]]);
    // Each point's first start: a tetrahedron made with the point of the
    // round before that precedes it on the curve. A worker whose walk was
    // put off has no start near its next point but this one: from its last
    // tetrahedron every later walk would cross the same foreign ones.
    std::vector<std::uint32_t> near(pending.size(), infinite_vertex);
    {
        std::size_t first = 0;
        for (std::size_t e : round_ends_)
            if (e < begin) first = e;
        std::size_t j = first;
        for (std::size_t i = 0; i < pending.size() && first < begin; ++i) {
            const std::uint32_t c = cell_[pending[i]];
            while (j + 1 < begin && cell_[order[j + 1]] <= c) ++j;
            near[i] = vertex_tet_[order[j]];
        }
    }
    std::uint32_t shift = 0;
    for (int pass = 0; pass < max_passes && pending.size() >= points_left_per_thread * parts; ++pass) {
        const std::size_t before = pending.size();
        parallel_pass(pending, near, sample, shift);
        if (pending.size() * 4 > before * 3) break;  // no longer worth a pass
        shift += 0x9E3779B9u;
    }
    for (std::uint32_t p : pending) insert(workers_[0], p);
}

// Inserts `points` (in curve order within each cell) on the threads, the
// curve turned by `shift` and cut where each range holds as many of the
// cells in `sample`, and leaves in `points` those put off, in their order
// within each cell.
// `near` (empty, or one per point): where an earlier pass got to, the start
// of the point's walk when its worker owns it.
inline void Tetrahedralisation::parallel_pass(std::vector<std::uint32_t>& points, std::vector<std::uint32_t>& near,
                                              const std::vector<std::uint32_t>& sample, std::uint32_t shift) {
    const std::size_t parts = std::min<std::size_t>(threads_, max_threads);
    while (workers_.size() < parts) workers_.emplace_back(Predicates(xyz_.data(), scaled_));
    std::uint64_t cut[max_threads + 1];
    cut[0] = 0;
    cut[parts] = std::uint64_t{1} << 32;
    {
        std::vector<std::uint32_t> places(sample);
        for (std::uint32_t& place : places) place -= shift;
        for (std::size_t k = 1; k < parts; ++k) {
            auto at = places.begin() + static_cast<std::ptrdiff_t>(places.size() * k / parts);
            std::nth_element(places.begin(), at, places.end());
            cut[k] = std::max<std::uint64_t>(cut[k - 1], *at);
        }
    }
    // Fresh slots for the pass: the vector must not move while the threads
    // run. Within the room reserved already while it holds most of what the
    // points need: growing copies every tetrahedron and holds both copies.
    std::size_t want = tets_.size() + 7 * points.size() + slots_per_grab * parts;
    if (want > tets_.capacity() && tets_.capacity() - tets_.size() >= 5 * points.size() + slots_per_grab * parts)
        want = tets_.capacity();
    if (want > tets_.capacity()) {
        tets_.reserve(std::max(want, tets_.capacity() + tets_.capacity() / 4));
        flags_.reserve(tets_.capacity());
    }
    pool_next_ = tets_.size();
    pool_end_ = std::min(want, max_tetrahedra);
    tets_.resize(pool_end_);
    flags_.resize(pool_end_, Flag::none);
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        w.bounded = true;
        w.shift = shift;
        w.low = cut[k];
        w.high = cut[k + 1];
        w.deferred.clear();
        w.deferred_near.clear();
        w.duplicates.clear();
    }
    // A start is kept only in a tetrahedron the point's own worker owns
    // now: no other thread touches that one while the threads run.
    // (Only reads, so the threads share the checking.)
    near.resize(points.size(), infinite_vertex);
    on_threads(parts, [&](std::size_t part) {
        for (std::size_t i = points.size() * part / parts, end = points.size() * (part + 1) / parts; i < end; ++i) {
            const std::uint32_t t = near[i];
            if (t == infinite_vertex) continue;
            bool kept = false;
            if (t < pool_next_ && tets_[t].vertex[0] != freed_vertex)
                for (std::size_t k = 0; k < parts; ++k)
                    if (own_point(workers_[k], cell_[points[i]])) {
                        kept = owns(workers_[k], t);
                        break;
                    }
            if (!kept) near[i] = infinite_vertex;
        }
    });
    // Each thread starts its walks in a tetrahedron it owns: one of the
    // threads' last ones, or else one of the newest.
    std::vector<std::uint8_t> started(parts, 0);  // a byte each: written by its own thread below
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        if (w.low == w.high) continue;
        for (const Worker& other : workers_)
            if (!started[k] && other.last < pool_next_ && tets_[other.last].vertex[0] != freed_vertex &&
                owns(w, other.last)) {
                w.last = other.last;
                started[k] = true;
            }
        for (std::size_t t = pool_next_, tried = 0; !started[k] && t-- > 0 && tried < 65536; ++tried)
            if (tets_[t].vertex[0] != freed_vertex && owns(w, static_cast<std::uint32_t>(t))) {
                w.last = static_cast<std::uint32_t>(t);
                started[k] = true;
            }
    }
    on_threads(parts, [&](std::size_t k) {
        Worker& w = workers_[k];
        bool putting_off = false, lost = true;
        bool has_start = started[k];  // kept here: the threads' bytes share a cache line
        std::uint32_t put_off_cell = 0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const std::uint32_t p = points[i], c = cell_[p];
            if (!own_point(w, c)) continue;
            std::uint32_t start = near[i];
            if (!(putting_off && c == put_off_cell)) {
                // Freed since, or made again by this worker: either way its own.
                if (lost && start != infinite_vertex && tets_[start].vertex[0] != freed_vertex) {
                    w.last = start;
                    has_start = true;
                }
                if (has_start) {
                    lost = !insert(w, p);
                    if (!lost) continue;
                    start = w.reached;
                }
            }
            w.deferred.push_back(p);
            w.deferred_near.push_back(start);
            putting_off = true;
            put_off_cell = c;
        }
        started[k] = has_start;
    });
    // Back to one thread: unused slots freed, free lists joined.
    Worker& main = workers_[0];
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        w.bounded = false;
        release_slots(w);
        if (k > 0) {
            while (w.free_head != infinite_vertex) {
                const std::uint32_t t = w.free_head;
                w.free_head = tets_[t].neighbour[0];
                --w.free_count;
                free_tetrahedron(main, t);
            }
        }
    }
    tets_.resize(pool_next_);
    flags_.resize(pool_next_);
    for (std::size_t k = 0; k < parts; ++k)
        if (started[k]) main.last = workers_[k].last;  // alive: only its owner frees a thread's last
    for (std::size_t k = 0; k < parts; ++k) {
        const std::vector<std::uint32_t>& pairs = workers_[k].duplicates;
        for (std::size_t i = 0; i < pairs.size(); i += 2)
            duplicates_.record(given_index_[pairs[i]], given_index_[pairs[i + 1]]);
    }
    // Each cell belongs to one worker, so its points keep their order.
    points.clear();
    near.clear();
    for (std::size_t k = 0; k < parts; ++k) {
        points.insert(points.end(), workers_[k].deferred.begin(), workers_[k].deferred.end());
        near.insert(near.end(), workers_[k].deferred_near.begin(), workers_[k].deferred_near.end());
    }
}

// Room for `count` new tetrahedra beyond the worker's free ones, from the
// round's pool; false when it is spent.
inline bool Tetrahedralisation::reserve_slots(Worker& w, std::size_t count) {
    if (w.free_count + (w.end_slot - w.next_slot) >= count) return true;
    release_slots(w);
    const std::size_t take = std::max(count, slots_per_grab);
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (pool_end_ - pool_next_ < take) return false;
    w.next_slot = pool_next_;
    w.end_slot = pool_next_ += take;
    return true;
}

inline void Tetrahedralisation::release_slots(Worker& w) {
    for (; w.next_slot < w.end_slot; ++w.next_slot) free_tetrahedron(w, static_cast<std::uint32_t>(w.next_slot));
}

}  // namespace ornel::delaunay
