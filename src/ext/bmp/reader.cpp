// The BMP reader: uncompressed 24-bit rows, bottom-up or top-down.
#include "bmp/bmp.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "core/stream.hpp"
#include "core/unpacking.hpp"
#include "kernels/pixels.hpp"

#include <cstdint>
#include <utility>

namespace tavrune::bmp {

namespace {

constexpr std::int64_t kMaxSize = INT32_MAX;  // row counts and buffer offsets are signed 32-bit

// Field i of an unpacked tuple as a C integer; every field fits in 64 bits.
long long field(PyObject* fields, Py_ssize_t i) { return PyLong_AsLongLong(PyTuple_GET_ITEM(fields, i)); }

// The header record: the four fields the writer puts back, under the writer's
// keys (host::constants.bmp_defaults) in their order.
PyObject* header_record(PyObject* info) {
    Ref record = Ref::steal(PyDict_New());
    if (!record) return nullptr;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* key = PyTuple_GET_ITEM(host::constants.bmp_defaults[i], 0);
        if (PyDict_SetItem(record.get(), key, PyTuple_GET_ITEM(info, 6 + i)) < 0) return nullptr;
    }
    return record.release();
}

}  // namespace

PyObject* load_bmp(PyObject* stream) {
    Ref file_header = stream::read(stream, 14);
    if (!file_header) return nullptr;
    int ok = unpacking::length_is(file_header.get(), 14);
    if (ok < 0) return nullptr;
    if (ok) {
        Ref magic = Ref::steal(PyObject_GetItem(file_header.get(), host::constants.head_slice));
        if (!magic) return nullptr;
        ok = PyObject_RichCompareBool(magic.get(), host::constants.bm, Py_EQ);
        if (ok < 0) return nullptr;
    }
    if (!ok) return errors::raise(PyExc_ValueError, msg::kBmpHeader);
    Ref file_fields_data = Ref::steal(PyObject_GetItem(file_header.get(), host::constants.tail_slice));
    if (!file_fields_data) return nullptr;
    Ref file_fields = host::unpack(host::constants.fmt_bmp_file, file_fields_data.get(), 4);
    if (!file_fields) return nullptr;
    PyObject* pixel_offset = PyTuple_GET_ITEM(file_fields.get(), 3);

    Ref dib_size_data = stream::read(stream, 4);
    if (!dib_size_data) return nullptr;
    ok = unpacking::length_is(dib_size_data.get(), 4);
    if (ok < 0) return nullptr;
    if (!ok) return errors::raise(PyExc_ValueError, msg::kBmpDibHeader);
    Ref dib_size = host::unpack(host::constants.fmt_le_u32, dib_size_data.get(), 1);
    if (!dib_size) return nullptr;
    if (field(dib_size.get(), 0) != 40) return errors::raise(PyExc_ValueError, msg::kBmpInfoHeader);

    // Its length is not tested first: a short read fails in the host's unpack.
    Ref info_data = stream::read(stream, 36);
    if (!info_data) return nullptr;
    Ref info = host::unpack(host::constants.fmt_bmp_fields, info_data.get(), 10);
    if (!info) return nullptr;
    const std::int64_t width = field(info.get(), 0);
    const std::int64_t height = field(info.get(), 1);
    if (field(info.get(), 2) != 1 || field(info.get(), 3) != 24 || field(info.get(), 4) != 0)
        return errors::raise(PyExc_ValueError, msg::kBmpFormat);

    // |width|, |height| <= 2^31, so the pixel count fits in 64 bits; its triple
    // is formed only once it is known to be small.
    const std::int64_t abs_height = height < 0 ? -height : height;
    const std::int64_t pixel_count = width * abs_height;
    if (pixel_count < 0) {
        return errors::raise_negative_size(pixel_count, 3);  // as bytearray(width * absHeight * 3) fails
    }
    // Past the signed 32-bit row counter and buffer offsets: refused before any
    // allocation, seek or pixel copy.
    if (pixel_count > kMaxSize / 3 || abs_height > kMaxSize)
        return errors::raise(PyExc_OverflowError, msg::kIntTooLarge);
    const std::int64_t row_bytes = width * 3;
    // width * 3 rounded up to a multiple of 4, with floor division as for
    // unbounded integers (a negative width occurs only with no rows).
    const std::int64_t numerator = row_bytes + 3;
    const std::int64_t row_stride = (numerator >= 0 ? numerator / 4 : -((-numerator + 3) / 4)) * 4;

    // The pixel buffer is made once the first row has arrived whole, so a header
    // alone sets nothing aside for the image it describes; nothing observable
    // happens between here and then but the seek and that read.
    Ref pixels;
    const auto make_pixels = [&] {
        pixels = Ref::steal(PyByteArray_FromStringAndSize(nullptr, pixel_count * 3));
        return static_cast<bool>(pixels);
    };
    Ref seeked = Ref::steal(PyObject_CallMethodObjArgs(stream, host::constants.str_seek, pixel_offset, nullptr));
    if (!seeked) return nullptr;
    // Rows of width 0 are reads of 0 bytes, up to 2^31 - 1 of them for a header
    // of a few bytes. From the streams open makes, a read of 0 bytes returns b""
    // and changes nothing, and no Python code runs between two reads here, so
    // the first read stands for all the others; any other stream is read once
    // per row as the format's steps say.
    std::int64_t rows_to_read = abs_height;
    if (row_stride == 0 && abs_height > 1) {
        stream::Kind kind;
        if (!stream::kind_of(stream, kind)) return nullptr;
        if (kind != stream::Kind::kOther) rows_to_read = 1;
    }
    for (std::int64_t row = 0; row < rows_to_read; ++row) {
        Ref row_data = stream::read(stream, static_cast<std::uint64_t>(row_stride));
        if (!row_data) return nullptr;
        if (row_data.get() == Py_None) return errors::raise(PyExc_TypeError, msg::kNoneHasNoLen);
        if (!PyBytes_CheckExact(row_data.get()))
            return errors::raise_format(PyExc_TypeError, msg::kExpectedType, "bytes", Py_TYPE(row_data.get())->tp_name);
        if (PyBytes_GET_SIZE(row_data.get()) != row_stride) return errors::raise(PyExc_ValueError, msg::kBmpIncomplete);
        if (!pixels && !make_pixels()) return nullptr;
        const std::int64_t target_row = height > 0 ? abs_height - 1 - row : row;
        // Taken after the read: the stream's Python code runs between rows.
        auto* out = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(pixels.get())) + target_row * row_bytes;
        kernels::swap_red_blue(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(row_data.get())), out,
                               static_cast<std::size_t>(width));
    }

    if (!pixels && !make_pixels()) return nullptr;
    Ref record = Ref::steal(header_record(info.get()));
    if (!record) return nullptr;
    Ref absolute_height = Ref::steal(PyLong_FromLongLong(abs_height));
    if (!absolute_height) return nullptr;
    return Py_BuildValue("(OOOiOOOO)", PyTuple_GET_ITEM(info.get(), 0), absolute_height.get(), pixels.get(), 3,
                         Py_None, Py_None, record.get(), Py_None);
}

}  // namespace tavrune::bmp
