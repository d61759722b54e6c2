// Row layout conversions: planes split from and joined back into scanlines.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kernels/pixels.hpp"
#include "kernels/reference.hpp"
#include "kernels/variants.hpp"

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

// --- Every implementation against the reference loops -----------------------

struct PixelVariant {
    const char* name;
    decltype(&kernels::reference::split_row) split_row;
    decltype(&kernels::reference::join_row) join_row;
    decltype(&kernels::reference::swap_red_blue) swap_red_blue;
    bool runs_here;
};

const PixelVariant kPixelVariants[] = {
    {"Dispatched", kernels::split_row, kernels::join_row, kernels::swap_red_blue, true},
#if defined(TAVRUNE_KERNELS_SSSE3)
    {"Ssse3", kernels::ssse3::split_row, kernels::ssse3::join_row, kernels::ssse3::swap_red_blue,
     kernels::cpu_has_ssse3()},
#endif
};

Bytes random_bytes(std::size_t n, std::mt19937& rng) {
    Bytes bytes(n);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

class PixelVariants : public testing::TestWithParam<int> {};

// Widths 1 to 67 and a few long rows, each written into a buffer with guard
// bytes on both sides that must stay untouched.
TEST_P(PixelVariants, MatchReferenceAndStayInsideTheRow) {
    const PixelVariant& variant = kPixelVariants[GetParam()];
    if (!variant.runs_here) GTEST_SKIP() << "instruction set not available";
    std::mt19937 rng(2024);
    constexpr std::size_t kGuard = 32;
    constexpr std::uint8_t kGuardByte = 0xA5;
    std::vector<std::size_t> widths;
    for (std::size_t w = 1; w <= 67; ++w) widths.push_back(w);
    for (std::size_t w : {255u, 256u, 1000u, 2048u}) widths.push_back(w);
    const auto guarded = [&](std::size_t n) { return Bytes(n + 2 * kGuard, kGuardByte); };
    const auto inside = [&](const Bytes& b) { return Bytes(b.begin() + kGuard, b.end() - kGuard); };
    const auto guards_intact = [&](const Bytes& b) {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (b[i] != kGuardByte || b[b.size() - 1 - i] != kGuardByte) return false;
        return true;
    };
    for (std::size_t width : widths) {
        SCOPED_TRACE(std::string(variant.name) + " width " + std::to_string(width));
        for (unsigned bpp : {3u, 4u}) {
            const Bytes row = random_bytes(width * bpp, rng);
            Bytes rgb = guarded(width * 3), alpha = guarded(width);
            Bytes expected_rgb(width * 3), expected_alpha(width);
            variant.split_row(row.data(), width, bpp, rgb.data() + kGuard, bpp == 4 ? alpha.data() + kGuard : nullptr);
            kernels::reference::split_row(row.data(), width, bpp, expected_rgb.data(),
                                          bpp == 4 ? expected_alpha.data() : nullptr);
            ASSERT_EQ(inside(rgb), expected_rgb);
            if (bpp == 4) {
                ASSERT_EQ(inside(alpha), expected_alpha);
            }
            ASSERT_TRUE(guards_intact(rgb) && guards_intact(alpha));

            const Bytes colour = random_bytes(width * 3, rng), plane = random_bytes(width, rng);
            Bytes joined = guarded(width * bpp), expected_joined(width * bpp);
            const std::uint8_t* alpha_in = bpp == 4 ? plane.data() : nullptr;
            variant.join_row(colour.data(), alpha_in, width, joined.data() + kGuard);
            kernels::reference::join_row(colour.data(), alpha_in, width, expected_joined.data());
            ASSERT_EQ(inside(joined), expected_joined);
            ASSERT_TRUE(guards_intact(joined));
        }
        const Bytes bgr = random_bytes(width * 3, rng);
        Bytes swapped = guarded(width * 3), expected_swapped(width * 3);
        variant.swap_red_blue(bgr.data(), swapped.data() + kGuard, width);
        kernels::reference::swap_red_blue(bgr.data(), expected_swapped.data(), width);
        ASSERT_EQ(inside(swapped), expected_swapped);
        ASSERT_TRUE(guards_intact(swapped));
    }
}

std::string variant_name(const testing::TestParamInfo<int>& param_info) {
    return kPixelVariants[param_info.param].name;
}

INSTANTIATE_TEST_SUITE_P(AllVariants, PixelVariants,
                         testing::Range(0, static_cast<int>(std::size(kPixelVariants))), variant_name);

}  // namespace
