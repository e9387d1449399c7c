#include <gtest/gtest.h>

#include <vector>

#include "src/integer_converters.h"

namespace {

std::vector<int16_t> down16(IntegerDownSamplerateConverter<int16_t>& c, std::vector<int16_t> in) {
    std::vector<int16_t> out(in.size() + 1, 12345);
    int32_t n = -1;
    c.convert(in.data(), static_cast<int32_t>(in.size()), out.data(), n);
    out.resize(n);
    return out;
}

}  // namespace

TEST(IntegerUpConverter, RepeatsEachSampleFactorTimes) {
    IntegerUpSamplerateConverter<int16_t> up(2);
    const int16_t in[] = {5, -7};
    int16_t out[4] = {};
    int32_t n = -1;
    up.convert(in, 2, out, n);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::vector<int16_t>(out, out + 4), (std::vector<int16_t>{5, 5, -7, -7}));

    IntegerUpSamplerateConverter<Int24> up3(3);
    const Int24 in24[] = {Int24(-8388608), Int24(0x123456)};
    Int24 out24[6];
    up3.convert(in24, 2, out24, n);
    ASSERT_EQ(n, 6);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(out24[i].toInt(), -8388608);
        EXPECT_EQ(out24[3 + i].toInt(), 0x123456);
    }
    up3.convert(in24, 0, out24, n);
    EXPECT_EQ(n, 0);
}

TEST(IntegerDownConverter, AveragesGroupsAcrossCalls) {
    IntegerDownSamplerateConverter<int16_t> down(2);
    EXPECT_EQ(down16(down, {1, 2, 3}), (std::vector<int16_t>{1}));
    EXPECT_EQ(down.gathered(), 1);
    EXPECT_EQ(down.partialSum(), 3);
    EXPECT_EQ(down16(down, {4, 6, 8}), (std::vector<int16_t>{3, 7}));
    EXPECT_EQ(down.gathered(), 0);
}

TEST(IntegerDownConverter, TruncatesTowardZero) {
    IntegerDownSamplerateConverter<int16_t> down(2);
    EXPECT_EQ(down16(down, {-1, -2}), (std::vector<int16_t>{-1}));
    IntegerDownSamplerateConverter<int16_t> down3(3);
    EXPECT_EQ(down16(down3, {-32768, -32768, -32767, 32767, 32767, 32766}),
              (std::vector<int16_t>{-32767, 32766}));
}

TEST(IntegerDownConverter, EmptyBlockKeepsTheOpenGroup) {
    IntegerDownSamplerateConverter<int16_t> down(3);
    EXPECT_TRUE(down16(down, {10, 20}).empty());
    EXPECT_TRUE(down16(down, {}).empty());
    EXPECT_EQ(down.gathered(), 2);
    EXPECT_EQ(down16(down, {30}), (std::vector<int16_t>{20}));
}

TEST(IntegerDownConverter, GroupSpanningSeveralShortBlocks) {
    IntegerDownSamplerateConverter<int16_t> down(4);
    EXPECT_TRUE(down16(down, {1}).empty());
    EXPECT_TRUE(down16(down, {2}).empty());
    EXPECT_EQ(down16(down, {3, 4, 100, 100, 100, 100, 7}), (std::vector<int16_t>{2, 100}));
    EXPECT_EQ(down.gathered(), 1);
    EXPECT_EQ(down.partialSum(), 7);
}

TEST(IntegerDownConverter, Int24FullScaleAndLargeFactors) {
    IntegerDownSamplerateConverter<Int24> down(2);
    const Int24 in[] = {Int24(8388607), Int24(8388607), Int24(-8388608), Int24(-8388607)};
    Int24 out[2];
    int32_t n = -1;
    down.convert(in, 4, out, n);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(out[0].toInt(), 8388607);
    EXPECT_EQ(out[1].toInt(), -8388607);  // -16777215 / 2 truncated

    // 512 full-scale samples overflow a 32-bit sum; the mean must stay exact.
    IntegerDownSamplerateConverter<Int24> wide(512);
    std::vector<Int24> big(512, Int24(8388607));
    down.convert(big.data(), 0, out, n);
    wide.convert(big.data(), 512, out, n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(out[0].toInt(), 8388607);
}

TEST(IntegerConverters, RefuseFactorsBelowOne) {
    IntegerUpSamplerateConverter<int16_t> up(0);
    IntegerDownSamplerateConverter<int16_t> down(-2);
    EXPECT_FALSE(up.isValid());
    EXPECT_FALSE(down.isValid());
    const int16_t in[4] = {1, 2, 3, 4};
    int16_t out[8];
    int32_t n = -1;
    up.convert(in, 4, out, n);
    EXPECT_EQ(n, 0);
    down.convert(in, 4, out, n);
    EXPECT_EQ(n, 0);
}
