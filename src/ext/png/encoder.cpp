// The scanline filter encoder: the pixel buffer and alpha plane become the
// filtered PNG image-data stream, written straight into one bytes object of its
// final size, which the writers hand to zlib.compress without another copy.
#include "png/encoder.hpp"

#include "core/errors.hpp"
#include "core/buffer.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "kernels/pixels.hpp"
#include "kernels/scanline.hpp"

#include <climits>
#include <cstddef>
#include <memory>
#include <utility>

namespace tavrune::png {

namespace {

using Byte = std::uint8_t;

PyObject* raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

struct PyMemFree {
    void operator()(Byte* p) const { PyMem_Free(p); }
};

}  // namespace

PyObject* encode_scanlines(std::int32_t width, std::int32_t height, PyObject* pix_buf, PyObject* alpha,
                           PyObject* filter_types) {
    const bool has_alpha = alpha != Py_None;
    const bool has_filters = filter_types != Py_None;
    const unsigned bytes_per_pixel = has_alpha ? 4 : 3;
    const std::int64_t row_length = std::int64_t{width} * bytes_per_pixel;
    if (row_length < 0) {
        errors::raise_negative_size(row_length);
        return nullptr;
    }
    // Offsets and sizes are signed 32-bit quantities: refuse what leaves that
    // range before anything is allocated.
    const std::int64_t rows = height > 0 ? height : 0;
    std::int64_t stream_size;
    if (__builtin_mul_overflow(rows, 1 + row_length, &stream_size) || stream_size > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIntTooLarge);
        return nullptr;
    }

    ByteView pixel_view, alpha_view, filter_view;
    if (!pixel_view.acquire(pix_buf)) return nullptr;
    if (has_alpha && !alpha_view.acquire_writable_bytes(alpha)) return nullptr;
    if (has_filters) {
        const Py_ssize_t count = PyObject_Size(filter_types);
        if (count < 0) return nullptr;
        if (count != height) return raise_value_error(msg::kFilterCount);
        if (!filter_view.acquire_writable_bytes(filter_types)) return nullptr;
    }
    if (height <= 0) return PyBytes_FromStringAndSize(nullptr, 0);

    // The writers compared len() with the image; what is read is the buffers held
    // now, which a __len__ of a subclass or Python code run since may not match.
    const std::int64_t pixel_count = std::int64_t{width} * height;
    if (pixel_view.size() < pixel_count * 3) return raise_value_error(msg::kPixelLength);
    if (has_alpha && alpha_view.size() < pixel_count) return raise_value_error(msg::kAlphaLength);
    if (has_filters && filter_view.size() < height) return raise_value_error(msg::kFilterCount);

    // Filter types are all checked before the stream is allocated; the first
    // unsupported one is the one reported, as when encoding row by row.
    const Byte* types = has_filters ? filter_view.data() : nullptr;
    for (std::int32_t y = 0; types != nullptr && y < height; ++y) {
        if (types[y] > kernels::kMaxFilterType) {
            PyErr_Format(PyExc_ValueError, "%s%d", msg::kPngFilterPrefix, int{types[y]});
            return nullptr;
        }
    }

    Ref stream = Ref::steal(PyBytes_FromStringAndSize(nullptr, stream_size));
    if (!stream) return nullptr;
    const auto row_bytes = static_cast<std::size_t>(row_length);
    // RGBA rows are joined into two scratch rows used in turn, so the previous
    // unfiltered row is never copied; RGB rows are read in place from the pixels.
    std::unique_ptr<Byte, PyMemFree> scratch;
    if (has_alpha) {
        scratch.reset(static_cast<Byte*>(PyMem_Malloc(2 * row_bytes + 1)));
        if (!scratch) return PyErr_NoMemory();
    }

    // No call into Python from here on.
    const Byte* pixels = pixel_view.data();
    const Byte* alpha_plane = has_alpha ? alpha_view.data() : nullptr;
    Byte* out = reinterpret_cast<Byte*>(PyBytes_AS_STRING(stream.get()));
    Byte* current = scratch.get();
    Byte* spare = has_alpha ? current + row_bytes : nullptr;  // no offset from a null pointer
    const Byte* previous = nullptr;  // the filters read a null row above as zeros
    const auto pixels_per_row = static_cast<std::size_t>(width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        const Byte type = types != nullptr ? types[y] : 0;
        *out++ = type;
        if (row_bytes == 0) continue;
        const Byte* row = pixels + y * pixels_per_row * 3;
        if (has_alpha) {
            kernels::join_row(row, alpha_plane + y * pixels_per_row, pixels_per_row, current);
            row = current;
            std::swap(current, spare);
        }
        kernels::filter_row(type, row, previous, out, row_bytes, bytes_per_pixel);
        out += row_bytes;
        previous = row;
    }
    return stream.release();
}

}  // namespace tavrune::png
