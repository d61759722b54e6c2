// PNG scanline filters, portable versions: unfilter and filter_row pick the loop
// once per row (filter type, top row or not, 3 or 4 bytes per pixel) so each loop
// body is small and its offsets are constants. Other pixel sizes, which the codecs
// do not produce, take the reference loops (scanline_reference.cpp).
// kernels/scanline.cpp chooses which version runs. The tests hold every version
// byte-identical.
#include "kernels/scanline.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kernels/variants.hpp"

namespace tavrune::kernels {
namespace {

using Byte = std::uint8_t;

// Predictors are ints (a byte's value or a small sum of them); storing a filtered
// or reconstructed byte is arithmetic modulo 256, so the narrowing is the point.
inline Byte add(int x, int y) { return static_cast<Byte>(x + y); }
inline Byte sub(int x, int y) { return static_cast<Byte>(x - y); }

// Widened before the sum so left = up = 255 predicts 255, not 127.
inline int average(int left, int up) { return (left + up) >> 1; }

// paeth() as a running minimum over a, b, c with strict comparisons, which keep
// the earlier candidate on ties; distances are measured from c (p - a = b - c,
// p - b = a - c). Each step is a select, not a branch: the winner is data
// dependent and a branch on it mispredicts on most real images. Int is int in
// the serial unfilter loops and int16_t in the filter loops, where the
// vectoriser then packs eight lanes per SSE2 register instead of four (the
// distances stay within +-510).
template <class Int>
inline Int paeth_select(Int a, Int b, Int c) {
    const auto dist = [](int d) { return static_cast<Int>(d < 0 ? -d : d); };
    const Int pa = dist(b - c);
    const Int pb = dist(a - c);
    const Int pc = dist(a + b - 2 * c);
    const bool b_nearer = pb < pa;
    const Int nearer = b_nearer ? b : a;
    const Int best = b_nearer ? pb : pa;
    return pc < best ? c : nearer;
}

// Sub on its own: reading left back from out lets the compiler carry a whole
// 4-byte pixel in one vector register.
template <unsigned Bpp>
inline void unfilter_sub(const Byte* in, Byte* out, std::size_t n) {
    const std::size_t first = std::min<std::size_t>(n, Bpp);
    for (std::size_t i = 0; i < first; ++i) out[i] = in[i];
    for (std::size_t i = first; i < n; ++i) out[i] = add(in[i], out[i - Bpp]);
}

// out[i] = in[i] + predictor: head(i) for the first pixel, which has no left
// neighbour, and rest(left, i) after it, left being the reconstructed byte one
// pixel back. left is carried in registers a pixel at a time rather than read
// back from out, where it would wait on the store just made. in may equal out:
// in[i] is read before out[i] is written and nothing behind i is read from in.
template <unsigned Bpp, class Head, class Rest>
inline void unfilter_with(const Byte* in, Byte* out, std::size_t n, Head head, Rest rest) {
    Byte left[Bpp] = {};
    const std::size_t first = std::min<std::size_t>(n, Bpp);
    for (std::size_t k = 0; k < first; ++k) out[k] = left[k] = add(in[k], head(k));
    std::size_t i = first;
    for (; i + Bpp <= n; i += Bpp) {
#pragma GCC unroll 4  // fully, at any optimisation level, so left[] lives in registers
        for (unsigned k = 0; k < Bpp; ++k) {
            out[i + k] = left[k] = add(in[i + k], rest(left[k], i + k));
        }
    }
    for (unsigned k = 0; i + k < n; ++k) out[i + k] = add(in[i + k], rest(left[k], i + k));
}

// out[i] = row[i] - predictor, with the same head / rest split; left is row[i - Bpp].
// No output feeds a later predictor, so these loops vectorise.
template <unsigned Bpp, class Head, class Rest>
inline void filter_with(const Byte* __restrict row, Byte* __restrict out, std::size_t n,
                        Head head, Rest rest) {
    const std::size_t first = std::min<std::size_t>(n, Bpp);
    for (std::size_t i = 0; i < first; ++i) out[i] = sub(row[i], head(i));
    for (std::size_t i = first; i < n; ++i) out[i] = sub(row[i], rest(row[i - Bpp], i));
}

// On the top row up and up-left are zero, so Up is None, Paeth is Sub and
// Average halves left alone: those rows take the cheaper loop.
template <unsigned Bpp>
void unfilter_typed(Byte type, const Byte* in, Byte* out, const Byte* __restrict prev,
                    std::size_t n) {
    const auto zero = [](std::size_t) { return 0; };
    switch (effective_type(type, prev)) {
        case kNone:
            if (in != out) std::memmove(out, in, n);
            break;
        case kSub:
            unfilter_sub<Bpp>(in, out, n);
            break;
        case kUp:
            for (std::size_t i = 0; i < n; ++i) out[i] = add(in[i], prev[i]);
            break;
        case kAverage:
            if (prev == nullptr) {
                unfilter_with<Bpp>(in, out, n, zero, [](int l, std::size_t) { return l >> 1; });
            } else {
                unfilter_with<Bpp>(in, out, n, [prev](std::size_t i) { return prev[i] >> 1; },
                                   [prev](int l, std::size_t i) { return average(l, prev[i]); });
            }
            break;
        case kPaeth:
            unfilter_with<Bpp>(in, out, n, [prev](std::size_t i) { return int{prev[i]}; },
                               [prev](int l, std::size_t i) {
                                   return paeth_select<int>(l, prev[i], prev[i - Bpp]);
                               });
            break;
    }
}

template <unsigned Bpp>
void filter_typed(Byte type, const Byte* __restrict row, const Byte* __restrict prev,
                  Byte* __restrict out, std::size_t n) {
    const auto zero = [](std::size_t) { return 0; };
    const auto left = [](int l, std::size_t) { return l; };
    switch (effective_type(type, prev)) {
        case kNone:
            std::memcpy(out, row, n);
            break;
        case kSub:
            filter_with<Bpp>(row, out, n, zero, left);
            break;
        case kUp:
            for (std::size_t i = 0; i < n; ++i) out[i] = sub(row[i], prev[i]);
            break;
        case kAverage:
            if (prev == nullptr) {
                filter_with<Bpp>(row, out, n, zero, [](int l, std::size_t) { return l >> 1; });
            } else {
                filter_with<Bpp>(row, out, n, [prev](std::size_t i) { return prev[i] >> 1; },
                                 [prev](int l, std::size_t i) { return average(l, prev[i]); });
            }
            break;
        case kPaeth:
            filter_with<Bpp>(row, out, n, [prev](std::size_t i) { return int{prev[i]}; },
                             [prev](int l, std::size_t i) {
                                 const auto a = static_cast<std::int16_t>(l);
                                 return paeth_select<std::int16_t>(a, prev[i], prev[i - Bpp]);
                             });
            break;
    }
}

}  // namespace

namespace portable {

bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out,
                  const std::uint8_t* prev, std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (type > kMaxFilterType) return false;
    if (bytes_per_pixel == 4) unfilter_typed<4>(type, in, out, prev, row_bytes);
    else unfilter_typed<3>(type, in, out, prev, row_bytes);
    return true;
}

bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev,
                std::uint8_t* out, std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (type > kMaxFilterType) return false;
    if (bytes_per_pixel == 4) filter_typed<4>(type, row, prev, out, row_bytes);
    else filter_typed<3>(type, row, prev, out, row_bytes);
    return true;
}

}  // namespace portable

}  // namespace tavrune::kernels
