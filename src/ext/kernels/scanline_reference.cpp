// PNG scanline filters, reference versions: each filter's definition followed
// byte by byte. The other versions must match them; they also take the pixel
// sizes the faster loops leave out.
#include "kernels/reference.hpp"
#include "kernels/scanline.hpp"

namespace tavrune::kernels {

namespace reference {
namespace {

// The three neighbours of byte i: left (a), up (b), up-left (c); zero off the
// row's start and on the top row. a is read from the reconstructed row.
struct Neighbours {
    int a, b, c;
};

inline Neighbours neighbours(const std::uint8_t* line, const std::uint8_t* prev, std::size_t i,
                             unsigned bpp) {
    const bool has_left = i >= bpp;
    return {has_left ? line[i - bpp] : 0, prev != nullptr ? prev[i] : 0,
            prev != nullptr && has_left ? prev[i - bpp] : 0};
}

inline int predictor(std::uint8_t type, Neighbours n) {
    switch (type) {
        case kSub: return n.a;
        case kUp: return n.b;
        case kAverage: return (n.a + n.b) / 2;
        case kPaeth: return paeth(n.a, n.b, n.c);
        default: return 0;
    }
}

}  // namespace

bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (type > kMaxFilterType) return false;
    for (std::size_t i = 0; i < row_bytes; ++i) {
        const int p = predictor(type, neighbours(out, prev, i, bytes_per_pixel));
        out[i] = static_cast<std::uint8_t>(in[i] + p);
    }
    return true;
}

bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev,
                std::uint8_t* out, std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (type > kMaxFilterType) return false;
    for (std::size_t i = 0; i < row_bytes; ++i) {
        const int p = predictor(type, neighbours(row, prev, i, bytes_per_pixel));
        out[i] = static_cast<std::uint8_t>(row[i] - p);
    }
    return true;
}

}  // namespace reference
}  // namespace tavrune::kernels
