// Image data: the IDAT payloads inflated and every row reconstructed into the
// image's planes.
//
// Two paths give the same result. The streamed path inflates the payloads with
// the vendored zlib-ng, a piece at a time, and reconstructs each row as soon as
// its bytes have arrived, straight into the final planes: no payloads joined
// into one more copy, no inflated image held whole, and each piece of output is
// still in cache when its rows are reconstructed. It stops at the first thing
// it does not expect (data zlib-ng refuses, too much or too little data, an
// unknown filter type) and the exact path then runs from the start (rows
// already made are simply made again): it joins the payloads, inflates them in
// one bounded call of the host's zlib module and raises exactly what the
// decoder has always raised for such data, the host zlib's own texts included.
//
// This file chooses between the two and holds the exact path; the row builder
// is png/row_builder.hpp, the streamed path png/streamed_rows.hpp.
#include "png/image_data.hpp"

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/pymem_array.hpp"
#include "core/ref.hpp"
#include "png/row_builder.hpp"
#include "png/streamed_rows.hpp"

#include <algorithm>
#include <cstring>

namespace tavrune::png {

namespace {

// 1 when the inflater's attribute name is true, 0 when false, -1 on error.
int attribute_truth(PyObject* inflater, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(inflater, name));
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// The joined IDAT payloads inflated as one zlib stream, exactly expected bytes
// long. Inflation stops after expected + 1 bytes, so data that inflates to far
// more (a decompression bomb) costs no more than the image it claims to be.
// Data that is not a complete zlib stream raises the host zlib's own error, the
// one zlib.decompress gives; bytes after the end of the stream are ignored.
// payloads is the list or the tuple of the payloads.
Ref inflate_whole(PyObject* payloads, std::int64_t expected) {
    // "(O)": a tuple is the one argument, not the argument list.
    Ref joined = Ref::steal(PyObject_CallMethod(host::constants.empty_bytes, "join", "(O)", payloads));
    if (!joined) return {};
    Ref inflater = Ref::steal(PyObject_CallNoArgs(host::objects.zlib_decompressobj));
    if (!inflater) return {};
    Ref inflated = Ref::steal(PyObject_CallMethod(inflater.get(), "decompress", "OL", joined.get(),
                                                  static_cast<long long>(expected + 1)));
    if (!host::expect_bytes(inflated.get(), msg::kZlibDecompressobjDecompress)) return {};
    if (PyBytes_GET_SIZE(inflated.get()) > expected) return errors::raise(PyExc_ValueError, msg::kPngMalformed);
    const int ended = attribute_truth(inflater.get(), host::constants.str_eof);
    if (ended < 0) return {};
    if (!ended) {
        // The output limit was not reached, so all input was consumed without
        // reaching the stream's end. Inflating it again in one piece is just as
        // bounded and raises the host's error for an incomplete stream.
        inflated = Ref::steal(PyObject_CallOneArg(host::objects.zlib_decompress, joined.get()));
        if (!host::expect_bytes(inflated.get(), msg::kZlibDecompress)) return {};
    }
    if (PyBytes_GET_SIZE(inflated.get()) != expected) return errors::raise(PyExc_ValueError, msg::kPngMalformed);
    return inflated;
}

bool decode_exactly(PyObject* payloads, const ImageLayout& layout, RowBuilder& rows) {
    Ref raw = inflate_whole(payloads, layout.expected);
    if (!raw || !rows.allocate()) return false;
    const auto* scanline = reinterpret_cast<const Byte*>(PyBytes_AS_STRING(raw.get()));
    for (std::size_t y = 0; y < layout.height; ++y, scanline += layout.row_bytes + 1) {
        if (!rows.put(y, scanline)) return errors::raise_format(PyExc_ValueError, msg::kPngFilter, int{scanline[0]});
    }
    rows.finish();
    return true;
}

// The payloads as a tuple of the objects the list holds now: a list, even one
// of the decoder's own, can be reached and changed by Python code (through
// gc.get_referrers) whenever an object is allocated, a tuple cannot. False
// with an exception set on failure; true with taken empty when the list
// changed while the tuple was allocated.
bool take_payloads(PyObject* idat_payloads, Ref& taken) {
    const Py_ssize_t count = PyList_GET_SIZE(idat_payloads);
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return false;
    if (PyList_GET_SIZE(idat_payloads) != count) return true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* payload = PyList_GET_ITEM(idat_payloads, i);
        Py_INCREF(payload);
        PyTuple_SET_ITEM(tuple.get(), i, payload);
    }
    taken = std::move(tuple);
    return true;
}

// The streamed path over spans of held, immutable bytes, then the exact path
// over payloads() (a list or tuple of bytes objects, made only when needed)
// when it gives up.
template <class Payloads>
bool decode_spans(const Span* spans, std::size_t count, const ImageLayout& layout, Planes& planes,
                  Payloads&& payloads) {
    RowBuilder rows(layout, planes);
    std::int64_t compressed = 0;
    for (std::size_t i = 0; i < count; ++i) compressed += static_cast<std::int64_t>(spans[i].size);
    if (streamable(compressed, layout.expected)) {
        switch (StreamedRows(layout, rows).run(spans, count)) {
            case Streamed::kDone:
                if (!rows.allocate()) return false;  // an image of no rows has its planes too
                rows.finish();
                return true;
            case Streamed::kFailed: return false;
            case Streamed::kGaveUp: break;
        }
    }
    rows.release();
    Ref taken = payloads();
    return taken && decode_exactly(taken.get(), layout, rows);
}

}  // namespace

bool streamable(std::int64_t compressed, std::int64_t expected) {
    constexpr std::int64_t kMaxExpansion = 1100;  // a margin above deflate's bound of about 1032:1
    constexpr std::int64_t kSlack = 1024;
    return expected <= compressed * kMaxExpansion + kSlack;
}

bool decode_image_data(PyObject* idat_payloads, const ImageLayout& layout, Planes& planes) {
    Ref payloads;
    if (!take_payloads(idat_payloads, payloads)) return false;
    // The streamed path takes the payloads only when all are exactly bytes:
    // what else read returned is the exact path's to report.
    bool all_bytes = static_cast<bool>(payloads);
    const Py_ssize_t count = payloads ? PyTuple_GET_SIZE(payloads.get()) : 0;
    for (Py_ssize_t i = 0; all_bytes && i < count; ++i)
        all_bytes = PyBytes_CheckExact(PyTuple_GET_ITEM(payloads.get(), i));
    if (!all_bytes) {
        RowBuilder rows(layout, planes);
        return decode_exactly(payloads ? payloads.get() : idat_payloads, layout, rows);
    }
    PyMemArray<Span> spans;
    if (!spans.allocate(static_cast<std::size_t>(count))) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* payload = PyTuple_GET_ITEM(payloads.get(), i);
        spans.get()[i] = {reinterpret_cast<const Byte*>(PyBytes_AS_STRING(payload)),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(payload))};
    }
    return decode_spans(spans.get(), static_cast<std::size_t>(count), layout, planes,
                        [&] { return Ref::borrow(payloads.get()); });
}

bool decode_image_data_in(PyObject* memory, const PayloadSpan* payload_spans, std::size_t count,
                          const ImageLayout& layout, Planes& planes) {
    PyMemArray<Span> spans;
    if (!spans.allocate(count)) return false;
    const auto* base = reinterpret_cast<const Byte*>(PyBytes_AS_STRING(memory));
    for (std::size_t i = 0; i < count; ++i)
        spans.get()[i] = {base + payload_spans[i].offset, payload_spans[i].size};
    // Should the streamed path give up, the exact path gets the payloads as
    // the stream would have read them: one bytes object each.
    // The list is untracked, as the chunk loop's own: no Python code finds it.
    return decode_spans(spans.get(), count, layout, planes, [&]() -> Ref {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return {};
        PyObject_GC_UnTrack(list.get());
        for (std::size_t i = 0; i < count; ++i) {
            Ref payload = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(memory) + payload_spans[i].offset,
                                                               static_cast<Py_ssize_t>(payload_spans[i].size)));
            if (!payload || PyList_Append(list.get(), payload.get()) < 0) return {};
        }
        return list;
    });
}

}  // namespace tavrune::png
