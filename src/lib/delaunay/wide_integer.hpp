// Signed integers wide enough for a predicate over any finite doubles.
//
// The exact path for clouds whose coordinates span more orders of magnitude
// than floating-point expansions survive (their products would overflow or
// underflow). Every coordinate is an integer multiple of 2^-1074 and below
// 2^1024, so as an integer in units of the cloud's smallest bit it has at most
// 2098 bits; the insphere determinant (degree five) then stays below 2^10510.
// Fixed capacity: no allocation, and nothing can overflow.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../failure.hpp"

namespace ornel::delaunay {

class WideInteger {
public:
    static constexpr int capacity = 336;  // 32-bit limbs: 10752 bits

    WideInteger() = default;

    // value * 2^-unit_exponent, which must be an integer (unit_exponent is at
    // least the exponent of value's lowest set bit).
    static WideInteger from_double(double value, int unit_exponent) {
        WideInteger out;
        if (value == 0.0) return out;
        int exponent;
        const double fraction = std::frexp(std::fabs(value), &exponent);  // [0.5, 1)
        const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
        const int shift = exponent - 53 - unit_exponent;  // value = mantissa * 2^(exponent - 53)
        std::uint64_t m = mantissa;
        int s = shift;
        if (s < 0) {  // the low bits shifted out are zero by the caller's choice of unit
            m >>= -s;
            s = 0;
        }
        const int limb = s / 32, bit = s % 32;
        if (limb > capacity) fail(Failure::coordinate_out_of_exact_range);
        std::memset(out.limbs_, 0, sizeof(std::uint32_t) * static_cast<std::size_t>(limb));
        const unsigned __int128 placed = static_cast<unsigned __int128>(m) << bit;
        for (int k = 0; k < 3; ++k) {
            const auto part = static_cast<std::uint32_t>(placed >> (32 * k));
            if (limb + k >= capacity) {
                if (part != 0) fail(Failure::coordinate_out_of_exact_range);
                continue;
            }
            out.limbs_[limb + k] = part;
        }
        out.length_ = limb + 3 <= capacity ? limb + 3 : capacity;
        out.negative_ = value < 0;
        out.trim();
        return out;
    }

    int sign() const { return length_ == 0 ? 0 : (negative_ ? -1 : 1); }

    friend WideInteger operator+(const WideInteger& a, const WideInteger& b) { return combine(a, b, false); }
    friend WideInteger operator-(const WideInteger& a, const WideInteger& b) { return combine(a, b, true); }

    friend WideInteger operator*(const WideInteger& a, const WideInteger& b) {
        WideInteger out;
        if (a.length_ == 0 || b.length_ == 0) return out;
        if (a.length_ + b.length_ > capacity) fail(Failure::exact_product_out_of_range);
        std::memset(out.limbs_, 0, sizeof(std::uint32_t) * static_cast<std::size_t>(a.length_ + b.length_));
        for (int i = 0; i < a.length_; ++i) {
            std::uint64_t carry = 0;
            for (int j = 0; j < b.length_; ++j) {
                const std::uint64_t t =
                    static_cast<std::uint64_t>(a.limbs_[i]) * b.limbs_[j] + out.limbs_[i + j] + carry;
                out.limbs_[i + j] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
            out.limbs_[i + b.length_] = static_cast<std::uint32_t>(carry);
        }
        out.length_ = a.length_ + b.length_;
        out.negative_ = a.negative_ != b.negative_;
        out.trim();
        return out;
    }

private:
    void trim() {
        while (length_ > 0 && limbs_[length_ - 1] == 0) --length_;
        if (length_ == 0) negative_ = false;
    }

    static int compare_magnitude(const WideInteger& a, const WideInteger& b) {
        if (a.length_ != b.length_) return a.length_ < b.length_ ? -1 : 1;
        for (int k = a.length_ - 1; k >= 0; --k)
            if (a.limbs_[k] != b.limbs_[k]) return a.limbs_[k] < b.limbs_[k] ? -1 : 1;
        return 0;
    }

    // a + b, or a - b when `subtract`.
    static WideInteger combine(const WideInteger& a, const WideInteger& b, bool subtract) {
        const bool b_negative = (b.negative_ != subtract) && b.length_ != 0;
        WideInteger out;
        if (a.negative_ == b_negative) {
            const int n = a.length_ > b.length_ ? a.length_ : b.length_;
            if (n + 1 > capacity) fail(Failure::exact_sum_out_of_range);
            std::uint64_t carry = 0;
            for (int k = 0; k < n; ++k) {
                const std::uint64_t t = static_cast<std::uint64_t>(k < a.length_ ? a.limbs_[k] : 0) +
                                        (k < b.length_ ? b.limbs_[k] : 0) + carry;
                out.limbs_[k] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
            out.limbs_[n] = static_cast<std::uint32_t>(carry);
            out.length_ = n + 1;
            out.negative_ = a.negative_;
        } else {
            const bool a_larger = compare_magnitude(a, b) >= 0;
            const WideInteger& big = a_larger ? a : b;
            const WideInteger& small = a_larger ? b : a;
            std::int64_t borrow = 0;
            for (int k = 0; k < big.length_; ++k) {
                std::int64_t t =
                    static_cast<std::int64_t>(big.limbs_[k]) - (k < small.length_ ? small.limbs_[k] : 0) - borrow;
                borrow = t < 0;
                if (t < 0) t += std::int64_t{1} << 32;
                out.limbs_[k] = static_cast<std::uint32_t>(t);
            }
            out.length_ = big.length_;
            out.negative_ = a_larger ? a.negative_ : b_negative;
        }
        out.trim();
        return out;
    }

    std::uint32_t limbs_[capacity];  // little-endian; only the first length_ are meaningful
    int length_ = 0;
    bool negative_ = false;
};

}  // namespace ornel::delaunay
