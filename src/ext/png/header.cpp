#include "png/header.hpp"

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"

namespace tavrune::png {

namespace {

constexpr std::int64_t kMaxSize = INT32_MAX;  // dimensions and sizes are signed 32-bit

bool complete(const Header& header) {
    for (std::int32_t field : {header.width, header.height, header.bit_depth, header.color_type, header.compression,
                               header.filter_method, header.interlace})
        if (field == -1) return false;
    return true;
}

bool supported_configuration(const Header& header) {
    return header.compression == 0 && header.filter_method == 0 && header.interlace == 0;
}

// The layout of a header with supported fields, when its scanline, its
// inflated data and its colour plane all fit in 32 signed bits.
bool sizes_fit(const Header& header, ImageLayout& layout) {
    const std::int64_t bytes_per_pixel = header.color_type == 2 ? 3 : 4;
    std::int64_t row_bytes, expected, rgb_bytes;
    bool overflow = __builtin_mul_overflow(std::int64_t{header.width}, bytes_per_pixel, &row_bytes);
    overflow |= __builtin_mul_overflow(row_bytes + 1, std::int64_t{header.height}, &expected);
    overflow |= __builtin_mul_overflow(std::int64_t{header.width} * header.height, std::int64_t{3}, &rgb_bytes);
    if (overflow || row_bytes > kMaxSize || expected > kMaxSize || rgb_bytes > kMaxSize) return false;
    layout = {
        .width = static_cast<std::size_t>(header.width),
        .height = static_cast<std::size_t>(header.height),
        .bytes_per_pixel = static_cast<unsigned>(bytes_per_pixel),
        .row_bytes = static_cast<std::size_t>(row_bytes),
        .expected = expected,
    };
    return true;
}

}  // namespace

bool unpack_ihdr(PyObject* data, Header& header) {
    Ref fields = host::unpack(host::constants.fmt_ihdr, data, 7);
    if (!fields) return false;
    std::int32_t values[7];
    for (Py_ssize_t i = 0; i < 7; ++i) {
        const unsigned long value = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(fields.get(), i));
        if (PyErr_Occurred()) return false;
        if (value > static_cast<unsigned long>(kMaxSize)) return errors::raise(PyExc_OverflowError, msg::kIntTooLarge);
        values[i] = static_cast<std::int32_t>(value);
    }
    header = {values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
    return true;
}

bool layout_of(const Header& header, ImageLayout& layout) {
    if (!complete(header)) return errors::raise(PyExc_ValueError, msg::kPngIncomplete);
    if (header.bit_depth != 8) return errors::raise(PyExc_ValueError, msg::kPngBitDepth);
    if (header.color_type != 2 && header.color_type != 6) return errors::raise(PyExc_ValueError, msg::kPngColorType);
    if (!supported_configuration(header)) return errors::raise(PyExc_ValueError, msg::kPngConfig);
    // Refused before anything is inflated or allocated.
    if (!sizes_fit(header, layout)) return errors::raise(PyExc_ValueError, msg::kPngMalformed);
    return true;
}

bool usable(const Header& header, ImageLayout& layout) {
    return complete(header) && header.bit_depth == 8 && (header.color_type == 2 || header.color_type == 6) &&
           supported_configuration(header) && sizes_fit(header, layout);
}

}  // namespace tavrune::png
