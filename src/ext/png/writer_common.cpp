// What both PNG writers share: validation, filtering, compression, chunk framing
// and writing. Everything but the writing happens in memory, so a failure before
// write_file leaves an existing file untouched.
#include "png/writer_common.hpp"

#include "core/errors.hpp"
#include "core/file.hpp"
#include "core/host.hpp"
#include "core/image_size.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "png/chunk.hpp"
#include "png/encoder.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tavrune::png {

bool check_lengths(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha) {
    if (!sizes::check_image_length(pixels, sizes::image_size(width, height, 3), msg::kPixelLength)) return false;
    return alpha == Py_None ||
           sizes::check_image_length(alpha, sizes::image_size(width, height, 1), msg::kAlphaLength);
}

namespace {

// Filtered bands of about 256 KiB (whole rows, at least one): few enough calls
// that their cost does not show next to deflate's, small enough that a band is
// still in cache when it is compressed and that save holds little more than
// the compressed output.
constexpr std::size_t kBand = std::size_t{256} << 10;

// The compressed output, gathered into one bytes object that grows in steps of
// a sixteenth of the filtered stream (at least 64 KiB): it is over-allocated
// by at most one step, and a large one grows in place (the system allocator
// remaps it). No Python code can reach it before finish().
class Output {
public:
    explicit Output(std::size_t stream_size) : step_(std::max<std::size_t>(stream_size / 16, kMinimumStep)) {}

    // Appends piece, the result of the host call named what, which must be
    // exactly bytes. False with an exception set.
    bool append(PyObject* piece, const char* what) {
        if (!host::expect_bytes(piece, what)) return false;
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(piece));
        std::size_t needed;
        if (__builtin_add_overflow(size_, size, &needed) || needed > PY_SSIZE_T_MAX) return errors::raise_no_memory();
        if (needed > capacity_ && !grow(needed)) return false;
        std::memcpy(PyBytes_AS_STRING(data_) + size_, PyBytes_AS_STRING(piece), size);
        size_ = needed;
        return true;
    }

    // The bytes gathered, as a new reference, or null with an exception set.
    PyObject* finish() {
        if (data_ == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
        if (_PyBytes_Resize(&data_, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
        return std::exchange(data_, nullptr);
    }

    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Py_XDECREF(data_); }

private:
    static constexpr std::size_t kMinimumStep = std::size_t{64} << 10;

    bool grow(std::size_t needed) {
        std::size_t capacity = capacity_ + step_;
        if (capacity < needed) capacity = needed;
        if (capacity > PY_SSIZE_T_MAX) capacity = needed;
        if (data_ == nullptr) {
            data_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
            if (data_ == nullptr) return false;
        } else if (_PyBytes_Resize(&data_, static_cast<Py_ssize_t>(capacity)) < 0) {
            return false;  // data_ is null now
        }
        capacity_ = capacity;
        return true;
    }

    PyObject* data_ = nullptr;  // a bytes object this class alone refers to
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    const std::size_t step_;
};

// Where a call of compress() may end. zlib (at wbits 15: a 32 KiB window, a
// 262-byte minimum lookahead) decides every match and block from the bytes it
// has been given and its parameters alone, with one exception: it slides its
// window as soon as a call finds the lookahead short with the current position
// at 32506 past a 32 KiB boundary, while given the whole stream it slides one
// step later, and a match exactly 32506 bytes back is then found in one case
// and lost in the other. A call that stops within the last 262 bytes before a
// 32 KiB boundary of the stream can stop there, so no call but the last ends
// in them; every other cut gives the bytes of one zlib.compress call (the last
// call's end is the end of the stream in both cases).
constexpr std::size_t kWindow = std::size_t{32} << 10;
constexpr std::size_t kLookahead = 262;

bool may_end_at(std::size_t end) { return (end + kLookahead) % kWindow >= kLookahead; }

// The filtered stream deflated by the host's zlib.compressobj() a band at a
// time, each band through compress() and the end through flush(): the same
// bytes zlib.compress gives for the whole stream, at the same defaults (level
// 6, wbits 15, memLevel 8, the default strategy). A band is cut where a call
// may end (may_end_at); the bytes after the cut, fewer than 262, start the
// next band.
PyObject* deflate_bands(ScanlineEncoder& encoder) {
    Ref compressor = Ref::steal(PyObject_CallNoArgs(host::objects.zlib_compressobj));
    if (!compressor) return nullptr;
    Ref compress = Ref::steal(PyObject_GetAttrString(compressor.get(), "compress"));
    if (!compress) return nullptr;
    const std::size_t rows_size = std::max<std::size_t>(1, kBand / encoder.stride()) * encoder.stride();
    const std::size_t capacity = rows_size + kLookahead;
    const std::size_t stream_size = encoder.rows() * encoder.stride();
    Output output(stream_size);
    std::uint8_t carried[kLookahead];
    std::size_t carry = 0;
    std::size_t sent = 0;  // bytes of the stream given to compress() so far
    Ref band;
    while (!encoder.finished()) {
        // The band is a bytearray of this function's own; should the compressor
        // have kept it, the next band goes into a new one.
        if (!band || Py_REFCNT(band.get()) != 1) {
            band = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
            if (!band) return nullptr;
        } else if (PyByteArray_Resize(band.get(), static_cast<Py_ssize_t>(capacity)) < 0) {
            return nullptr;
        }
        auto* data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(band.get()));
        std::memcpy(data, carried, carry);
        std::size_t filled = carry + encoder.encode(data + carry, rows_size);
        std::size_t cut = filled;
        if (!encoder.finished())
            while (cut > 0 && !may_end_at(sent + cut)) --cut;
        carry = filled - cut;
        std::memcpy(carried, data + cut, carry);
        if (cut == 0) continue;
        if (PyByteArray_Resize(band.get(), static_cast<Py_ssize_t>(cut)) < 0) return nullptr;
        Ref piece = Ref::steal(PyObject_CallOneArg(compress.get(), band.get()));
        if (!piece || !output.append(piece.get(), msg::kZlibCompressobjCompress)) return nullptr;
        sent += cut;
    }
    band.reset();
    Ref tail = Ref::steal(PyObject_CallMethod(compressor.get(), "flush", nullptr));
    if (!tail || !output.append(tail.get(), msg::kZlibCompressobjFlush)) return nullptr;
    return output.finish();
}

}  // namespace

PyObject* compress_image_data(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                              PyObject* filter_types) {
    Ref pix_buf = Ref::steal(PyByteArray_Check(pixels) ? Ref::borrow(pixels).release()
                                                       : PyByteArray_FromObject(pixels));
    if (!pix_buf) return nullptr;
    ScanlineEncoder encoder;
    if (!encoder.start(width, height, pix_buf.get(), alpha, filter_types)) return nullptr;
    return deflate_bands(encoder);
}

PyObject* untracked_list() {
    PyObject* list = PyList_New(0);
    if (list) PyObject_GC_UnTrack(list);
    return list;
}

PyObject* start_file() {
    Ref signature = Ref::steal(host::module_global(host::constants.name(names::Name::kPngSignature)));
    if (!signature) return nullptr;
    Ref pieces = Ref::steal(untracked_list());
    return pieces && PyList_Append(pieces.get(), signature.get()) == 0 ? pieces.release() : nullptr;
}

bool append_chunk(PyObject* pieces, PyObject* type, PyObject* payload) {
    Ref chunk = Ref::steal(make_chunk(type, payload));
    return chunk && PyList_Append(pieces, chunk.get()) == 0;
}

bool append_chunk_of(PyObject* pieces, PyObject* type, PyObject* payload, Py_ssize_t offset, Py_ssize_t size) {
    const bool whole = offset == 0 && size == PyBytes_GET_SIZE(payload);
    Ref range = whole ? Ref::borrow(payload) : Ref::steal(PyMemoryView_FromObject(payload));
    if (!range) return false;
    if (!whole) {
        range = Ref::steal(PySequence_GetSlice(range.get(), offset, offset + size));
        if (!range) return false;
    }
    if (!check_chunk_length(size)) return false;
    char head[8], tail[4];
    frame_chunk(type, PyBytes_AS_STRING(payload) + offset, static_cast<std::size_t>(size), head, tail);
    Ref head_bytes = Ref::steal(PyBytes_FromStringAndSize(head, 8));
    Ref tail_bytes = Ref::steal(PyBytes_FromStringAndSize(tail, 4));
    return head_bytes && tail_bytes && PyList_Append(pieces, head_bytes.get()) == 0 &&
           PyList_Append(pieces, range.get()) == 0 && PyList_Append(pieces, tail_bytes.get()) == 0;
}

bool write_file(PyObject* path, PyObject* pieces) {
    return file::with_open(path, host::constants.mode_wb, [pieces](PyObject* output) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces); ++i) {
            Ref piece = Ref::borrow(PyList_GET_ITEM(pieces, i));  // held: write can run code that changes the list
            Ref written = Ref::steal(PyObject_CallMethodObjArgs(output, host::constants.str_write, piece.get(), nullptr));
            if (!written) return false;
        }
        return true;
    });
}

}  // namespace tavrune::png
