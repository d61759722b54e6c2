// Image data: the IDAT payloads inflated and every row reconstructed into the
// image's planes.
//
// Two paths give the same result. The streamed path feeds the payloads, a slice
// at a time, to the host's decompressobj().decompress(slice, max_length) and
// reconstructs each row as soon as its bytes have arrived, straight into the
// final planes: no payloads joined into one more copy, no inflated image held
// whole, and each piece of output is still in cache when its rows are
// reconstructed. It stops at the first thing it does not expect (a zlib error,
// too much or too little data, an unknown filter type) and the exact path then
// runs from the start (rows already made are simply made again): it joins the payloads, inflates them in one bounded call
// and raises exactly what the decoder has always raised for such data.
#include "png/image_data.hpp"

#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "kernels/pixels.hpp"
#include "kernels/scanline.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace tavrune::png {

namespace {

using Byte = std::uint8_t;

// Input slices stay small so that when the output limit stops inflation, the
// copy the host keeps of the unread rest (unconsumed_tail) stays small too.
// Output pieces of 32 KiB are the host's first output block, so each piece is
// made in one buffer with no joining, and fits in the first-level cache.
constexpr Py_ssize_t kInputSlice = 16 * 1024;
constexpr Py_ssize_t kOutputPiece = 32 * 1024;

struct MemFree {
    void operator()(Byte* p) const { PyMem_Free(p); }
};
using Buffer = std::unique_ptr<Byte, MemFree>;

// Outcome of a step of the streamed path: go on; give up and take the exact
// path (no exception set); or fail with an exception set.
enum class Streamed { kDone, kGaveUp, kFailed };

// Reconstructs rows in order into planes it allocates before the first row.
// RGB rows go straight into the colour plane, each against the row above it
// there; RGBA rows are reconstructed into three scratch rows used in turn (the
// rows above stay there as predictions) and split. A Paeth row is held back,
// copied, until the next row arrives: when that one is Paeth too, the two are
// reconstructed together, which is much faster than one after the other.
class RowBuilder {
public:
    RowBuilder(const ImageLayout& layout, Planes& planes) : layout_(layout), planes_(planes) {}

    // Allocates the planes and scratch rows unless done already; false with
    // MemoryError set.
    bool allocate() {
        if (planes_.filters) return true;
        const auto pixel_count = static_cast<Py_ssize_t>(layout_.width * layout_.height);
        planes_.rgb = Ref::steal(PyByteArray_FromStringAndSize(nullptr, pixel_count * 3));
        if (!planes_.rgb) return false;
        planes_.alpha = layout_.bytes_per_pixel == 4 ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, pixel_count))
                                                     : Ref::borrow(Py_None);
        if (!planes_.alpha) return false;
        const std::size_t scratch_rows = layout_.bytes_per_pixel == 4 ? 3 : 0;
        scratch_.reset(static_cast<Byte*>(PyMem_Malloc((scratch_rows + 1) * layout_.row_bytes + 1)));
        if (!scratch_) {
            PyErr_NoMemory();
            return false;
        }
        held_ = scratch_.get() + scratch_rows * layout_.row_bytes;
        planes_.filters = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(layout_.height)));
        if (!planes_.filters) return false;
        // The planes are this decoder's own until it returns: no Python code sees
        // them, so these pointers stay valid across the host calls that inflate.
        rgb_ = bytes_of(planes_.rgb.get());
        alpha_ = layout_.bytes_per_pixel == 4 ? bytes_of(planes_.alpha.get()) : nullptr;
        filters_ = bytes_of(planes_.filters.get());
        return true;
    }

    // Drops the planes and scratch rows, so that the exact path holds no more
    // memory than it did on its own.
    void release() {
        planes_ = Planes{};
        scratch_.reset();
        holding_ = false;
    }

    // Row y from its filter type byte and row_bytes filtered bytes; rows come in
    // order from 0, after allocate(), and finish() follows the last. False, with
    // nothing set, for an unknown filter type; an empty row's type is only kept.
    bool put(std::size_t y, const Byte* scanline) {
        const Byte type = scanline[0];
        filters_[y] = type;
        const std::size_t n = layout_.row_bytes;
        if (n == 0) return true;
        if (type > kernels::kMaxFilterType) return false;
        if (holding_) {
            holding_ = false;
            if (type == kPaeth) {
                reconstruct_pair(y - 1, held_, y, scanline + 1);
                return true;
            }
            reconstruct(y - 1, kPaeth, held_);
        }
        // The top row's Paeth has no row above and is reconstructed as it comes.
        if (type == kPaeth && y > 0 && y + 1 < layout_.height) {
            std::memcpy(held_, scanline + 1, n);
            holding_ = true;
            return true;
        }
        reconstruct(y, type, scanline + 1);
        return true;
    }

    // Reconstructs a row still held back.
    void finish() {
        if (!holding_) return;
        holding_ = false;
        reconstruct(layout_.height - 1, kPaeth, held_);
    }

private:
    static constexpr Byte kPaeth = 4;

    static Byte* bytes_of(PyObject* array) { return reinterpret_cast<Byte*>(PyByteArray_AS_STRING(array)); }

    // Where row y is reconstructed: its place in the colour plane, or a scratch row.
    Byte* row_out(std::size_t y) const {
        const std::size_t n = layout_.row_bytes;
        return alpha_ == nullptr ? rgb_ + y * n : scratch_.get() + (y % 3) * n;
    }

    void split(std::size_t y) const {
        if (alpha_ != nullptr)
            kernels::split_row(row_out(y), layout_.width, 4, rgb_ + y * layout_.width * 3, alpha_ + y * layout_.width);
    }

    void reconstruct(std::size_t y, Byte type, const Byte* filtered) const {
        kernels::unfilter_row(type, filtered, row_out(y), y ? row_out(y - 1) : nullptr, layout_.row_bytes,
                              layout_.bytes_per_pixel);
        split(y);
    }

    // Rows y0 >= 1 and y1 = y0 + 1, both Paeth.
    void reconstruct_pair(std::size_t y0, const Byte* filtered0, std::size_t y1, const Byte* filtered1) const {
        kernels::unfilter_paeth_pair(filtered0, filtered1, row_out(y0), row_out(y1), row_out(y0 - 1),
                                     layout_.row_bytes, layout_.bytes_per_pixel);
        split(y0);
        split(y1);
    }

    const ImageLayout& layout_;
    Planes& planes_;
    Buffer scratch_;  // RGBA: three scratch rows; then the held-back row
    Byte* held_ = nullptr;
    bool holding_ = false;
    Byte* rgb_ = nullptr;
    Byte* alpha_ = nullptr;
    Byte* filters_ = nullptr;
};

// Gathers a stream of inflated bytes into scanlines: a scanline lying whole in
// one piece is used where it lies, one split across pieces is copied together
// in a buffer of one scanline.
class ScanlineGatherer {
public:
    explicit ScanlineGatherer(const ImageLayout& layout, RowBuilder& rows)
        : stride_(layout.row_bytes + 1), height_(layout.height), rows_(rows) {}

    bool allocate() {
        partial_.reset(static_cast<Byte*>(PyMem_Malloc(stride_)));
        if (!partial_) PyErr_NoMemory();
        return static_cast<bool>(partial_);
    }

    // kGaveUp when a row has an unknown filter type or the data runs past the
    // last row; kFailed when the planes cannot be allocated.
    Streamed feed(const Byte* data, std::size_t size) {
        while (size > 0) {
            if (next_row_ == height_) return Streamed::kGaveUp;
            if (filled_ > 0 || size < stride_) {
                const std::size_t take = std::min(stride_ - filled_, size);
                std::memcpy(partial_.get() + filled_, data, take);
                filled_ += take;
                data += take;
                size -= take;
                if (filled_ < stride_) return Streamed::kDone;
                filled_ = 0;
                if (!rows_.allocate()) return Streamed::kFailed;
                if (!rows_.put(next_row_++, partial_.get())) return Streamed::kGaveUp;
            } else {
                if (!rows_.allocate()) return Streamed::kFailed;
                if (!rows_.put(next_row_++, data)) return Streamed::kGaveUp;
                data += stride_;
                size -= stride_;
            }
        }
        return Streamed::kDone;
    }

private:
    std::size_t stride_;
    std::size_t height_;
    RowBuilder& rows_;
    Buffer partial_;
    std::size_t filled_ = 0;
    std::size_t next_row_ = 0;
};

// 1 when the inflater's attribute name is true, 0 when false, -1 on error.
int attribute_truth(PyObject* inflater, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(inflater, name));
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// One call of decompress(data, limit): the output's size is added to total and
// its bytes fed to the gatherer; consumed receives how much of data was read.
// kGaveUp for a zlib error (cleared), output past expected or a row the
// gatherer refused; kFailed for any other error (left set).
Streamed inflate_piece(PyObject* inflater, PyObject* decompress, PyObject* data, Py_ssize_t data_size,
                       std::int64_t expected, std::int64_t& total, ScanlineGatherer& gatherer,
                       Py_ssize_t& consumed) {
    Ref limit = Ref::steal(PyLong_FromLongLong(std::min<std::int64_t>(kOutputPiece, expected + 1 - total)));
    if (!limit) return Streamed::kFailed;
    PyObject* const arguments[] = {data, limit.get()};
    Ref output = Ref::steal(PyObject_Vectorcall(decompress, arguments, 2, nullptr));
    if (!output) {
        if (!PyErr_ExceptionMatches(host::objects.zlib_error)) return Streamed::kFailed;
        PyErr_Clear();
        return Streamed::kGaveUp;
    }
    if (!PyBytes_CheckExact(output.get())) return Streamed::kGaveUp;
    const Py_ssize_t size = PyBytes_GET_SIZE(output.get());
    total += size;
    if (total > expected) return Streamed::kGaveUp;
    const Streamed fed =
        gatherer.feed(reinterpret_cast<const Byte*>(PyBytes_AS_STRING(output.get())), static_cast<std::size_t>(size));
    if (fed != Streamed::kDone) return fed;
    Ref tail = Ref::steal(PyObject_GetAttr(inflater, host::constants.str_unconsumed_tail));
    if (!tail) return Streamed::kFailed;
    if (!PyBytes_CheckExact(tail.get()) || PyBytes_GET_SIZE(tail.get()) > data_size) return Streamed::kGaveUp;
    consumed = data_size - PyBytes_GET_SIZE(tail.get());
    return Streamed::kDone;
}

Streamed stream_rows(PyObject* idat_payloads, const ImageLayout& layout, ScanlineGatherer& gatherer) {
    const Py_ssize_t count = PyList_GET_SIZE(idat_payloads);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!PyBytes_CheckExact(PyList_GET_ITEM(idat_payloads, i))) return Streamed::kGaveUp;
    Ref inflater = Ref::steal(PyObject_CallNoArgs(host::objects.zlib_decompressobj));
    if (!inflater) return Streamed::kFailed;
    Ref decompress = Ref::steal(PyObject_GetAttr(inflater.get(), host::constants.str_decompress));
    if (!decompress) return Streamed::kFailed;

    std::int64_t total = 0;
    int ended = 0;
    // The list is this decoder's own and the payloads are bytes: neither changes
    // while the host's decompress runs.
    for (Py_ssize_t i = 0; i < count && !ended; ++i) {
        PyObject* payload = PyList_GET_ITEM(idat_payloads, i);
        char* base = PyBytes_AS_STRING(payload);
        const Py_ssize_t size = PyBytes_GET_SIZE(payload);
        for (Py_ssize_t offset = 0; offset < size && !ended;) {
            const Py_ssize_t slice = std::min(kInputSlice, size - offset);
            Ref view = Ref::steal(PyMemoryView_FromMemory(base + offset, slice, PyBUF_READ));
            if (!view) return Streamed::kFailed;
            Py_ssize_t consumed = 0;
            const Streamed step =
                inflate_piece(inflater.get(), decompress.get(), view.get(), slice, layout.expected, total, gatherer,
                              consumed);
            if (step != Streamed::kDone) return step;
            offset += consumed;
            ended = attribute_truth(inflater.get(), host::constants.str_eof);
            if (ended < 0) return Streamed::kFailed;
        }
    }
    // All input read: output the size limit held back may still be pending.
    while (!ended) {
        const std::int64_t before = total;
        Py_ssize_t consumed = 0;
        const Streamed step = inflate_piece(inflater.get(), decompress.get(), host::constants.empty_bytes, 0,
                                            layout.expected, total, gatherer, consumed);
        if (step != Streamed::kDone) return step;
        ended = attribute_truth(inflater.get(), host::constants.str_eof);
        if (ended < 0) return Streamed::kFailed;
        if (!ended && total == before) return Streamed::kGaveUp;  // the stream is incomplete
    }
    return total == layout.expected ? Streamed::kDone : Streamed::kGaveUp;
}

// The joined IDAT payloads inflated as one zlib stream, exactly expected bytes
// long. Inflation stops after expected + 1 bytes, so data that inflates to far
// more (a decompression bomb) costs no more than the image it claims to be.
// Data that is not a complete zlib stream raises the host zlib's own error, the
// one zlib.decompress gives; bytes after the end of the stream are ignored.
Ref inflate_whole(PyObject* idat_payloads, std::int64_t expected) {
    Ref joined = Ref::steal(PyObject_CallMethod(host::constants.empty_bytes, "join", "O", idat_payloads));
    if (!joined) return {};
    Ref inflater = Ref::steal(PyObject_CallNoArgs(host::objects.zlib_decompressobj));
    if (!inflater) return {};
    Ref inflated = Ref::steal(PyObject_CallMethod(inflater.get(), "decompress", "OL", joined.get(),
                                                  static_cast<long long>(expected + 1)));
    if (!inflated) return {};
    if (PyBytes_GET_SIZE(inflated.get()) > expected) {
        PyErr_SetString(PyExc_ValueError, msg::kPngMalformed);
        return {};
    }
    const int ended = attribute_truth(inflater.get(), host::constants.str_eof);
    if (ended < 0) return {};
    if (!ended) {
        // The output limit was not reached, so all input was consumed without
        // reaching the stream's end. Inflating it again in one piece is just as
        // bounded and raises the host's error for an incomplete stream.
        inflated = Ref::steal(PyObject_CallOneArg(host::objects.zlib_decompress, joined.get()));
        if (!inflated) return {};
    }
    if (PyBytes_GET_SIZE(inflated.get()) != expected) {
        PyErr_SetString(PyExc_ValueError, msg::kPngMalformed);
        return {};
    }
    return inflated;
}

bool decode_exactly(PyObject* idat_payloads, const ImageLayout& layout, RowBuilder& rows) {
    Ref raw = inflate_whole(idat_payloads, layout.expected);
    if (!raw || !rows.allocate()) return false;
    const auto* scanline = reinterpret_cast<const Byte*>(PyBytes_AS_STRING(raw.get()));
    for (std::size_t y = 0; y < layout.height; ++y, scanline += layout.row_bytes + 1) {
        if (!rows.put(y, scanline)) {
            PyErr_Format(PyExc_ValueError, "%s%d", msg::kPngFilterPrefix, int{scanline[0]});
            return false;
        }
    }
    rows.finish();
    return true;
}

}  // namespace

// Whether the payloads could inflate to expected bytes at all. Deflate expands
// by at most about 1032:1, so a header claiming far more than the data can hold
// is left to the exact path, which inflates at most what the data holds and
// refuses it, instead of reserving the claimed image as rows start arriving.
bool could_inflate_to(PyObject* idat_payloads, std::int64_t expected) {
    constexpr std::int64_t kMaxExpansion = 1100;  // a margin above deflate's bound
    constexpr std::int64_t kSlack = 1024;
    std::int64_t compressed = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idat_payloads); ++i) {
        const Py_ssize_t size = PyObject_Size(PyList_GET_ITEM(idat_payloads, i));
        if (size < 0) {
            PyErr_Clear();  // the exact path reports what this payload is
            return false;
        }
        compressed += size;
    }
    return expected <= compressed * kMaxExpansion + kSlack;
}

bool decode_image_data(PyObject* idat_payloads, const ImageLayout& layout, Planes& planes) {
    RowBuilder rows(layout, planes);
    if (could_inflate_to(idat_payloads, layout.expected)) {
        ScanlineGatherer gatherer(layout, rows);
        if (!gatherer.allocate()) return false;
        switch (stream_rows(idat_payloads, layout, gatherer)) {
            case Streamed::kDone:
                if (!rows.allocate()) return false;  // an image of no rows has its planes too
                rows.finish();
                return true;
            case Streamed::kFailed: return false;
            case Streamed::kGaveUp: break;
        }
    }
    rows.release();
    return decode_exactly(idat_payloads, layout, rows);
}

}  // namespace tavrune::png
