// The scanline filter encoder: the pixel buffer and alpha plane become the
// filtered PNG image-data stream, a band of rows at a time, which the writers
// hand to the host's compressor before they filter the next band.
#include "png/encoder.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"
#include "kernels/pixels.hpp"
#include "kernels/scanline.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace tavrune::png {

namespace {

using Byte = std::uint8_t;

}  // namespace

bool ScanlineEncoder::start(std::int32_t width, std::int32_t height, PyObject* pix_buf, PyObject* alpha,
                            PyObject* filter_types) {
    const bool has_alpha = alpha != Py_None;
    const bool has_filters = filter_types != Py_None;
    bytes_per_pixel_ = has_alpha ? 4 : 3;
    const std::int64_t row_length = std::int64_t{width} * bytes_per_pixel_;
    if (row_length < 0) return errors::raise_negative_size(row_length);
    // Offsets and sizes are signed 32-bit quantities: refuse what leaves that
    // range before anything is allocated.
    const std::int64_t rows = height > 0 ? height : 0;
    std::int64_t stream_size;
    if (__builtin_mul_overflow(rows, 1 + row_length, &stream_size) || stream_size > INT32_MAX)
        return errors::raise(PyExc_OverflowError, msg::kIntTooLarge);

    if (!pixel_view_.acquire(pix_buf)) return false;
    if (has_alpha && !alpha_view_.acquire_writable_bytes(alpha)) return false;
    if (has_filters) {
        const Py_ssize_t count = PyObject_Size(filter_types);
        if (count < 0) return false;
        if (count != height) return errors::raise(PyExc_ValueError, msg::kFilterCount);
        if (!filter_view_.acquire_writable_bytes(filter_types)) return false;
    }
    if (height <= 0) return true;  // no rows

    // The writers compared len() with the image; what is read is the buffers held
    // now, which a __len__ of a subclass or Python code run since may not match.
    const std::int64_t pixel_count = std::int64_t{width} * height;
    if (pixel_view_.size() < pixel_count * 3) return errors::raise(PyExc_ValueError, msg::kPixelLength);
    if (has_alpha && alpha_view_.size() < pixel_count) return errors::raise(PyExc_ValueError, msg::kAlphaLength);
    if (has_filters && filter_view_.size() < height) return errors::raise(PyExc_ValueError, msg::kFilterCount);

    // Filter types are all checked before anything is filtered; the first
    // unsupported one is the one reported, as when encoding row by row. They
    // are copied: the buffer stays writable by other threads between bands.
    if (has_filters) {
        const Byte* types = filter_view_.data();
        for (std::int32_t y = 0; y < height; ++y) {
            if (types[y] > kernels::kMaxFilterType)
                return errors::raise_format(PyExc_ValueError, msg::kPngFilter, int{types[y]});
        }
        if (!types_.allocate(static_cast<std::size_t>(height))) return false;
        std::memcpy(types_.get(), types, static_cast<std::size_t>(height));
        // Another thread may change them before the next band: from here on only the copy is read.
    }
    width_ = static_cast<std::size_t>(width);
    row_bytes_ = static_cast<std::size_t>(row_length);
    // RGBA rows are joined into two scratch rows used in turn, so the previous
    // unfiltered row is never copied; RGB rows are read in place from the
    // pixels, and a band's last row is copied for the first row of the next.
    if (!scratch_.allocate((has_alpha ? 2 : 1) * row_bytes_ + 1)) return false;
    current_ = scratch_.get();
    spare_ = has_alpha ? current_ + row_bytes_ : nullptr;  // no offset from a null pointer
    rows_ = static_cast<std::size_t>(height);
    return true;
}

std::size_t ScanlineEncoder::encode(Byte* out, std::size_t capacity) {
    const Byte* pixels = pixel_view_.data();
    const Byte* alpha_plane = bytes_per_pixel_ == 4 ? alpha_view_.data() : nullptr;
    const std::size_t begin = next_row_;
    std::size_t written = 0;
    if (row_bytes_ == 0) {
        // Rows of no pixels are their filter bytes alone, taken a band at once:
        // a width of 0 may come with two billion rows.
        const std::size_t count = std::min(rows_ - next_row_, capacity);
        if (types_) {
            std::memcpy(out, types_.get() + next_row_, count);
        } else {
            std::memset(out, 0, count);
        }
        next_row_ += count;
        return count;
    }
    for (; next_row_ < rows_ && capacity - written >= stride(); ++next_row_) {
        const std::size_t y = next_row_;
        const Byte type = types_ ? types_.get()[y] : 0;
        out[written++] = type;
        const Byte* row = pixels + y * width_ * 3;
        if (alpha_plane != nullptr) {
            kernels::join_row(row, alpha_plane + y * width_, width_, current_);
            row = current_;
            std::swap(current_, spare_);
        }
        kernels::filter_row(type, row, previous_, out + written, row_bytes_, bytes_per_pixel_);
        written += row_bytes_;
        previous_ = row;
    }
    // The pixels may change before the next band: an RGB row above it is read
    // from a copy made now, which is what this band was filtered from.
    if (alpha_plane == nullptr && next_row_ > begin && row_bytes_ > 0 && next_row_ < rows_) {
        std::memcpy(current_, previous_, row_bytes_);
        previous_ = current_;
    }
    return written;
}

}  // namespace tavrune::png
