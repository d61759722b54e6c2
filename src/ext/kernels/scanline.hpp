// PNG scanline filtering and unfiltering: byte loops only, no Python, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrune::kernels {

// A scanline's filter type: its first byte.
enum FilterType : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
inline constexpr std::uint8_t kMaxFilterType = kPaeth;

// The type a row is filtered and reconstructed by: on the top row (prev null)
// up and up-left are zero, so Up works as None and Paeth as Sub.
inline std::uint8_t effective_type(std::uint8_t type, const std::uint8_t* prev) {
    if (prev == nullptr && type == kUp) return kNone;
    if (prev == nullptr && type == kPaeth) return kSub;
    return type;
}

// The PNG Paeth predictor of left (a), above (b) and above-left (c); ties go to a,
// then b. Serves the decoder, the encoder and the tests alike.
inline int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Reconstructs one scanline. in and out hold row_bytes each and may be the same
// buffer; prev holds row_bytes (the previous reconstructed row) or is null for the
// top row, which is then read as zeros; prev must not overlap out. bytes_per_pixel
// is 3 or 4. Returns false, writing nothing, when type > 4.
bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel);

// Reconstructs two consecutive Paeth-filtered scanlines: in0 into out0 against
// prev, then in1 into out1 against out0, with the result of those two
// unfilter_row calls but faster, the two rows' chains running side by side. All
// five buffers hold row_bytes; prev is not null; no buffer overlaps another.
// bytes_per_pixel is 3 or 4.
void unfilter_paeth_pair(const std::uint8_t* in0, const std::uint8_t* in1, std::uint8_t* out0,
                         std::uint8_t* out1, const std::uint8_t* prev, std::size_t row_bytes,
                         unsigned bytes_per_pixel);

// Filters one scanline: out[i] = row[i] - predictor (mod 256). row and prev
// (null for the top row: zeros) hold row_bytes each; out holds row_bytes and
// overlaps neither. Returns false, writing nothing, when type > 4.
bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev,
                std::uint8_t* out, std::size_t row_bytes, unsigned bytes_per_pixel);

}  // namespace tavrune::kernels
