// Delaunay tetrahedralisation of a point cloud by incremental insertion.
//
// Points are inserted in a spatially coherent order (rounds of growing size,
// each sorted along a Morton curve), each located by a walk from the last
// tetrahedron created and inserted by Bowyer-Watson: the tetrahedra whose
// circumsphere contains the point (its cavity) are replaced by a cone from the
// point over the cavity's boundary. The hull is closed by one infinite vertex,
// so every tetrahedron has four neighbours.
//
// Degenerate input (four or more points on a sphere, coplanar points on the
// hull) is resolved by symbolic perturbation: the lifted coordinate of the
// point with index i is raised by eps^(n - i) for an infinitesimal eps, so a
// zero insphere determinant is decided by orientation signs, and the result is
// the Delaunay tetrahedralisation of the perturbed points, which is a Delaunay
// tetrahedralisation of the points as given. The infinite vertex acts as a
// point beyond the hull with the smallest perturbation of all.
//
// A point equal to an earlier one (smallest index first) is not inserted; it
// is recorded as a duplicate of that vertex.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "../buffer.hpp"
#include "../failure.hpp"
#include "../morton.hpp"
#include "../packed_point.hpp"
#include "predicates.hpp"

namespace ornel::delaunay {

// Input that has no answer (non-finite coordinates, a flat cloud where a
// tetrahedralisation is asked for): the caller reports it as a ValueError.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t infinite_vertex = 0xFFFFFFFFu;
inline constexpr std::uint32_t freed_vertex = 0xFFFFFFFEu;
// Neighbour references pack tetrahedron * 4 + face into 32 bits.
inline constexpr std::size_t max_tetrahedra = std::size_t{1} << 30;

struct Tetrahedron {
    std::uint32_t vertex[4];     // positively oriented; the infinite vertex counts as beyond the hull
    std::uint32_t neighbour[4];  // across the face opposite vertex[k]: tetrahedron * 4 + its face
};

enum class Shape { solid, coplanar, collinear, single };

struct CsrGraph {
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> indices;
};

// Reads the first three columns of `points`, converted to double exactly.
// Refuses fewer than three columns, non-finite coordinates and more points
// than 32-bit indices name.
template <class S>
std::vector<double> read_points(const PointsView<S>& points) {
    if (points.rows > std::size_t{0xFFFFFFFFu})
        throw InputError("too many points: " + std::to_string(points.rows) + " (at most 4294967295)");
    if (points.rows > 0 && points.columns < 3)
        throw InputError("points must have at least 3 columns, got " + std::to_string(points.columns));
    std::vector<double> xyz(3 * points.rows + 3);  // one spare slot for a helper point
    for (std::size_t i = 0; i < points.rows; ++i)
        for (std::size_t k = 0; k < 3; ++k) {
            const double value = static_cast<double>(points.at(i, k));
            if (!std::isfinite(value))
                throw InputError("point " + std::to_string(i) + " has a non-finite coordinate (" +
                                 (std::isnan(value) ? "nan" : "inf") + ")");
            xyz[3 * i + k] = value + 0.0;  // -0.0 becomes 0.0, so equal points hash alike
        }
    return xyz;
}

class Tetrahedralisation {
    static constexpr std::uint32_t local_capacity = 64;

    struct EdgeEntry {
        std::uint64_t key;
        std::uint32_t face;
    };

    // What one inserting thread owns: its predicates (they keep scratch
    // space), its free tetrahedra, its walk's state and the cavity's scratch.
    struct Worker {
        explicit Worker(Predicates p) : predicates(std::move(p)) {}
        Predicates predicates;
        std::uint32_t free_head = infinite_vertex;
        std::size_t free_count = 0;
        std::uint32_t last = 0;
        std::uint32_t random_state = 0x2545F491u;
        // In a parallel round: the points whose cell lies in [low, high) are
        // this worker's; it touches only tetrahedra whose finite vertices are
        // all its own, and their neighbours. Fresh slots come from [next_slot, end_slot).
        bool bounded = false;
        std::uint64_t low = 0, high = 0;
        std::size_t next_slot = 0, end_slot = 0;
        std::vector<std::uint32_t> deferred;
        std::vector<std::uint32_t> duplicates;  // pairs: point, the vertex it equals
        std::vector<std::uint32_t> cavity;
        std::vector<std::uint32_t> boundary;
        std::vector<EdgeEntry> edge_table;
        std::vector<std::uint32_t> used_slots;
        std::vector<std::uint32_t> edge_slots;  // local_capacity^2 faces by directed edge
        std::vector<std::uint32_t> made;        // the cone's tetrahedra and their vertices' local numbers
        std::vector<std::uint8_t> local_id;     // per vertex (the infinite one last): its number on the boundary
        std::uint32_t local_vertex[local_capacity];
        std::uint32_t local_count = 0;
    };

public:
    // `xyz`: three doubles per point plus one spare triple; rescaled in place
    // by a power of two when that keeps every predicate's expansions exact.
    // `threads`: how many threads may insert at once.
    Tetrahedralisation(std::vector<double>&& xyz, std::size_t n_points, std::size_t threads = 1)
        : xyz_(std::move(xyz)), n_points_(n_points), predicates_(nullptr, false), threads_(std::max<std::size_t>(threads, 1)) {
        scaled_ = rescale_to_safe_range();
        predicates_ = Predicates(xyz_.data(), scaled_);
        workers_.reserve(std::min(threads_, max_threads));  // references to the first must stay valid
        workers_.emplace_back(Predicates(xyz_.data(), scaled_));
    }

    // Inserts every point. Returns how far the cloud spans: anything but
    // `solid` means no tetrahedralisation was built.
    Shape build() {
        std::vector<std::uint32_t> order = insertion_order();
        const Shape shape = start(order);
        if (shape != Shape::solid) return shape;
        insert_all(order);
        return Shape::solid;
    }

    // For coplanar clouds: adds one point off their plane as index n_points
    // and builds the tetrahedralisation of both; the cone from it over the
    // planar points carries their two-dimensional Delaunay triangulation.
    void build_with_apex() {
        apex_ = static_cast<std::uint32_t>(n_points_);
        place_apex();
        std::vector<std::uint32_t> order = insertion_order();
        order.insert(order.begin(), apex_);  // the apex first: every start then finds a solid tetrahedron
        if (start(order) != Shape::solid) fail("delaunay: helper point did not lift the plane");
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
            for (int k = 0; k < 4; ++k) out[4 * row + k] = t.vertex[k];
            ++row;
        }
        return out;
    }

    // The vertex adjacency over all points (duplicates included, the apex
    // left out) as CSR rows in ascending order. Consumes the tetrahedra.
    //
    // Every row's length is known before any star is searched: the link of a
    // vertex (the faces opposite it in its F tetrahedra, the infinite ones
    // included) is a triangulated sphere, which has F / 2 + 2 vertices, one
    // of them the infinite vertex when the vertex is on the hull, and one the
    // apex when there is one. So the rows are written in place, in the
    // result, with no second copy of the adjacency.
    CsrGraph graph() {
        const std::size_t n = n_points_;
        // The coordinates are no longer needed: free them before the result is allocated.
        std::vector<double>().swap(xyz_);
        std::vector<std::uint8_t>().swap(workers_[0].local_id);
        Buffer<std::uint32_t> indptr(n + 1, 0);
        std::vector<std::uint32_t> incident(n, infinite_vertex);
        constexpr std::uint32_t on_hull = 1u << 31, beside_apex = 1u << 30;
        for (std::size_t t = 0; t < tets_.size(); ++t) {
            const std::uint32_t* v = tets_[t].vertex;
            if (v[0] == freed_vertex) continue;
            std::uint32_t links = std::max(v[0], v[3]) == infinite_vertex ? on_hull : 0;
            if (apex_ != infinite_vertex)
                for (int k = 0; k < 4; ++k) links |= v[k] == apex_ ? beside_apex : 0;
            for (int k = 0; k < 4; ++k)
                if (v[k] < n) {
                    indptr[v[k]] = (indptr[v[k]] + 1) | links;
                    incident[v[k]] = static_cast<std::uint32_t>(t);
                }
        }
        std::size_t total = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t links = indptr[i], count = links & ~(on_hull | beside_apex);
            indptr[i] = static_cast<std::uint32_t>(total);
            if (count == 0) continue;  // a duplicate
            if (count & 1) fail("delaunay: a vertex link is not a sphere");
            total += count / 2 + 2 - ((links & on_hull) != 0) - ((links & beside_apex) != 0);
            if (total > 0xFFFFFFFFu) fail("delaunay_graph: more than 2^32 - 1 adjacency entries");
        }
        indptr[n] = static_cast<std::uint32_t>(total);
        Buffer<std::uint32_t> indices(total);
        // Stars in the order of the tetrahedra, which is about the order of
        // insertion: consecutive stars share tetrahedra in cache. Each vertex
        // is taken at its incident tetrahedron, the last one holding it, so
        // with the tetrahedra cut into one range per thread every row is
        // written by one thread, which reads the tetrahedra only.
        const std::size_t parts = threads_ > 1 && n >= 4 * points_per_thread ? std::min(threads_, max_threads) : 1;
        while (workers_.size() < parts) workers_.emplace_back(Predicates(xyz_.data(), scaled_));
        // Cut where a sample of the incident tetrahedra says each range holds
        // as many vertices: with reused slots they crowd the later indices.
        std::size_t cut[max_threads + 1] = {0};
        cut[parts] = tets_.size();
        if (parts > 1) {
            std::vector<std::uint32_t> sample;
            for (std::size_t v = 0; v < n; v += 16)
                if (incident[v] != infinite_vertex) sample.push_back(incident[v]);
            for (std::size_t k = 1; k < parts; ++k) {
                auto at = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() * k / parts);
                std::nth_element(sample.begin(), at, sample.end());
                cut[k] = sample.empty() ? 0 : std::max<std::size_t>(cut[k - 1], *at);
            }
        }
        on_threads(parts, [&](std::size_t k) {
            Worker& w = workers_[k];
            std::vector<std::uint32_t> mark(n, 0);
            // The first thread marks its stars in flags_ (zero after the insertion), the others in their own.
            std::vector<std::uint8_t> own_flags(k > 0 ? tets_.size() : 0, 0);
            std::uint8_t* visited = k > 0 ? own_flags.data() : flags_.data();
            const std::size_t begin = cut[k], end = cut[k + 1];
            for (std::size_t t = begin; t < end; ++t)
                for (std::uint32_t v : tets_[t].vertex) {
                    if (v >= n || incident[v] != t) continue;  // the infinite vertex, the apex, or later
                    std::uint32_t* row = indices.data() + indptr[v];
                    const std::size_t degree = indptr[v + 1] - indptr[v];
                    if (collect_star(w, v, static_cast<std::uint32_t>(t), mark, visited, row, degree) != degree)
                        fail("delaunay: a vertex has another degree than its link says");
                    sort_row(row, row + degree);
                }
        });
        workers_.erase(workers_.begin() + 1, workers_.end());
        std::vector<Tetrahedron>().swap(tets_);
        std::vector<std::uint8_t>().swap(flags_);
        std::vector<std::uint32_t>().swap(incident);
        if (representative_.empty()) return {std::move(indptr), std::move(indices)};
        return with_duplicates(indptr, indices);
    }

    // The graph over all points from the graph over the vertices: every
    // point of a group of equal points lists the others and every member of
    // the groups its representative lists.
    CsrGraph with_duplicates(const Buffer<std::uint32_t>& indptr, const Buffer<std::uint32_t>& indices) const {
        const std::size_t n = n_points_;
        const Groups groups = make_groups();
        CsrGraph out{Buffer<std::uint32_t>(n + 1), {}};
        std::size_t total = 0;
        out.indptr[0] = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t r = groups.representative(i);
            std::size_t row = groups.size(r) - 1;
            for (std::uint32_t k = indptr[r]; k < indptr[r + 1]; ++k) row += groups.size(indices[k]);
            total += row;
            if (total > 0xFFFFFFFFu) fail("delaunay_graph: more than 2^32 - 1 adjacency entries");
            out.indptr[i + 1] = static_cast<std::uint32_t>(total);
        }
        out.indices = Buffer<std::uint32_t>(total);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t r = groups.representative(i);
            std::uint32_t* row = out.indices.data() + out.indptr[i];
            std::uint32_t* end = row;
            for (std::uint32_t m = r; m != infinite_vertex; m = groups.next(m))
                if (m != i) *end++ = m;
            for (std::uint32_t k = indptr[r]; k < indptr[r + 1]; ++k)
                for (std::uint32_t m = indices[k]; m != infinite_vertex; m = groups.next(m)) *end++ = m;
            std::sort(row, end);
        }
        return out;
    }

    // Insertion sort: rows are short (about 15 on average).
    static void sort_row(std::uint32_t* begin, std::uint32_t* end) {
        for (std::uint32_t* i = begin + 1; i < end; ++i) {
            const std::uint32_t value = *i;
            std::uint32_t* j = i;
            for (; j > begin && j[-1] > value; --j) *j = j[-1];
            *j = value;
        }
    }

    std::size_t duplicate_count() const { return duplicates_; }

    // The coordinates as the predicates see them (possibly scaled by a power
    // of two, which keeps equality and order).
    const std::vector<double>& coordinates() const { return xyz_; }

private:
    // ---- coordinates -------------------------------------------------------

    // Scales every coordinate by one power of two so that the largest
    // magnitude is below 1; true when the smallest nonzero one then stays in
    // the range where expansions are exact. Otherwise leaves them as given.
    bool rescale_to_safe_range() {
        double largest = 0, smallest = INFINITY;
        for (std::size_t i = 0; i < 3 * n_points_; ++i) {
            const double m = std::fabs(xyz_[i]);
            largest = std::max(largest, m);
            if (m != 0) smallest = std::min(smallest, m);
        }
        if (largest == 0) return true;
        int top, bottom;
        std::frexp(largest, &top);
        std::frexp(smallest, &bottom);
        if (bottom - top < smallest_safe_exponent) return false;
        for (std::size_t i = 0; i < 3 * n_points_; ++i) xyz_[i] = std::ldexp(xyz_[i], -top);
        return true;
    }

    const double* point(std::uint32_t v) const { return xyz_.data() + 3 * static_cast<std::size_t>(v); }

    bool same_point(std::uint32_t a, std::uint32_t b) const {
        const double *p = point(a), *q = point(b);
        return p[0] == q[0] && p[1] == q[1] && p[2] == q[2];
    }

    // ---- insertion order ---------------------------------------------------

    static std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }

    // Biased randomised insertion order: each point falls in a round by a hash
    // of its coordinates (half of them in the last round, a quarter in the one
    // before, ...), and each round runs along a Morton curve. Equal points get
    // equal keys, so the one with the smallest index comes first. Notes
    // where each round ends and, for parallel rounds, each point's cell.
    std::vector<std::uint32_t> insertion_order() {
        const std::size_t n = n_points_;
        double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (std::size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k) {
                low[k] = std::min(low[k], xyz_[3 * i + k]);
                high[k] = std::max(high[k], xyz_[3 * i + k]);
            }
        double scale[3];
        for (int k = 0; k < 3; ++k) {
            // Halves keep the extent finite for coordinates near the largest double.
            const double extent = high[k] * 0.5 - low[k] * 0.5;
            scale[k] = extent > 0 ? 1048575.0 / extent : 0.0;
        }
        int rounds = 1;
        while (rounds < 12 && (n >> (rounds + 7)) > 0) ++rounds;
        // The Morton key of src/lib/morton.hpp on 20 bits per axis rather than
        // 21, so that the round fits above it in the same 64-bit key.
        auto cell_of = [&](std::size_t i) {
            std::uint64_t cell = 0;
            for (int k = 0; k < 3; ++k) {
                const double q = std::min(std::max((xyz_[3 * i + k] * 0.5 - low[k] * 0.5) * scale[k], 0.0), 1048575.0);
                cell |= spread_bits_21(static_cast<std::uint64_t>(q)) << k;
            }
            return cell;
        };
        std::vector<std::uint64_t> keys(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t cell = cell_of(i);
            std::uint64_t hash = 0x9E3779B97F4A7C15ull;
            for (int k = 0; k < 3; ++k) {
                const double x = xyz_[3 * i + k];
                std::uint64_t bits;
                std::memcpy(&bits, &x, sizeof bits);
                hash = mix(hash ^ bits);
            }
            const int level = std::min(__builtin_ctzll(hash | (std::uint64_t{1} << 40)), rounds - 1);
            const std::uint64_t round = static_cast<std::uint64_t>(rounds - 1 - level);
            keys[i] = round << 60 | cell;
        }
        // Least significant digit first, 16 bits at a time: each pass is
        // stable, so equal keys keep the order of their indices.
        std::vector<std::uint32_t> order(n), order_scratch(n);
        std::vector<std::uint64_t> keys_scratch(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::vector<std::uint32_t> count(65536);
        for (int shift = 0; shift < 64; shift += 16) {
            std::fill(count.begin(), count.end(), 0);
            for (std::size_t i = 0; i < n; ++i) ++count[keys[i] >> shift & 0xFFFF];
            if (n == 0 || count[keys[0] >> shift & 0xFFFF] == n) continue;  // one digit: nothing to move
            std::uint32_t sum = 0;
            for (std::uint32_t& c : count) sum += std::exchange(c, sum);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t to = count[keys[i] >> shift & 0xFFFF]++;
                keys_scratch[to] = keys[i];
                order_scratch[to] = order[i];
            }
            keys.swap(keys_scratch);
            order.swap(order_scratch);
        }
        round_ends_.clear();
        for (std::size_t i = 1; i <= n; ++i)
            if (i == n || keys[i] >> 60 != keys[i - 1] >> 60) round_ends_.push_back(i);
        if (threads_ > 1 && n >= points_per_thread * 2) {
            // The top 32 of the cell's 60 bits; the apex, if any, after the points.
            cell_.assign(n + 1, 0);
            for (std::size_t i = 0; i < n; ++i) cell_[order[i]] = static_cast<std::uint32_t>(keys[i] >> 28);
            if (apex_ != infinite_vertex) cell_[n] = static_cast<std::uint32_t>(cell_of(n) >> 28);
        }
        return order;
    }

    // ---- tetrahedra --------------------------------------------------------

    static bool is_finite(const Tetrahedron& t) {
        return t.vertex[0] < freed_vertex && t.vertex[1] != infinite_vertex && t.vertex[2] != infinite_vertex &&
               t.vertex[3] != infinite_vertex;
    }


    std::uint32_t new_tetrahedron(Worker& w) {
        if (w.free_head != infinite_vertex) {
            const std::uint32_t t = w.free_head;
            w.free_head = tets_[t].neighbour[0];
            --w.free_count;
            return t;
        }
        if (w.bounded) {
            if (w.next_slot == w.end_slot) fail("delaunay: a thread ran out of reserved tetrahedra");
            return static_cast<std::uint32_t>(w.next_slot++);
        }
        if (tets_.size() >= max_tetrahedra) fail("delaunay: more tetrahedra than 32-bit references allow");
        if (tets_.size() == tets_.capacity()) {
            // Grow by a quarter, not double: the tetrahedra are most of the memory.
            const std::size_t capacity = tets_.capacity() + tets_.capacity() / 4 + 64;
            tets_.reserve(capacity);
            flags_.reserve(capacity);
        }
        tets_.push_back({});
        flags_.push_back(0);
        return static_cast<std::uint32_t>(tets_.size() - 1);
    }

    void free_tetrahedron(Worker& w, std::uint32_t t) {
        flags_[t] = 0;
        tets_[t].vertex[0] = freed_vertex;
        tets_[t].neighbour[0] = w.free_head;
        w.free_head = t;
        ++w.free_count;
    }

    // ---- predicates with the infinite vertex and perturbation --------------

    // Orientation of t with its vertex at `position` replaced by point p.
    // The face opposite `position`, ordered so that the orientation of the
    // face and p is that of t with p in place of the vertex.
    int orient_replaced(Worker& w, const Tetrahedron& t, int position, std::uint32_t p) {
        static constexpr std::uint8_t face[4][3] = {{1, 3, 2}, {0, 2, 3}, {0, 3, 1}, {0, 1, 2}};
        const std::uint8_t* k = face[position];
        return w.predicates.orient3d(t.vertex[k[0]], t.vertex[k[1]], t.vertex[k[2]], p);
    }

    // Sign of the perturbed insphere of the five rows, decided by the
    // orientation cofactors in order of decreasing perturbation. `virtual_row`
    // (or -1) is a point beyond the plane of the other finite rows, opposite
    // to `mirror`: orientations through it are those through `mirror`, negated.
    int perturbed_insphere(Worker& w, const std::uint32_t* rows, int virtual_row, std::uint32_t mirror) {
        int by_rank[5] = {0, 1, 2, 3, 4};
        std::sort(by_rank, by_rank + 5, [&](int a, int b) {
            if (a == virtual_row) return false;  // the virtual row has the smallest perturbation
            if (b == virtual_row) return true;
            return rows[a] > rows[b];
        });
        for (int r = 0; r < 5; ++r) {
            const int i = by_rank[r];
            if (i == virtual_row) break;
            std::uint32_t rest[4];
            int negate = 1;
            for (int j = 0, k = 0; j < 5; ++j) {
                if (j == i) continue;
                if (j == virtual_row) {
                    rest[k++] = mirror;
                    negate = -1;
                } else {
                    rest[k++] = rows[j];
                }
            }
            const int o = negate * w.predicates.orient3d(rest[0], rest[1], rest[2], rest[3]);
            // The lifted determinant gains eps^rank * (-1)^i * o; insphere is minus its sign.
            if (o != 0) return (i & 1) ? o : -o;
        }
        return -1;  // unreachable for distinct points: treat as outside
    }

    bool in_conflict(Worker& w, const Tetrahedron& t, std::uint32_t p) {
        // The infinite vertex is the largest index, and first or last (make_over puts it there).
        if (std::max(t.vertex[0], t.vertex[3]) != infinite_vertex) {
            const int s = w.predicates.insphere(t.vertex[0], t.vertex[1], t.vertex[2], t.vertex[3], p);
            if (s != 0) return s > 0;
            const std::uint32_t rows[5] = {t.vertex[0], t.vertex[1], t.vertex[2], t.vertex[3], p};
            return perturbed_insphere(w, rows, -1, 0) > 0;
        }
        const int k = t.vertex[0] == infinite_vertex ? 0 : 3;
        const int o = orient_replaced(w, t, k, p);
        if (o != 0) return o > 0;
        // On the plane of a hull face: its circumcircle, cut by the sphere of
        // the solid neighbour, decides.
        const std::uint32_t reference = t.neighbour[k];
        const Tetrahedron& solid = tets_[reference >> 2];
        const int s = w.predicates.insphere(solid.vertex[0], solid.vertex[1], solid.vertex[2], solid.vertex[3], p);
        if (s != 0) return s > 0;
        const std::uint32_t mirror = solid.vertex[reference & 3];
        std::uint32_t rows[5] = {t.vertex[0], t.vertex[1], t.vertex[2], t.vertex[3], p};
        rows[k] = infinite_vertex;
        return perturbed_insphere(w, rows, k, mirror) > 0;
    }

    // ---- location ----------------------------------------------------------

    static std::uint32_t random_bits(Worker& w) {
        w.random_state ^= w.random_state << 13;
        w.random_state ^= w.random_state >> 17;
        w.random_state ^= w.random_state << 5;
        return w.random_state;
    }

    // A tetrahedron whose closure holds p, or an infinite one that p sees;
    // infinite_vertex when the walk would leave the worker's own. The face to cross is tried from a random start, so that the walk
    // cannot cycle on degenerate configurations.
    std::uint32_t locate(Worker& w, std::uint32_t p, std::uint32_t t) {
        std::uint32_t previous = infinite_vertex;
        for (std::size_t steps = 0;; ++steps) {
            if (steps > 16 * tets_.size() + 1024) fail("delaunay: point location did not terminate");
            const Tetrahedron& tet = tets_[t];
            if (std::max(tet.vertex[0], tet.vertex[3]) == infinite_vertex) {
                const int k = tet.vertex[0] == infinite_vertex ? 0 : 3;
                if (orient_replaced(w, tet, k, p) > 0) return t;
                previous = t;
                t = tet.neighbour[k] >> 2;
                if (!owns(w, t)) return infinite_vertex;
                continue;
            }
            const std::uint32_t first = random_bits(w);
            bool moved = false;
            for (std::uint32_t j = 0; j < 4; ++j) {
                const int f = static_cast<int>((first + j) & 3);
                const std::uint32_t next = tet.neighbour[f] >> 2;
                if (next == previous) continue;  // p is not beyond the face just crossed
                if (orient_replaced(w, tet, f, p) < 0) {
                    if (!owns(w, next)) return infinite_vertex;
                    previous = t;
                    t = next;
                    moved = true;
                    break;
                }
            }
            if (!moved) return t;
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
        w.boundary.clear();
        for (std::uint32_t f = 0; f < 4; ++f) w.boundary.push_back(t * 4 + f);
        w.last = cone(w, infinite_vertex);
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
            if (threads_ > 1 && end - i >= points_per_thread * std::min(threads_, max_threads)) {
                insert_in_parallel(order, i, end);
            } else {
                for (; i < end; ++i) insert(w, order[i]);
            }
            i = end;
        }
        for (; i < order.size(); ++i) insert(w, order[i]);
        std::vector<std::uint32_t>().swap(order);
        std::vector<std::uint32_t>().swap(cell_);
        workers_.erase(workers_.begin() + 1, workers_.end());
    }

    static constexpr std::size_t points_per_thread = 512;
    static constexpr std::size_t max_threads = 64;
    static constexpr std::size_t slots_per_grab = 1024;

    // Inserts order[begin, end) on threads_ threads. The curve is cut into
    // one range of cells per thread, each holding as many of the points; a
    // thread inserts its own points in order and touches only tetrahedra
    // whose finite vertices are all its own (owned) and their neighbours.
    // Those sets never meet: a tetrahedron next to an owned one has a face
    // of owned vertices, at least two of them finite, and two faces of one
    // tetrahedron share a finite vertex. So no two threads read or write the
    // same tetrahedron while they run. A point whose walk or cavity would
    // leave the owned tetrahedra is put off, with every later point of its
    // cell (so that equal points keep the smallest index first), and
    // inserted here once the threads have stopped. With the perturbation the
    // tetrahedralisation is unique, so the order does not change it.
    void insert_in_parallel(const std::vector<std::uint32_t>& order, std::size_t begin, std::size_t end) {
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
            for (std::size_t i = 0; i < pairs.size(); i += 2) record_duplicate(pairs[i], pairs[i + 1]);
        }
        for (std::size_t k = 0; k < parts; ++k)
            for (std::uint32_t p : workers_[k].deferred) insert(main, p);
    }

    // Runs job(0) .. job(parts - 1) at once, job(0) on the calling thread;
    // the first exception any of them throws is thrown here once all are done.
    // A thread that cannot be had leaves its job to the calling thread, after
    // the others: each job only needs to run alone, not side by side.
    template <class Job>
    static void on_threads(std::size_t parts, Job&& job) {
        std::vector<std::exception_ptr> errors(parts);
        auto guarded = [&](std::size_t k) {
            try {
                job(k);
            } catch (...) {
                errors[k] = std::current_exception();
            }
        };
        std::vector<std::thread> running;
        running.reserve(parts);
        std::size_t k = 1;
        try {
            for (; k < parts; ++k) running.emplace_back(guarded, k);
        } catch (const std::system_error&) {
        }
        guarded(0);
        for (std::thread& thread : running) thread.join();
        for (; k < parts; ++k) guarded(k);
        for (const std::exception_ptr& error : errors)
            if (error) std::rethrow_exception(error);
    }

    bool owns(const Worker& w, std::uint32_t t) const {
        if (!w.bounded) return true;
        for (std::uint32_t v : tets_[t].vertex)
            if (v != infinite_vertex && (cell_[v] < w.low || cell_[v] >= w.high)) return false;
        return true;
    }

    // Room for `count` new tetrahedra beyond the worker's free ones, from
    // the round's pool; false when it is spent.
    bool reserve_slots(Worker& w, std::size_t count) {
        if (w.free_count + (w.end_slot - w.next_slot) >= count) return true;
        release_slots(w);
        const std::size_t take = std::max(count, slots_per_grab);
        std::lock_guard<std::mutex> lock(pool_mutex_);
        if (pool_end_ - pool_next_ < take) return false;
        w.next_slot = pool_next_;
        w.end_slot = pool_next_ += take;
        return true;
    }

    void release_slots(Worker& w) {
        for (; w.next_slot < w.end_slot; ++w.next_slot) free_tetrahedron(w, static_cast<std::uint32_t>(w.next_slot));
    }

    // False when the point is left for later: its walk or cavity reaches a
    // tetrahedron the worker does not own, or the round's slots are spent.
    bool insert(Worker& w, std::uint32_t p) {
        const std::uint32_t found = locate(w, p, w.last);
        if (found == infinite_vertex) return false;
        const Tetrahedron& t = tets_[found];
        for (std::uint32_t v : t.vertex)
            if (v != infinite_vertex && same_point(v, p)) {
                if (w.bounded) {
                    w.duplicates.push_back(p);
                    w.duplicates.push_back(v);
                } else {
                    record_duplicate(p, v);
                }
                w.last = found;
                return true;
            }
        // Grow the cavity from the located tetrahedron across every face whose
        // neighbour is in conflict too; the other faces bound it.
        // (No tetrahedron is made or freed here: the arrays stay where they are.)
        const Tetrahedron* tets = tets_.data();
        std::uint8_t* flags = flags_.data();
        w.cavity.clear();
        w.boundary.clear();
        w.cavity.push_back(found);
        flags[found] = inside;
        for (std::size_t c = 0; c < w.cavity.size(); ++c) {
            const std::uint32_t* neighbour = tets[w.cavity[c]].neighbour;
            for (int f = 0; f < 4; ++f) {
                const std::uint32_t across = neighbour[f];
                const std::uint32_t other = across >> 2;
                const std::uint8_t flag = flags[other];
                if (flag == inside) continue;
                if (flag != outside) {
                    if (in_conflict(w, tets[other], p)) {
                        if (!owns(w, other)) return give_up(w);
                        flags[other] = inside;
                        w.cavity.push_back(other);
                        continue;
                    }
                    flags[other] = outside;
                }
                w.boundary.push_back(across);
            }
        }
        // Each boundary face gets a new tetrahedron; the cavity's are freed first.
        if (w.bounded && !reserve_slots(w, w.boundary.size() > w.cavity.size() ? w.boundary.size() - w.cavity.size() : 0))
            return give_up(w);
        for (std::uint32_t c : w.cavity) free_tetrahedron(w, c);
        for (std::uint32_t reference : w.boundary) flags[reference >> 2] = 0;
        w.last = cone(w, p);
        return true;
    }

    // Undoes the marks of a cavity that cannot be replaced.
    bool give_up(Worker& w) {
        for (std::uint32_t c : w.cavity) flags_[c] = 0;
        for (std::uint32_t reference : w.boundary) flags_[reference >> 2] = 0;
        return false;
    }

    // Replaces the region behind w.boundary (references to the faces of the
    // tetrahedra outside it) by tetrahedra joining each face to `apex`, and
    // links them. Returns one of them.
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
    std::uint32_t cone(Worker& w, std::uint32_t apex) {
        if (w.boundary.size() > 2 * (local_capacity - 2)) return cone_hashed(w, apex);
        if (w.edge_slots.empty()) {
            w.edge_slots.assign(local_capacity * local_capacity, 0);
            w.local_id.assign(n_points_ + 2, no_local_id);
        }
        w.local_count = 0;
        w.made.resize(2 * w.boundary.size());
        std::uint32_t* made = w.made.data();
        for (std::uint32_t reference : w.boundary) {
            const std::uint32_t t = make_over(w, reference, apex);
            const std::uint32_t* v = tets_[t].vertex;
            const std::uint32_t a = local_id(w, v[0]), b = local_id(w, v[1]), c = local_id(w, v[2]);
            w.edge_slots[b * local_capacity + c] = t * 4 + 0;
            w.edge_slots[c * local_capacity + a] = t * 4 + 1;
            w.edge_slots[a * local_capacity + b] = t * 4 + 2;
            *made++ = t;
            *made++ = a | b << 8 | c << 16;
        }
        for (std::uint32_t i = 0; i < w.local_count; ++i) w.local_id[w.local_vertex[i] + 1] = no_local_id;
        for (std::size_t i = 0; i < w.made.size(); i += 2) {
            std::uint32_t* neighbour = tets_[w.made[i]].neighbour;
            const std::uint32_t ids = w.made[i + 1];
            const std::uint32_t a = ids & 0xFF, b = ids >> 8 & 0xFF, c = ids >> 16;
            neighbour[0] = w.edge_slots[c * local_capacity + b];
            neighbour[1] = w.edge_slots[a * local_capacity + c];
            neighbour[2] = w.edge_slots[b * local_capacity + a];
        }
        return w.made[w.made.size() - 2];
    }

    // A new tetrahedron (a, b, c, apex) over the boundary face `reference`
    // (outer tetrahedron * 4 + face), linked to the outer tetrahedron.
    std::uint32_t make_over(Worker& w, std::uint32_t reference, std::uint32_t apex) {
        // Positions of the outer tetrahedron's face opposite position f, in
        // the order that makes (a, b, c, apex) positively oriented.
        static constexpr std::uint8_t face_positions[4][3] = {{1, 2, 3}, {0, 3, 2}, {0, 1, 3}, {0, 2, 1}};
        const std::uint32_t made = new_tetrahedron(w);
        const std::uint32_t f = reference & 3;
        Tetrahedron& t = tets_[made];
        Tetrahedron& outer = tets_[reference >> 2];
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

    static constexpr std::uint8_t no_local_id = 0xFF;

    // The number of vertex v on the current cavity's boundary, given on first
    // sight (and forgotten at the end of the cone). Slots are shifted by one,
    // so that the infinite vertex takes slot 0.
    static std::uint32_t local_id(Worker& w, std::uint32_t v) {
        const std::uint32_t slot = v + 1;
        const std::uint32_t id = w.local_id[slot];
        if (id != no_local_id) return id;
        if (w.local_count == local_capacity) fail("delaunay: cavity boundary is not a sphere");
        w.local_vertex[w.local_count] = v;
        w.local_id[slot] = static_cast<std::uint8_t>(w.local_count);
        return w.local_count++;
    }

    std::uint32_t cone_hashed(Worker& w, std::uint32_t apex) {
        const std::size_t faces = w.boundary.size();
        std::size_t slots = 16;
        while (slots < 4 * faces) slots *= 2;
        if (w.edge_table.size() < slots) w.edge_table.assign(slots, {~std::uint64_t{0}, 0});
        const std::size_t mask = slots - 1;
        const int shift = 64 - __builtin_ctzll(slots);
        w.used_slots.clear();
        std::uint32_t made = 0;
        for (std::uint32_t reference : w.boundary) {
            made = make_over(w, reference, apex);
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
        return made;
    }

    // ---- duplicates --------------------------------------------------------

    void record_duplicate(std::uint32_t p, std::uint32_t vertex) {
        if (representative_.empty()) {
            representative_.resize(n_points_ + 1);
            for (std::size_t i = 0; i <= n_points_; ++i) representative_[i] = static_cast<std::uint32_t>(i);
        }
        representative_[p] = vertex;
        ++duplicates_;
    }

    // Points grouped by equal coordinates; each group's first point is its
    // representative, the vertex of the tetrahedralisation.
    struct Groups {
        std::vector<std::uint32_t> representative_of;  // empty: no duplicates
        std::vector<std::uint32_t> next_member;        // ascending chains, ended by infinite_vertex
        std::vector<std::uint32_t> members;

        std::uint32_t representative(std::uint32_t i) const {
            return representative_of.empty() ? i : representative_of[i];
        }
        std::uint32_t next(std::uint32_t i) const {
            return next_member.empty() ? infinite_vertex : next_member[i];
        }
        std::size_t size(std::uint32_t r) const { return members.empty() ? 1 : members[r]; }
    };

    Groups make_groups() const {
        Groups groups;
        if (representative_.empty()) return groups;
        const std::size_t n = n_points_;
        groups.representative_of.assign(representative_.begin(), representative_.begin() + static_cast<std::ptrdiff_t>(n));
        groups.next_member.assign(n, infinite_vertex);
        groups.members.assign(n, 0);
        std::vector<std::uint32_t> tail(n, infinite_vertex);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t r = groups.representative_of[i];
            // Chains start at their representative: it must be the smallest index.
            if (r > i || groups.representative_of[r] != r) fail("delaunay: duplicate recorded out of order");
            ++groups.members[r];
            if (tail[r] != infinite_vertex) groups.next_member[tail[r]] = i;
            tail[r] = i;
        }
        return groups;
    }

    // The vertices sharing a tetrahedron with v (not v, the infinite vertex
    // or the apex), found by a search over the tetrahedra around v, to
    // `out`, which has room for as many as v's link says: the search stops
    // when it is full. Returns how many it found.
    [[gnu::flatten]] std::size_t collect_star(Worker& w, std::uint32_t v, std::uint32_t first, std::vector<std::uint32_t>& mark,
                             std::uint8_t* visited, std::uint32_t* out, std::size_t room) {
        const std::size_t n = n_points_;
        const std::uint32_t seen = v + 1;
        std::size_t found = 0;
        w.cavity.clear();
        w.cavity.push_back(first);
        visited[first] = 1;
        for (std::size_t c = 0; c < w.cavity.size(); ++c) {
            const Tetrahedron& t = tets_[w.cavity[c]];
            for (int k = 0; k < 4; ++k) {
                const std::uint32_t u = t.vertex[k];
                if (u == v) continue;
                if (u < n && mark[u] != seen) {  // not the infinite vertex or the apex
                    mark[u] = seen;
                    out[found] = u;
                    if (++found == room) goto done;  // every neighbour found
                }
                const std::uint32_t other = t.neighbour[k] >> 2;  // shares v: the face opposite u holds it
                if (!visited[other]) {
                    visited[other] = 1;
                    w.cavity.push_back(other);
                }
            }
        }
    done:
        for (std::uint32_t c : w.cavity) visited[c] = 0;
        return found;
    }

    // ---- the helper point for coplanar clouds --------------------------------

    void place_apex() {
        // Any point off the plane will do; try a step along each axis from the
        // first point, towards the origin so that it stays in range.
        const std::vector<std::uint32_t> order = insertion_order();
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
        if (c == infinite_vertex) fail("delaunay: no triangle to lift");
        double* apex = xyz_.data() + 3 * n_points_;
        for (int axis = 0; axis < 3; ++axis)
            for (double step : {0.25, 1.0, 1e-3}) {
                for (int k = 0; k < 3; ++k) apex[k] = point(a)[k];
                const double width = std::max(std::fabs(apex[axis]), 1.0) * step;
                apex[axis] += apex[axis] > 0 ? -width : width;
                if (predicates_.orient3d(a, b, c, apex_) != 0) return;
            }
        fail("delaunay: no point off the plane found");
    }

    std::vector<double> xyz_;
    std::size_t n_points_;
    Predicates predicates_;
    std::vector<Tetrahedron> tets_;
    // Per tetrahedron: in or beside the cavity being grown, or in the star
    // being searched; zero between insertions and between stars.
    std::vector<std::uint8_t> flags_;
    static constexpr std::uint8_t inside = 1, outside = 2;
    std::uint32_t apex_ = infinite_vertex;
    bool scaled_ = false;
    std::size_t threads_ = 1;
    std::vector<Worker> workers_;  // the first one inserts alone, between and outside parallel rounds
    // Parallel rounds only: each point's place on the Morton curve (its top 32
    // bits), which decides the worker owning it, and the slots of tets_ not
    // yet handed out to workers.
    std::vector<std::uint32_t> cell_;
    std::vector<std::size_t> round_ends_;
    std::mutex pool_mutex_;
    std::size_t pool_next_ = 0, pool_end_ = 0;
    std::vector<std::uint32_t> representative_;
    std::size_t duplicates_ = 0;
};

}  // namespace ornel::delaunay
