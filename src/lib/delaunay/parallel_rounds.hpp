// Tetrahedralisation's parallel rounds: one round of the insertion order
// shared between threads, each inserting the points of its own range of the
// Hilbert curve.
//
// The curve is cut into one range of cells per thread, each holding as many
// of the round's points; a thread inserts its own points in order. Any
// tetrahedron it reads or changes it first takes, by one atomic exchange on
// the tetrahedron's flag (which then carries the thread's mark): a walk
// holds the tetrahedron it is in, a cavity's search every tetrahedron it
// tests, the cone every one it makes, until that one is linked. A
// thread that meets a tetrahedron another holds puts its point off, with
// every later point of its cell (so that equal points keep the smallest index
// first), lets go of all it took but its start and goes on; as the ranges are
// compact regions, that is rare (a few points in ten thousand), where
// requiring every vertex of a tetrahedron to lie in the thread's own range
// put off a fifth of a scan's points: a scan's tetrahedra span the inside of
// its surface, with vertices far apart on the curve. The points put off get
// another pass with the cuts moved along the curve, while a pass still
// settles a quarter of them (three passes at most); the calling thread
// inserts the last ones alone. With the perturbation the tetrahedralisation
// is unique, so the order does not change it.
#pragma once

#include "tetrahedralisation.hpp"

namespace ornel::delaunay {

inline void Tetrahedralisation::insert_in_parallel(const std::vector<std::uint32_t>& order, std::size_t begin,
                                                   std::size_t end) {
    const std::size_t parts = std::min<std::size_t>(threads_, max_workers);
    std::vector<std::uint32_t> pending(order.begin() + static_cast<std::ptrdiff_t>(begin),
                                       order.begin() + static_cast<std::ptrdiff_t>(end));
    // The cuts share out the round's points, not the ones left: those
    // crowd along the last pass's cuts, and cuts that shared them out would
    // fall there again. Each pass turns the curve by an irrational fraction,
    // so that the cuts never come back to the same places.
    std::vector<std::uint32_t> sample;
    const std::size_t step = std::max<std::size_t>(1, pending.size() / 4096);
    for (std::size_t i = 0; i < pending.size(); i += step) sample.push_back(cell_[pending[i]]);
    // Each point's start, should it be a worker's first: a tetrahedron made
    // with the point of the round before that precedes it on the curve.
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

namespace detail {
// Where the curve turned by `shift` is cut so that each of `parts` ranges
// holds as many of the cells in `sample`: cut[k] to cut[k + 1] is range k.
inline void cut_curve(const std::vector<std::uint32_t>& sample, std::uint32_t shift, std::size_t parts,
                      std::uint64_t* cut) {
    cut[0] = 0;
    cut[parts] = std::uint64_t{1} << 32;
    std::vector<std::uint32_t> places(sample);
    for (std::uint32_t& place : places) place -= shift;
    for (std::size_t k = 1; k < parts; ++k) {
        auto at = places.begin() + static_cast<std::ptrdiff_t>(places.size() * k / parts);
        std::nth_element(places.begin(), at, places.end());
        cut[k] = std::max<std::uint64_t>(cut[k - 1], *at);
    }
}
}  // namespace detail

// Inserts `points` (in curve order within each cell) on the threads, the
// curve turned by `shift` and cut where each range holds as many of the
// cells in `sample`, and leaves in `points` those put off, in their order
// within each cell.
// `near` (empty, or one per point): a tetrahedron near the point (made with
// one before it, or where an earlier pass got to), its worker's start when it
// is the first the worker inserts.
inline void Tetrahedralisation::parallel_pass(std::vector<std::uint32_t>& points, std::vector<std::uint32_t>& near,
                                              const std::vector<std::uint32_t>& sample, std::uint32_t shift) {
    const std::size_t parts = std::min<std::size_t>(threads_, max_workers);
    while (workers_.size() < parts) workers_.emplace_back(Predicates(xyz_.data(), scaled_));
    std::uint64_t cut[max_threads + 1];
    detail::cut_curve(sample, shift, parts, cut);
    open_pool(points.size(), parts);
    mark_workers(parts, cut, shift);
    std::vector<std::uint8_t> started = start_workers(points, near, parts);
    on_threads(parts, [&](std::size_t k) {
        if (started[k]) insert_own_points(workers_[k], points);
    });
    close_pass(parts, started);
    // Each cell belongs to one worker, so its points keep their order.
    points.clear();
    near.clear();
    for (std::size_t k = 0; k < parts; ++k) {
        points.insert(points.end(), workers_[k].deferred.begin(), workers_[k].deferred.end());
        near.insert(near.end(), workers_[k].deferred_near.begin(), workers_[k].deferred_near.end());
    }
}

// Fresh slots for a pass of `points` points on `parts` workers: the vector
// must not move while the threads run. Within the room reserved already
// while it holds most of what the points need: growing copies every
// tetrahedron and holds both copies.
inline void Tetrahedralisation::open_pool(std::size_t points, std::size_t parts) {
    std::size_t want = tets_.size() + 7 * points + slots_per_grab * parts;
    if (want > tets_.capacity() && tets_.capacity() - tets_.size() >= 5 * points + slots_per_grab * parts)
        want = tets_.capacity();
    if (want > tets_.capacity()) {
        tets_.reserve(std::max(want, tets_.capacity() + tets_.capacity() / 4));
        flags_.reserve(tets_.capacity());
    }
    pool_next_ = tets_.size();
    pool_end_ = std::min(want, max_tetrahedra);
    tets_.resize(pool_end_);
    flags_.resize(pool_end_, Flag::none);
}

// Each worker's marks and range of the curve for the pass.
inline void Tetrahedralisation::mark_workers(std::size_t parts, const std::uint64_t* cut, std::uint32_t shift) {
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        w.bounded = true;
        const auto owner = static_cast<std::uint8_t>((k + 1) << 2);
        w.held = static_cast<Flag>(owner);
        w.inside_mark = static_cast<Flag>(owner | static_cast<std::uint8_t>(Flag::inside));
        w.outside_mark = static_cast<Flag>(owner | static_cast<std::uint8_t>(Flag::outside));
        w.shift = shift;
        w.low = cut[k];
        w.high = cut[k + 1];
        w.deferred.clear();
        w.deferred_near.clear();
        w.duplicates.clear();
    }
}

// Each worker with points starts holding a tetrahedron near its first one:
// where an earlier walk got to, else its own or another worker's last one,
// else one of the newest. (Alone here: plain writes.) Returns which workers
// started.
inline std::vector<std::uint8_t> Tetrahedralisation::start_workers(const std::vector<std::uint32_t>& points,
                                                                   const std::vector<std::uint32_t>& near,
                                                                   std::size_t parts) {
    auto alive = [&](std::uint32_t t) { return t < pool_next_ && tets_[t].vertex[0] != freed_vertex; };
    std::vector<std::uint8_t> started(parts, 0);
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        std::uint32_t start = infinite_vertex;
        auto consider = [&](std::uint32_t t) {
            if (start == infinite_vertex && t != infinite_vertex && alive(t) && flags_[t] == Flag::none) start = t;
        };
        std::size_t first = 0;
        while (first < points.size() && !own_point(w, cell_[points[first]])) ++first;
        if (first == points.size()) continue;
        if (first < near.size()) consider(near[first]);
        consider(w.last);
        for (const Worker& other : workers_) consider(other.last);
        for (std::size_t t = pool_next_; start == infinite_vertex && t-- > 0;) consider(static_cast<std::uint32_t>(t));
        if (start == infinite_vertex) fail(Failure::reserved_tetrahedra_spent);  // fewer tetrahedra than workers: never
        w.last = start;
        flags_[start] = w.held;
        started[k] = 1;
    }
    return started;
}

// The worker's own points of `points`, in order; a point it cannot insert
// is put off, with every later point of its cell.
inline void Tetrahedralisation::insert_own_points(Worker& w, const std::vector<std::uint32_t>& points) {
    bool putting_off = false;
    std::uint32_t put_off_cell = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::uint32_t p = points[i], c = cell_[p];
        if (!own_point(w, c)) continue;
        if ((putting_off && c == put_off_cell) || !insert(w, p)) {
            w.deferred.push_back(p);
            w.deferred_near.push_back(w.last);
            putting_off = true;
            put_off_cell = c;
        }
    }
}

// Back to one thread after a pass: the workers let go of their starts,
// unused slots are freed, free lists joined, and the duplicates they met
// recorded.
inline void Tetrahedralisation::close_pass(std::size_t parts, const std::vector<std::uint8_t>& started) {
    // Each worker held its last tetrahedron to the end: none was freed.
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        if (started[k]) flags_[w.last] = Flag::none;
        w.held = Flag::none;
        w.inside_mark = Flag::inside;
        w.outside_mark = Flag::outside;
    }
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
        if (started[k]) main.last = workers_[k].last;  // alive: held to the end (a worker without points held none)
    for (std::size_t k = 0; k < parts; ++k) {
        const std::vector<std::uint32_t>& pairs = workers_[k].duplicates;
        for (std::size_t i = 0; i < pairs.size(); i += 2)
            duplicates_.record(given_index_[pairs[i]], given_index_[pairs[i + 1]]);
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
