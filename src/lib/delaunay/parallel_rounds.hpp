// Tetrahedralisation's parallel rounds: one round of the insertion order
// shared between threads, each owning a range of the Morton curve.
//
// The curve is cut into one range of cells per thread, each holding as many
// of the round's points; a thread inserts its own points in order and
// touches only tetrahedra whose finite vertices are all its own (owned) and
// their neighbours. Those sets never meet: a tetrahedron next to an owned one
// has a face of owned vertices, at least two of them finite, and two faces of
// one tetrahedron share a finite vertex. So no two threads read or write the
// same tetrahedron while they run. A point whose walk or cavity would leave
// the owned tetrahedra is put off, with every later point of its cell (so
// that equal points keep the smallest index first), and inserted by the
// calling thread once the threads have stopped. With the perturbation the
// tetrahedralisation is unique, so the order does not change it.
#pragma once

#include "tetrahedralisation.hpp"

namespace ornel::delaunay {

inline void Tetrahedralisation::insert_in_parallel(const std::vector<std::uint32_t>& order, std::size_t begin,
                                                   std::size_t end) {
    const std::size_t parts = std::min<std::size_t>(threads_, max_threads);
    while (workers_.size() < parts) workers_.emplace_back(Predicates(xyz_.data(), scaled_));
    std::uint64_t cut[max_threads + 1];
    cut[0] = 0;
    cut[parts] = std::uint64_t{1} << 32;
    for (std::size_t k = 1; k < parts; ++k)
        cut[k] = std::max<std::uint64_t>(cut[k - 1], cell_[order[begin + (end - begin) * k / parts]]);
    // Fresh slots for the round: the vector must not move while the threads run.
    const std::size_t want = tets_.size() + 7 * (end - begin) + slots_per_grab * parts;
    if (want > tets_.capacity()) {
        tets_.reserve(std::max(want, tets_.capacity() + tets_.capacity() / 4));
        flags_.reserve(tets_.capacity());
    }
    pool_next_ = tets_.size();
    pool_end_ = std::min(want, max_tetrahedra);
    tets_.resize(pool_end_);
    flags_.resize(pool_end_, 0);
    for (std::size_t k = 0; k < parts; ++k) {
        Worker& w = workers_[k];
        w.bounded = true;
        w.low = cut[k];
        w.high = cut[k + 1];
        w.deferred.clear();
        w.duplicates.clear();
    }
    // Each thread starts its walks in a tetrahedron it owns: one of the
    // threads' last ones, or else one of the newest.
    std::vector<bool> started(parts, false);
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
        bool putting_off = false;
        std::uint32_t put_off_cell = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint32_t p = order[i];
            const std::uint32_t c = cell_[p];
            if (c < w.low || c >= w.high) continue;
            if (!started[k] || (putting_off && c == put_off_cell) || !insert(w, p)) {
                w.deferred.push_back(p);
                putting_off = true;
                put_off_cell = c;
            }
        }
    });
    // Back to one thread: unused slots freed, free lists joined, the put-off points inserted.
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
        for (std::size_t i = 0; i < pairs.size(); i += 2) duplicates_.record(pairs[i], pairs[i + 1]);
    }
    for (std::size_t k = 0; k < parts; ++k)
        for (std::uint32_t p : workers_[k].deferred) insert(main, p);
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
