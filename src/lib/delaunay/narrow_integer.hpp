// The exact stage in a few machine words, for points whose differences (or
// coordinates) are close multiples of one power of two.
//
// Lattices, voxel centres and rounded coordinates make many insphere tests
// exactly zero, and every one of them needs the exact stage; expansions
// (expansion.hpp) spend about 12,000 instructions on each. When the
// differences of the points of one test (or else their coordinates), in units
// of their lowest set bit, are all below 2^61 in magnitude (any integer
// lattice, a decimal lattice near its origin or far out, a quantised scan),
// the differences fit 64-bit words and the determinants a fixed number of
// them, and the sign costs a few hundred instructions. Otherwise the caller
// goes on to the expansions.
//
// Bounds, with every difference below 2^62: a 2 x 2 minor of differences is
// below 2^125 (128-bit), a 3 x 3 determinant below 3 * 2^187 < 2^189 (three
// words), a lifted coordinate below 3 * 2^124 < 2^126, and the insphere
// determinant, four products of the two, below 36 * 2^311 < 2^317 (five
// words, signed).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "expansion.hpp"

namespace ornel::delaunay {

// A signed integer of `words` 64-bit words, two's complement, little-endian.
template <int words>
struct NarrowInteger {
    std::uint64_t word[words];

    static NarrowInteger of(__int128 value) {
        static_assert(words >= 2);
        NarrowInteger out;
        out.word[0] = static_cast<std::uint64_t>(value);
        out.word[1] = static_cast<std::uint64_t>(static_cast<unsigned __int128>(value) >> 64);
        for (int k = 2; k < words; ++k) out.word[k] = value < 0 ? ~std::uint64_t{0} : 0;
        return out;
    }

    bool negative() const { return (word[words - 1] >> 63) != 0; }

    int sign() const {
        if (negative()) return -1;
        for (int k = 0; k < words; ++k)
            if (word[k] != 0) return 1;
        return 0;
    }

    NarrowInteger negated() const {
        NarrowInteger out;
        unsigned carry = 1;
        for (int k = 0; k < words; ++k) {
            const std::uint64_t flipped = ~word[k];
            out.word[k] = flipped + carry;
            carry = carry && out.word[k] == 0;
        }
        return out;
    }

    friend NarrowInteger operator+(const NarrowInteger& a, const NarrowInteger& b) {
        NarrowInteger out;
        unsigned char carry = 0;
        for (int k = 0; k < words; ++k) {
            const unsigned __int128 sum = static_cast<unsigned __int128>(a.word[k]) + b.word[k] + carry;
            out.word[k] = static_cast<std::uint64_t>(sum);
            carry = static_cast<unsigned char>(sum >> 64);
        }
        return out;
    }

    friend NarrowInteger operator-(const NarrowInteger& a, const NarrowInteger& b) { return a + b.negated(); }
};

// The product of two nonnegative numbers of `m` and `n` words.
template <int m, int n>
[[gnu::always_inline]] inline NarrowInteger<m + n> multiply_magnitudes(const std::uint64_t* a, const std::uint64_t* b) {
    NarrowInteger<m + n> out{};
    for (int i = 0; i < m; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < n; ++j) {
            const unsigned __int128 t = static_cast<unsigned __int128>(a[i]) * b[j] + out.word[i + j] + carry;
            out.word[i + j] = static_cast<std::uint64_t>(t);
            carry = static_cast<std::uint64_t>(t >> 64);
        }
        out.word[i + n] = carry;
    }
    return out;
}

template <int m, int n>
[[gnu::always_inline]] inline NarrowInteger<m + n> operator*(const NarrowInteger<m>& a, const NarrowInteger<n>& b) {
    const NarrowInteger<m> a_magnitude = a.negative() ? a.negated() : a;
    const NarrowInteger<n> b_magnitude = b.negative() ? b.negated() : b;
    const NarrowInteger<m + n> product = multiply_magnitudes<m, n>(a_magnitude.word, b_magnitude.word);
    return a.negative() != b.negative() ? product.negated() : product;
}

// The `count` rows of three values as integers, in units of 2^-61 times the
// power of two above the largest magnitude among them; false when one of them
// has a bit below that unit (their lowest bits lie 61 or more places apart).
// Scaling by a power of two is exact unless it underflows, so the integers
// are the values.
template <int count>
bool narrow_values(const double* const* rows, std::int64_t (*out)[3]) {
    double largest = 0;
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) largest = std::max(largest, std::fabs(rows[i][k]));
    if (!(largest < INFINITY)) return false;
    int top;
    std::frexp(largest, &top);          // largest < 2^top
    if (61 - top > 1023) return false;  // the scale would overflow: only values below 2^-962
    const double scale = std::ldexp(1.0, 61 - top);
    bool whole = true;
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) {
            const double scaled = rows[i][k] * scale;  // below 2^61 in magnitude
            out[i][k] = static_cast<std::int64_t>(scaled);
            // Scaling down may round a value to zero; any other bit lost is
            // one below the unit, and leaves a fraction.
            whole &= static_cast<double>(out[i][k]) == scaled && (scaled != 0 || rows[i][k] == 0);
        }
    return whole;
}

// The differences p[i] - p[base] of the `count` other points as integers in
// one unit (below 2^62 in magnitude); false when neither they nor the
// coordinates are narrow. The differences first: a georeferenced scan's
// coordinates lie far more than 61 places apart (eastings of 500 km, heights
// of 100 m, both to the last bit), the differences between neighbours not;
// and floating point gives them exactly wherever two points lie within a
// factor of two of each other, as neighbours far from the origin do.
template <int count>
bool narrow_differences(const double* const* p, int base, std::int64_t (*d)[3]) {
    double difference[count][3];
    const double* rows[count];
    bool exact = true;
    for (int i = 0, r = 0; i <= count; ++i) {
        if (i == base) continue;
        for (int k = 0; k < 3; ++k) {
            double error;
            two_diff(p[i][k], p[base][k], difference[r][k], error);
            exact &= error == 0;
        }
        rows[r] = difference[r];
        ++r;
    }
    if (exact && narrow_values<count>(rows, d)) return true;
    std::int64_t c[count + 1][3];
    if (!narrow_values<count + 1>(p, c)) return false;
    for (int i = 0, r = 0; i <= count; ++i) {
        if (i == base) continue;
        for (int k = 0; k < 3; ++k) d[r][k] = c[i][k] - c[base][k];
        ++r;
    }
    return true;
}

// Divides the `rows` rows of differences by their common power of two;
// true when all are then below 2^24 in magnitude. Then a 2 x 2 minor is
// below 2^49, a 3 x 3 determinant below 3 * 2^73, a lifted coordinate below
// 3 * 2^48 and the insphere determinant below 36 * 2^121 < 2^127: 128-bit
// arithmetic holds them all, at a fraction of the cost of words (the tests
// of integer lattices come here).
template <int rows>
bool small_differences(std::int64_t (*d)[3]) {
    std::uint64_t bits = 0;
    for (int i = 0; i < rows; ++i)
        for (int k = 0; k < 3; ++k) bits |= static_cast<std::uint64_t>(d[i][k] < 0 ? -d[i][k] : d[i][k]);
    if (bits == 0) return true;
    const int shift = __builtin_ctzll(bits);
    if ((bits >> shift) >= (std::uint64_t{1} << 24)) return false;
    for (int i = 0; i < rows; ++i)
        for (int k = 0; k < 3; ++k) d[i][k] /= std::int64_t{1} << shift;  // exact
    return true;
}

// z * m for z below 2^62 and m below 2^125 in magnitude: two products of
// words, the low one's carry added to the high one (below 2^124: no overflow).
inline NarrowInteger<3> multiply(std::int64_t z, __int128 m) {
    const __int128 low = static_cast<__int128>(z) * static_cast<std::uint64_t>(m);
    const __int128 high = static_cast<__int128>(z) * static_cast<std::int64_t>(m >> 64) + (low >> 64);
    return {{static_cast<std::uint64_t>(low), static_cast<std::uint64_t>(high),
             static_cast<std::uint64_t>(static_cast<unsigned __int128>(high) >> 64)}};
}

// The four 3 x 3 determinants of rows of differences, D_jkl = det[d_j, d_k,
// d_l] for (j, k, l) = (1, 2, 3), (0, 2, 3), (0, 1, 3), (0, 1, 2) (the first
// `count` of them), each expanded along z over the 2 x 2 minors of x and y,
// which the four share. `Integer` holds a minor, `Determinant` a determinant.
template <class Integer, class Determinant, class Times>
void dets3(const std::int64_t (*d)[3], int count, Determinant* out, Times times) {
    auto minor = [&](int i, int j) {
        return static_cast<Integer>(static_cast<Integer>(d[i][0]) * d[j][1] - static_cast<Integer>(d[j][0]) * d[i][1]);
    };
    const Integer m01 = minor(0, 1), m02 = minor(0, 2), m12 = minor(1, 2);
    auto det = [&](int j, int k, int l, Integer kl, Integer jl, Integer jk) {
        return times(d[j][2], kl) - times(d[k][2], jl) + times(d[l][2], jk);
    };
    if (count == 1) {
        out[0] = det(0, 1, 2, m12, m02, m01);
        return;
    }
    const Integer m03 = minor(0, 3), m13 = minor(1, 3), m23 = minor(2, 3);
    out[0] = det(1, 2, 3, m23, m13, m12);
    out[1] = det(0, 2, 3, m23, m03, m02);
    out[2] = det(0, 1, 3, m13, m03, m01);
    out[3] = det(0, 1, 2, m12, m02, m01);
}

inline int sign_of(__int128 value) { return (value > 0) - (value < 0); }

// Sign of det[p1 - p0, p2 - p0, p3 - p0]; false when neither the points'
// differences nor their coordinates are narrow (narrow_differences).
inline bool narrow_orient3d(const double* const* p, int& sign) {
    std::int64_t d[3][3];
    if (!narrow_differences<3>(p, 0, d)) return false;
    if (small_differences<3>(d)) {
        __int128 det;
        dets3<std::int64_t>(d, 1, &det, [](std::int64_t z, std::int64_t m) { return static_cast<__int128>(z) * m; });
        sign = sign_of(det);
    } else {
        NarrowInteger<3> det;
        dets3<__int128>(d, 1, &det, [](std::int64_t z, __int128 m) { return multiply(z, m); });
        sign = det.sign();
    }
    return true;
}

// Sign of the lifted determinant of p0..p3 relative to p4, in the layout of
// the expansions' stage: with d_i = p_i - p4, l_i = |d_i|^2 and D_jkl =
// det[d_j, d_k, d_l], (l1 D023 - l0 D123) + (l3 D012 - l2 D013). False when
// neither the differences nor the coordinates are narrow.
inline bool narrow_lifted_determinant(const double* const* p, int& sign) {
    std::int64_t d[4][3];
    if (!narrow_differences<4>(p, 4, d)) return false;
    if (small_differences<4>(d)) {
        std::int64_t lift[4];
        for (int i = 0; i < 4; ++i) lift[i] = d[i][0] * d[i][0] + d[i][1] * d[i][1] + d[i][2] * d[i][2];
        __int128 det[4];  // D123, D023, D013, D012
        dets3<std::int64_t>(d, 4, det, [](std::int64_t z, std::int64_t m) { return static_cast<__int128>(z) * m; });
        sign = sign_of((lift[1] * det[1] - lift[0] * det[0]) + (lift[3] * det[3] - lift[2] * det[2]));
        return true;
    }
    NarrowInteger<2> lift[4];
    for (int i = 0; i < 4; ++i) {
        unsigned __int128 sum = 0;
        for (int k = 0; k < 3; ++k) sum += static_cast<unsigned __int128>(static_cast<__int128>(d[i][k]) * d[i][k]);
        lift[i] = NarrowInteger<2>::of(static_cast<__int128>(sum));  // below 2^126: positive as signed
    }
    NarrowInteger<3> det[4];
    dets3<__int128>(d, 4, det, [](std::int64_t z, __int128 m) { return multiply(z, m); });
    sign = ((lift[1] * det[1] - lift[0] * det[0]) + (lift[3] * det[3] - lift[2] * det[2])).sign();
    return true;
}

}  // namespace ornel::delaunay
