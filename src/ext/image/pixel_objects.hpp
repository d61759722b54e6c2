// The object path of pixel access: coordinates compared and the index formed on
// the host's integers, and samples read and written through the buffer's own
// indexing, for everything the C path of getPixel and putPixel does not take.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/ref.hpp"
#include "image/image.hpp"

namespace tavrune::image {

// Byte index of a pixel's red sample: a C integer when both coordinates were
// exact ints, else a Python number.
struct PixelIndex {
    bool exact = false;
    std::int64_t value = 0;
    Ref object;
};

// Whether the byte at index + offset lies inside pixels, an exact bytearray,
// and the index is a C integer: it can then be read or written in place.
inline bool sample_in_place(PyObject* pixels, const PixelIndex& index, int offset) {
    return index.exact && PyByteArray_CheckExact(pixels) && index.value < PyByteArray_GET_SIZE(pixels) - offset;
}

// index = (y * width + x) * 3 on the host's integers, with the width the image
// has now. False with an exception set.
bool index_of_objects(const ImageObject* image, PyObject* x, PyObject* y, PixelIndex& index);

// The bounds test `0 <= x < width and 0 <= y < height` on host objects, then
// the index as index_of_objects forms it. False with an exception set.
bool locate_generic(const ImageObject* image, PyObject* x, PyObject* y, PixelIndex& index);

// The sample at index + offset as a new int: read in place from the bytearray
// when it is in range, else through the object's own indexing (whose error is
// the result). Null with an exception set.
PyObject* read_sample(PyObject* pixels, const PixelIndex& index, int offset);

// Converts sample with int(), keeps its low 8 bits and stores it at index +
// offset. The buffer is looked at only after the conversion, which may have run
// Python code. False with an exception set.
bool write_sample(ImageObject* image, const PixelIndex& index, int offset, PyObject* sample);

}  // namespace tavrune::image
