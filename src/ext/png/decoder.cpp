// The PNG decoder: signature and chunks; the header is png/header.cpp, the
// image data itself (inflation, unfiltering, the split of colour and alpha)
// png/image_data.cpp, and a file's image data inflated as it is read
// png/early_image_data.cpp.
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/pymem_array.hpp"
#include "core/ref.hpp"
#include "core/stream.hpp"
#include "png/chunk.hpp"
#include "png/early_image_data.hpp"
#include "png/header.hpp"
#include "png/image_data.hpp"
#include "png/memory_chunks.hpp"
#include "png/png.hpp"

#include <algorithm>
#include <cstdint>

namespace tavrune::png {

namespace {

int equals(PyObject* value, PyObject* constant) { return PyObject_RichCompareBool(value, constant, Py_EQ); }

// The record (chunk type, data or None, length) appended to records.
bool append_record(PyObject* records, PyObject* type, PyObject* data, std::uint32_t data_length) {
    Ref length = Ref::steal(PyLong_FromUnsignedLong(data_length));
    if (!length) return false;
    Ref record = Ref::steal(PyTuple_Pack(3, type, data, length.get()));
    return record && PyList_Append(records, record.get()) == 0;
}

// Reads chunks up to IEND or the end of the stream: every chunk gets a record,
// IDAT payloads are collected in order (or handed to early as they come),
// each IHDR overwrites the header.
bool read_chunks(PyObject* stream, Header& header, PyObject* records, PyObject* idat_payloads,
                 EarlyImageData* early = nullptr) {
    std::uint64_t position = 8;  // after the signature
    for (;;) {
        Ref type, data;
        std::uint32_t data_length;
        std::uint32_t crc = 0;
        const int found = read_chunk(stream, type, data, data_length, &crc);
        if (found <= 0) return found == 0;
        const std::uint64_t data_offset = position + 8;
        position += std::uint64_t{12} + data_length;
        int is = equals(type.get(), host::constants.ihdr);
        if (is < 0 || (is && !unpack_ihdr(data.get(), header))) return false;
        is = equals(type.get(), host::constants.idat);
        if (is < 0) return false;
        if (is) {
            if (!(early != nullptr ? early->take(data.get(), {data_offset, data_length, crc}, header, idat_payloads)
                                   : PyList_Append(idat_payloads, data.get()) == 0) ||
                !append_record(records, type.get(), Py_None, data_length))
                return false;
        } else if (!append_record(records, type.get(), data.get(), data_length)) {
            return false;
        }
        is = equals(type.get(), host::constants.iend);
        if (is != 0) return is > 0;
    }
}

// read_chunks over the file's bytes: the same records, the same host calls on
// the same objects (IHDR unpacked by the host's struct, chunk types compared
// by the host), the IDAT payloads as spans.
bool read_chunks_in(PyObject* file, Header& header, PyObject* records, PyMemArray<PayloadSpan>& idat_spans) {
    MemoryChunks chunks(file);
    for (;;) {
        Ref type, data;
        std::uint32_t data_length;
        bool idat = false;
        PayloadSpan span{};
        const int found = chunks.next(type, data, data_length, idat, span);
        if (found <= 0) return found == 0;
        int is = equals(type.get(), host::constants.ihdr);
        if (is < 0 || (is && !unpack_ihdr(data.get(), header))) return false;
        if (idat) {
            if (!idat_spans.push(span) || !append_record(records, type.get(), Py_None, data_length)) return false;
        } else if (!append_record(records, type.get(), data.get(), data_length)) {
            return false;
        }
        is = equals(type.get(), host::constants.iend);
        if (is != 0) return is > 0;
    }
}

// The signature read (at most 8 bytes) against the module's PNG_SIGNATURE now.
bool check_signature(PyObject* signature) {
    Ref png_signature = Ref::steal(host::module_global(host::constants.name(names::Name::kPngSignature)));
    if (!png_signature) return false;
    const int differs = PyObject_RichCompareBool(signature, png_signature.get(), Py_NE);
    if (differs < 0) return false;
    if (differs) return errors::raise(PyExc_ValueError, msg::kPngSignature);
    return true;
}

PyObject* result(const Header& header, const ImageLayout& layout, const Planes& planes, PyObject* records) {
    return Py_BuildValue("(iiOiOOOO)", header.width, header.height, planes.rgb.get(), int(layout.bytes_per_pixel),
                         planes.alpha.get(), records, Py_None, planes.filters.get());
}

// load_png for a file open opened itself, the image data inflated as it is
// read (EarlyImageData).
PyObject* load_png_early(PyObject* stream) {
    Header header;
    Ref records = Ref::steal(PyList_New(0));
    Ref idat_payloads = Ref::steal(PyList_New(0));
    if (!records || !idat_payloads) return nullptr;
    PyObject_GC_UnTrack(idat_payloads.get());  // as in load_png
    Planes planes;
    EarlyImageData early(planes);
    if (!read_chunks(stream, header, records.get(), idat_payloads.get(), &early)) return nullptr;
    ImageLayout layout;
    if (!layout_of(header, layout)) return nullptr;
    bool done = false;
    if (!early.conclude(header, stream, idat_payloads.get(), done)) return nullptr;
    if (!done && !decode_image_data(idat_payloads.get(), layout, planes)) return nullptr;
    idat_payloads.reset();
    return result(header, layout, planes, records.get());
}

}  // namespace

PyObject* load_png(PyObject* stream, bool own) {
    Ref signature = stream::read(stream, 8);
    if (!signature || !check_signature(signature.get())) return nullptr;
    stream::Kind kind = stream::Kind::kOther;
    if (own && !stream::kind_of(stream, kind)) return nullptr;
    // A file open opened itself, read from just after its 8-byte signature:
    // the places of the payloads are known and the file can be read again.
    if (kind == stream::Kind::kFileReader && PyBytes_CheckExact(signature.get()) &&
        PyBytes_GET_SIZE(signature.get()) == 8)
        return load_png_early(stream);

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
    ImageLayout layout;
    if (!layout_of(header, layout)) return nullptr;
    Planes planes;
    if (!decode_image_data(idat_payloads.get(), layout, planes)) return nullptr;
    idat_payloads.reset();
    return result(header, layout, planes, records.get());
}

PyObject* load_png_in(PyObject* file) {
    Ref signature = Ref::steal(
        PyBytes_FromStringAndSize(PyBytes_AS_STRING(file), std::min<Py_ssize_t>(8, PyBytes_GET_SIZE(file))));
    if (!signature || !check_signature(signature.get())) return nullptr;
    Header header;
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return nullptr;
    PyMemArray<PayloadSpan> spans;
    if (!read_chunks_in(file, header, records.get(), spans)) return nullptr;
    ImageLayout layout;
    if (!layout_of(header, layout)) return nullptr;
    Planes planes;
    if (!decode_image_data_in(file, spans.get(), spans.size(), layout, planes)) return nullptr;
    return result(header, layout, planes, records.get());
}

}  // namespace tavrune::png
