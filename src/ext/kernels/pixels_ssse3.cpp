// Row layout conversions with SSSE3's byte shuffle: each step is a few
// shuffles, whole registers loaded and stored. Compiled for SSSE3 function by
// function and called only where kernels/pixels.cpp has found the instruction
// set; the bytes that do not fill a whole step take the reference loop, and no
// load or store touches a byte outside the rows.
#include "kernels/variants.hpp"

#if defined(TAVRUNE_KERNELS_SSSE3)

#include <tmmintrin.h>

#include "kernels/reference.hpp"

#define TAVRUNE_TARGET_SSSE3 __attribute__((target("ssse3")))

namespace tavrune::kernels::ssse3 {
namespace {

using Byte = std::uint8_t;

TAVRUNE_TARGET_SSSE3 inline __m128i load(const Byte* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TAVRUNE_TARGET_SSSE3 inline void store(Byte* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

}  // namespace

// Sixteen pixels a step: each 16-byte register of four RGBA pixels gives 12
// colour bytes and 4 alpha bytes, shifted together into three colour registers
// and one alpha register.
TAVRUNE_TARGET_SSSE3 void split_row(const std::uint8_t* row, std::size_t width, unsigned bytes_per_pixel,
                                    std::uint8_t* rgb, std::uint8_t* alpha) {
    if (bytes_per_pixel == 3) {
        reference::split_row(row, width, 3, rgb, alpha);
        return;
    }
    const __m128i colour = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // The alpha bytes of register k land in bytes 4k to 4k + 3 (-1 zeroes a byte).
    const __m128i alpha0 = _mm_setr_epi8(3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i alpha1 = _mm_setr_epi8(-1, -1, -1, -1, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i alpha2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 3, 7, 11, 15, -1, -1, -1, -1);
    const __m128i alpha3 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 3, 7, 11, 15);
    std::size_t x = 0;
    for (; x + 16 <= width; x += 16, row += 64, rgb += 48, alpha += 16) {
        const __m128i v0 = load(row), v1 = load(row + 16), v2 = load(row + 32), v3 = load(row + 48);
        const __m128i c0 = _mm_shuffle_epi8(v0, colour), c1 = _mm_shuffle_epi8(v1, colour);
        const __m128i c2 = _mm_shuffle_epi8(v2, colour), c3 = _mm_shuffle_epi8(v3, colour);
        store(rgb, _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
        store(rgb + 16, _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
        store(rgb + 32, _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
        const __m128i a01 = _mm_or_si128(_mm_shuffle_epi8(v0, alpha0), _mm_shuffle_epi8(v1, alpha1));
        const __m128i a23 = _mm_or_si128(_mm_shuffle_epi8(v2, alpha2), _mm_shuffle_epi8(v3, alpha3));
        store(alpha, _mm_or_si128(a01, a23));
    }
    reference::split_row(row, width - x, 4, rgb, alpha);
}

// Four pixels a register: 12 colour bytes spread to 16, the four alpha bytes
// shuffled into every fourth byte. The last colour load of a step reads 4 bytes
// past the step's 48, so the loop stops while 18 pixels lie ahead.
TAVRUNE_TARGET_SSSE3 void join_row(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t width,
                                   std::uint8_t* row) {
    if (alpha == nullptr) {
        reference::join_row(rgb, nullptr, width, row);
        return;
    }
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha0 = _mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3);
    const __m128i step = _mm_setr_epi8(0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 4);
    const __m128i alpha1 = _mm_add_epi8(alpha0, step);
    const __m128i alpha2 = _mm_add_epi8(alpha1, step);
    const __m128i alpha3 = _mm_add_epi8(alpha2, step);
    std::size_t x = 0;
    for (; width - x >= 18; x += 16, rgb += 48, alpha += 16, row += 64) {
        const __m128i a = load(alpha);
        store(row, _mm_or_si128(_mm_shuffle_epi8(load(rgb), spread), _mm_shuffle_epi8(a, alpha0)));
        store(row + 16, _mm_or_si128(_mm_shuffle_epi8(load(rgb + 12), spread), _mm_shuffle_epi8(a, alpha1)));
        store(row + 32, _mm_or_si128(_mm_shuffle_epi8(load(rgb + 24), spread), _mm_shuffle_epi8(a, alpha2)));
        store(row + 48, _mm_or_si128(_mm_shuffle_epi8(load(rgb + 36), spread), _mm_shuffle_epi8(a, alpha3)));
    }
    reference::join_row(rgb, alpha, width - x, row);
}

// Five pixels a register: 15 bytes reordered, the sixteenth stored but written
// again by the next step, so the loop keeps one byte of the row ahead.
TAVRUNE_TARGET_SSSE3 void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t width) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    const std::size_t n = width * 3;
    std::size_t i = 0;
    for (; i + 16 < n; i += 15) store(out + i, _mm_shuffle_epi8(load(in + i), order));
    reference::swap_red_blue(in + i, out + i, (n - i) / 3);
}

}  // namespace tavrune::kernels::ssse3

#endif  // TAVRUNE_KERNELS_SSSE3
