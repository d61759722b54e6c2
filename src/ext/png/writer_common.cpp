// What both PNG writers share: validation, filtering, compression, chunk framing
// and writing. Everything but the writing happens in memory, so a failure before
// write_file leaves an existing file untouched.
#include "png/writer_common.hpp"

#include "core/errors.hpp"
#include "core/file.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "png/chunk.hpp"
#include "png/encoder.hpp"

#include <climits>
#include <cstdint>
#include <cstring>

namespace tavrune::png {

bool check_lengths(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha) {
    if (!errors::check_image_length(pixels, errors::image_size(width, height, 3), msg::kPixelLength)) return false;
    return alpha == Py_None ||
           errors::check_image_length(alpha, errors::image_size(width, height, 1), msg::kAlphaLength);
}

PyObject* compress_image_data(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                              PyObject* filter_types) {
    Ref pix_buf = Ref::steal(PyByteArray_Check(pixels) ? Ref::borrow(pixels).release()
                                                       : PyByteArray_FromObject(pixels));
    if (!pix_buf) return nullptr;
    Ref raw = Ref::steal(encode_scanlines(width, height, pix_buf.get(), alpha, filter_types));
    if (!raw) return nullptr;
    Ref compressed = Ref::steal(PyObject_CallOneArg(host::objects.zlib_compress, raw.get()));
    return host::expect_bytes(compressed.get(), "zlib.compress") ? compressed.release() : nullptr;
}

PyObject* untracked_list() {
    PyObject* list = PyList_New(0);
    if (list) PyObject_GC_UnTrack(list);
    return list;
}

PyObject* start_file() {
    Ref signature = Ref::steal(host::module_global(host::constants.name_png_signature));
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
    if (static_cast<std::uint64_t>(size) > UINT32_MAX) {
        // make_chunk raises the error of a length field that cannot hold it.
        Ref copy = Ref::steal(PyBytes_FromObject(range.get()));
        return copy && append_chunk(pieces, type, copy.get());
    }
    const std::uint32_t crc_value = chunk_crc32(PyBytes_AS_STRING(type), 4, PyBytes_AS_STRING(payload) + offset,
                                                static_cast<std::size_t>(size));
    const auto length = static_cast<std::uint32_t>(size);
    char head[8] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                    static_cast<char>(length)};
    std::memcpy(head + 4, PyBytes_AS_STRING(type), 4);
    const char tail[4] = {static_cast<char>(crc_value >> 24), static_cast<char>(crc_value >> 16),
                          static_cast<char>(crc_value >> 8), static_cast<char>(crc_value)};
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
