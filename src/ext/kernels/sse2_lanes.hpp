// SSE2 lanes for the scanline kernels: exact loads and stores of a pixel's
// bytes, 8 <-> 16-bit lanes, and the Paeth predictor in both forms the
// kernels use (one pixel a register, on the chain; sixteen bytes at once).
// Included only where TAVRUNE_KERNELS_SSE2 is defined.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace tavrune::kernels::sse2 {

using Byte = std::uint8_t;

// Exactly count bytes to or from the low bytes of a register (the rest zero):
// through an integer, so nothing past them is read or written.
template <unsigned Count>
inline __m128i load_low(const Byte* p) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, p, Count);
    return _mm_cvtsi32_si128(static_cast<int>(bits));
}

template <unsigned Count>
inline void store_low(Byte* p, __m128i v) {
    const auto bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &bits, Count);
}

inline __m128i widen(__m128i bytes) { return _mm_unpacklo_epi8(bytes, _mm_setzero_si128()); }
inline __m128i narrow(__m128i words) { return _mm_packus_epi16(words, words); }
inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// One Paeth step in 16-bit lanes, ties to a, then b: x + predictor of each lane,
// modulo 256. The three candidates x + a, x + b, x + c are formed first and the
// distances only choose among them, so what does not wait on a (|b - c|,
// x + b, x + c) is off the chain from one pixel to the next.
inline __m128i paeth_step(__m128i x, __m128i a, __m128i b, __m128i c) {
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    const __m128i b_minus_c = _mm_sub_epi16(b, c);
    const __m128i pa = abs16(b_minus_c);
    const __m128i xb = _mm_and_si128(_mm_add_epi16(x, b), low_byte);
    const __m128i xc = _mm_and_si128(_mm_add_epi16(x, c), low_byte);
    const __m128i a_minus_c = _mm_sub_epi16(a, c);
    const __m128i pb = abs16(a_minus_c);
    const __m128i pc = abs16(_mm_add_epi16(a_minus_c, b_minus_c));
    const __m128i xa = _mm_and_si128(_mm_add_epi16(x, a), low_byte);
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i not_b = _mm_cmpgt_epi16(pb, pc);
    const __m128i b_or_c = _mm_xor_si128(xb, _mm_and_si128(_mm_xor_si128(xb, xc), not_b));
    return _mm_or_si128(_mm_andnot_si128(not_a, xa), _mm_and_si128(not_a, b_or_c));
}

// x <= y on unsigned bytes: all ones where true.
inline __m128i less_or_equal_u8(__m128i x, __m128i y) {
    return _mm_cmpeq_epi8(_mm_subs_epu8(x, y), _mm_setzero_si128());
}

// The Paeth predictors of sixteen bytes, ties to a, then b, in unsigned byte
// arithmetic. pa = |b - c| and pb = |a - c| are exact; pc = |(a - c) + (b - c)|
// is pa + pb where the two differences share a sign (saturating at 255, which
// changes no comparison: pa and pb never exceed 255) and |pa - pb| where they
// do not.
inline __m128i paeth_predictor_u8(__m128i a, __m128i b, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c_over_a = _mm_subs_epu8(c, a);
    const __m128i c_over_b = _mm_subs_epu8(c, b);
    const __m128i pb = _mm_or_si128(_mm_subs_epu8(a, c), c_over_a);
    const __m128i pa = _mm_or_si128(_mm_subs_epu8(b, c), c_over_b);
    const __m128i signs_differ = _mm_xor_si128(_mm_cmpeq_epi8(c_over_a, zero), _mm_cmpeq_epi8(c_over_b, zero));
    const __m128i sum = _mm_adds_epu8(pa, pb);
    const __m128i difference = _mm_or_si128(_mm_subs_epu8(pa, pb), _mm_subs_epu8(pb, pa));
    const __m128i pc = _mm_xor_si128(sum, _mm_and_si128(_mm_xor_si128(sum, difference), signs_differ));
    const __m128i use_a = _mm_and_si128(less_or_equal_u8(pa, pb), less_or_equal_u8(pa, pc));
    const __m128i b_or_c = _mm_xor_si128(c, _mm_and_si128(_mm_xor_si128(c, b), less_or_equal_u8(pb, pc)));
    return _mm_xor_si128(b_or_c, _mm_and_si128(_mm_xor_si128(b_or_c, a), use_a));
}

}  // namespace tavrune::kernels::sse2
