// Row layout conversions: planes split from and joined back into scanlines.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "kernels/pixels.hpp"

namespace {

namespace kernels = tavrune::kernels;
using Bytes = std::vector<std::uint8_t>;

Bytes counting(std::size_t n, std::uint8_t start) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), start);
    return bytes;
}

TEST(SplitRow, RgbaSeparatesAlpha) {
    const Bytes row = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes rgb(6), alpha(2);
    kernels::split_row(row.data(), 2, 4, rgb.data(), alpha.data());
    EXPECT_EQ(rgb, (Bytes{1, 2, 3, 5, 6, 7}));
    EXPECT_EQ(alpha, (Bytes{4, 8}));
}

TEST(SplitRow, RgbCopiesWithoutAlpha) {
    const Bytes row = {1, 2, 3, 4, 5, 6};
    Bytes rgb(6);
    kernels::split_row(row.data(), 2, 3, rgb.data(), nullptr);
    EXPECT_EQ(rgb, row);
}

class SplitJoin : public testing::TestWithParam<unsigned> {};

TEST_P(SplitJoin, JoinInvertsSplit) {
    const unsigned bpp = GetParam();
    for (std::size_t width = 1; width <= 67; ++width) {
        const Bytes row = counting(width * bpp, static_cast<std::uint8_t>(width));
        Bytes rgb(width * 3), alpha(width), joined(width * bpp);
        std::uint8_t* alpha_out = bpp == 4 ? alpha.data() : nullptr;
        kernels::split_row(row.data(), width, bpp, rgb.data(), alpha_out);
        kernels::join_row(rgb.data(), alpha_out, width, joined.data());
        ASSERT_EQ(joined, row) << "width " << width;
    }
}

INSTANTIATE_TEST_SUITE_P(Bpp, SplitJoin, testing::Values(3u, 4u));

TEST(SwapRedBlue, SwapsOuterBytesAndIsItsOwnInverse) {
    const Bytes bgr = {1, 2, 3, 4, 5, 6};
    Bytes rgb(6), back(6);
    kernels::swap_red_blue(bgr.data(), rgb.data(), 2);
    EXPECT_EQ(rgb, (Bytes{3, 2, 1, 6, 5, 4}));
    kernels::swap_red_blue(rgb.data(), back.data(), 2);
    EXPECT_EQ(back, bgr);
}

}  // namespace
