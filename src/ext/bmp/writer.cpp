// The BMP writer: bottom-up 24-bit rows with the kept resolution fields.
//
// Everything that can fail short of the file itself is settled before the file
// is opened: the header values are packed by the host's struct.pack (so a value
// that does not fit fails with the host's struct.error) and a pixel buffer
// shorter than the image fails with the host's IndexError of bytearray indexing.
// A failed write therefore never truncates an existing file. The rows are
// converted in memory and written a batch of whole rows per write call.
#include "binding/named.hpp"
#include "bmp/bmp.hpp"
#include "core/buffer.hpp"
#include "core/file.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"
#include "kernels/pixels.hpp"

#include <algorithm>
#include <cstring>

namespace tavrune::bmp {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

constexpr Param kWriteBmpParams[] = {
    {.name = "path"},
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "meta", .optional = true},
};
enum class WriteBmp { path, width, height, pixels, meta };
static_assert(binding::names_match<WriteBmp>(kWriteBmpParams, {{WriteBmp::path, "path"},
                                                               {WriteBmp::width, "width"},
                                                               {WriteBmp::height, "height"},
                                                               {WriteBmp::pixels, "pixels"},
                                                               {WriteBmp::meta, "meta"}}));

struct WriteBmpArgs {
    PyObject* path;
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;
    PyObject* meta;  // or None
};

constexpr long kHeadersSize = 54;        // "BM", the 12-byte file header, the 40-byte info header
constexpr std::int64_t kBatchBytes = 1 << 18;  // rows are gathered up to about this much per write

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return quotient * divisor != value && value < 0 ? quotient - 1 : quotient;
}

// The header record's four values, in order: int(meta.get(key, default)) for
// each key and default of host::constants.bmp_defaults, or the defaults
// themselves without a record.
bool read_record(PyObject* meta, Ref (&values)[4]) {
    for (int i = 0; i < 4; ++i) {
        PyObject* key = PyTuple_GET_ITEM(host::constants.bmp_defaults[i], 0);
        PyObject* fallback = PyTuple_GET_ITEM(host::constants.bmp_defaults[i], 1);
        if (meta == Py_None) {
            values[i] = Ref::borrow(fallback);
            continue;
        }
        Ref entry = Ref::steal(PyObject_CallMethodObjArgs(meta, host::constants.str_get, key, fallback, nullptr));
        if (!entry) return false;
        values[i] = Ref::steal(PyNumber_Long(entry.get()));
        if (!values[i]) return false;
    }
    return true;
}

// The 54 header bytes, packed by the host's struct module from the values as
// Python ints, so an unpackable value fails with the host's struct.error.
PyObject* pack_headers(std::int32_t width, std::int32_t height, std::int64_t row_stride, const Ref (&record)[4]) {
    Ref stride = Ref::steal(PyLong_FromLongLong(row_stride));
    Ref rows = Ref::steal(PyLong_FromLong(height));
    if (!stride || !rows) return nullptr;
    Ref pixel_array_size = Ref::steal(PyNumber_Multiply(stride.get(), rows.get()));
    if (!pixel_array_size) return nullptr;
    Ref headers_size = Ref::steal(PyLong_FromLong(kHeadersSize));
    if (!headers_size) return nullptr;
    Ref file_size = Ref::steal(PyNumber_Add(headers_size.get(), pixel_array_size.get()));
    if (!file_size) return nullptr;
    Ref file_header = Ref::steal(PyObject_CallFunction(host::objects.struct_pack, "OOiil", host::constants.fmt_bmp_file,
                                                       file_size.get(), 0, 0, kHeadersSize));
    if (!host::expect_bytes(file_header.get(), msg::kStructPack)) return nullptr;
    Ref info_header = Ref::steal(PyObject_CallFunction(
        host::objects.struct_pack, "OiiiiiiOOOOO", host::constants.fmt_bmp_info, 40, width, height, 1, 24, 0,
        pixel_array_size.get(), record[0].get(), record[1].get(), record[2].get(), record[3].get()));
    if (!host::expect_bytes(info_header.get(), msg::kStructPack)) return nullptr;
    Ref signature_and_file_header = Ref::steal(PyNumber_Add(host::constants.bm, file_header.get()));
    if (!signature_and_file_header) return nullptr;
    return PyNumber_Add(signature_and_file_header.get(), info_header.get());
}

// Writes the rows bottom row first, each as blue-green-red samples and zero
// padding up to row_stride, several whole rows per write call.
bool write_rows(PyObject* output, const std::uint8_t* pixels, std::size_t width, std::size_t height,
                std::size_t row_stride) {
    const std::size_t row_bytes = width * 3;
    const std::size_t rows_per_batch =
        std::max<std::size_t>(1, static_cast<std::size_t>(kBatchBytes) / row_stride);
    for (std::size_t done = 0; done < height;) {
        const std::size_t batch_rows = std::min(rows_per_batch, height - done);
        Ref batch = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(batch_rows * row_stride)));
        if (!batch) return false;
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(batch.get()));
        for (std::size_t i = 0; i < batch_rows; ++i, ++done, out += row_stride) {
            const std::size_t y = height - 1 - done;
            kernels::swap_red_blue(pixels + y * row_bytes, out, width);
            std::memset(out + row_bytes, 0, row_stride - row_bytes);
        }
        Ref written = Ref::steal(PyObject_CallMethodObjArgs(output, host::constants.str_write, batch.get(), nullptr));
        if (!written) return false;
    }
    return true;
}

PyObject* write_bmp(const WriteBmpArgs& args) {
    const std::int32_t width = args.width;
    const std::int32_t height = args.height;
    // Exact arithmetic: for widths beyond 715827881, where width*3 + 3 leaves the
    // signed 32-bit range, the sizes stay true and the packing refuses them.
    const std::int64_t row_stride = floor_div(std::int64_t{width} * 3 + 3, 4) * 4;
    Ref record[4];
    if (!read_record(args.meta, record)) return nullptr;
    Ref pix_buf = Ref::steal(PyByteArray_Check(args.pixels) ? Ref::borrow(args.pixels).release()
                                                            : PyByteArray_FromObject(args.pixels));
    if (!pix_buf) return nullptr;
    Ref headers = Ref::steal(pack_headers(width, height, row_stride, record));
    if (!headers) return nullptr;

    // Exported while the file is written: the buffer cannot be resized meanwhile,
    // and its length is checked on the view that is read.
    ByteView view;
    if (!view.acquire(pix_buf.get())) return nullptr;
    // Packing succeeded, so width and height are not negative and the pixel rows
    // total less than 2^32 bytes.
    const bool has_rows = width > 0 && height > 0;
    if (has_rows && view.size() < std::int64_t{width} * height * 3) {
        // Reading past the end fails as bytearray indexing does.
        PyByteArray_Type.tp_as_sequence->sq_item(pix_buf.get(), PyByteArray_GET_SIZE(pix_buf.get()));
        return nullptr;
    }
    const bool written = file::with_open(args.path, host::constants.mode_wb, [&](PyObject* output) {
        Ref done = Ref::steal(PyObject_CallMethodObjArgs(output, host::constants.str_write, headers.get(), nullptr));
        if (!done) return false;
        return !has_rows || write_rows(output, view.data(), static_cast<std::size_t>(width),
                                       static_cast<std::size_t>(height), static_cast<std::size_t>(row_stride));
    });
    if (!written) return nullptr;
    Py_RETURN_NONE;
}

PyObject* bmp_writeBmp(const BoundArgs& bound) {
    const binding::Named<kWriteBmpParams, WriteBmp> named(bound);
    return write_bmp({
        .path = named.object<WriteBmp::path>(),
        .width = named.int32<WriteBmp::width>(),
        .height = named.int32<WriteBmp::height>(),
        .pixels = named.object<WriteBmp::pixels>(),
        .meta = named.object<WriteBmp::meta>(),
    });
}

constexpr binding::Annotation kWriteBmpAnnotations[] = {{"return", "None"}};

}  // namespace

const binding::FunctionSpec kWriteBmp = {
    .name = names::text(names::Name::kWriteBmp),
    .qualname = names::text(names::Name::kWriteBmp),
    .params = kWriteBmpParams,
    .annotations = kWriteBmpAnnotations,
    .receiver = binding::Receiver::kNone,
    .body = bmp_writeBmp,
};

}  // namespace tavrune::bmp
