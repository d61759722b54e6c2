// Row layout conversions, plain byte loops. The image keeps colour and alpha in
// separate planes, so RGBA rows are split on read and joined on write; RGB rows
// map one to one. These loops are the reference the vector versions must match.
#include "kernels/reference.hpp"

#include <cstring>

namespace tavrune::kernels::reference {

void split_row(const std::uint8_t* row, std::size_t width, unsigned bytes_per_pixel, std::uint8_t* rgb,
               std::uint8_t* alpha) {
    if (bytes_per_pixel == 3) {
        std::memcpy(rgb, row, width * 3);
        return;
    }
    for (std::size_t x = 0; x < width; ++x, row += 4, rgb += 3) {
        rgb[0] = row[0];
        rgb[1] = row[1];
        rgb[2] = row[2];
        alpha[x] = row[3];
    }
}

void join_row(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t width, std::uint8_t* row) {
    if (alpha == nullptr) {
        std::memcpy(row, rgb, width * 3);
        return;
    }
    for (std::size_t x = 0; x < width; ++x, row += 4, rgb += 3) {
        row[0] = rgb[0];
        row[1] = rgb[1];
        row[2] = rgb[2];
        row[3] = alpha[x];
    }
}

void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

}  // namespace tavrune::kernels::reference
