// Delaunay tetrahedralisation of a point cloud by incremental insertion.
//
// Points are inserted in a spatially coherent order (insertion_order.hpp),
// each located by a walk from the last tetrahedron created and inserted by
// Bowyer-Watson: the tetrahedra whose circumsphere contains the point (its
// cavity) are replaced by a cone from the point over the cavity's boundary.
// Ties are broken by symbolic perturbation (perturbed_predicates.hpp), so the
// result does not depend on the order of insertion, and large rounds are
// shared between threads (parallel_rounds.hpp). A point equal to an earlier
// one (smallest index first) is not inserted; it is recorded as a duplicate of
// that vertex (duplicates.hpp).
//
// Inside, a point is named by its place in the insertion order, and its
// coordinates are stored in that order: consecutive insertions, the
// vertices of nearby tetrahedra and the stars of the graph then read
// neighbouring memory whatever order the caller's points came in. The
// caller's indices come back where results leave (tetrahedra, graph rows,
// duplicates) and where a rule compares them (the perturbation).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "../buffer.hpp"
#include "../csr.hpp"
#include "../dispatch.hpp"
#include "../failure.hpp"
#include "cloud.hpp"
#include "duplicates.hpp"
#include "graph_extraction.hpp"
#include "insertion_order.hpp"
#include "mesh.hpp"
#include "perturbed_predicates.hpp"
#include "predicates.hpp"
#include "threads.hpp"

namespace ornel::delaunay {

// Bytes per tetrahedron and per vertex, typed so that writing one does not
// make the compiler read everything else again, as a character type would.
enum class Flag : std::uint8_t { none, inside, outside };
enum class LocalId : std::uint8_t { none = 0xFF };

// In a parallel pass each worker takes the tetrahedra it reads or changes,
// and any of them may look at any flag: there every access to a flag is
// atomic (on x86 the same plain loads and stores, and one locked exchange
// to take a tetrahedron). A taken flag holds the worker's mark shifted
// past the two bits of none, inside and outside.
inline Flag load_flag(const Flag* flag) {
    return static_cast<Flag>(__atomic_load_n(reinterpret_cast<const std::uint8_t*>(flag), __ATOMIC_RELAXED));
}
inline void store_flag(Flag* flag, Flag value) {
    __atomic_store_n(reinterpret_cast<std::uint8_t*>(flag), static_cast<std::uint8_t>(value), __ATOMIC_RELAXED);
}
// Lets a tetrahedron go: whoever takes it next sees what was written to it.
inline void release_flag(Flag* flag) {
    __atomic_store_n(reinterpret_cast<std::uint8_t*>(flag), std::uint8_t{0}, __ATOMIC_RELEASE);
}
// Takes a tetrahedron nobody holds, marking it `mark`; false when another
// worker holds it.
inline bool take_flag(Flag* flag, Flag mark) {
    std::uint8_t expected = 0;
    return __atomic_compare_exchange_n(reinterpret_cast<std::uint8_t*>(flag), &expected,
                                       static_cast<std::uint8_t>(mark), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

class Tetrahedralisation {
    static constexpr std::uint32_t local_capacity = 64;

    struct EdgeEntry {
        std::uint64_t key;
        std::uint32_t face;
    };

    // What one inserting thread owns: its predicates (they keep scratch
    // space), its free tetrahedra, its walk's state and the cavity's scratch.
    // A cache line to itself at either end: side by side in a vector, one
    // worker's writes (its count of local vertices, its random state) would
    // otherwise evict the line the next one reads its predicates from on
    // every test, which cost the bunny a third of its time on two threads.
    struct alignas(64) Worker {
        explicit Worker(Predicates p) : predicates(std::move(p)) {}
        Predicates predicates;
        std::uint32_t free_head = infinite_vertex;
        std::size_t free_count = 0;
        std::uint32_t last = 0;
        std::uint32_t random_state = 0x2545F491u;
        // In a parallel pass: the points whose cell, less `shift` (modulo
        // 2^32), lies in [low, high) are this worker's; it holds every
        // tetrahedron it reads or changes, marked `held` (or `inside`,
        // `outside` in a cavity's search), and always the one it starts
        // its next walk from, `last`. Fresh slots come from [next_slot,
        // end_slot). Alone, the marks are the plain ones.
        bool bounded = false;
        Flag held = Flag::none, inside_mark = Flag::inside, outside_mark = Flag::outside;
        std::uint32_t shift = 0;
        std::uint64_t low = 0, high = 0;
        std::size_t next_slot = 0, end_slot = 0;
        std::vector<std::uint32_t> deferred;
        std::vector<std::uint32_t> deferred_near;  // per point put off: a tetrahedron its walk got to
        std::vector<std::uint32_t> duplicates;     // pairs: point, the vertex it equals
        ScratchList cavity;
        ScratchList boundary;
        std::vector<EdgeEntry> edge_table;
        std::vector<std::uint32_t> used_slots;
        std::vector<std::uint32_t> edge_slots;  // local_capacity^2 faces by directed edge
        std::vector<std::uint32_t> made;        // the cone's tetrahedra and their vertices' local numbers
        std::vector<LocalId> local_id;          // per vertex (the infinite one last): its number on the boundary
    };

public:
    // `xyz`: three doubles per point plus one spare triple (read_points);
    // rescaled in place by a power of two when that keeps every predicate's
    // expansions exact. `threads`: how many threads may insert at once.
    Tetrahedralisation(Coordinates&& xyz, std::size_t n_points, std::size_t threads = 1)
        : xyz_(std::move(xyz)),
          n_points_(n_points),
          scaled_(scaling_of(xyz_, n_points)),
          predicates_(xyz_.data(), scaled_),
          threads_(std::max<std::size_t>(threads, 1)),
          duplicates_(n_points) {
        workers_.reserve(std::min(threads_, max_threads));  // references to the first must stay valid
        workers_.emplace_back(Predicates(xyz_.data(), scaled_));
    }

    // Inserts every point. Returns how far the cloud spans: anything but
    // `solid` means no tetrahedralisation was built.
    Shape build() {
        std::vector<std::uint32_t> order = make_order();
        const Shape shape = start(order);
        if (shape != Shape::solid) {
            restore_given_order();  // the flat cases read the coordinates as given
            return shape;
        }
        insert_all(order);
        return Shape::solid;
    }

    // For coplanar clouds: adds one point off their plane as index n_points
    // and builds the tetrahedralisation of both; the cone from it over the
    // planar points carries their two-dimensional Delaunay triangulation.
    void build_with_apex() {
        apex_ = static_cast<std::uint32_t>(n_points_);
        place_apex();
        // The apex lies off the cloud's box: the predicates' static bound must cover it.
        if (scaled_.scaled) scaled_.span = span_of(xyz_.data(), n_points_ + 1);
        predicates_.set_span(scaled_.span);
        workers_[0].predicates.set_span(scaled_.span);
        std::vector<std::uint32_t> order = make_order();
        // The apex first (it keeps its index, n, inside too): every start then
        // finds a solid tetrahedron.
        order.insert(order.begin(), apex_);
        if (start(order) != Shape::solid) fail(Failure::helper_point_not_lifting);
        insert_all(order);
    }

    // Finite tetrahedra as rows of four point indices.
    Buffer<std::uint64_t> simplices() const {
        std::size_t count = 0;
        for (const Tetrahedron& t : tets_) count += is_finite(t);
        Buffer<std::uint64_t> out(4 * count);
        std::size_t row = 0;
        for (const Tetrahedron& t : tets_) {
            if (!is_finite(t)) continue;
            for (int k = 0; k < 4; ++k) out[4 * row + k] = given_index_[t.vertex[k]];
            ++row;
        }
        return out;
    }

    // The vertex adjacency over all points (duplicates included, the apex
    // left out) as CSR rows in ascending order. Consumes the tetrahedra.
    CsrGraph graph() {
        // The coordinates and the insertion's scratch are no longer needed:
        // free them before the result is allocated (star_graph hands what is
        // freed back to the system before it allocates the rows).
        Coordinates().swap(xyz_);
        workers_.erase(workers_.begin() + 1, workers_.end());
        std::vector<LocalId>().swap(workers_[0].local_id);
        decltype(flags_)().swap(flags_);
        CsrGraph vertices = star_graph(tets_, n_points_, apex_, threads_, given_index_.data());
        std::vector<std::uint32_t>().swap(given_index_);
        if (duplicates_.empty()) return vertices;
        return duplicates_.spread(vertices.indptr, vertices.indices);
    }

    // The coordinates as the predicates see them (possibly scaled by a power
    // of two, which keeps equality and order), in the caller's order once a
    // build has found the cloud flat.
    const Coordinates& coordinates() const { return xyz_; }

private:
    static constexpr std::size_t points_per_thread = 512;  // in a round worth sharing
    // Left by a pass, and still worth another: a pass costs little more
    // than its insertions, and one thread alone would insert them all.
    static constexpr std::size_t points_left_per_thread = 128;
    static constexpr std::size_t slots_per_grab = 1024;
    // A fourth pass settled almost none of what three left (long
    // tetrahedra no cut separates), for the cost of starting the threads.
    static constexpr int max_passes = 3;
    static constexpr Flag inside = Flag::inside, outside = Flag::outside;
    static constexpr LocalId no_local_id = LocalId::none;

    const double* point(std::uint32_t v) const { return xyz_.data() + 3 * static_cast<std::size_t>(v); }

    // Scales the cloud (rescale_cloud) and notes its widest extent.
    static CloudScaling scaling_of(Coordinates& xyz, std::size_t n) {
        CloudScaling scaling;
        scaling.scaled = rescale_cloud(xyz, n);
        if (scaling.scaled) scaling.span = span_of(xyz.data(), n);
        return scaling;
    }

    // The largest extent of the first n points along an axis (rounding is
    // monotone, so it bounds every computed difference of two coordinates).
    static double span_of(const double* xyz, std::size_t n) {
        double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (std::size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k) {
                low[k] = std::min(low[k], xyz[3 * i + k]);
                high[k] = std::max(high[k], xyz[3 * i + k]);
            }
        double span = 0;
        for (int k = 0; k < 3; ++k)
            if (high[k] >= low[k]) span = std::max(span, high[k] - low[k]);
        return span;
    }

    bool same_point(std::uint32_t a, std::uint32_t b) const {
        const double *p = point(a), *q = point(b);
        return p[0] == q[0] && p[1] == q[1] && p[2] == q[2];
    }

    // The insertion order, in which the points are then renumbered: it
    // comes back as 0, 1, ..., n - 1. Notes where each round ends and, for
    // parallel rounds, each point's cell. The helper point, if any, keeps
    // its index n and is left to the caller to insert.
    std::vector<std::uint32_t> make_order() {
        const bool cells = threads_ > 1 && n_points_ >= points_per_thread * 2;
        InsertionOrder made = insertion_order(xyz_.data(), n_points_, cells, apex_ != infinite_vertex, threads_);
        round_ends_ = std::move(made.round_ends);
        cell_ = std::move(made.cell);  // by place in the order already
        if (cells) vertex_tet_.assign(n_points_ + 1, infinite_vertex);
        std::vector<std::uint32_t>& order = made.order;
        // Point i takes the place of point order[i]: gathered from a copy,
        // whose reads, unlike those along the permutation's cycles, do not
        // wait for one another, and can be shared between threads.
        {
            const Coordinates given(xyz_.begin(), xyz_.begin() + 3 * static_cast<std::ptrdiff_t>(n_points_));
            const std::size_t parts = parts_for(n_points_, threads_, 8192);
            on_threads(parts, [&](std::size_t part) {
                for (std::size_t i = n_points_ * part / parts, end = n_points_ * (part + 1) / parts; i < end; ++i)
                    std::memcpy(xyz_.data() + 3 * i, given.data() + 3 * std::size_t{order[i]}, 3 * sizeof(double));
            });
        }
        given_index_.resize(n_points_ + 1);
        std::copy_n(order.data(), n_points_, given_index_.data());  // no points: no pointer either
        given_index_[n_points_] = static_cast<std::uint32_t>(n_points_);
        for (std::size_t i = 0; i < n_points_; ++i) order[i] = static_cast<std::uint32_t>(i);
        return std::move(order);
    }

    // Puts the coordinates back in the caller's order.
    void restore_given_order() {
        const Coordinates stored(xyz_.begin(), xyz_.begin() + 3 * static_cast<std::ptrdiff_t>(n_points_));
        for (std::size_t i = 0; i < n_points_; ++i)
            std::memcpy(xyz_.data() + 3 * std::size_t{given_index_[i]}, stored.data() + 3 * i, 3 * sizeof(double));
        std::vector<std::uint32_t>().swap(given_index_);
    }

    // ---- tetrahedra --------------------------------------------------------

    // In a parallel pass, held by the worker (nobody else can reach it yet).
    std::uint32_t new_tetrahedron(Worker& w) {
        if (w.free_head != infinite_vertex) {
            const std::uint32_t t = w.free_head;
            w.free_head = tets_[t].neighbour[0];
            --w.free_count;
            if (w.bounded) store_flag(flags_.data() + t, w.held);
            return t;
        }
        if (w.bounded) {
            if (w.next_slot == w.end_slot) fail(Failure::reserved_tetrahedra_spent);
            store_flag(flags_.data() + w.next_slot, w.held);
            return static_cast<std::uint32_t>(w.next_slot++);
        }
        if (tets_.size() >= max_tetrahedra) fail(Failure::too_many_tetrahedra);
        if (tets_.size() == tets_.capacity()) {
            // Grow by a quarter, not double: the tetrahedra are most of the memory.
            const std::size_t capacity = tets_.capacity() + tets_.capacity() / 4 + 64;
            tets_.reserve(capacity);
            flags_.reserve(capacity);
        }
        tets_.push_back({});
        flags_.push_back(Flag::none);
        return static_cast<std::uint32_t>(tets_.size() - 1);
    }

    void free_tetrahedron(Worker& w, std::uint32_t t) {
        store_flag(flags_.data() + t, Flag::none);
        tets_[t].vertex[0] = freed_vertex;
        tets_[t].neighbour[0] = w.free_head;
        w.free_head = t;
        ++w.free_count;
    }

    // ---- location ----------------------------------------------------------

    static std::uint32_t random_bits(Worker& w) {
        w.random_state ^= w.random_state << 13;
        w.random_state ^= w.random_state >> 17;
        w.random_state ^= w.random_state << 5;
        return w.random_state;
    }

    // A tetrahedron whose closure holds p, or an infinite one that p sees.
    // The face to cross is tried from a random start, so that the walk
    // cannot cycle on degenerate configurations. `locking`: the walk holds
    // the tetrahedron it is in (t at first), taking the next before it lets
    // go of it; at one another worker holds it stops, and returns
    // infinite_vertex with w.last where it got to.
    template <bool wide, bool locking>
    std::uint32_t locate(Worker& w, std::uint32_t p, std::uint32_t t) {
        auto step = [&](std::uint32_t from, std::uint32_t to) {
            if constexpr (locking) {
                Flag* flag = flags_.data() + to;
                if (load_flag(flag) != Flag::none || !take_flag(flag, w.held)) return false;
                release_flag(flags_.data() + from);
            }
            return true;
        };
        unsigned entered = 0;                                     // the face just crossed, as a bit: p is not beyond it
        const std::size_t most_steps = 16 * tets_.size() + 1024;  // no tetrahedron is made while walking
        for (std::size_t steps = 0;; ++steps) {
            if (steps > most_steps) fail(Failure::location_not_terminating);
            const Tetrahedron& tet = tets_[t];
            if (is_infinite(tet)) {
                const int k = tet.vertex[0] == infinite_vertex ? 0 : 3;
                if (orient_replaced(w.predicates, tet, k, p) > 0) return t;
                if (!step(t, tet.neighbour[k] >> 2)) return w.last = t, infinite_vertex;
                entered = 1u << (tet.neighbour[k] & 3);
                t = tet.neighbour[k] >> 2;
                continue;
            }
            // The four faces' tests at once, and the few the floating-point
            // stage cannot decide exactly; without wide vectors, one by one.
            unsigned beyond = 0, unsure = 0xFu;
            if constexpr (wide) beyond = w.predicates.faces_beyond(tet.vertex, p, unsure);
            for (unsigned left = unsure & ~entered; left; left &= left - 1) {
                const int f = __builtin_ctz(left);
                if (orient_replaced(w.predicates, tet, f, p) < 0) beyond |= 1u << f;
            }
            beyond &= ~entered;
            if (beyond == 0) return t;
            // One of the faces p is beyond, from a random start, so that the
            // walk cannot cycle on degenerate configurations.
            const unsigned turn = random_bits(w) & 3;
            const unsigned rotated = (beyond >> turn | beyond << (4 - turn)) & 0xF;
            const int f = static_cast<int>((__builtin_ctz(rotated) + turn) & 3);
            if (!step(t, tet.neighbour[f] >> 2)) return w.last = t, infinite_vertex;
            entered = 1u << (tet.neighbour[f] & 3);
            t = tet.neighbour[f] >> 2;
        }
    }

    // ---- insertion ---------------------------------------------------------

    // Chooses four affinely independent points to start from; else says how
    // flat the cloud is.
    Shape start(std::vector<std::uint32_t>& order) {
        Worker& w = workers_[0];
        const std::size_t n = order.size();
        if (n == 0) return Shape::single;
        const std::uint32_t a = order[0];
        std::size_t ib = 1;
        while (ib < n && same_point(order[ib], a)) ++ib;
        if (ib == n) return Shape::single;
        const std::uint32_t b = order[ib];
        // Collinear exactly when every orientation with a fourth point vanishes
        // for four affinely independent fourth points.
        static constexpr double probes[4][3] = {{0, 0, 0}, {0.5, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}};
        std::size_t ic = ib + 1;
        for (; ic < n; ++ic) {
            bool collinear = true;
            for (const auto& probe : probes)
                if (w.predicates.orient3d_at(a, b, order[ic], probe) != 0) collinear = false;
            if (!collinear) break;
        }
        if (ic == n) return Shape::collinear;
        const std::uint32_t c = order[ic];
        std::size_t id = ic + 1;
        while (id < n && w.predicates.orient3d(a, b, c, order[id]) == 0) ++id;
        if (id == n) return Shape::coplanar;
        std::uint32_t d = order[id];
        std::uint32_t first[4] = {a, b, c, d};
        if (w.predicates.orient3d(a, b, c, d) < 0) std::swap(first[2], first[3]);

        const std::size_t estimate = 7 * n + 64;
        tets_.reserve(estimate);
        flags_.reserve(estimate);
        const std::uint32_t t = new_tetrahedron(w);
        for (int k = 0; k < 4; ++k) tets_[t].vertex[k] = first[k];
        // The four hull faces: a cone from the infinite vertex.
        w.cavity.clear();
        w.boundary.clear();
        for (std::uint32_t f = 0; f < 4; ++f) w.boundary.push_back(t * 4 + f);
        w.last = cone<false>(w, infinite_vertex);
        // Move the four to the front so that insert_all skips them, keeping the
        // others in order: equal points must still come smallest index first.
        std::stable_partition(order.begin(), order.end(),
                              [&](std::uint32_t v) { return v == a || v == b || v == c || v == d; });
        return Shape::solid;
    }

    // Rounds large enough to share go to the threads; the rest, and what
    // the threads leave, are inserted here in order.
    void insert_all(std::vector<std::uint32_t>& order) {
        Worker& w = workers_[0];
        std::size_t i = 4;
        for (std::size_t end : round_ends_) {
            if (end <= i) continue;
            if (threads_ > 1 && end - i >= points_per_thread * std::min(threads_, max_workers)) {
                insert_in_parallel(order, i, end);
            } else {
                for (; i < end; ++i) insert(w, order[i]);
            }
            i = end;
        }
        for (; i < order.size(); ++i) insert(w, order[i]);
        std::vector<std::uint32_t>().swap(order);
        std::vector<std::uint32_t>().swap(cell_);
        std::vector<std::uint32_t>().swap(vertex_tet_);
        workers_.erase(workers_.begin() + 1, workers_.end());
    }

    // False when the point is left for later: its walk or cavity reaches a
    // tetrahedron another worker holds, or the round's slots are spent.
    //
    // The insertion (walk, cavity, cone and the predicates' floating-point
    // stages) is one kernel compiled for the baseline and for AVX2, as the
    // search kernels are (dispatch.hpp): the same operations in the same
    // order, so the same signs; AVX2's three-operand forms need fewer
    // instructions. The exact stages stay out of line, compiled once.
    bool insert(Worker& w, std::uint32_t p) {
        const bool done = w.bounded ? insert_locking_(this, &w, p) : insert_alone_(this, &w, p);
        if (done && !vertex_tet_.empty()) vertex_tet_[p] = w.last;  // a start for the next round's points near p
        return done;
    }

    template <bool locking>
    struct InsertKernel {
        template <std::size_t vector_bytes>
        [[gnu::always_inline]] static bool run(Tetrahedralisation* self, Worker* w, std::uint32_t p) {
            return self->insert_point<vector_bytes == 32, locking>(*w, p);
        }
    };
    template <bool locking>
    using Insert = FlatDispatch<InsertKernel<locking>, bool, Tetrahedralisation*, Worker*, std::uint32_t>;

    // `wide`: the predicates' floating-point stages in vectors of four
    // doubles, which only AVX2 permutes cheaply. `locking`: in a parallel
    // pass (the worker's marks, atomic flags, every tetrahedron taken).
    template <bool wide, bool locking>
    bool insert_point(Worker& w, std::uint32_t p) {
        const std::uint32_t found = locate<wide, locking>(w, p, w.last);
        if (found == infinite_vertex) return false;
        const Tetrahedron& t = tets_[found];
        for (std::uint32_t v : t.vertex)
            if (v != infinite_vertex && same_point(v, p)) {
                if (w.bounded) {
                    w.duplicates.push_back(p);
                    w.duplicates.push_back(v);
                } else {
                    duplicates_.record(given_index_[p], given_index_[v]);
                }
                w.last = found;
                return true;
            }
        // Grow the cavity from the located tetrahedron across every face whose
        // neighbour is in conflict too; the other faces bound it.
        // (No tetrahedron is made or freed here: the arrays stay where they are.)
        const Tetrahedron* tets = tets_.data();
        Flag* flags = flags_.data();
        // The lists' sizes stay in registers: the predicates' calls out of
        // line would otherwise make the compiler read them again.
        std::size_t n_cavity = 1, n_boundary = 0;
        std::uint32_t* cavity = w.cavity.room(0, 4);
        std::uint32_t* boundary = w.boundary.room(0, 4);
        std::size_t cavity_room = w.cavity.capacity() - 4, boundary_room = w.boundary.capacity() - 4;
        const std::uint32_t* const given_index = given_index_.data();
        // The marks, and their reads and writes, as the pass needs them.
        const Flag in_mark = locking ? w.inside_mark : inside, out_mark = locking ? w.outside_mark : outside;
        auto flag_of = [flags](std::uint32_t t) {
            if constexpr (locking)
                return load_flag(flags + t);
            else
                return flags[t];
        };
        auto mark = [flags](std::uint32_t t, Flag value) {
            if constexpr (locking)
                store_flag(flags + t, value);
            else
                flags[t] = value;
        };
        cavity[0] = found;
        mark(found, in_mark);
        for (std::size_t c = 0; c < n_cavity; ++c) {
            if (n_cavity > cavity_room || n_boundary > boundary_room) [[unlikely]] {
                cavity = w.cavity.room(n_cavity, 4);
                boundary = w.boundary.room(n_boundary, 4);
                cavity_room = w.cavity.capacity() - 4;
                boundary_room = w.boundary.capacity() - 4;
            }
            const std::uint32_t* neighbour = tets[cavity[c]].neighbour;
            // The faces not shared with the cavity, found before any is
            // tested: which of the four they are follows no pattern, and a
            // branch on each mispredicted about once a tetrahedron. (Written
            // out: a loop of atomic reads is left a loop.)
            auto open_face = [&](int f) { return unsigned{flag_of(neighbour[f] >> 2) != in_mark}; };
            unsigned open = open_face(0) | open_face(1) << 1 | open_face(2) << 2 | open_face(3) << 3;
            for (; open; open &= open - 1) {
                const int f = __builtin_ctz(open);
                const std::uint32_t across = neighbour[f];
                const std::uint32_t other = across >> 2;
                const Flag flag = flag_of(other);
                if (flag == in_mark) [[unlikely]]
                    continue;  // two faces to one neighbour: only if broken
                if (flag != out_mark) {
                    if constexpr (locking) {
                        if (flag != Flag::none || !take_flag(flags + other, w.held)) {
                            w.cavity.set_size(n_cavity);
                            w.boundary.set_size(n_boundary);
                            return give_up<locking>(w);
                        }
                    }
                    if (in_conflict<wide>(w.predicates, tets, tets[other], p, given_index)) {
                        mark(other, in_mark);
                        cavity[n_cavity++] = other;
                        // Its neighbours are tested when the search reaches
                        // it; they are often cold (built long before, on the
                        // curve's far side), so their fetch starts now.
                        // (Their flags, 64 to a line, mostly share lines
                        // already fetched.)
                        for (const std::uint32_t next : tets[other].neighbour) __builtin_prefetch(tets + (next >> 2));
                        continue;
                    }
                    mark(other, out_mark);
                }
                boundary[n_boundary++] = across;
            }
        }
        w.cavity.set_size(n_cavity);
        w.boundary.set_size(n_boundary);
        // Each boundary face gets a new tetrahedron, in the cavity's slots
        // first (the cone takes them in turn) and fresh ones after.
        if (w.bounded &&
            !reserve_slots(w, w.boundary.size() > w.cavity.size() ? w.boundary.size() - w.cavity.size() : 0))
            return give_up<locking>(w);
        // The marks are cleared by the cone, which reads those tetrahedra anyway.
        w.last = cone<locking>(w, p);
        return true;
    }

    // Undoes the marks of a cavity that cannot be replaced; in a pass, lets
    // go of all its tetrahedra but the located one, the next walk's start.
    template <bool locking>
    bool give_up(Worker& w) {
        Flag* const flags = flags_.data();
        if constexpr (locking) {
            release_outer(w);
            for (std::size_t i = 1; i < w.cavity.size(); ++i) release_flag(flags + w.cavity[i]);
            store_flag(flags + w.cavity[0], w.held);
            w.last = w.cavity[0];
        } else {
            for (std::uint32_t c : w.cavity) flags[c] = Flag::none;
            for (std::uint32_t reference : w.boundary) flags[reference >> 2] = Flag::none;
        }
        return false;
    }

    // ---- the cone ------------------------------------------------------------

    // Replaces the region behind w.boundary (references to the faces of the
    // tetrahedra outside it) by tetrahedra joining each face to `apex`, and
    // links them, clearing the marks the cavity's search left on both sides
    // of the boundary. Returns one of them.
    //
    // Each new tetrahedron is (a, b, c, apex) over its boundary face (a, b, c),
    // positively oriented, so that the faces, seen from the apex, all turn the
    // same way: the face opposite a holds the directed edge b -> c, and the
    // new tetrahedron across it is the one whose face holds c -> b. The
    // boundary is a triangulated sphere, so F faces have F / 2 + 2 vertices:
    // small cavities number their vertices 0..63 and find the faces through a
    // 64 x 64 table of directed edges, filled in one pass over the new
    // tetrahedra and read in a second; large ones (degenerate clouds) pair
    // the faces through a hash table of edges.
    //
    // `locking`: the worker holds the cavity, the tetrahedra outside it and
    // every new one until the outer ones are all linked to the cone; then
    // it lets go of each new one, and of the outer one below it, as soon as
    // the new one is linked, all but the one it returns (its next start).
    template <bool locking>
    std::uint32_t cone(Worker& w, std::uint32_t apex) {
        if (w.boundary.size() > 2 * (local_capacity - 2)) return cone_hashed<locking>(w, apex);
        if (w.edge_slots.empty()) {
            w.edge_slots.assign(local_capacity * local_capacity, 0);
            w.local_id.assign(n_points_ + 2, no_local_id);
        }
        w.made.resize(2 * w.boundary.size());
        std::uint32_t* made = w.made.data();
        const std::uint32_t* reused = w.cavity.begin();
        const std::uint32_t* const reused_end = w.cavity.end();  // no new tetrahedron moves it
        // Kept in registers: the compiler would otherwise load them again
        // after every store through the tetrahedra's integers.
        std::uint32_t* const edge_slots = w.edge_slots.data();
        LocalId* const local_ids = w.local_id.data();
        std::uint32_t listed[local_capacity + 3];  // here, not in w: stores to it then alias nothing
        std::uint32_t count = 0;
        for (std::uint32_t reference : w.boundary) {
            std::uint32_t t;
            if (reused != reused_end) {
                t = *reused++;
                // Marked inside by the cavity's search.
                if constexpr (locking)
                    store_flag(flags_.data() + t, w.held);
                else
                    flags_[t] = Flag::none;
            } else {
                t = new_tetrahedron(w);
            }
            const VertexLanes v = make_over_lanes<locking>(reference, apex, t);
            const std::uint32_t a = local_number(local_ids, listed, count, v[0]),
                                b = local_number(local_ids, listed, count, v[1]),
                                c = local_number(local_ids, listed, count, v[2]);
            if (count > local_capacity) fail(Failure::cavity_boundary_not_sphere);
            edge_slots[b * local_capacity + c] = t * 4 + 0;
            edge_slots[c * local_capacity + a] = t * 4 + 1;
            edge_slots[a * local_capacity + b] = t * 4 + 2;
            *made++ = t;
            // Six bits each: the slots of edges c -> b and b -> a are then its
            // bits 6 to 17 and 0 to 11 as they stand.
            *made++ = a | b << 6 | c << 12;
        }
        for (std::uint32_t i = 0; i < count; ++i) local_ids[listed[i] + 1] = no_local_id;
        static_assert(local_capacity == 64);
        Tetrahedron* const tets = tets_.data();
        const std::uint32_t last = made[-2];
        for (const std::uint32_t* m = w.made.data(); m != made; m += 2) {
            std::uint32_t* neighbour = tets[m[0]].neighbour;
            const std::uint32_t ids = m[1];
            neighbour[0] = edge_slots[ids >> 6];                     // c -> b
            neighbour[1] = edge_slots[(ids & 63) << 6 | ids >> 12];  // a -> c
            neighbour[2] = edge_slots[ids & 0xFFF];                  // b -> a
            if constexpr (locking) {
                // Whole now, as is every outer tetrahedron (the first loop
                // linked them all): let go of both. A tetrahedron it leads
                // to that is still being linked is held.
                const std::uint32_t outer = neighbour[3];  // read while still held
                if (m[0] != last) release_flag(flags_.data() + m[0]);
                release_outer_face(w, outer);
            }
        }
        free_unused(w, reused);
        return last;
    }

    // Lets go of the tetrahedra outside a cavity given up (or replaced by the
    // hashed cone), each once (one may bound it more than once), while they
    // are still this worker's.
    void release_outer(Worker& w) {
        for (std::uint32_t reference : w.boundary) release_outer_face(w, reference);
    }

    // Lets go of the outer tetrahedron of boundary face `reference` unless
    // it is let go of already (it may bound several faces).
    void release_outer_face(const Worker& w, std::uint32_t reference) {
        Flag* flag = flags_.data() + (reference >> 2);
        if (load_flag(flag) == w.outside_mark) release_flag(flag);
    }

    // Makes slot `made` the tetrahedron (a, b, c, apex) over the boundary face
    // `reference` (outer tetrahedron * 4 + face), linked to the outer tetrahedron.
    // `locking`: the outer tetrahedron stays marked, held until the cone is
    // linked.
    template <bool locking>
    std::uint32_t make_over(std::uint32_t reference, std::uint32_t apex, std::uint32_t made) {
        // Positions of the outer tetrahedron's face opposite position f, in
        // the order that makes (a, b, c, apex) positively oriented.
        static constexpr std::uint8_t face_positions[4][3] = {{1, 2, 3}, {0, 3, 2}, {0, 1, 3}, {0, 2, 1}};
        const std::uint32_t f = reference & 3;
        Tetrahedron& t = tets_[made];
        Tetrahedron& outer = tets_[reference >> 2];
        if constexpr (!locking) flags_[reference >> 2] = Flag::none;  // marked outside by the cavity's search
        std::uint32_t a = outer.vertex[face_positions[f][0]], b = outer.vertex[face_positions[f][1]],
                      c = outer.vertex[face_positions[f][2]];
        // An even permutation keeps the orientation: the infinite vertex goes first.
        if (b == infinite_vertex) {
            std::swap(a, b);
            std::swap(b, c);
        } else if (c == infinite_vertex) {
            std::swap(a, c);
            std::swap(b, c);
        }
        t.vertex[0] = a;
        t.vertex[1] = b;
        t.vertex[2] = c;
        t.vertex[3] = apex;
        t.neighbour[3] = reference;
        outer.neighbour[f] = made * 4 + 3;
        return made;
    }

    using VertexLanes = Vector<std::uint32_t, 16>;

    // make_over with the outer tetrahedron's vertices permuted in one vector,
    // which also returns the new tetrahedron's vertices, still in a register.
    template <bool locking>
    VertexLanes make_over_lanes(std::uint32_t reference, std::uint32_t apex, std::uint32_t made) {
#if defined(__clang__)
        make_over<locking>(reference, apex, made);
        VertexLanes made_vertices;
        std::memcpy(&made_vertices, tets_[made].vertex, sizeof made_vertices);
        return made_vertices;
#else
        // make_over's face_positions, a lane each; the last is replaced by the apex.
        alignas(16) static constexpr std::uint32_t face_lanes[4][4] = {
            {1, 2, 3, 0}, {0, 3, 2, 0}, {0, 1, 3, 0}, {0, 2, 1, 0}};
        const std::uint32_t f = reference & 3;
        Tetrahedron& t = tets_[made];
        Tetrahedron& outer = tets_[reference >> 2];
        if constexpr (!locking) flags_[reference >> 2] = Flag::none;  // marked outside by the cavity's search
        VertexLanes around, positions;
        std::memcpy(&around, outer.vertex, sizeof around);
        std::memcpy(&positions, face_lanes[f], sizeof positions);
        VertexLanes face = __builtin_shuffle(around, positions);
        face[3] = apex;
        // The infinite vertex first, by an even permutation, as make_over.
        const VertexLanes all_ones = {infinite_vertex, infinite_vertex, infinite_vertex, infinite_vertex};
        const unsigned infinite = lane_bits<std::uint32_t>(face == all_ones);
        if (infinite & 6) [[unlikely]] {
            face = infinite & 2 ? __builtin_shuffle(face, VertexLanes{1, 2, 0, 3})
                                : __builtin_shuffle(face, VertexLanes{2, 0, 1, 3});
        }
        std::memcpy(t.vertex, &face, sizeof face);
        t.neighbour[3] = reference;
        outer.neighbour[f] = made * 4 + 3;
        return face;
#endif
    }

    // A slot for the cone's next tetrahedron: the cavity's own (`next`
    // walks w.cavity) while they last, which saves chaining them as free
    // and taking them back; then a fresh one.
    template <bool locking>
    std::uint32_t take_slot(Worker& w, const std::uint32_t*& next) {
        if (next != w.cavity.end()) {
            // Marked inside by the cavity's search.
            if constexpr (locking)
                store_flag(flags_.data() + *next, w.held);
            else
                flags_[*next] = Flag::none;
            return *next++;
        }
        return new_tetrahedron(w);
    }

    // Frees the cavity's slots the cone did not take.
    void free_unused(Worker& w, const std::uint32_t* next) {
        for (; next != w.cavity.end(); ++next) free_tetrahedron(w, *next);
    }

    // The number of vertex v on the current cavity's boundary, given on
    // first sight (and forgotten at the end of the cone): `id` per vertex,
    // shifted by one so that the infinite vertex takes slot 0; `listed`
    // holds the numbered vertices (room for local_capacity + 3), `count`
    // how many. Without a branch: whether a vertex is new follows no
    // pattern. A count past local_capacity is the caller's to refuse before
    // using the numbers.
    static std::uint32_t local_number(LocalId* id, std::uint32_t* listed, std::uint32_t& count, std::uint32_t v) {
        static_assert(static_cast<std::uint32_t>(no_local_id) == 0xFF && local_capacity + 3 < 0x80);
        const auto known = static_cast<std::uint32_t>(id[v + 1]);
        // Numbers given are below count, and none is 0xFF: the smaller is
        // the number, and only none has the top bit.
        const std::uint32_t number = std::min(known, count);
        listed[count] = v;
        id[v + 1] = static_cast<LocalId>(number);
        count += known >> 7;
        return number;
    }

    template <bool locking>
    std::uint32_t cone_hashed(Worker& w, std::uint32_t apex) {
        const std::size_t faces = w.boundary.size();
        std::size_t slots = 16;
        while (slots < 4 * faces) slots *= 2;
        if (w.edge_table.size() < slots) w.edge_table.assign(slots, {~std::uint64_t{0}, 0});
        const std::size_t mask = slots - 1;
        const int shift = 64 - __builtin_ctzll(slots);
        w.used_slots.clear();
        w.made.clear();
        std::uint32_t made = 0;
        const std::uint32_t* reused = w.cavity.begin();
        for (std::uint32_t reference : w.boundary) {
            made = make_over<locking>(reference, apex, take_slot<locking>(w, reused));
            if constexpr (locking) w.made.push_back(made);
            for (std::uint32_t g = 0; g < 3; ++g) {
                const std::uint32_t u = tets_[made].vertex[(g + 1) % 3], x = tets_[made].vertex[(g + 2) % 3];
                const std::uint64_t key = u < x ? std::uint64_t{u} << 32 | x : std::uint64_t{x} << 32 | u;
                std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
                while (true) {
                    auto& entry = w.edge_table[slot];
                    if (entry.key == ~std::uint64_t{0}) {
                        entry = {key, made * 4 + g};
                        w.used_slots.push_back(static_cast<std::uint32_t>(slot));
                        break;
                    }
                    if (entry.key == key) {
                        tets_[made].neighbour[g] = entry.face;
                        tets_[entry.face >> 2].neighbour[entry.face & 3] = made * 4 + g;
                        entry.key = ~std::uint64_t{1};  // matched; keeps probe chains intact
                        break;
                    }
                    slot = (slot + 1) & mask;
                }
            }
        }
        for (std::uint32_t slot : w.used_slots) w.edge_table[slot].key = ~std::uint64_t{0};
        free_unused(w, reused);
        if constexpr (locking) {
            for (std::uint32_t t : w.made)
                if (t != made) release_flag(flags_.data() + t);
            release_outer(w);
        }
        return made;
    }

    // ---- the helper point for coplanar clouds --------------------------------

    void place_apex() {
        // Any point off the plane will do; try a step along each axis from the
        // first point, towards the origin so that it stays in range.
        const std::vector<std::uint32_t> order = insertion_order(xyz_.data(), n_points_, false, false).order;
        std::uint32_t a = order[0], b = infinite_vertex, c = infinite_vertex;
        for (std::uint32_t v : order) {
            if (b == infinite_vertex) {
                if (!same_point(v, a)) b = v;
                continue;
            }
            static constexpr double probes[4][3] = {{0, 0, 0}, {0.5, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}};
            for (const auto& probe : probes)
                if (predicates_.orient3d_at(a, b, v, probe) != 0) c = v;
            if (c != infinite_vertex) break;
        }
        if (c == infinite_vertex) fail(Failure::no_triangle_to_lift);
        double* apex = xyz_.data() + 3 * n_points_;
        for (int axis = 0; axis < 3; ++axis)
            for (double step : {0.25, 1.0, 1e-3}) {
                for (int k = 0; k < 3; ++k) apex[k] = point(a)[k];
                const double width = std::max(std::fabs(apex[axis]), 1.0) * step;
                apex[axis] += apex[axis] > 0 ? -width : width;
                if (predicates_.orient3d(a, b, c, apex_) != 0) return;
            }
        fail(Failure::no_point_off_plane);
    }

    // ---- parallel rounds (parallel_rounds.hpp) --------------------------------

    void insert_in_parallel(const std::vector<std::uint32_t>& order, std::size_t begin, std::size_t end);
    void parallel_pass(std::vector<std::uint32_t>& points, std::vector<std::uint32_t>& near,
                       const std::vector<std::uint32_t>& sample, std::uint32_t shift);
    // The steps of a pass.
    void open_pool(std::size_t points, std::size_t parts);
    void mark_workers(std::size_t parts, const std::uint64_t* cut, std::uint32_t shift);
    std::vector<std::uint8_t> start_workers(const std::vector<std::uint32_t>& points,
                                            const std::vector<std::uint32_t>& near, std::size_t parts);
    void insert_own_points(Worker& w, const std::vector<std::uint32_t>& points);
    void close_pass(std::size_t parts, const std::vector<std::uint8_t>& started);
    // A worker's mark takes the six bits above a flag's own two.
    static constexpr std::size_t max_workers = 63;
    static bool own_point(const Worker& w, std::uint32_t cell) {
        // The place on the turned curve less `low`, wrapping below it: one comparison.
        return std::uint32_t{cell - w.shift - static_cast<std::uint32_t>(w.low)} < w.high - w.low;
    }
    bool reserve_slots(Worker& w, std::size_t count);
    void release_slots(Worker& w);

    Coordinates xyz_;
    std::size_t n_points_;
    CloudScaling scaled_;
    Predicates predicates_;
    std::size_t threads_;
    Tetrahedra tets_;
    // Per tetrahedron: in or beside the cavity being grown; zero between insertions.
    std::vector<Flag, HugePageAllocator<Flag>> flags_;
    std::uint32_t apex_ = infinite_vertex;
    // Per point as stored (the helper last): its index as the caller gave it.
    std::vector<std::uint32_t> given_index_;
    std::vector<Worker> workers_;  // the first one inserts alone, between and outside parallel rounds
    // Parallel rounds only: each point's place on the Hilbert curve, which
    // decides the worker owning it, and the slots of tets_ not yet handed
    // out to workers.
    std::vector<std::uint32_t> cell_;
    std::vector<std::size_t> round_ends_;
    // Parallel rounds only: per point inserted, a tetrahedron made with it
    // (maybe freed or made again since), where a later point near it on the
    // curve may start its walk.
    std::vector<std::uint32_t> vertex_tet_;
    std::mutex pool_mutex_;
    std::size_t pool_next_ = 0, pool_end_ = 0;
    Duplicates duplicates_;
    // Picked once per build: the insertion in a parallel pass, and alone.
    Insert<true>::Entry insert_locking_ = Insert<true>::pick();
    Insert<false>::Entry insert_alone_ = Insert<false>::pick();
};

}  // namespace ornel::delaunay

#include "parallel_rounds.hpp"
