// The chunk-preserving PNG writer: the kept records in order, the new image data
// where the first IDAT record stood, cut into the kept IDAT sizes (png/idat_pieces.hpp).
#include "binding/named.hpp"
#include "core/buffer.hpp"
#include "core/host.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"
#include "core/unpacking.hpp"
#include "png/idat_pieces.hpp"
#include "png/png.hpp"
#include "png/writer_common.hpp"

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

constexpr Param kWithChunksParams[] = {
    {.name = "path"},
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "alpha"},
    {.name = "chunks"},
    {.name = "filter_types", .optional = true},
};
enum class WithChunks { path, width, height, pixels, alpha, chunks, filter_types };
static_assert(binding::names_match<WithChunks>(kWithChunksParams, {{WithChunks::path, "path"},
                                                                   {WithChunks::width, "width"},
                                                                   {WithChunks::height, "height"},
                                                                   {WithChunks::pixels, "pixels"},
                                                                   {WithChunks::alpha, "alpha"},
                                                                   {WithChunks::chunks, "chunks"},
                                                                   {WithChunks::filter_types, "filter_types"}}));

struct WithChunksArgs {
    PyObject* path;
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;
    PyObject* alpha;
    PyObject* chunks;
    PyObject* filter_types;  // or None
};

constexpr Py_ssize_t kRecordSize = 3;  // (chunk type, payload or None, payload length)

// One record unpacked into exactly three items as `a, b, c = record` does.
struct Record {
    Ref items[kRecordSize];
    PyObject* type() const { return items[0].get(); }
    PyObject* data() const { return items[1].get(); }
    PyObject* length() const { return items[2].get(); }
};

bool unpack_record(PyObject* record, Record& out) {
    PyObject* items[kRecordSize] = {};
    if (!unpacking::unpack(record, kRecordSize, items)) return false;
    for (Py_ssize_t i = 0; i < kRecordSize; ++i) out.items[i] = Ref::steal(items[i]);
    return true;
}

// 1 when type == b"IDAT" (or b"IEND") by the host's comparison, 0 when not,
// -1 on error.
int is_idat(PyObject* type) { return PyObject_RichCompareBool(type, host::constants.idat, Py_EQ); }
int is_iend(PyObject* type) { return PyObject_RichCompareBool(type, host::constants.iend, Py_EQ); }

// The records of chunks as they are now, in a list of the writer's own, which
// both walks (sizes, then chunks) go over: an iterator given as chunks would
// have nothing left for the second walk, and the file would lose every chunk
// but the image data. The list is taken by iteration, never by copying the
// caller's item array (an allocation can run Python code that empties that
// array), and is untracked by the collector, so no Python code can reach it
// (gc.get_referrers finds tracked objects only) and change it between walks.
PyObject* take_records(PyObject* chunks) {
    Ref taken = Ref::steal(PyList_New(0));
    if (!taken) return nullptr;
    PyObject_GC_UnTrack(taken.get());
    Ref iterator = Ref::steal(PyObject_GetIter(chunks));
    if (!iterator) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
        if (PyList_Append(taken.get(), item.get()) < 0) return nullptr;
    return PyErr_Occurred() ? nullptr : taken.release();
}

// Calls body(record) for each record taken by take_records, in order. False
// with an exception set when unpacking or the body fails.
template <class Body>
bool for_each_record(PyObject* records, Body&& body) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(records, i));
        Record record;
        if (!unpack_record(item.get(), record) || !body(record)) return false;
    }
    return true;
}

// The kept size of every IDAT record, in order.
PyObject* idat_lengths(PyObject* records) {
    Ref lengths = Ref::steal(PyList_New(0));
    if (!lengths) return nullptr;
    const bool collected = for_each_record(records, [&](const Record& record) {
        const int idat = is_idat(record.type());
        return idat == 0 || (idat > 0 && PyList_Append(lengths.get(), record.length()) == 0);
    });
    return collected ? lengths.release() : nullptr;
}

// obj as a bytes object: itself when exactly bytes, else a copy of its contiguous
// buffer; an object without one fails with the host's error for it, the same
// TypeError the file's write would raise. New reference, or null.
PyObject* as_bytes(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) return Ref::borrow(obj).release();
    ByteView view;
    if (!view.acquire(obj)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data()), view.size());
}

// The chunk of a kept non-IDAT record. Its payload's length is taken first, then
// the type and the payload are turned into bytes, in the order a chunk is
// written; every failure happens here, before the file is opened.
bool append_record(PyObject* pieces, PyObject* type, PyObject* data) {
    PyObject* payload = data == Py_None ? host::constants.empty_bytes : data;
    if (PyObject_Size(payload) < 0) return false;
    Ref type_bytes = Ref::steal(as_bytes(type));
    if (!type_bytes) return false;
    Ref payload_bytes = Ref::steal(as_bytes(payload));
    return payload_bytes && append_chunk(pieces, type_bytes.get(), payload_bytes.get());
}

// The new image data as IDAT chunks of the kept sizes, framed where it lies.
bool append_image_data(PyObject* pieces, PyObject* compressed, const Pieces& parts) {
    for (const Piece& part : parts)
        if (!append_chunk_of(pieces, host::constants.idat, compressed, part.offset, part.size)) return false;
    return true;
}

// With no records the plain writer runs instead, looked up in the module by its
// name at this moment: normally png_writePng (png/writer_plain.cpp).
PyObject* call_plain_writer(const WithChunksArgs& args) {
    Ref writer = Ref::steal(host::module_global(host::constants.name(names::Name::kWritePng)));
    if (!writer) return nullptr;
    Ref width = Ref::steal(PyLong_FromLong(args.width));
    Ref height = Ref::steal(PyLong_FromLong(args.height));
    if (!width || !height) return nullptr;
    PyObject* const arguments[] = {args.path, width.get(), height.get(), args.pixels, args.alpha, args.filter_types};
    Ref result = Ref::steal(PyObject_Vectorcall(writer.get(), arguments, std::size(arguments), nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* write_png_with_chunks(const WithChunksArgs& args) {
    const int no_records = args.chunks == Py_None ? 1 : PyObject_Not(args.chunks);
    if (no_records < 0) return nullptr;
    if (no_records) return call_plain_writer(args);

    if (!check_lengths(args.width, args.height, args.pixels, args.alpha)) return nullptr;
    Ref compressed =
        Ref::steal(compress_image_data(args.width, args.height, args.pixels, args.alpha, args.filter_types));
    if (!compressed) return nullptr;
    Ref records = Ref::steal(take_records(args.chunks));
    if (!records) return nullptr;
    // Records that yield nothing when taken (a one-shot iterator, a list emptied
    // meanwhile) are no records: the plain writer's file, as for an empty list.
    if (PyList_GET_SIZE(records.get()) == 0) return call_plain_writer(args);
    Ref lengths = Ref::steal(idat_lengths(records.get()));
    if (!lengths) return nullptr;
    Pieces parts;
    if (!cut_pieces(PyBytes_GET_SIZE(compressed.get()), lengths.get(), parts)) return nullptr;

    // Every chunk is serialised before the file is opened, so a record that
    // cannot be written leaves an existing file untouched.
    Ref pieces = Ref::steal(start_file());
    if (!pieces) return nullptr;
    bool idat_written = false;
    Py_ssize_t first_end = -1;  // where the IEND chunk of the first IEND record starts in pieces
    const bool walked = for_each_record(records.get(), [&](const Record& record) {
        const int idat = is_idat(record.type());
        if (idat < 0) return false;
        if (idat == 0) {
            if (!idat_written && first_end < 0) {
                const int iend = is_iend(record.type());
                if (iend < 0) return false;
                if (iend) first_end = PyList_GET_SIZE(pieces.get());
            }
            return append_record(pieces.get(), record.type(), record.data());
        }
        // All new image data stands where the first IDAT record stood.
        if (idat_written) return true;
        idat_written = true;
        return append_image_data(pieces.get(), compressed.get(), parts);
    });
    if (!walked) return nullptr;
    if (!idat_written) {
        // No IDAT record: the image data goes just before the first IEND, where
        // readers still find it (they stop at IEND), or last when there is none.
        Ref image_data = Ref::steal(untracked_list());
        if (!image_data || !append_image_data(image_data.get(), compressed.get(), parts)) return nullptr;
        const Py_ssize_t at = first_end >= 0 ? first_end : PyList_GET_SIZE(pieces.get());
        if (PyList_SetSlice(pieces.get(), at, at, image_data.get()) < 0) return nullptr;
    }
    if (!write_file(args.path, pieces.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* png_writePngWithChunks(const BoundArgs& bound) {
    const binding::Named<kWithChunksParams, WithChunks> named(bound);
    return write_png_with_chunks({
        .path = named.object<WithChunks::path>(),
        .width = named.int32<WithChunks::width>(),
        .height = named.int32<WithChunks::height>(),
        .pixels = named.object<WithChunks::pixels>(),
        .alpha = named.object<WithChunks::alpha>(),
        .chunks = named.object<WithChunks::chunks>(),
        .filter_types = named.object<WithChunks::filter_types>(),
    });
}


}  // namespace

const binding::FunctionSpec kWritePngWithChunks = {
    .name = names::text(names::Name::kWritePngWithChunks),
    .qualname = names::text(names::Name::kWritePngWithChunks),
    .params = kWithChunksParams,
    .annotations = {},
    .receiver = binding::Receiver::kNone,
    .body = png_writePngWithChunks,
};

}  // namespace tavrune::png
