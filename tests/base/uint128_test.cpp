// The portable 128-bit count against the compiler's own 128-bit integer,
// where there is one: the 32-bit build has only the portable one.
#include <gtest/gtest.h>

#include <random>

#include "base/uint128.h"

namespace {

TEST(UInt128Test, MultipliesAddsAndDividesAcrossTheWholeRange) {
    constexpr uint64_t kMax = ~uint64_t{0};
    // Products that carry out of the low half, a full 128-bit product, and
    // a divisor above 2^63 (the remainder's carry).
    const UInt128 full = UInt128(kMax) * kMax;
    EXPECT_EQ(full.high(), kMax - 1);
    EXPECT_EQ(full.low(), 1u);
    const UInt128 sum = UInt128(kMax) + 1;
    EXPECT_EQ(sum.high(), 1u);
    EXPECT_EQ(sum.low(), 0u);
    EXPECT_EQ((full / kMax).low(), kMax);
    EXPECT_EQ((full / kMax).high(), 0u);
    EXPECT_EQ(full % kMax, 0u);
    EXPECT_EQ((full + 5) % kMax, 5u);
    const uint64_t bigDivisor = (uint64_t{1} << 63) + 12345;
    const UInt128 quotient = full / bigDivisor;
    // quotient * divisor + remainder gives the dividend back.
    const UInt128 back = quotient * bigDivisor + full % bigDivisor;
    EXPECT_EQ(back.high(), full.high());
    EXPECT_EQ(back.low(), full.low());
}

#if defined(__SIZEOF_INT128__)
TEST(UInt128Test, AgreesWithTheBuiltInType) {
    std::mt19937_64 random(20240607);
    const uint64_t divisors[] = {1, 3, 1000000000000000ull, (uint64_t{1} << 63) + 1, ~uint64_t{0}};
    for (int i = 0; i < 20000; ++i) {
        const uint64_t a = random() >> (random() % 64);
        const uint64_t b = random() >> (random() % 64);
        const uint64_t c = random() >> (random() % 40);
        const uint64_t addend = random();
        const uint64_t divisor = i % 2 == 0 ? divisors[i % 5] : (random() >> (random() % 64)) | 1u;
        const unsigned __int128 expected = static_cast<unsigned __int128>(a) * b * c + addend;
        const UInt128 actual = UInt128(a) * b * c + addend;
        ASSERT_EQ(actual.high(), static_cast<uint64_t>(expected >> 64)) << a << " " << b << " " << c;
        ASSERT_EQ(actual.low(), static_cast<uint64_t>(expected));
        const unsigned __int128 expectedQuotient = expected / divisor;
        const UInt128 quotient = actual / divisor;
        ASSERT_EQ(quotient.high(), static_cast<uint64_t>(expectedQuotient >> 64)) << divisor;
        ASSERT_EQ(quotient.low(), static_cast<uint64_t>(expectedQuotient)) << divisor;
        ASSERT_EQ(actual % divisor, static_cast<uint64_t>(expected % divisor)) << divisor;
    }
}
#endif

}  // namespace
