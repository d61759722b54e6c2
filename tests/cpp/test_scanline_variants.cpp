// Every filter and unfilter implementation that kernels/scanline.cpp may pick,
// byte for byte against the plain reference: all five filter types, 3 and 4
// bytes per pixel, widths 1 to 67 (and the row lengths between whole pixels),
// random rows, top row and not; unfiltering into a separate row and in place.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/reference.hpp"
#include "kernels/scanline.hpp"
#include "kernels/variants.hpp"

namespace {

namespace kernels = tavrune::kernels;
using Bytes = std::vector<std::uint8_t>;
using UnfilterFn = bool (*)(std::uint8_t, const std::uint8_t*, std::uint8_t*, const std::uint8_t*, std::size_t,
                            unsigned);
using FilterFn = bool (*)(std::uint8_t, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                          unsigned);

struct Variant {
    const char* name;
    UnfilterFn unfilter;
    FilterFn filter;
};

const Variant kVariants[] = {
    {"Dispatched", kernels::unfilter_row, kernels::filter_row},
    {"Portable", kernels::portable::unfilter_row, kernels::portable::filter_row},
#if defined(TAVRUNE_KERNELS_SSE2)
    {"Sse2", kernels::sse2::unfilter_row, kernels::sse2::filter_row},
#endif
};

// Uniform noise, a narrow band (many equal neighbours: the predictors' ties), or
// bytes near 0 and 255 (wrap-around and the widest distances).
Bytes random_row(std::size_t n, std::mt19937& rng) {
    Bytes row(n);
    const unsigned kind = rng() % 3;
    const auto base = static_cast<unsigned>(rng());
    for (auto& byte : row) {
        const unsigned r = static_cast<unsigned>(rng());
        byte = static_cast<std::uint8_t>(kind == 0 ? r : kind == 1 ? base + r % 4 : (r & 1 ? 255 - r % 3 : r % 3));
    }
    return row;
}

using Param = std::tuple<int /*variant*/, int /*type*/, unsigned /*bpp*/>;

class MatchesReference : public testing::TestWithParam<Param> {};

TEST_P(MatchesReference, EveryWidthRandomRows) {
    const auto [variant_index, type_int, bpp] = GetParam();
    const Variant& variant = kVariants[variant_index];
    const auto type = static_cast<std::uint8_t>(type_int);
    std::mt19937 rng(7919u * static_cast<unsigned>(type_int) + 31u * bpp + static_cast<unsigned>(variant_index));
    for (std::size_t n = 1; n <= 67 * bpp; ++n) {
        for (int rep = 0; rep < 4; ++rep) {
            SCOPED_TRACE(std::string(variant.name) + " row_bytes=" + std::to_string(n) + " rep=" + std::to_string(rep));
            const Bytes in = random_row(n, rng);
            const Bytes prev = random_row(n, rng);
            for (const std::uint8_t* above : {prev.data(), static_cast<const std::uint8_t*>(nullptr)}) {
                Bytes expected_filtered(n), filtered(n);
                ASSERT_TRUE(kernels::reference::filter_row(type, in.data(), above, expected_filtered.data(), n, bpp));
                ASSERT_TRUE(variant.filter(type, in.data(), above, filtered.data(), n, bpp));
                ASSERT_EQ(filtered, expected_filtered);

                Bytes expected(n), actual(n);
                ASSERT_TRUE(kernels::reference::unfilter_row(type, in.data(), expected.data(), above, n, bpp));
                ASSERT_TRUE(variant.unfilter(type, in.data(), actual.data(), above, n, bpp));
                ASSERT_EQ(actual, expected);
                Bytes in_place = in;
                ASSERT_TRUE(variant.unfilter(type, in_place.data(), in_place.data(), above, n, bpp));
                ASSERT_EQ(in_place, expected);
            }
        }
    }
}

// A whole image, each row reconstructed against the one the variant made above
// it, so an error carried down the rows shows too.
TEST_P(MatchesReference, StackedRows) {
    const auto [variant_index, type_int, bpp] = GetParam();
    const Variant& variant = kVariants[variant_index];
    const auto type = static_cast<std::uint8_t>(type_int);
    std::mt19937 rng(104729u + static_cast<unsigned>(type_int) * 7u + bpp);
    constexpr std::size_t kRows = 24;
    for (std::size_t width : {1u, 2u, 5u, 6u, 16u, 33u, 67u, 301u}) {
        const std::size_t n = width * bpp;
        Bytes expected(n * kRows), actual(n * kRows);
        for (std::size_t y = 0; y < kRows; ++y) {
            const Bytes in = random_row(n, rng);
            const std::uint8_t* above_expected = y ? &expected[(y - 1) * n] : nullptr;
            const std::uint8_t* above_actual = y ? &actual[(y - 1) * n] : nullptr;
            ASSERT_TRUE(kernels::reference::unfilter_row(type, in.data(), &expected[y * n], above_expected, n, bpp));
            ASSERT_TRUE(variant.unfilter(type, in.data(), &actual[y * n], above_actual, n, bpp));
        }
        ASSERT_EQ(actual, expected) << variant.name << " width " << width;
    }
}

// Every (left, up, up-left) triple, one per channel, as the second pixel of a
// row, unfiltered and filtered.
class PaethAllInputs : public testing::TestWithParam<std::tuple<int, unsigned> /*variant, bpp*/> {};

TEST_P(PaethAllInputs, SecondPixel) {
    const auto [variant_index, bpp] = GetParam();
    const Variant& variant = kVariants[variant_index];
    // Eight pixels, so the second one takes the main loops of both directions.
    const std::size_t n = 8 * bpp;
    Bytes in(n, 0), prev(n, 0), expected(n), actual(n), expected_filtered(n), filtered(n);
    long mismatches = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (unsigned c0 = 0; c0 < 256; c0 += bpp) {
                for (unsigned k = 0; k < bpp; ++k) {
                    prev[k] = static_cast<std::uint8_t>(c0 + k);
                    prev[bpp + k] = static_cast<std::uint8_t>(b);
                    in[k] = static_cast<std::uint8_t>(a - prev[k]);  // the first pixel predicts up
                }
                kernels::reference::unfilter_row(4, in.data(), expected.data(), prev.data(), n, bpp);
                variant.unfilter(4, in.data(), actual.data(), prev.data(), n, bpp);
                mismatches += actual != expected;
                kernels::reference::filter_row(4, expected.data(), prev.data(), expected_filtered.data(), n, bpp);
                variant.filter(4, expected.data(), prev.data(), filtered.data(), n, bpp);
                mismatches += filtered != expected_filtered;
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << variant.name;
}

std::string param_name(const testing::TestParamInfo<Param>& info) {
    const auto [variant_index, type, bpp] = info.param;
    return std::string(kVariants[variant_index].name) + "Type" + std::to_string(type) + "Bpp" + std::to_string(bpp);
}

// Two Paeth rows at once against two reference rows: every width 1 to 67 and
// some long rows, random content, in each pair kernel.
using PairFn = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*,
                        const std::uint8_t*, std::size_t, unsigned);

struct PairVariant {
    const char* name;
    PairFn pair;
};

const PairVariant kPairVariants[] = {
    {"Dispatched", kernels::unfilter_paeth_pair},
#if defined(TAVRUNE_KERNELS_SSE2)
    {"Sse2", kernels::sse2::unfilter_paeth_pair},
#endif
};

class PaethPair : public testing::TestWithParam<std::tuple<int /*variant*/, unsigned /*bpp*/>> {};

TEST_P(PaethPair, MatchesTwoReferenceRows) {
    const auto [variant_index, bpp] = GetParam();
    const PairVariant& variant = kPairVariants[variant_index];
    std::mt19937 rng(4099u + bpp);
    std::vector<std::size_t> lengths;
    for (std::size_t width = 1; width <= 67; ++width) lengths.push_back(width * bpp);
    for (std::size_t n : {100u, 301u, 2048u * bpp + 1}) lengths.push_back(n);  // and partial last pixels
    for (std::size_t n : lengths) {
        for (int rep = 0; rep < 6; ++rep) {
            SCOPED_TRACE(std::string(variant.name) + " row_bytes=" + std::to_string(n) + " rep=" + std::to_string(rep));
            const Bytes in0 = random_row(n, rng), in1 = random_row(n, rng), prev = random_row(n, rng);
            Bytes expected0(n), expected1(n);
            kernels::reference::unfilter_row(4, in0.data(), expected0.data(), prev.data(), n, bpp);
            kernels::reference::unfilter_row(4, in1.data(), expected1.data(), expected0.data(), n, bpp);
            // Guard bytes around both outputs must stay untouched.
            Bytes out(3 * n + 96, 0xA5);
            std::uint8_t* out0 = out.data() + 32;
            std::uint8_t* out1 = out0 + n + 32;
            variant.pair(in0.data(), in1.data(), out0, out1, prev.data(), n, bpp);
            ASSERT_EQ(Bytes(out0, out0 + n), expected0);
            ASSERT_EQ(Bytes(out1, out1 + n), expected1);
            for (std::size_t i = 0; i < 32; ++i) {
                ASSERT_EQ(out[i], 0xA5);
                ASSERT_EQ(out0[n + i], 0xA5);
                ASSERT_EQ(out1[n + i], 0xA5);
            }
        }
    }
}

std::string pair_name(const testing::TestParamInfo<std::tuple<int, unsigned>>& param_info) {
    const auto [variant_index, bpp] = param_info.param;
    return std::string(kPairVariants[variant_index].name) + "Bpp" + std::to_string(bpp);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, PaethPair,
                         testing::Combine(testing::Range(0, static_cast<int>(std::size(kPairVariants))),
                                          testing::Values(3u, 4u)),
                         pair_name);

using PaethParam = std::tuple<int /*variant*/, unsigned /*bpp*/>;

std::string paeth_name(const testing::TestParamInfo<PaethParam>& info) {
    const auto [variant_index, bpp] = info.param;
    return std::string(kVariants[variant_index].name) + "Bpp" + std::to_string(bpp);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, MatchesReference,
                         testing::Combine(testing::Range(0, static_cast<int>(std::size(kVariants))),
                                          testing::Range(0, 5), testing::Values(3u, 4u)),
                         param_name);

INSTANTIATE_TEST_SUITE_P(AllVariants, PaethAllInputs,
                         testing::Combine(testing::Range(0, static_cast<int>(std::size(kVariants))),
                                          testing::Values(3u, 4u)),
                         paeth_name);

}  // namespace
