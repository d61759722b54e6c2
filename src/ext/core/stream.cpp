#include "core/stream.hpp"

#include "core/host.hpp"
#include "core/ref.hpp"

namespace tavrune::stream {

namespace {

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
        Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));  // a read-only member
        if (!raw) return false;
        if (reinterpret_cast<PyObject*>(Py_TYPE(raw.get())) == host::objects.file_io &&
            reads_with_own_method(stream, type))
            kind = Kind::kFileReader;
    }
    return !PyErr_Occurred();
}

}  // namespace tavrune::stream
