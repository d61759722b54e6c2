// The PNG decoder: signature, chunks, header validation; the image data itself
// (inflation, unfiltering, the split of colour and alpha) is png/image_data.cpp.
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "png/chunk.hpp"
#include "png/image_data.hpp"
#include "png/png.hpp"

#include <cstdint>

namespace tavrune::png {

namespace {

constexpr std::int64_t kMaxSize = INT32_MAX;  // dimensions and sizes are signed 32-bit

// The IHDR fields; -1 marks a field that no IHDR chunk has set.
struct Header {
    std::int32_t width = -1;
    std::int32_t height = -1;
    std::int32_t bit_depth = -1;
    std::int32_t color_type = -1;
    std::int32_t compression = -1;
    std::int32_t filter_method = -1;
    std::int32_t interlace = -1;

    bool complete() const {
        for (std::int32_t field : {width, height, bit_depth, color_type, compression, filter_method, interlace})
            if (field == -1) return false;
        return true;
    }
};

// Sizes derived from a validated header, each proven to fit in 32 signed bits.
struct Sizes {
    unsigned bytes_per_pixel;
    std::int64_t row_bytes;    // one unfiltered scanline
    std::int64_t expected;     // the inflated image data: a filter byte and row_bytes per scanline
    std::int64_t rgb_bytes;    // the pixel buffer
};

int equals(PyObject* value, PyObject* constant) { return PyObject_RichCompareBool(value, constant, Py_EQ); }

bool fail(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    return false;
}

// Overwrites header with struct.unpack(">IIBBBBB", data) through the host's
// struct, so a payload of other than 13 bytes raises the host's error. A width
// or height of 2^31 or more has no signed 32-bit form: OverflowError.
bool unpack_ihdr(PyObject* data, Header& header) {
    Ref fields = Ref::steal(PyObject_CallFunctionObjArgs(host::objects.struct_unpack, host::constants.fmt_ihdr,
                                                         data, nullptr));
    if (!host::expect_tuple(fields.get(), 7, "struct.unpack")) return false;
    std::int32_t values[7];
    for (Py_ssize_t i = 0; i < 7; ++i) {
        const unsigned long value = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(fields.get(), i));
        if (PyErr_Occurred()) return false;
        if (value > static_cast<unsigned long>(kMaxSize)) return fail(PyExc_OverflowError, msg::kIntTooLarge);
        values[i] = static_cast<std::int32_t>(value);
    }
    header = {values[0], values[1], values[2], values[3], values[4], values[5], values[6]};
    return true;
}

// The record (chunk type, data or None, length) appended to records.
bool append_record(PyObject* records, PyObject* type, PyObject* data, std::uint32_t data_length) {
    Ref length = Ref::steal(PyLong_FromUnsignedLong(data_length));
    if (!length) return false;
    Ref record = Ref::steal(PyTuple_Pack(3, type, data, length.get()));
    return record && PyList_Append(records, record.get()) == 0;
}

// Reads chunks up to IEND or the end of the stream: every chunk gets a record,
// IDAT payloads are collected in order, each IHDR overwrites the header.
bool read_chunks(PyObject* stream, Header& header, PyObject* records, PyObject* idat_payloads) {
    for (;;) {
        Ref type, data;
        std::uint32_t data_length;
        const int found = read_chunk(stream, type, data, data_length);
        if (found <= 0) return found == 0;
        int is = equals(type.get(), host::constants.ihdr);
        if (is < 0 || (is && !unpack_ihdr(data.get(), header))) return false;
        is = equals(type.get(), host::constants.idat);
        if (is < 0) return false;
        if (is) {
            if (PyList_Append(idat_payloads, data.get()) < 0 ||
                !append_record(records, type.get(), Py_None, data_length))
                return false;
        } else if (!append_record(records, type.get(), data.get(), data_length)) {
            return false;
        }
        is = equals(type.get(), host::constants.iend);
        if (is != 0) return is > 0;
    }
}

bool validate(const Header& header) {
    if (!header.complete()) return fail(PyExc_ValueError, msg::kPngIncomplete);
    if (header.bit_depth != 8) return fail(PyExc_ValueError, msg::kPngBitDepth);
    if (header.color_type != 2 && header.color_type != 6) return fail(PyExc_ValueError, msg::kPngColorType);
    if (header.compression != 0 || header.filter_method != 0 || header.interlace != 0)
        return fail(PyExc_ValueError, msg::kPngConfig);
    return true;
}

// The buffer sizes of a validated header. An image whose sizes leave the signed
// 32-bit range is refused as malformed, before anything is inflated or allocated.
bool derive_sizes(const Header& header, Sizes& sizes) {
    sizes.bytes_per_pixel = header.color_type == 2 ? 3 : 4;
    const std::int64_t width = header.width;
    const std::int64_t height = header.height;
    bool overflow = __builtin_mul_overflow(width, std::int64_t{sizes.bytes_per_pixel}, &sizes.row_bytes);
    overflow |= __builtin_mul_overflow(sizes.row_bytes + 1, height, &sizes.expected);
    overflow |= __builtin_mul_overflow(width * height, std::int64_t{3}, &sizes.rgb_bytes);
    if (overflow || sizes.row_bytes > kMaxSize || sizes.expected > kMaxSize || sizes.rgb_bytes > kMaxSize)
        return fail(PyExc_ValueError, msg::kPngMalformed);
    return true;
}

}  // namespace

PyObject* load_png(PyObject* stream) {
    Ref eight = Ref::steal(PyLong_FromLong(8));
    if (!eight) return nullptr;
    Ref signature = Ref::steal(PyObject_CallMethodObjArgs(stream, host::constants.str_read, eight.get(), nullptr));
    if (!signature) return nullptr;
    Ref png_signature = Ref::steal(host::module_global(host::constants.name_png_signature));
    if (!png_signature) return nullptr;
    const int differs = PyObject_RichCompareBool(signature.get(), png_signature.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        PyErr_SetString(PyExc_ValueError, msg::kPngSignature);
        return nullptr;
    }

    Header header;
    Ref records = Ref::steal(PyList_New(0));
    Ref idat_payloads = Ref::steal(PyList_New(0));
    if (!records || !idat_payloads) return nullptr;
    // The payload list is read with borrowed items across host calls (a GC
    // callback or another thread can run during any of them). Untracked, no
    // Python code can find it with gc.get_referrers and change it meanwhile;
    // nothing but this Ref refers to it, so it can be in no cycle.
    PyObject_GC_UnTrack(idat_payloads.get());
    if (!read_chunks(stream, header, records.get(), idat_payloads.get())) return nullptr;
    Sizes sizes;
    if (!validate(header) || !derive_sizes(header, sizes)) return nullptr;
    const ImageLayout layout = {
        .width = static_cast<std::size_t>(header.width),
        .height = static_cast<std::size_t>(header.height),
        .bytes_per_pixel = sizes.bytes_per_pixel,
        .row_bytes = static_cast<std::size_t>(sizes.row_bytes),
        .expected = sizes.expected,
    };
    Planes planes;
    if (!decode_image_data(idat_payloads.get(), layout, planes)) return nullptr;
    idat_payloads.reset();

    return Py_BuildValue("(iiOiOOOO)", header.width, header.height, planes.rgb.get(), int(sizes.bytes_per_pixel),
                         planes.alpha.get(), records.get(), Py_None, planes.filters.get());
}

}  // namespace tavrune::png
