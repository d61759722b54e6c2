// The scanline filter encoder shared by both PNG writers.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune::png {

// The filtered image-data stream: for each row y, its filter type
// (filter_types[y], or 0 when filter_types is None) followed by the row filtered
// with that type against the previous unfiltered row. pix_buf is a bytearray (or
// subclass) of width*height*3 bytes; alpha is None or a writable one-dimensional
// buffer of width*height unsigned bytes, which makes the rows RGBA; filter_types
// is None or such a buffer of height bytes. The writers check those lengths; the
// buffers actually obtained are checked again, so nothing outside them is read.
// Failures, in this order: a negative width (the host's ValueError of a negative
// bytearray size); a stream longer than the signed 32-bit range (OverflowError);
// alpha or filter_types without such a buffer (the host's buffer error, or
// ValueError for a wrong shape or item format); a filter count other than height;
// the first filter type above 4. Returns a new bytes object of
// height*(1 + row bytes) bytes, empty for height <= 0, or null with an exception set.
PyObject* encode_scanlines(std::int32_t width, std::int32_t height, PyObject* pix_buf, PyObject* alpha,
                           PyObject* filter_types);

}  // namespace tavrune::png
