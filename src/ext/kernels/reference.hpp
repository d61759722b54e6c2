// Plain per-byte scanline filters, written straight from the definition of each
// filter type. They are the yardstick that the tuned kernels in scanline.hpp (and
// any SIMD versions) must match byte for byte; the codecs call the tuned ones.
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

}  // namespace tavrune::kernels::reference
