// The scanline filter encoder shared by both PNG writers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/buffer.hpp"
#include "core/pymem_array.hpp"

namespace tavrune::png {

// The filtered image-data stream, made a band of rows at a time: for each row y,
// its filter type (filter_types[y], or 0 when filter_types is None) followed by
// the row filtered with that type against the row above it.
//
// Between two bands the writer calls into the host (to compress the band), so
// other threads run and may change the pixels in place. The buffers stay
// exported from start() to destruction (they cannot be resized meanwhile), the
// filter types are copied at start(), and the last row of each band is kept
// in a private copy, so every row is predicted from the row the stream holds
// above it, whatever happens to the image between bands.
class ScanlineEncoder {
public:
    ScanlineEncoder() = default;
    ScanlineEncoder(const ScanlineEncoder&) = delete;
    ScanlineEncoder& operator=(const ScanlineEncoder&) = delete;

    // pix_buf is a bytearray (or subclass) of width*height*3 bytes; alpha is
    // None or a writable one-dimensional buffer of width*height unsigned bytes,
    // which makes the rows RGBA; filter_types is None or such a buffer of
    // height bytes. The writers check those lengths; the buffers actually
    // obtained are checked again, so nothing outside them is read. Failures,
    // in this order: a negative width (the host's ValueError of a negative
    // bytearray size); a stream longer than the signed 32-bit range
    // (OverflowError); alpha or filter_types without such a buffer (the host's
    // buffer error, or ValueError for a wrong shape or item format); a filter
    // count other than height; the first filter type above 4. False with an
    // exception set.
    bool start(std::int32_t width, std::int32_t height, PyObject* pix_buf, PyObject* alpha, PyObject* filter_types);

    // One filter type byte and the row's bytes: the stream is rows() of them.
    std::size_t stride() const { return 1 + row_bytes_; }
    std::size_t rows() const { return rows_; }
    bool finished() const { return next_row_ == rows_; }

    // Filters the next rows, as many whole ones as fit in capacity (at least
    // stride() bytes), into out, and returns the number of bytes written. No
    // call into Python.
    std::size_t encode(std::uint8_t* out, std::size_t capacity);

private:
    ByteView pixel_view_, alpha_view_, filter_view_;
    PyMemArray<std::uint8_t> types_;    // the filter types, copied; null for all rows None
    PyMemArray<std::uint8_t> scratch_;  // RGBA: two joined rows used in turn; RGB: the copy of a band's last row
    std::uint8_t* current_ = nullptr;
    std::uint8_t* spare_ = nullptr;
    const std::uint8_t* previous_ = nullptr;  // the row above the next one; null above the top
    std::size_t width_ = 0;
    std::size_t rows_ = 0;
    std::size_t row_bytes_ = 0;
    std::size_t next_row_ = 0;
    unsigned bytes_per_pixel_ = 3;
};

}  // namespace tavrune::png
