// The tetrahedraliser's threads under ThreadSanitizer (ci/tsan.sh): builds
// clouds that make parallel insertions collide (dense duplicates, a thin
// quantised shell, a plane, far-off coordinates) on several thread counts
// and fails unless every graph and set of tetrahedra equals the
// one-thread build; and runs a build's thread team through quick
// successions of runs, failing parts and parts that share out work again.
// The sanitizer reports any data race on the way.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "lib/delaunay/delaunay.hpp"

namespace {

using Cloud = std::vector<double>;

ornel::PointsView<double> view_of(const Cloud& xyz) {
    return {reinterpret_cast<const char*>(xyz.data()), xyz.size() / 3, 3, 24, 8};
}

// Each row of four turned to start at its smallest index (orientation kept
// by an even turn), rows sorted: the set, whatever order the build made.
std::vector<std::uint64_t> canonical(const ornel::Buffer<std::uint64_t>& tets) {
    std::vector<std::array<std::uint64_t, 4>> rows(tets.size() / 4);
    static constexpr int even[12][4] = {{0, 1, 2, 3}, {0, 2, 3, 1}, {0, 3, 1, 2}, {1, 0, 3, 2},
                                        {1, 2, 0, 3}, {1, 3, 2, 0}, {2, 0, 1, 3}, {2, 1, 3, 0},
                                        {2, 3, 0, 1}, {3, 0, 2, 1}, {3, 1, 0, 2}, {3, 2, 1, 0}};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::array<std::uint64_t, 4> best{~0ull, 0, 0, 0};
        for (const auto& p : even) {
            std::array<std::uint64_t, 4> turned{tets[4 * r + p[0]], tets[4 * r + p[1]], tets[4 * r + p[2]],
                                                tets[4 * r + p[3]]};
            best = std::min(best, turned);
        }
        rows[r] = best;
    }
    std::sort(rows.begin(), rows.end());
    std::vector<std::uint64_t> flat;
    for (const auto& row : rows) flat.insert(flat.end(), row.begin(), row.end());
    return flat;
}

bool same_graph(const ornel::CsrGraph& a, const ornel::CsrGraph& b) {
    return a.indptr.size() == b.indptr.size() && a.indices.size() == b.indices.size() &&
           std::equal(a.indptr.data(), a.indptr.data() + a.indptr.size(), b.indptr.data()) &&
           std::equal(a.indices.data(), a.indices.data() + a.indices.size(), b.indices.data());
}

// 0 when `run` throws a runtime_error saying `expected` (the lowest failing
// part's, whichever failed first), else 1, said.
template <class Run>
int expect_failure(const char* who, const std::string& expected, Run run) {
    try {
        run();
        std::printf("%s: failing parts went unreported\n", who);
    } catch (const std::runtime_error& error) {
        if (error.what() == expected) return 0;
        std::printf("%s: %s arrived, not %s\n", who, error.what(), expected.c_str());
    }
    return 1;
}

// Every part of every run done exactly once, by the time run returns; a
// part's exception thrown by run, the team still serving after it; a part
// that shares out work itself gets threads of its own.
int check_team() {
    int failures = 0;
    ornel::ThreadTeam team(4);
    const ornel::TeamScope scope(&team);
    std::vector<int> hits(8);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t parts = 2 + round % 5;
        std::fill(hits.begin(), hits.end(), 0);
        ornel::on_threads(parts, [&](std::size_t k) { ++hits[k]; });
        for (std::size_t k = 0; k < hits.size(); ++k)
            if (hits[k] != (k < parts ? 1 : 0)) {
                std::printf("team: run %d, part %zu done %d times\n", round, k, hits[k]);
                return 1;
            }
    }
    try {
        ornel::on_threads(4, [&](std::size_t k) {
            if (k == 3) throw std::runtime_error("part 3");
        });
        std::printf("team: a failing part went unreported\n");
        ++failures;
    } catch (const std::runtime_error& error) {
        if (std::string(error.what()) != "part 3") ++failures;
    }
    std::vector<int> inner(16);
    ornel::on_threads(4, [&](std::size_t k) { ornel::on_threads(4, [&](std::size_t j) { ++inner[4 * k + j]; }); });
    if (std::count(inner.begin(), inner.end(), 1) != 16) {
        std::printf("team: nested parts went missing\n");
        ++failures;
    }
    // More parts than the team has threads: threads started for them instead.
    std::vector<int> many(9);
    ornel::on_threads(9, [&](std::size_t k) { ++many[k]; });
    if (std::count(many.begin(), many.end(), 1) != 9) {
        std::printf("team: parts beyond the team went missing\n");
        ++failures;
    }
    // Several parts failing: the lowest one's exception arrives, whichever failed first.
    failures += expect_failure("team", "part 1", [] {
        ornel::on_threads(4, [&](std::size_t k) {
            if (k == 1 || k == 2) throw std::runtime_error("part " + std::to_string(k));
        });
    });
    std::printf("team: 3000 runs, failing parts, nested parts and parts beyond the team checked\n");
    return failures;
}

// Ranges split over threads: every item in exactly one range; as many ranges
// as threads, but no more than max_threads nor than the items at `min_items`
// a range (rounded up) allow, and at least one; their sizes within one of
// each other. Several ranges failing, the lowest one's exception arrives.
int check_split() {
    int failures = 0;
    for (std::size_t count : {0, 1, 7, 100, 4095, 4096, 50000})
        for (std::size_t threads : {1, 2, 3, 8, 100})
            for (std::size_t min_items : {0, 1, 64, 4096}) {
                std::mutex mutex;
                std::vector<std::pair<std::size_t, std::size_t>> ranges;
                ornel::split_over_threads(count, threads, min_items, [&](std::size_t first, std::size_t last) {
                    const std::lock_guard<std::mutex> lock(mutex);
                    ranges.emplace_back(first, last);
                });
                std::sort(ranges.begin(), ranges.end());
                bool tiled = !ranges.empty() && ranges.front().first == 0 && ranges.back().second == count;
                std::size_t least = count, most = 0;
                for (std::size_t r = 0; r < ranges.size(); ++r) {
                    if (r > 0 && ranges[r].first != ranges[r - 1].second) tiled = false;
                    least = std::min(least, ranges[r].second - ranges[r].first);
                    most = std::max(most, ranges[r].second - ranges[r].first);
                }
                const std::size_t per = std::max<std::size_t>(min_items, 1);
                const std::size_t expected =
                    std::max<std::size_t>(1, std::min({threads, ornel::max_threads, (count + per - 1) / per}));
                if (!tiled || ranges.size() != expected || most - least > 1) {
                    std::printf("split: %zu items on %zu threads, %zu a range: %zu ranges of %zu to %zu%s\n", count,
                                threads, min_items, ranges.size(), least, most, tiled ? "" : ", not tiling them");
                    ++failures;
                }
            }
    failures += expect_failure("split", "from 10000", [] {
        ornel::split_over_threads(40000, 4, 1000, [&](std::size_t first, std::size_t) {
            if (first > 0) throw std::runtime_error("from " + std::to_string(first));
        });
    });
    std::printf("split: ranges of up to 50000 items on up to 100 threads checked\n");
    return failures;
}

// Builds side by side, each on threads of its own: the same graph as alone.
int check_builds_side_by_side(const Cloud& xyz) {
    const ornel::CsrGraph expected = ornel::delaunay::graph(view_of(xyz), 1);
    std::vector<char> same(4, 0);
    std::vector<std::thread> builds;
    for (std::size_t b = 0; b < same.size(); ++b)
        builds.emplace_back(
            [&, b] { same[b] = same_graph(ornel::delaunay::graph(view_of(xyz), 2 + b % 2), expected); });
    for (std::thread& build : builds) build.join();
    const int failures = static_cast<int>(std::count(same.begin(), same.end(), 0));
    if (failures) std::printf("builds side by side: %d graphs differ\n", failures);
    std::printf("4 builds side by side on 2 and 3 threads each checked\n");
    return failures;
}

}  // namespace

int main() {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal;
    std::vector<std::pair<std::string, Cloud>> clouds;
    {
        Cloud dense;  // a tiny box, a quarter of the points repeated
        for (int i = 0; i < 15000; ++i)
            for (int k = 0; k < 3; ++k) dense.push_back(1.0 + std::round(unit(random) * 60) / 60 * 1e-3);
        for (int i = 0; i < 5000; ++i) {
            const std::size_t j = random() % 15000;
            dense.insert(dense.end(), dense.begin() + 3 * j, dense.begin() + 3 * j + 3);
        }
        clouds.emplace_back("dense duplicates", dense);
    }
    {
        Cloud shell;  // a closed surface: cavities reach across its inside
        for (int i = 0; i < 16000; ++i) {
            double p[3] = {normal(random), normal(random), normal(random)};
            const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]) / (1 + 0.003 * unit(random));
            for (double c : p) shell.push_back(std::round(c / r * 1000) / 1000);
        }
        clouds.emplace_back("quantised shell", shell);
    }
    {
        Cloud plane, far;  // the helper point's path; georeferenced coordinates
        for (int i = 0; i < 8000; ++i) {
            const double u = std::round(unit(random) * 60) / 60, v = std::round(unit(random) * 60) / 60;
            plane.insert(plane.end(), {u + 3.0, 0.5 * u + v - 2.0, 0.25 * u - 0.5 * v + 7.0});
            far.insert(far.end(),
                       {512300.25 + 80 * unit(random), 5402100.5 + 80 * unit(random), 310.0 + 6 * unit(random)});
        }
        clouds.emplace_back("plane", plane);
        clouds.emplace_back("georeferenced", far);
    }
    int failures = check_team() + check_split() + check_builds_side_by_side(clouds[1].second);
    for (const auto& [name, xyz] : clouds) {
        const auto view = view_of(xyz);
        const ornel::CsrGraph expected = ornel::delaunay::graph(view, 1);
        const bool solid = name != "plane";
        const std::vector<std::uint64_t> tets =
            solid ? canonical(ornel::delaunay::tetrahedra(view, 1)) : std::vector<std::uint64_t>{};
        for (std::size_t threads : {2, 3, 5}) {
            if (!same_graph(ornel::delaunay::graph(view, threads), expected)) {
                std::printf("%s: the graph on %zu threads differs\n", name.c_str(), threads);
                ++failures;
            }
            if (solid && canonical(ornel::delaunay::tetrahedra(view, threads)) != tets) {
                std::printf("%s: the tetrahedra on %zu threads differ\n", name.c_str(), threads);
                ++failures;
            }
        }
        std::printf("%s: %zu points, %zu graph entries, checked on 2, 3 and 5 threads\n", name.c_str(), view.rows,
                    expected.indices.size());
    }
    return failures == 0 ? 0 : 1;
}
