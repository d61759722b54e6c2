// The PNG decoder: chunks, header validation, inflation, unfiltering, the split
// of colour and alpha.
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "kernels/pixels.hpp"
#include "kernels/scanline.hpp"
#include "png/chunk.hpp"
#include "png/png.hpp"

#include <cstdint>
#include <memory>

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
    std::int64_t alpha_bytes;  // the alpha plane, 0 when there is none
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
    if (!fields) return false;
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
    sizes.alpha_bytes = sizes.bytes_per_pixel == 4 ? width * height : 0;
    if (overflow || sizes.row_bytes > kMaxSize || sizes.expected > kMaxSize || sizes.rgb_bytes > kMaxSize)
        return fail(PyExc_ValueError, msg::kPngMalformed);
    return true;
}

// The joined IDAT payloads inflated as one zlib stream, exactly expected bytes
// long. Inflation stops after expected + 1 bytes, so data that inflates to far
// more (a decompression bomb) costs no more than the image it claims to be.
// Data that is not a complete zlib stream raises the host zlib's own error, the
// one zlib.decompress gives; bytes after the end of the stream are ignored.
Ref inflate(PyObject* idat_payloads, std::int64_t expected) {
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
    Ref at_end = Ref::steal(PyObject_GetAttrString(inflater.get(), "eof"));
    if (!at_end) return {};
    const int ended = PyObject_IsTrue(at_end.get());
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

struct MemFree {
    void operator()(void* p) const { PyMem_Free(p); }
};

// Reverses each scanline's filter and splits colour from alpha. raw holds
// expected bytes; rgb, alpha (null for RGB) and filters hold rgb_bytes,
// alpha_bytes and height bytes. RGB rows are reconstructed in place in the pixel
// buffer, each against the row above it there; RGBA rows alternate between two
// scratch rows before the split. False with an exception set.
bool unfilter_image(const std::uint8_t* raw, const Sizes& sizes, std::int64_t width, std::int64_t height,
                    std::uint8_t* rgb, std::uint8_t* alpha, std::uint8_t* filters, std::uint8_t* scratch) {
    const auto row_bytes = static_cast<std::size_t>(sizes.row_bytes);
    const std::uint8_t* prev = nullptr;  // the top row is reconstructed against zeros
    for (std::int64_t y = 0; y < height; ++y, raw += row_bytes + 1) {
        const std::uint8_t type = raw[0];
        filters[y] = type;
        if (row_bytes == 0) continue;  // an empty scanline's type is never tested
        if (type > kernels::kMaxFilterType) {
            PyErr_Format(PyExc_ValueError, "%s%d", msg::kPngFilterPrefix, int{type});
            return false;
        }
        std::uint8_t* out = alpha ? scratch + (y & 1) * row_bytes : rgb + y * row_bytes;
        kernels::unfilter_row(type, raw + 1, out, prev, row_bytes, sizes.bytes_per_pixel);
        if (alpha)
            kernels::split_row(out, static_cast<std::size_t>(width), 4, rgb + y * width * 3, alpha + y * width);
        prev = out;
    }
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
    if (!read_chunks(stream, header, records.get(), idat_payloads.get())) return nullptr;
    Sizes sizes;
    if (!validate(header) || !derive_sizes(header, sizes)) return nullptr;
    Ref raw = inflate(idat_payloads.get(), sizes.expected);
    if (!raw) return nullptr;
    idat_payloads.reset();

    Ref pixels = Ref::steal(PyByteArray_FromStringAndSize(nullptr, sizes.rgb_bytes));
    if (!pixels) return nullptr;
    Ref alpha = sizes.bytes_per_pixel == 4 ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, sizes.alpha_bytes))
                                           : Ref::borrow(Py_None);
    if (!alpha) return nullptr;
    Ref filter_types = Ref::steal(PyByteArray_FromStringAndSize(nullptr, header.height));
    if (!filter_types) return nullptr;
    std::unique_ptr<std::uint8_t, MemFree> scratch;
    if (sizes.bytes_per_pixel == 4) {
        scratch.reset(static_cast<std::uint8_t*>(PyMem_Malloc(static_cast<std::size_t>(2 * sizes.row_bytes + 1))));
        if (!scratch) return PyErr_NoMemory();
    }
    // No call into Python from here on: the buffer pointers stay valid.
    const auto bytes_of = [](PyObject* array) { return reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(array)); };
    if (!unfilter_image(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(raw.get())), sizes, header.width,
                        header.height, bytes_of(pixels.get()),
                        alpha.get() == Py_None ? nullptr : bytes_of(alpha.get()), bytes_of(filter_types.get()),
                        scratch.get()))
        return nullptr;

    return Py_BuildValue("(iiOiOOOO)", header.width, header.height, pixels.get(), int(sizes.bytes_per_pixel),
                         alpha.get(), records.get(), Py_None, filter_types.get());
}

}  // namespace tavrune::png
