#include "core/image_size.hpp"

#include "core/errors.hpp"
#include "core/unpacking.hpp"

namespace tavrune::sizes {

std::int64_t image_size(std::int32_t width, std::int32_t height, int samples) {
    std::int64_t size;
    if (__builtin_mul_overflow(std::int64_t{width} * height, std::int64_t{samples}, &size)) return kNoSize;
    return size;
}

bool check_image_length(PyObject* obj, std::int64_t expected, const char* message) {
    const int match = unpacking::length_is(obj, expected);
    if (match == 1 && expected >= INT32_MIN && expected <= INT32_MAX) return true;
    if (match < 0) return false;
    return errors::raise(PyExc_ValueError, message);
}

}  // namespace tavrune::sizes
