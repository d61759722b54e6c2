#include "core/stream.hpp"

#include "core/host.hpp"
#include "core/ref.hpp"

#include <algorithm>

namespace tavrune::stream {

namespace {

// Counts up to this are read with one read call from any stream.
constexpr std::uint64_t kWholeReadLimit = std::uint64_t{1} << 24;

Ref read_once(PyObject* stream, std::uint64_t count) {
    Ref size = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!size) return {};
    return Ref::steal(PyObject_CallMethodObjArgs(stream, host::constants.str_read, size.get(), nullptr));
}

// Whether bound is the type's own read method bound to stream.
bool reads_with_own_method(PyObject* stream, PyObject* type) {
    Ref bound = Ref::steal(PyObject_GetAttr(stream, host::constants.str_read));
    Ref unbound = Ref::steal(PyObject_GetAttr(type, host::constants.str_read));
    if (!bound || !unbound) return false;
    if (!PyCFunction_Check(bound.get()) || PyCFunction_GET_SELF(bound.get()) != stream ||
        !PyObject_TypeCheck(unbound.get(), &PyMethodDescr_Type))
        return false;
    const auto* method = reinterpret_cast<PyMethodDescrObject*>(unbound.get())->d_method;
    return PyCFunction_GET_FUNCTION(bound.get()) == method->ml_meth;
}

}  // namespace

bool kind_of(PyObject* stream, Kind& kind) {
    kind = Kind::kOther;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(stream));
    if (type == host::objects.bytes_io) {
        if (reads_with_own_method(stream, type)) kind = Kind::kBytesIO;
    } else if (type == host::objects.buffered_reader) {
        // An interned name, made once: a new string on every call would take a
        // new slot of the interpreter's attribute cache each time.
        static PyObject* raw_name = nullptr;  // kept until the process ends
        if (raw_name == nullptr && (raw_name = PyUnicode_InternFromString("raw")) == nullptr) return false;
        Ref raw = Ref::steal(PyObject_GetAttr(stream, raw_name));  // a read-only member
        if (!raw) return false;
        if (reinterpret_cast<PyObject*>(Py_TYPE(raw.get())) == host::objects.file_io &&
            reads_with_own_method(stream, type))
            kind = Kind::kFileReader;
    }
    return !PyErr_Occurred();
}

Ref read(PyObject* stream, std::uint64_t count) {
    Kind kind = Kind::kOther;
    if (count > kWholeReadLimit && !kind_of(stream, kind)) return {};
    if (kind != Kind::kFileReader) return read_once(stream, count);
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return {};
    std::uint64_t total = 0;
    while (total < count) {
        const std::uint64_t wanted = std::min(count - total, std::max(kWholeReadLimit, total));
        Ref piece = read_once(stream, wanted);
        if (!piece) return {};
        if (piece.get() == Py_None) {
            if (total == 0) return piece;
            break;
        }
        const Py_ssize_t size = PyObject_Size(piece.get());
        if (size < 0 || PyList_Append(pieces.get(), piece.get()) < 0) return {};
        total += static_cast<std::uint64_t>(size);
        if (static_cast<std::uint64_t>(size) < wanted) break;
    }
    if (PyList_GET_SIZE(pieces.get()) == 1) return Ref::borrow(PyList_GET_ITEM(pieces.get(), 0));
    return Ref::steal(PyObject_CallMethod(host::constants.empty_bytes, "join", "O", pieces.get()));
}

}  // namespace tavrune::stream
