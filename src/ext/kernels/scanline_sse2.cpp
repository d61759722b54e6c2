// SSE2 scanline unfiltering for 3 and 4 bytes per pixel, and Paeth filtering.
//
// Sub and Up need no pixel-by-pixel chain: Up adds 16 bytes at a time, and Sub
// turns 4 pixels into their running sums with two shifted adds, so only one add
// per 4 pixels waits on the pixels before. Average and Paeth predict from the
// reconstructed pixel to the left, so they run one pixel per register, the
// pixel's bytes widened to 16-bit lanes; every step is a select, never a branch
// on the data. Two Paeth rows can share a register, one chain in each half.
// Paeth filtering has no chain and works on 16 bytes at a time in unsigned byte
// arithmetic. Partial pixels at a row's end (rows the codecs never make) take a
// byte loop, and no load or store touches a byte outside the rows passed in.
#include "kernels/variants.hpp"

#if defined(TAVRUNE_KERNELS_SSE2)

#include <emmintrin.h>

#include <cstring>

#include "kernels/scanline.hpp"
#include "kernels/sse2_lanes.hpp"

namespace tavrune::kernels::sse2 {
namespace {

// The bytes from i on that do not fill a whole pixel, predicted as the reference
// does; left is read back from out.
template <unsigned Bpp>
void finish_bytes(Byte type, const Byte* in, Byte* out, const Byte* prev, std::size_t i, std::size_t n) {
    for (; i < n; ++i) {
        const int a = i >= Bpp ? out[i - Bpp] : 0;
        const int b = prev != nullptr ? prev[i] : 0;
        const int c = prev != nullptr && i >= Bpp ? prev[i - Bpp] : 0;
        int predictor = 0;
        switch (type) {
            case kSub: predictor = a; break;
            case kUp: predictor = b; break;
            case kAverage: predictor = (a + b) >> 1; break;
            case kPaeth: predictor = paeth(a, b, c); break;
            default: break;
        }
        out[i] = static_cast<Byte>(in[i] + predictor);
    }
}

void unfilter_up(const Byte* in, Byte* out, const Byte* prev, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi8(x, b));
    }
    for (; i < n; ++i) out[i] = static_cast<Byte>(in[i] + prev[i]);
}

// Four pixels per step. prefix holds each pixel plus all earlier ones of the
// block; carry, the last reconstructed pixel in every pixel slot, is added to
// all four and advanced by the block's own total, so the chain from block to
// block is a single add.
void unfilter_sub4(const Byte* in, Byte* out, std::size_t n) {
    __m128i carry = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i prefix = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 4));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi8(prefix, carry));
        carry = _mm_add_epi8(carry, _mm_shuffle_epi32(prefix, 0xFF));
    }
    finish_bytes<4>(kSub, in, out, nullptr, i, n);
}

// The 3-byte form works on 12 of the 16 bytes (four pixels); it loads 16 but
// stores exactly 12, so a row reconstructed in place is never read after it is
// written.
void unfilter_sub3(const Byte* in, Byte* out, std::size_t n) {
    const __m128i low_pixel = _mm_cvtsi32_si128(0x00FFFFFF);
    __m128i carry = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 12) {
        __m128i prefix = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 3));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 6));
        const __m128i result = _mm_add_epi8(prefix, carry);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), result);
        store_low<4>(out + i + 8, _mm_srli_si128(result, 8));
        __m128i total = _mm_and_si128(_mm_srli_si128(prefix, 9), low_pixel);
        total = _mm_or_si128(total, _mm_slli_si128(total, 3));
        total = _mm_or_si128(total, _mm_slli_si128(total, 6));
        carry = _mm_add_epi8(carry, total);
    }
    finish_bytes<3>(kSub, in, out, nullptr, i, n);
}

// Runs step(x, b) over the whole pixels of the row, x and b being the filtered
// and the up pixel in 16-bit lanes (b zero on the top row), and stores what
// it returns. For 3-byte pixels all but the last load 4 bytes: the fourth
// belongs to the next pixel, which is still unread and unwritten.
template <unsigned Bpp, bool HasPrev, class Step>
inline std::size_t per_pixel(const Byte* in, Byte* out, const Byte* prev, std::size_t n, Step step) {
    std::size_t i = 0;
    for (; i + 4 <= n && (Bpp == 4 || i + Bpp < n); i += Bpp) {
        const __m128i x = widen(load_low<4>(in + i));
        const __m128i b = HasPrev ? widen(load_low<4>(prev + i)) : _mm_setzero_si128();
        store_low<Bpp>(out + i, narrow(step(x, b)));
    }
    for (; i + Bpp <= n; i += Bpp) {
        const __m128i x = widen(load_low<Bpp>(in + i));
        const __m128i b = HasPrev ? widen(load_low<Bpp>(prev + i)) : _mm_setzero_si128();
        store_low<Bpp>(out + i, narrow(step(x, b)));
    }
    return i;
}

template <unsigned Bpp, bool HasPrev>
void unfilter_average(const Byte* in, Byte* out, const Byte* prev, std::size_t n) {
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128();
    const std::size_t done = per_pixel<Bpp, HasPrev>(in, out, prev, n, [&](__m128i x, __m128i b) {
        a = _mm_and_si128(_mm_add_epi16(x, _mm_srli_epi16(_mm_add_epi16(a, b), 1)), low_byte);
        return a;
    });
    finish_bytes<Bpp>(kAverage, in, out, prev, done, n);
}

template <unsigned Bpp>
void unfilter_paeth(const Byte* in, Byte* out, const Byte* prev, std::size_t n) {
    __m128i a = _mm_setzero_si128();  // left and up-left start as zeros
    __m128i c = _mm_setzero_si128();
    const std::size_t done = per_pixel<Bpp, true>(in, out, prev, n, [&](__m128i x, __m128i b) {
        a = paeth_step(x, a, b, c);
        c = b;
        return a;
    });
    finish_bytes<Bpp>(kPaeth, in, out, prev, done, n);
}

// Two Paeth rows at once, as a wavefront: step s reconstructs pixel s of the
// first row in lanes 0-3 and pixel s - 1 of the second in lanes 4-7. The second
// row's up pixel is then the first row's pixel from the step before, already
// in a register, and its up-left the one before that, so the two chains run
// side by side in one register. Rows of whole pixels only.
template <unsigned Bpp>
void unfilter_paeth_pair(const Byte* in0, const Byte* in1, Byte* out0, Byte* out1, const Byte* prev,
                         std::size_t width) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero;  // the last result: lanes 0-3 pixel s - 1 of row 0, lanes 4-7 pixel s - 2 of row 1
    __m128i c = zero;  // the last b: lanes 0-3 up pixel s - 1 of row 0, lanes 4-7 pixel s - 2 of row 0
    // Full loads read a fourth byte past a 3-byte pixel; only steps whose
    // pixels all have a successor in their row take them.
    const auto step = [&]<bool Full>(std::size_t s) {
        const auto load = [](const Byte* p) { return Full ? load_low<4>(p) : load_low<Bpp>(p); };
        const bool first_row_pixel = Full || s < width;
        const bool second_row_pixel = Full || s >= 1;
        const __m128i x0 = first_row_pixel ? load(in0 + s * Bpp) : zero;
        const __m128i x1 = second_row_pixel ? load(in1 + (s - 1) * Bpp) : zero;
        const __m128i up0 = first_row_pixel ? widen(load(prev + s * Bpp)) : zero;
        const __m128i x = widen(_mm_unpacklo_epi32(x0, x1));
        const __m128i b = _mm_unpacklo_epi64(up0, a);  // lanes 4-7: row 0's pixel s - 1
        __m128i result = paeth_step(x, a, b, c);
        if (!second_row_pixel) result = _mm_unpacklo_epi64(result, zero);  // row 1's left starts at zero
        const __m128i bytes = narrow(result);
        if (first_row_pixel) store_low<Bpp>(out0 + s * Bpp, bytes);
        if (second_row_pixel) store_low<Bpp>(out1 + (s - 1) * Bpp, _mm_srli_si128(bytes, 4));
        a = result;
        c = b;
    };
    step.template operator()<false>(0);
    std::size_t s = 1;
    for (; s + 1 < width; ++s) step.template operator()<true>(s);
    for (; s <= width; ++s) step.template operator()<false>(s);
}

// Filtering has no chain from pixel to pixel: 16 bytes a step, their left, up
// and up-left neighbours loaded as shifted rows.
template <unsigned Bpp>
void filter_paeth(const Byte* row, const Byte* prev, Byte* out, std::size_t n) {
    std::size_t i = 0;
    for (; i < Bpp && i < n; ++i) out[i] = static_cast<Byte>(row[i] - prev[i]);  // left and up-left are zero
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i - Bpp));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i - Bpp));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_sub_epi8(x, paeth_predictor_u8(a, b, c)));
    }
    for (; i < n; ++i) out[i] = static_cast<Byte>(row[i] - paeth(row[i - Bpp], prev[i], prev[i - Bpp]));
}

template <unsigned Bpp>
void unfilter_typed(Byte type, const Byte* in, Byte* out, const Byte* prev, std::size_t n) {
    switch (effective_type(type, prev)) {
        case kNone:
            if (in != out) std::memmove(out, in, n);
            break;
        case kSub:
            if constexpr (Bpp == 4) unfilter_sub4(in, out, n);
            else unfilter_sub3(in, out, n);
            break;
        case kUp:
            unfilter_up(in, out, prev, n);
            break;
        case kAverage:
            if (prev == nullptr) unfilter_average<Bpp, false>(in, out, prev, n);
            else unfilter_average<Bpp, true>(in, out, prev, n);
            break;
        case kPaeth:
            unfilter_paeth<Bpp>(in, out, prev, n);
            break;
    }
}

}  // namespace

bool filter_row(std::uint8_t type, const std::uint8_t* row, const std::uint8_t* prev, std::uint8_t* out,
                std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (type != kPaeth || prev == nullptr)
        return portable::filter_row(type, row, prev, out, row_bytes, bytes_per_pixel);
    if (bytes_per_pixel == 4) filter_paeth<4>(row, prev, out, row_bytes);
    else filter_paeth<3>(row, prev, out, row_bytes);
    return true;
}

void unfilter_paeth_pair(const std::uint8_t* in0, const std::uint8_t* in1, std::uint8_t* out0,
                         std::uint8_t* out1, const std::uint8_t* prev, std::size_t row_bytes,
                         unsigned bytes_per_pixel) {
    if (row_bytes % bytes_per_pixel != 0) {
        sse2::unfilter_row(kPaeth, in0, out0, prev, row_bytes, bytes_per_pixel);
        sse2::unfilter_row(kPaeth, in1, out1, out0, row_bytes, bytes_per_pixel);
        return;
    }
    if (bytes_per_pixel == 4) unfilter_paeth_pair<4>(in0, in1, out0, out1, prev, row_bytes / 4);
    else unfilter_paeth_pair<3>(in0, in1, out0, out1, prev, row_bytes / 3);
}

bool unfilter_row(std::uint8_t type, const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* prev,
                  std::size_t row_bytes, unsigned bytes_per_pixel) {
    if (type > kMaxFilterType) return false;
    if (bytes_per_pixel == 4) unfilter_typed<4>(type, in, out, prev, row_bytes);
    else unfilter_typed<3>(type, in, out, prev, row_bytes);
    return true;
}

}  // namespace tavrune::kernels::sse2

#endif  // TAVRUNE_KERNELS_SSE2
