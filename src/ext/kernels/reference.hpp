// Plain per-byte kernels, written straight from the definition of each filter
// type and each row layout. They are the yardstick that the tuned kernels in
// scanline.hpp and pixels.hpp (and every vector version) must match byte for
// byte; the codecs call the tuned ones. Defined in scanline_reference.cpp and
// pixels_reference.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrune::kernels::reference {

// Same contract as tavrune::kernels::unfilter_row, including in-place use and
// any bytes_per_pixel >= 1.
bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel);

// Same contract as tavrune::kernels::filter_row.
bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev,
                std::uint8_t* out, std::size_t row_bytes, unsigned bytes_per_pixel);

// Same contracts as the functions of the same names in kernels/pixels.hpp.
void split_row(const std::uint8_t* row, std::size_t width, unsigned bytes_per_pixel, std::uint8_t* rgb,
               std::uint8_t* alpha);
void join_row(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t width, std::uint8_t* row);
void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t width);

}  // namespace tavrune::kernels::reference
