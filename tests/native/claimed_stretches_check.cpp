// on_claimed_stretches over every mix of item count, parts and claim size,
// on a team and on threads of its own, with a part held back at its start or
// after its first claim: every item is worked on exactly once, within one
// claim that lies inside one part's stretch, each stretch tiled from its
// start in claims of the claim size (the last cut at its end). Prints one
// line per failure, then "checked N"; tests/test_m3c2.py reads that.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/parallel_loop.hpp"

namespace {

struct Claim {
    std::size_t part, first, last;
};

int failures = 0;

void fail(const char* what, std::size_t count, std::size_t parts, std::size_t claim, int delay) {
    ++failures;
    std::printf("%s: count %zu parts %zu claim %zu delay %d\n", what, count, parts, claim, delay);
}

// delay: 0 none, 1 the last part sleeps before anything, 2 part 0 sleeps after its first claim.
void check(std::size_t count, std::size_t parts, std::size_t claim, int delay) {
    std::mutex mutex;
    std::vector<Claim> claims;
    std::vector<int> seen(count, 0);
    std::vector<int> claims_by_part(parts, 0);
    ornel::on_claimed_stretches(count, parts, claim, [&](std::size_t part, std::size_t first, std::size_t last) {
        int made;
        {
            std::lock_guard<std::mutex> lock(mutex);
            claims.push_back({part, first, last});
            made = claims_by_part[part]++;
            for (std::size_t i = first; i < last; ++i) ++seen[i];
        }
        if (delay == 1 && part == parts - 1 && made == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (delay == 2 && part == 0 && made == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    if (std::any_of(seen.begin(), seen.end(), [](int n) { return n != 1; }))
        fail("an item not once", count, parts, claim, delay);
    const std::size_t used = std::clamp<std::size_t>(parts, 1, ornel::max_threads);
    for (const Claim& c : claims) {
        if (c.part >= used || c.first >= c.last || c.last - c.first > std::max<std::size_t>(claim, 1))
            fail("a claim out of bounds", count, parts, claim, delay);
        // Within one stretch: the stretch of its first item holds its last.
        std::size_t k = 0;
        while (count * (k + 1) / used <= c.first) ++k;
        if (c.last > count * (k + 1) / used) fail("a claim across stretches", count, parts, claim, delay);
    }
    // Each stretch tiled from its start in claims of the claim size, the last cut at its end.
    for (std::size_t k = 0; k < used; ++k) {
        std::vector<Claim> own;
        for (const Claim& c : claims)
            if (c.first >= count * k / used && c.first < count * (k + 1) / used) own.push_back(c);
        std::sort(own.begin(), own.end(), [](const Claim& a, const Claim& b) { return a.first < b.first; });
        std::size_t at = count * k / used;
        for (const Claim& c : own) {
            const bool last = c.last == count * (k + 1) / used;
            if (c.first != at || (!last && c.last - c.first != std::max<std::size_t>(claim, 1)))
                fail("a stretch not tiled in claims", count, parts, claim, delay);
            at = c.last;
        }
        if (at != count * (k + 1) / used) fail("a stretch not covered", count, parts, claim, delay);
    }
}

}  // namespace

int main() {
    std::size_t checked = 0;
    const std::size_t counts[] = {0, 1, 2, 7, 511, 512, 513, 1024, 5000, 100003};
    const std::size_t parts_list[] = {1, 2, 3, 7, 64, 65};
    const std::size_t claims[] = {0, 1, 3, 512, 100000};
    for (int on_team = 0; on_team < 2; ++on_team) {
        ornel::ThreadTeam team(8);
        ornel::TeamScope scope(on_team ? &team : nullptr);
        for (std::size_t count : counts)
            for (std::size_t parts : parts_list)
                for (std::size_t claim : claims)
                    for (int delay = 0; delay < 3; ++delay) {
                        if (delay > 0 && (count < 1000 || parts > 7)) continue;  // the sleeps where they matter
                        check(count, parts, claim, delay);
                        ++checked;
                    }
    }
    std::printf("checked %zu\n", checked);
    return failures == 0 ? 0 : 1;
}
