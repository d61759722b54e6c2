// Scanline filter throughput over a whole 2048 x 2048 image, one filter type for
// every row, for the tuned kernels and the reference (the baseline any faster
// version is measured against). "row" is the time per 2048-pixel row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/pixels.hpp"
#include "kernels/reference.hpp"
#include "kernels/scanline.hpp"
#include "kernels/variants.hpp"

namespace {

namespace kernels = tavrune::kernels;
namespace reference = tavrune::kernels::reference;
using Bytes = std::vector<std::uint8_t>;
using UnfilterFn = bool (*)(std::uint8_t, const std::uint8_t*, std::uint8_t*, const std::uint8_t*,
                       std::size_t, unsigned);
using FilterFn = bool (*)(std::uint8_t, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                          std::size_t, unsigned);

constexpr std::size_t kWidth = 2048;
constexpr std::size_t kHeight = 2048;

// A smooth gradient with a little noise: close to photographic content, where
// the predictors are near but rarely exactly right.
Bytes noisy_gradient(unsigned bpp) {
    std::mt19937 rng(42);
    Bytes image(kWidth * bpp * kHeight);
    std::size_t i = 0;
    for (std::size_t y = 0; y < kHeight; ++y)
        for (std::size_t x = 0; x < kWidth; ++x)
            for (unsigned ch = 0; ch < bpp; ++ch)
                image[i++] = static_cast<std::uint8_t>((x + 2 * y + 64 * ch) / 8 + rng() % 8);
    return image;
}

void set_counters(benchmark::State& state, std::size_t image_bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image_bytes));
    state.counters["row"] = benchmark::Counter(static_cast<double>(kHeight),
                                               benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}

template <FilterFn Filter>
void bm_filter(benchmark::State& state) {
    const auto type = static_cast<std::uint8_t>(state.range(0));
    const auto bpp = static_cast<unsigned>(state.range(1));
    const std::size_t stride = kWidth * bpp;
    const Bytes image = noisy_gradient(bpp);
    Bytes out(image.size());
    for (auto _ : state) {
        for (std::size_t y = 0; y < kHeight; ++y) {
            const std::uint8_t* prev = y == 0 ? nullptr : &image[(y - 1) * stride];
            Filter(type, &image[y * stride], prev, &out[y * stride], stride, bpp);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, image.size());
}

// Decodes into a separate image, each row reading the one reconstructed above it.
template <UnfilterFn Unfilter>
void bm_unfilter(benchmark::State& state) {
    const auto type = static_cast<std::uint8_t>(state.range(0));
    const auto bpp = static_cast<unsigned>(state.range(1));
    const std::size_t stride = kWidth * bpp;
    const Bytes image = noisy_gradient(bpp);
    Bytes filtered(image.size()), out(image.size());
    for (std::size_t y = 0; y < kHeight; ++y) {
        const std::uint8_t* prev = y == 0 ? nullptr : &image[(y - 1) * stride];
        reference::filter_row(type, &image[y * stride], prev, &filtered[y * stride], stride, bpp);
    }
    for (auto _ : state) {
        for (std::size_t y = 0; y < kHeight; ++y) {
            const std::uint8_t* prev = y == 0 ? nullptr : &out[(y - 1) * stride];
            Unfilter(type, &filtered[y * stride], &out[y * stride], prev, stride, bpp);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (out != image) state.SkipWithError("unfilter did not restore the image");
    set_counters(state, image.size());
}

// Every row Paeth, reconstructed two rows at a time as the decoder does.
void bm_unfilter_paeth_pairs(benchmark::State& state) {
    const auto bpp = static_cast<unsigned>(state.range(0));
    const std::size_t stride = kWidth * bpp;
    const Bytes image = noisy_gradient(bpp);
    Bytes filtered(image.size()), out(image.size());
    for (std::size_t y = 0; y < kHeight; ++y) {
        const std::uint8_t* prev = y == 0 ? nullptr : &image[(y - 1) * stride];
        reference::filter_row(4, &image[y * stride], prev, &filtered[y * stride], stride, bpp);
    }
    for (auto _ : state) {
        kernels::unfilter_row(4, &filtered[0], &out[0], nullptr, stride, bpp);
        std::size_t y = 1;
        for (; y + 1 < kHeight; y += 2)
            kernels::unfilter_paeth_pair(&filtered[y * stride], &filtered[(y + 1) * stride], &out[y * stride],
                                         &out[(y + 1) * stride], &out[(y - 1) * stride], stride, bpp);
        for (; y < kHeight; ++y) kernels::unfilter_row(4, &filtered[y * stride], &out[y * stride],
                                                       &out[(y - 1) * stride], stride, bpp);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (out != image) state.SkipWithError("unfilter did not restore the image");
    set_counters(state, image.size());
}

void type_and_bpp(benchmark::internal::Benchmark* b) {
    b->ArgNames({"type", "bpp"})->ArgsProduct({{0, 1, 2, 3, 4}, {3, 4}});
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(bm_unfilter<kernels::unfilter_row>)->Name("unfilter")->Apply(type_and_bpp);
BENCHMARK(bm_unfilter<kernels::portable::unfilter_row>)->Name("unfilter_portable")->Apply(type_and_bpp);
#if defined(TAVRUNE_KERNELS_SSE2)
BENCHMARK(bm_unfilter<kernels::sse2::unfilter_row>)->Name("unfilter_sse2")->Apply(type_and_bpp);
#endif
BENCHMARK(bm_unfilter_paeth_pairs)->Name("unfilter_paeth_pairs")->ArgName("bpp")->Arg(3)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_filter<kernels::filter_row>)->Name("filter")->Apply(type_and_bpp);
BENCHMARK(bm_unfilter<reference::unfilter_row>)->Name("unfilter_reference")->Apply(type_and_bpp);
BENCHMARK(bm_filter<reference::filter_row>)->Name("filter_reference")->Apply(type_and_bpp);

// Row layout conversions over a whole image, row by row as the codecs call them.
void bm_split(benchmark::State& state) {
    const Bytes image = noisy_gradient(4);
    Bytes rgb(kWidth * kHeight * 3), alpha(kWidth * kHeight);
    for (auto _ : state) {
        for (std::size_t y = 0; y < kHeight; ++y)
            kernels::split_row(&image[y * kWidth * 4], kWidth, 4, &rgb[y * kWidth * 3], &alpha[y * kWidth]);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, image.size());
}

void bm_join(benchmark::State& state) {
    const Bytes image = noisy_gradient(4);
    Bytes rgb(kWidth * kHeight * 3), alpha(kWidth * kHeight), row(kWidth * 4);
    for (std::size_t y = 0; y < kHeight; ++y)
        kernels::split_row(&image[y * kWidth * 4], kWidth, 4, &rgb[y * kWidth * 3], &alpha[y * kWidth]);
    for (auto _ : state) {
        for (std::size_t y = 0; y < kHeight; ++y) {
            kernels::join_row(&rgb[y * kWidth * 3], &alpha[y * kWidth], kWidth, row.data());
            benchmark::DoNotOptimize(row.data());
        }
        benchmark::ClobberMemory();
    }
    set_counters(state, image.size());
}

void bm_swap(benchmark::State& state) {
    const Bytes image = noisy_gradient(3);
    Bytes out(image.size());
    for (auto _ : state) {
        for (std::size_t y = 0; y < kHeight; ++y)
            kernels::swap_red_blue(&image[y * kWidth * 3], &out[y * kWidth * 3], kWidth);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, image.size());
}

BENCHMARK(bm_split)->Name("split_row")->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_join)->Name("join_row")->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_swap)->Name("swap_red_blue")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
