// Every implementation that kernels/scanline.cpp and kernels/pixels.cpp may pick
// (defined in scanline_portable.cpp, scanline_sse2.cpp and pixels_ssse3.cpp),
// named so the tests and benchmarks can hold each one against the reference
// (reference.hpp). Each has the contract of the kernel of the same name in
// scanline.hpp or pixels.hpp; unfilter_row takes bytes_per_pixel 3 or 4 only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrune::kernels {

namespace portable {
// Plain C++ with loops shaped for the auto-vectoriser; any target.
bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel);
bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev,
                std::uint8_t* out, std::size_t row_bytes, unsigned bytes_per_pixel);
}  // namespace portable

#if defined(__SSE2__)
#define TAVRUNE_KERNELS_SSE2 1
namespace sse2 {
// SSE2 intrinsics (the x86-64 baseline): one pixel per register for the
// predictors that depend on the pixel to the left, 16 bytes at a time otherwise.
bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel);
// Paeth 16 bytes at a time in unsigned byte arithmetic; the other types take
// the portable loops, which the compiler vectorises well.
bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev,
                std::uint8_t* out, std::size_t row_bytes, unsigned bytes_per_pixel);
// Two Paeth rows in one pass, their two chains side by side in one register.
void unfilter_paeth_pair(const std::uint8_t* in0, const std::uint8_t* in1, std::uint8_t* out0,
                         std::uint8_t* out1, const std::uint8_t* prev, std::size_t row_bytes,
                         unsigned bytes_per_pixel);
}  // namespace sse2
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define TAVRUNE_KERNELS_SSSE3 1
namespace ssse3 {
// SSSE3 byte shuffles. Call only where cpu_has_ssse3() is true.
void split_row(const std::uint8_t* row, std::size_t width, unsigned bytes_per_pixel, std::uint8_t* rgb,
               std::uint8_t* alpha);
void join_row(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t width, std::uint8_t* row);
void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t width);
}  // namespace ssse3
#endif

// Whether this processor runs SSSE3 instructions.
bool cpu_has_ssse3();

}  // namespace tavrune::kernels
