// Conversions between scanline layouts and the image's planes: byte loops only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrune::kernels {

// Splits an unfiltered row of width pixels into width*3 colour bytes and, for
// bytes_per_pixel 4, width alpha bytes. alpha may be null only when
// bytes_per_pixel is 3. No buffer overlaps another.
void split_row(const std::uint8_t* row, std::size_t width, unsigned bytes_per_pixel,
               std::uint8_t* rgb, std::uint8_t* alpha);

// The inverse of split_row: interleaves width*3 colour bytes and, when alpha is
// not null, width alpha bytes into a row of width*3 (or width*4) bytes.
void join_row(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t width,
              std::uint8_t* row);

// Swaps the first and third byte of every 3-byte pixel: blue-green-red to
// red-green-blue and back. in and out hold width*3 bytes and do not overlap.
void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t width);

}  // namespace tavrune::kernels
