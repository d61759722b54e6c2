// Cutting image data into the kept IDAT sizes, and _split_idat_payload, which
// shows the cut to Python code.
#include "png/idat_pieces.hpp"

#include "binding/named.hpp"
#include "core/ref.hpp"
#include "png/png.hpp"

#include <algorithm>

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

bool cut_pieces(Py_ssize_t total, PyObject* lengths, Pieces& pieces) {
    const Py_ssize_t count = PyObject_Size(lengths);
    if (count < 0) return false;
    if (!pieces.allocate(static_cast<std::size_t>(count) + 1)) return false;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Py_ssize_t offset = 0;
    for (Py_ssize_t idx = 0; idx < count && offset < total; ++idx) {
        // Read again each time: a comparison can run code that changes the list.
        Ref length = Ref::steal(PySequence_GetItem(lengths, idx));
        if (!length) return false;
        const int skip = PyObject_RichCompareBool(length.get(), zero.get(), Py_LE);
        if (skip < 0) return false;
        if (skip) continue;
        const Py_ssize_t rest = total - offset;
        Py_ssize_t take = rest;
        if (idx != count - 1) {
            // min(length, rest): rest is taken only when it is smaller.
            Ref rest_object = Ref::steal(PyLong_FromSsize_t(rest));
            if (!rest_object) return false;
            const int rest_smaller = PyObject_RichCompareBool(rest_object.get(), length.get(), Py_LT);
            if (rest_smaller < 0) return false;
            if (!rest_smaller) {
                const Py_ssize_t wanted = PyNumber_AsSsize_t(length.get(), PyExc_OverflowError);
                if (wanted == -1 && PyErr_Occurred()) return false;
                take = std::clamp<Py_ssize_t>(wanted, 0, rest);
            }
        }
        pieces.push({offset, take});
        offset += take;
    }
    if (offset < total) pieces.push({offset, total - offset});
    return true;
}

namespace {

constexpr Param kSplitParams[] = {
    {.name = "data", .check = Check::kExactBytesOrNone},
    {.name = "lengths", .check = Check::kExactListOrNone},
};
enum class Split { data, lengths };
static_assert(binding::names_match<Split>(kSplitParams, {{Split::data, "data"}, {Split::lengths, "lengths"}}));

struct SplitArgs {
    PyObject* data;     // bytes or None
    PyObject* lengths;  // list or None
};

// The pieces of data for the wanted sizes (see cut_pieces) as a new list of
// slices of data, or null.
PyObject* split_idat_payload(const SplitArgs& args) {
    PyObject* data = args.data;
    const Py_ssize_t total = PyObject_Size(data);  // None: the host's TypeError of len()
    if (total < 0) return nullptr;
    Pieces pieces;
    if (!cut_pieces(total, args.lengths, pieces)) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    for (const Piece& piece : pieces) {
        Ref slice = Ref::steal(PySequence_GetSlice(data, piece.offset, piece.offset + piece.size));
        if (!slice || PyList_Append(parts.get(), slice.get()) < 0) return nullptr;
    }
    return parts.release();
}

PyObject* png_split_idat_payload(const BoundArgs& bound) {
    const binding::Named<kSplitParams, Split> named(bound);
    return split_idat_payload({.data = named.object<Split::data>(), .lengths = named.object<Split::lengths>()});
}

}  // namespace

const binding::FunctionSpec kSplitIdatPayload = {
    .name = "_split_idat_payload",
    .qualname = "_split_idat_payload",
    .params = kSplitParams,
    .annotations = {},
    .receiver = binding::Receiver::kNone,
    .body = png_split_idat_payload,
};

}  // namespace tavrune::png
