#include "core/errors.hpp"

#include "core/ref.hpp"

#include <cstdarg>

namespace tavrune::errors {

Failure raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    return {};
}

Failure raise_format(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    return {};
}

Failure raise_no_memory() {
    PyErr_NoMemory();
    return {};
}

Failure raise_negative_size(std::int64_t count, long multiplier) {
    Ref count_object = Ref::steal(PyLong_FromLongLong(count));
    Ref factor = Ref::steal(PyLong_FromLong(multiplier));
    if (!count_object || !factor) return {};
    Ref size = Ref::steal(PyNumber_Multiply(count_object.get(), factor.get()));
    if (!size) return {};
    Ref never = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), size.get()));
    if (!PyErr_Occurred()) PyErr_BadInternalCall();  // a negative size always fails
    return {};
}

}  // namespace tavrune::errors
