// What both PNG writers share: validation, filtering, compression, chunk framing
// and writing. Everything but the writing happens in memory, so a failure before
// write_file leaves an existing file untouched.
#include "png/writer_common.hpp"

#include "core/file.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "png/chunk.hpp"
#include "png/encoder.hpp"

#include <climits>

namespace tavrune::png {

namespace {

// 1 when len(obj) equals expected, 0 when it does not, -1 with an exception set.
int length_matches(PyObject* obj, std::int64_t expected) {
    const Py_ssize_t length = PyObject_Size(obj);
    if (length < 0) return -1;
    return expected >= INT32_MIN && expected <= INT32_MAX && length == expected ? 1 : 0;
}

bool check_length(PyObject* obj, std::int64_t expected, const char* message) {
    const int match = length_matches(obj, expected);
    if (match == 0) PyErr_SetString(PyExc_ValueError, message);
    return match > 0;
}

}  // namespace

bool check_lengths(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha) {
    const std::int64_t pixel_count = std::int64_t{width} * height;
    if (!check_length(pixels, pixel_count * 3, msg::kPixelLength)) return false;
    return alpha == Py_None || check_length(alpha, pixel_count, msg::kAlphaLength);
}

PyObject* compress_image_data(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                              PyObject* filter_types) {
    Ref pix_buf = Ref::steal(PyByteArray_Check(pixels) ? Ref::borrow(pixels).release()
                                                       : PyByteArray_FromObject(pixels));
    if (!pix_buf) return nullptr;
    Ref raw = Ref::steal(encode_scanlines(width, height, pix_buf.get(), alpha, filter_types));
    if (!raw) return nullptr;
    return PyObject_CallOneArg(host::objects.zlib_compress, raw.get());
}

PyObject* start_file() {
    Ref signature = Ref::steal(host::module_global(host::constants.name_png_signature));
    if (!signature) return nullptr;
    return Py_BuildValue("[O]", signature.get());
}

bool append_chunk(PyObject* pieces, PyObject* type, PyObject* payload) {
    Ref chunk = Ref::steal(make_chunk(type, payload));
    return chunk && PyList_Append(pieces, chunk.get()) == 0;
}

bool write_file(PyObject* path, PyObject* pieces) {
    return file::with_open(path, host::constants.mode_wb, [pieces](PyObject* output) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces); ++i) {
            Ref written = Ref::steal(
                PyObject_CallMethodObjArgs(output, host::constants.str_write, PyList_GET_ITEM(pieces, i), nullptr));
            if (!written) return false;
        }
        return true;
    });
}

}  // namespace tavrune::png
