// The scanline filters of kernels/scanline.hpp: each picks its version here.
// SSE2 belongs to every x86-64 target, so the filters take it at compile time
// (scanline_sse2.cpp); other targets take the portable loops
// (scanline_portable.cpp), and pixel sizes other than 3 and 4 the reference
// loops (scanline_reference.cpp).
#include "kernels/scanline.hpp"
#include "kernels/reference.hpp"
#include "kernels/variants.hpp"

namespace tavrune::kernels {

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

}  // namespace tavrune::kernels
