// Raise helpers for the errors several callables share.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune::errors {

// ValueError for an unpacking of exactly `expected` items that found `found`.
void raise_unpack(Py_ssize_t expected, Py_ssize_t found);

// Unpacks exactly `count` items of obj into items (new references) the way an
// assignment `a, b, c = obj` does: tuples and lists by size, other iterables by
// iteration. False with an exception set.
bool unpack(PyObject* obj, Py_ssize_t count, PyObject** items);

// len(obj) == expected under the host's len(), so an object without a length
// gets the host's TypeError. 1 or 0, or -1 with an exception set.
int length_is(PyObject* obj, std::int64_t expected);

// width * height * samples, the length of an image plane, or kNoSize when the
// product leaves 64 bits (dimensions set to 2^31 - 1 through the setters can do
// that): a size that no buffer has and that check_image_length never accepts.
inline constexpr std::int64_t kNoSize = INT64_MIN;
std::int64_t image_size(std::int32_t width, std::int32_t height, int samples);

// len(obj) must equal expected, an image size from image_size(): one outside the
// signed 32-bit range matches no length, so the check never passes for a buffer
// shorter than the image. False with ValueError message (or the host's error
// from len()) set.
bool check_image_length(PyObject* obj, std::int64_t expected, const char* message);

// Raises the host's own error for a byte array of count * multiplier bytes, a
// negative size, as bytearray(size) raises it. The product is formed with the
// host's integers, so it cannot overflow.
void raise_negative_size(std::int64_t count, long multiplier = 1);

}  // namespace tavrune::errors
