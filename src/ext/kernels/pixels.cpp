// The row layout conversions of kernels/pixels.hpp: each picks its version here.
// SSSE3 does not belong to every x86-64 target, so the conversions take it when
// the processor reports it, checked once when the library loads, and the
// reference loops (pixels_reference.cpp) otherwise.
#include "kernels/pixels.hpp"
#include "kernels/reference.hpp"
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
