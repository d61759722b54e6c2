// The one place that picks an implementation for each kernel. SSE2 belongs to
// every x86-64 target, so the scanline filters take it at compile time; SSSE3
// does not, so the row layout conversions take it when the processor reports
// it, checked once when the library loads.
#include "kernels/pixels.hpp"
#include "kernels/reference.hpp"
#include "kernels/scanline.hpp"
#include "kernels/variants.hpp"

namespace tavrune::kernels {

bool cpu_has_ssse3() {
#if defined(TAVRUNE_KERNELS_SSSE3)
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

namespace {

struct PixelKernels {
    decltype(&reference::split_row) split_row;
    decltype(&reference::join_row) join_row;
    decltype(&reference::swap_red_blue) swap_red_blue;
};

PixelKernels choose_pixel_kernels() {
#if defined(TAVRUNE_KERNELS_SSSE3)
    if (cpu_has_ssse3()) return {ssse3::split_row, ssse3::join_row, ssse3::swap_red_blue};
#endif
    return {reference::split_row, reference::join_row, reference::swap_red_blue};
}

const PixelKernels pixel_kernels = choose_pixel_kernels();

}  // namespace

bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* prev,
                  std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (bytes_per_pixel != 3 && bytes_per_pixel != 4)
        return reference::unfilter_row(type, in, out, prev, row_bytes, bytes_per_pixel);
#if defined(TAVRUNE_KERNELS_SSE2)
    return sse2::unfilter_row(type, in, out, prev, row_bytes, bytes_per_pixel);
#else
    return portable::unfilter_row(type, in, out, prev, row_bytes, bytes_per_pixel);
#endif
}

void unfilter_paeth_pair(const std::uint8_t* in0, const std::uint8_t* in1, std::uint8_t* out0, std::uint8_t* out1,
                         const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel) {
#if defined(TAVRUNE_KERNELS_SSE2)
    if (bytes_per_pixel == 3 || bytes_per_pixel == 4) {
        sse2::unfilter_paeth_pair(in0, in1, out0, out1, prev, row_bytes, bytes_per_pixel);
        return;
    }
#endif
    constexpr std::uint8_t kPaeth = 4;
    unfilter_row(kPaeth, in0, out0, prev, row_bytes, bytes_per_pixel);
    unfilter_row(kPaeth, in1, out1, out0, row_bytes, bytes_per_pixel);
}

bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev, std::uint8_t* out,
                std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (bytes_per_pixel != 3 && bytes_per_pixel != 4)
        return reference::filter_row(type, row, prev, out, row_bytes, bytes_per_pixel);
#if defined(TAVRUNE_KERNELS_SSE2)
    return sse2::filter_row(type, row, prev, out, row_bytes, bytes_per_pixel);
#else
    return portable::filter_row(type, row, prev, out, row_bytes, bytes_per_pixel);
#endif
}

void split_row(const std::uint8_t* row, std::size_t width, unsigned bytes_per_pixel, std::uint8_t* rgb,
               std::uint8_t* alpha) {
    pixel_kernels.split_row(row, width, bytes_per_pixel, rgb, alpha);
}

void join_row(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t width, std::uint8_t* row) {
    pixel_kernels.join_row(rgb, alpha, width, row);
}

void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t width) {
    pixel_kernels.swap_red_blue(in, out, width);
}

}  // namespace tavrune::kernels
