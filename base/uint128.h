// An unsigned 128-bit count for products of three 64-bit-range factors
// (nanoseconds x rate x parts per million), where the compiler has no
// 128-bit integer: 32-bit targets, the 32-bit driver among them. Only what
// such counts need: multiply and add a 64-bit value, divide by and take
// the remainder of a 64-bit value, and narrow to 64 bits (which keeps the
// low half, as the built-in type does).
#pragma once

#include <cstdint>

class UInt128 {
public:
    constexpr UInt128(uint64_t value = 0) : high_(0), low_(value) {}  // NOLINT: converts like an integer
    constexpr UInt128(uint64_t high, uint64_t low) : high_(high), low_(low) {}

    constexpr uint64_t high() const { return high_; }
    constexpr uint64_t low() const { return low_; }
    explicit constexpr operator uint64_t() const { return low_; }

    // Wraps modulo 2^128 like the built-in type.
    friend constexpr UInt128 operator*(UInt128 a, uint64_t b) {
        const UInt128 lowProduct = multiply(a.low_, b);
        return UInt128(lowProduct.high_ + a.high_ * b, lowProduct.low_);
    }
    friend constexpr UInt128 operator+(UInt128 a, uint64_t b) {
        const uint64_t low = a.low_ + b;
        return UInt128(a.high_ + (low < b ? 1 : 0), low);
    }
    // divisor must not be 0.
    friend constexpr UInt128 operator/(UInt128 a, uint64_t divisor) { return divide(a, divisor, nullptr); }
    friend constexpr uint64_t operator%(UInt128 a, uint64_t divisor) {
        uint64_t remainder = 0;
        divide(a, divisor, &remainder);
        return remainder;
    }

private:
    static constexpr UInt128 multiply(uint64_t a, uint64_t b) {
        const uint64_t aLow = a & 0xFFFFFFFFu, aHigh = a >> 32;
        const uint64_t bLow = b & 0xFFFFFFFFu, bHigh = b >> 32;
        const uint64_t lowLow = aLow * bLow;
        const uint64_t highLow = aHigh * bLow;
        const uint64_t lowHigh = aLow * bHigh;
        const uint64_t middle = (lowLow >> 32) + (highLow & 0xFFFFFFFFu) + (lowHigh & 0xFFFFFFFFu);
        const uint64_t low = (middle << 32) | (lowLow & 0xFFFFFFFFu);
        const uint64_t high = aHigh * bHigh + (highLow >> 32) + (lowHigh >> 32) + (middle >> 32);
        return UInt128(high, low);
    }
    // Schoolbook division one bit at a time: the remainder stays below the
    // divisor, so shifting it left by one never loses a bit when the
    // divisor is below 2^63; above that the carry out is taken into account.
    static constexpr UInt128 divide(UInt128 a, uint64_t divisor, uint64_t* remainderOut) {
        const uint64_t quotientHigh = a.high_ / divisor;
        uint64_t remainder = a.high_ % divisor;
        uint64_t quotientLow = 0;
        for (int bit = 63; bit >= 0; --bit) {
            const bool carry = (remainder >> 63) != 0;
            remainder = (remainder << 1) | ((a.low_ >> bit) & 1u);
            quotientLow <<= 1;
            if (carry || remainder >= divisor) {
                remainder -= divisor;
                quotientLow |= 1u;
            }
        }
        if (remainderOut != nullptr) *remainderOut = remainder;
        return UInt128(quotientHigh, quotientLow);
    }

    uint64_t high_;
    uint64_t low_;
};
