// Exact arithmetic on floating-point expansions.
//
// An expansion is a sum of doubles, stored in increasing order of magnitude,
// whose components do not overlap; its sign is the sign of its last (largest)
// component. Sums and products are computed without error from error-free
// transformations (the rounded result plus the exact rounding error), so a
// determinant evaluated this way has the sign of the exact one. Valid only
// while no intermediate overflows or underflows: callers keep coordinates in a
// range where that holds (see predicates.hpp). Relies on round-to-nearest and
// no fused multiply-add contraction (the build passes -ffp-contract=off).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "../failure.hpp"

namespace ornel::delaunay {

// x + y == a + b exactly, x the rounded sum.
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double b_virtual = x - a;
    const double a_virtual = x - b_virtual;
    y = (a - a_virtual) + (b - b_virtual);
}

// The same when |a| >= |b| (or a == 0): three operations instead of six.
inline void fast_two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    y = b - (x - a);
}

inline void two_diff(double a, double b, double& x, double& y) {
    x = a - b;
    const double b_virtual = a - x;
    const double a_virtual = x + b_virtual;
    y = (a - a_virtual) + (b_virtual - b);
}

// a == high + low with both halves of at most 26 significant bits, so that
// their products are exact.
inline void split(double a, double& high, double& low) {
    const double scaled = 134217729.0 * a;  // 2^27 + 1
    const double big = scaled - a;
    high = scaled - big;
    low = a - high;
}

// x + y == a * b exactly (Dekker's product).
inline void two_product(double a, double b, double& x, double& y) {
    x = a * b;
    double a_high, a_low, b_high, b_low;
    split(a, a_high, a_low);
    split(b, b_high, b_low);
    const double error1 = x - a_high * b_high;
    const double error2 = error1 - a_low * b_high;
    const double error3 = error2 - a_high * b_low;
    y = a_low * b_low - error3;
}

// A view of an expansion living in an arena.
struct Expansion {
    const double* terms = nullptr;
    int length = 0;

    int sign() const {
        if (length == 0) return 0;
        const double top = terms[length - 1];
        return (top > 0) - (top < 0);
    }
};

// Bump allocator for the terms of intermediate expansions. One per build (so
// one per thread); `Scope` hands back everything taken inside it. Terms live in
// blocks that never move (live views point into them); a block is allocated
// only when a build first needs it, and at most a few per build, since one
// insphere evaluation needs less than three blocks at worst.
class ExpansionArena {
public:
    static constexpr std::size_t block_size = std::size_t{1} << 16;  // doubles

    class Scope {
    public:
        explicit Scope(ExpansionArena& arena) : arena_(arena), block_(arena.block_), used_(arena.used_) {}
        ~Scope() {
            arena_.block_ = block_;
            arena_.used_ = used_;
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ExpansionArena& arena_;
        std::size_t block_, used_;
    };

    double* take(std::size_t count) {
        if (count > block_size) fail(Failure::exact_scratch_exhausted);
        if (block_ < blocks_.size() && used_ + count > block_size) {
            ++block_;
            used_ = 0;
        }
        if (block_ == blocks_.size()) {
            if (blocks_.size() >= 64) fail(Failure::exact_scratch_exhausted);
            blocks_.emplace_back(block_size);
            used_ = 0;
        }
        double* out = blocks_[block_].data() + used_;
        used_ += count;
        return out;
    }

    Expansion of(double value) {
        double* out = take(1);
        out[0] = value;
        return {out, value != 0.0 ? 1 : 0};
    }

    // a - b, exactly, as an expansion of at most two terms.
    Expansion difference(double a, double b) {
        double* out = take(2);
        double x, y;
        two_diff(a, b, x, y);
        int n = 0;
        if (y != 0.0) out[n++] = y;
        if (x != 0.0) out[n++] = x;
        return {out, n};
    }

    Expansion negate(Expansion e) {
        double* out = take(static_cast<std::size_t>(e.length));
        for (int k = 0; k < e.length; ++k) out[k] = -e.terms[k];
        return {out, e.length};
    }

    Expansion subtract(Expansion e, Expansion f) { return sum(e, negate(f)); }

    Expansion sum(Expansion e, Expansion f) {
        return sum_into(take(static_cast<std::size_t>(e.length + f.length)), e, f);
    }

    Expansion scale(Expansion e, double b) { return scale_into(take(2 * static_cast<std::size_t>(e.length)), e, b); }

    // `merged` holds e.length + f.length terms and may not overlap e or f.
    static Expansion sum_into(double* merged, Expansion e, Expansion f) {
        if (e.length == 0 || f.length == 0) {
            const Expansion only = e.length == 0 ? f : e;
            for (int k = 0; k < only.length; ++k) merged[k] = only.terms[k];
            return {merged, only.length};
        }
        // Merge by magnitude, then accumulate from the smallest term up,
        // keeping every nonzero rounding error as an output term.
        int i = 0, j = 0, m = 0;
        while (i < e.length && j < f.length) {
            const double a = e.terms[i], b = f.terms[j];
            if ((a < 0 ? -a : a) <= (b < 0 ? -b : b)) {
                merged[m++] = a;
                ++i;
            } else {
                merged[m++] = b;
                ++j;
            }
        }
        while (i < e.length) merged[m++] = e.terms[i++];
        while (j < f.length) merged[m++] = f.terms[j++];
        double* out = merged;  // writing never overtakes reading
        int n = 0;
        double q = merged[0];
        for (int k = 1; k < m; ++k) {
            double sum_high, error;
            two_sum(q, merged[k], sum_high, error);
            if (error != 0.0) out[n++] = error;
            q = sum_high;
        }
        if (q != 0.0 || n == 0) out[n++] = q;
        if (n == 1 && out[0] == 0.0) n = 0;
        return {out, n};
    }

    // `out` holds 2 * e.length terms.
    static Expansion scale_into(double* out, Expansion e, double b) {
        if (e.length == 0 || b == 0.0) return {nullptr, 0};
        int n = 0;
        double q, error;
        two_product(e.terms[0], b, q, error);
        if (error != 0.0) out[n++] = error;
        for (int k = 1; k < e.length; ++k) {
            double product_high, product_low, partial;
            two_product(e.terms[k], b, product_high, product_low);
            two_sum(q, product_low, partial, error);
            if (error != 0.0) out[n++] = error;
            fast_two_sum(product_high, partial, q, error);
            if (error != 0.0) out[n++] = error;
        }
        if (q != 0.0 || n == 0) out[n++] = q;
        if (n == 1 && out[0] == 0.0) n = 0;
        return {out, n};
    }

    Expansion product(Expansion e, Expansion f) {
        if (e.length < f.length) std::swap(e, f);
        if (f.length == 0) return {nullptr, 0};
        // Partial products accumulate in two buffers used in turn, so the
        // scratch taken is linear in the size of the result.
        const std::size_t most = 2 * static_cast<std::size_t>(e.length) * static_cast<std::size_t>(f.length);
        double* buffers[2] = {take(most), take(most)};
        double* partial = take(2 * static_cast<std::size_t>(e.length));
        Expansion total{nullptr, 0};
        for (int k = 0; k < f.length; ++k) {
            const Expansion scaled = scale_into(partial, e, f.terms[k]);
            total = sum_into(buffers[k & 1], total, scaled);
        }
        return total;
    }

private:
    std::vector<std::vector<double>> blocks_;
    std::size_t block_ = 0;  // the block being filled
    std::size_t used_ = 0;   // doubles taken from it
};

}  // namespace ornel::delaunay
