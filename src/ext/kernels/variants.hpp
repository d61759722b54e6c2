// Every implementation of the scanline unfilter that unfilter_row may pick, named
// so the tests and benchmarks can hold each one against the reference. Same
// contract as tavrune::kernels::unfilter_row; bytes_per_pixel 3 or 4 only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrune::kernels {

namespace portable {
// Plain C++ with loops shaped for the auto-vectoriser; any target.
bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel);
}  // namespace portable

#if defined(__SSE2__)
#define TAVRUNE_KERNELS_SSE2 1
namespace sse2 {
// SSE2 intrinsics (the x86-64 baseline): one pixel per register for the
// predictors that depend on the pixel to the left, 16 bytes at a time otherwise.
bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel);
}  // namespace sse2
#endif

}  // namespace tavrune::kernels
