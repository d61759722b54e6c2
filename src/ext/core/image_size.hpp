// The length of an image plane from its dimensions, in checked arithmetic, and
// the check of a buffer against it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune::sizes {

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

}  // namespace tavrune::sizes
