// Scanline filters: round trips, the tuned loops against the reference, the
// Paeth predictor over every input, and rows worked out by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/reference.hpp"
#include "kernels/scanline.hpp"

namespace {

namespace kernels = tavrune::kernels;
namespace reference = tavrune::kernels::reference;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kPaethType = 4;

const std::uint8_t* or_null(const Bytes& prev) { return prev.empty() ? nullptr : prev.data(); }

// Uniform noise, or bytes within a narrow band so neighbours are often equal and
// the predictors' ties and wrap-arounds get exercised too.
Bytes random_row(std::size_t n, std::mt19937& rng) {
    Bytes row(n);
    const bool narrow = rng() % 2 == 0;
    const auto base = static_cast<unsigned>(rng());
    for (auto& byte : row) {
        byte = static_cast<std::uint8_t>(narrow ? base + rng() % 4 : rng());
    }
    return row;
}

// Runs a filter_row- or unfilter_row-shaped kernel into a fresh row.
template <class Filter>
Bytes filtered_by(Filter filter, std::uint8_t type, const Bytes& row, const Bytes& prev,
                  unsigned bpp) {
    Bytes out(row.size());
    EXPECT_TRUE(filter(type, row.data(), or_null(prev), out.data(), row.size(), bpp));
    return out;
}

template <class Unfilter>
Bytes unfiltered_by(Unfilter unfilter, std::uint8_t type, const Bytes& in, const Bytes& prev,
                    unsigned bpp) {
    Bytes out(in.size());
    EXPECT_TRUE(unfilter(type, in.data(), out.data(), or_null(prev), in.size(), bpp));
    return out;
}

// --- Round trips and tuned against reference --------------------------------

using RoundTripParam = std::tuple<int /*type*/, unsigned /*bpp*/, bool /*has_prev*/>;

class RoundTrip : public testing::TestWithParam<RoundTripParam> {};

TEST_P(RoundTrip, MatchesReferenceAndInverts) {
    const auto [type_int, bpp, has_prev] = GetParam();
    const auto type = static_cast<std::uint8_t>(type_int);
    std::mt19937 rng(1000u * static_cast<unsigned>(type) + 10u * bpp + has_prev);
    // Every width 1..67, plus the row lengths in between (a partial last pixel).
    for (std::size_t n = 1; n <= 67 * bpp; ++n) {
        for (int rep = 0; rep < 3; ++rep) {
            SCOPED_TRACE("row_bytes=" + std::to_string(n) + " rep=" + std::to_string(rep));
            const Bytes row = random_row(n, rng);
            const Bytes prev = has_prev ? random_row(n, rng) : Bytes{};

            const Bytes filtered = filtered_by(kernels::filter_row, type, row, prev, bpp);
            ASSERT_EQ(filtered_by(reference::filter_row, type, row, prev, bpp), filtered);
            ASSERT_EQ(unfiltered_by(kernels::unfilter_row, type, filtered, prev, bpp), row);
            ASSERT_EQ(unfiltered_by(reference::unfilter_row, type, filtered, prev, bpp), row);

            Bytes in_place = filtered;
            ASSERT_TRUE(kernels::unfilter_row(type, in_place.data(), in_place.data(), or_null(prev),
                                              n, bpp));
            ASSERT_EQ(in_place, row);
        }
    }
}

std::string round_trip_name(const testing::TestParamInfo<RoundTripParam>& param_info) {
    const auto [type, bpp, has_prev] = param_info.param;
    return "Type" + std::to_string(type) + "Bpp" + std::to_string(bpp) +
           (has_prev ? "WithPrev" : "TopRow");
}

INSTANTIATE_TEST_SUITE_P(AllTypes, RoundTrip,
                         testing::Combine(testing::Range(0, 5), testing::Values(3u, 4u),
                                          testing::Bool()),
                         round_trip_name);

// --- Paeth over all inputs ----------------------------------------------------

int textbook_paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

TEST(Paeth, HeaderMatchesTextbookOnAllInputs) {
    long mismatches = 0;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            for (int c = 0; c < 256; ++c)
                mismatches += kernels::paeth(a, b, c) != textbook_paeth(a, b, c);
    EXPECT_EQ(mismatches, 0);
}

TEST(Paeth, TiesAndHandPicked) {
    struct Case {
        int a, b, c, expected;
    };
    for (const Case& t : {Case{10, 10, 10, 10}, Case{1, 3, 2, 2}, Case{3, 5, 3, 5},
                          Case{0, 3, 1, 3}, Case{0, 6, 2, 6}, Case{5, 10, 0, 10}}) {
        EXPECT_EQ(kernels::paeth(t.a, t.b, t.c), t.expected) << t.a << ',' << t.b << ',' << t.c;
        EXPECT_EQ(textbook_paeth(t.a, t.b, t.c), t.expected) << t.a << ',' << t.b << ',' << t.c;
    }
}

// The tuned Paeth loops use their own branch-free predictor: check it on every
// (a, b, c) through two-pixel rows, one triple per channel, whose second pixel
// has left a, up b and up-left c.
class PaethKernel : public testing::TestWithParam<unsigned> {};

TEST_P(PaethKernel, AllInputsThroughRows) {
    const unsigned bpp = GetParam();
    const std::size_t n = 2 * bpp;
    Bytes row(n), prev(n), out(n);
    long mismatches = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (unsigned c0 = 0; c0 < 256; c0 += bpp) {
                for (unsigned k = 0; k < bpp; ++k) {
                    prev[k] = static_cast<std::uint8_t>(c0 + k);  // up-left of the second pixel
                    prev[bpp + k] = static_cast<std::uint8_t>(b);
                    row[k] = static_cast<std::uint8_t>(a);
                    row[bpp + k] = 0;  // so the second pixel filters to -predictor
                }
                kernels::filter_row(kPaethType, row.data(), prev.data(), out.data(), n, bpp);
                for (unsigned k = 0; k < bpp; ++k) {
                    const int expected = kernels::paeth(a, b, prev[k]);
                    mismatches += static_cast<std::uint8_t>(-out[bpp + k]) != expected;
                }
                // The first pixel predicts up, so a - up reconstructs to a.
                for (unsigned k = 0; k < bpp; ++k) row[k] = static_cast<std::uint8_t>(a - prev[k]);
                kernels::unfilter_row(kPaethType, row.data(), out.data(), prev.data(), n, bpp);
                for (unsigned k = 0; k < bpp; ++k) {
                    const int expected = kernels::paeth(a, b, prev[k]);
                    mismatches += out[k] != a || out[bpp + k] != expected;
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Bpp, PaethKernel, testing::Values(3u, 4u));

// --- Rows worked out by hand ----------------------------------------------------

struct HandCase {
    std::string name;
    std::uint8_t type;
    unsigned bpp;
    Bytes prev;  // empty: top row
    Bytes filtered;
    Bytes raw;
};

class HandWorked : public testing::TestWithParam<HandCase> {};

TEST_P(HandWorked, BothDirectionsBothImplementations) {
    const HandCase& t = GetParam();
    EXPECT_EQ(unfiltered_by(kernels::unfilter_row, t.type, t.filtered, t.prev, t.bpp), t.raw);
    EXPECT_EQ(unfiltered_by(reference::unfilter_row, t.type, t.filtered, t.prev, t.bpp), t.raw);
    EXPECT_EQ(filtered_by(kernels::filter_row, t.type, t.raw, t.prev, t.bpp), t.filtered);
    EXPECT_EQ(filtered_by(reference::filter_row, t.type, t.raw, t.prev, t.bpp), t.filtered);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandWorked,
    testing::Values(
        HandCase{"SubRgb", 1, 3, {}, {10, 20, 30, 5, 5, 5}, {10, 20, 30, 15, 25, 35}},
        HandCase{"UpWrapsModulo256", 2, 3, {200, 200, 200}, {100, 100, 100}, {44, 44, 44}},
        // Second pixel: left 255, up 255 predicts 255 (an 8-bit sum would give 127).
        HandCase{"AverageNoOverflow", 3, 3, {0, 0, 0, 255, 255, 255}, {255, 255, 255, 0, 0, 0},
                 {255, 255, 255, 255, 255, 255}},
        // Second pixel: left 255, up 0 predicts 127.
        HandCase{"AverageRoundsDown", 3, 3, {}, {255, 255, 255, 0, 0, 0},
                 {255, 255, 255, 127, 127, 127}},
        HandCase{"AverageFirstPixelHalvesUp", 3, 4, {255, 1, 2, 3}, {0, 0, 0, 0}, {127, 0, 1, 1}},
        // Second pixel's (left, up, up-left): (10,10,10)->10, (1,3,2)->2, (3,5,3)->5.
        HandCase{"PaethTies", 4, 3, {10, 2, 3, 10, 3, 5}, {0, 255, 0, 10, 0, 0},
                 {10, 1, 3, 20, 2, 5}},
        HandCase{"PaethTopRowIsSub", 4, 4, {}, {1, 2, 3, 4, 1, 1, 1, 1},
                 {1, 2, 3, 4, 2, 3, 4, 5}}),
    [](const testing::TestParamInfo<HandCase>& param_info) { return param_info.param.name; });

// --- Unknown filter types -------------------------------------------------------

TEST(Scanline, UnknownTypeReturnsFalseAndWritesNothing) {
    constexpr std::uint8_t kSentinel = 0xA5;
    const Bytes in(8, 7), prev(8, 9);
    for (unsigned type = kernels::kMaxFilterType + 1; type < 256; ++type) {
        const auto t = static_cast<std::uint8_t>(type);
        for (unsigned bpp : {3u, 4u}) {
            for (const std::uint8_t* p : {prev.data(), static_cast<const std::uint8_t*>(nullptr)}) {
                Bytes out(8, kSentinel);
                EXPECT_FALSE(kernels::unfilter_row(t, in.data(), out.data(), p, 8, bpp));
                EXPECT_FALSE(kernels::filter_row(t, in.data(), p, out.data(), 8, bpp));
                EXPECT_FALSE(reference::unfilter_row(t, in.data(), out.data(), p, 8, bpp));
                EXPECT_FALSE(reference::filter_row(t, in.data(), p, out.data(), 8, bpp));
                EXPECT_EQ(out, Bytes(8, kSentinel)) << "type " << type;
            }
        }
    }
}

}  // namespace
