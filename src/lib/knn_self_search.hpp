// The k nearest points of every point of a cloud among its own points, over
// its own graph, split over threads: the rows knn_search gives with the cloud
// as both query and target, bit for bit and in the same order among ties,
// whatever the number of threads.
//
// Why this takes care: knn_search answers the points along one walk of the
// graph (query_walk.hpp), each search starting at the nearest entry of the row
// answered before it, and equal distances keep their order of discovery, so a
// row depends on its seed and the seeds form a chain. In a self-join the chain
// can be told in advance: a point's nearest entry is a point at distance 0
// from it, the seed itself when the seed is one, else the first such point the
// search reaches, which on a Delaunay graph is the lowest-numbered copy of it
// (every neighbour of a repeated point lists all its copies, rows ascending).
// So (1) the walk runs alone with that prediction, recording each point's
// seed; (2) the searches run split over threads; (3) the walk runs again with
// the nearest entries actually found, and a point whose seed then differs (on
// a graph where the prediction fails) is searched again from its true seed.
// Step 3 makes the rows those of knn_search on any well-formed graph; the
// prediction only decides how little is searched twice.
//
// Cost: two walks, O(n + edges) on one thread, plus the searches, each as in
// knn_search. Memory: the rows, three n-entry arrays, and per thread one set
// of visit stamps and the search's working state.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "buffer.hpp"
#include "knn_search.hpp"
#include "operand.hpp"
#include "packed_point.hpp"
#include "parallel_loop.hpp"
#include "query_walk.hpp"

namespace ornel {

// Rows of k entries per point, row-major: distances (square roots, in S) and
// indices, a miss being (+inf, n).
template <class S>
struct KnnRows {
    Buffer<S> dists;
    Buffer<std::uint32_t> idx;
};

// Points per thread below which another thread costs more than it saves.
inline constexpr std::size_t min_self_knn_points_per_thread = 2048;

// `cloud` must be well formed (is_well_formed), so that rows are read unchecked.
template <class S>
KnnRows<S> knn_self_search(const GraphOperand<S>& cloud, std::uint64_t k, std::uint64_t ef, std::size_t threads) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    const std::size_t n = cloud.n_points;
    check_result_shape(n, k);
    KnnRows<S> rows{Buffer<S>(n * k, inf), Buffer<std::uint32_t>(n * k, static_cast<std::uint32_t>(n))};
    if (n == 0 || k == 0) return rows;  // no row is written, and nothing moves a seed
    check_reservation(ef);

    const PackedPoint<S>* const points = cloud.points;
    const std::uint32_t* const offsets = contiguous_entries(cloud.indptr);
    const std::uint32_t* const neighbours = contiguous_entries(cloud.indices);
    const auto search = KnnSearches<S, RowAccess::well_formed>::pick();

    // The nearest entry q's search will find from `seed` (see the top of the file).
    auto predicted = [&](std::uint32_t seed, std::uint32_t q) {
        const PackedPoint<S>& p = points[q];
        if (squared_distance(points[seed], p) == S(0)) return seed;
        std::uint32_t least = q;
        for (std::uint32_t i = offsets[q]; i < offsets[q + 1]; ++i) {
            const std::uint32_t v = neighbours[i];
            if (v < least && squared_distance(points[v], p) == S(0)) least = v;
        }
        return least;
    };
    Buffer<std::uint32_t> order(n), seeds(n), nearest(n);
    {
        QueryWalk walk(n);
        std::uint64_t running_seed = cloud.start;
        std::size_t at = 0;
        walk.run<DecreasingRows::read_as_empty>(cloud.indptr, cloud.indices, running_seed,
                                                [&](std::uint64_t seed, std::uint64_t q) -> std::uint64_t {
                                                    order[at++] = static_cast<std::uint32_t>(q);
                                                    seeds[q] = static_cast<std::uint32_t>(seed);
                                                    running_seed = predicted(seeds[q], static_cast<std::uint32_t>(q));
                                                    return running_seed;
                                                });
    }

    auto answer = [&](BestFirstSearch<S>& searcher, std::uint32_t seed, std::uint32_t q) {
        search(searcher, seed, points[q]);
        const ResultList<S>& list = searcher.list();
        const std::size_t filled = static_cast<std::size_t>(std::min<std::uint64_t>(list.size(), k));
        S* dists = rows.dists.data() + std::size_t{q} * k;
        std::uint32_t* idx = rows.idx.data() + std::size_t{q} * k;
        for (std::size_t j = 0; j < filled; ++j) {
            dists[j] = std::sqrt(list[j].squared_distance);
            idx[j] = list[j].vertex;
        }
        nearest[q] = list[0].vertex;
    };

    // Working states are made here, so that a failure to allocate one is
    // reported by this thread; a part's other failures after all have joined.
    const std::size_t parts = parts_for_items(n, threads, min_self_knn_points_per_thread);
    std::vector<std::unique_ptr<BestFirstSearch<S>>> searchers;
    searchers.reserve(parts);
    for (std::size_t part = 0; part < parts; ++part)
        searchers.push_back(std::make_unique<BestFirstSearch<S>>(cloud, ef));
    on_threads(parts, [&](std::size_t part) {
        for (std::size_t i = n * part / parts; i < n * (part + 1) / parts; ++i)
            answer(*searchers[part], seeds[order[i]], order[i]);
    });

    QueryWalk walk(n);
    std::uint64_t running_seed = cloud.start;
    walk.run<DecreasingRows::read_as_empty>(cloud.indptr, cloud.indices, running_seed,
                                            [&](std::uint64_t seed, std::uint64_t q) -> std::uint64_t {
                                                if (seed != seeds[q]) {
                                                    seeds[q] = static_cast<std::uint32_t>(seed);
                                                    answer(*searchers[0], seeds[q], static_cast<std::uint32_t>(q));
                                                }
                                                running_seed = nearest[q];
                                                return running_seed;
                                            });
    return rows;
}

}  // namespace ornel
