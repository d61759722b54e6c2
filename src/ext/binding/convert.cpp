#include "binding/convert.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"

#include <climits>

namespace tavrune::binding {

namespace {

bool int_to_int32(PyObject* value, std::int32_t& out) {
    const long wide = PyLong_AsLong(value);  // the host's own OverflowError beyond C long
    if (wide == -1 && PyErr_Occurred()) return false;
    if (wide < INT32_MIN || wide > INT32_MAX) return errors::raise(PyExc_OverflowError, msg::kIntTooLarge);
    out = static_cast<std::int32_t>(wide);
    return true;
}

}  // namespace

bool to_int32(PyObject* obj, std::int32_t& out) {
    if (PyLong_Check(obj)) return int_to_int32(obj, out);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_int) return errors::raise(PyExc_TypeError, msg::kIntRequired);
    Ref converted = Ref::steal(number->nb_int(obj));
    if (!converted) {
        if (!PyErr_Occurred()) errors::raise(PyExc_TypeError, msg::kIntRequired);
        return false;
    }
    if (!PyLong_Check(converted.get()))
        return errors::raise_format(PyExc_TypeError, msg::kIntNonInt, Py_TYPE(converted.get())->tp_name);
    return int_to_int32(converted.get(), out);
}

bool check_exact_type(PyObject* obj, PyTypeObject* type, const char* param_name, bool none_allowed,
                      bool plain_message) {
    if (Py_TYPE(obj) == type || (none_allowed && obj == Py_None)) return true;
    const bool subclass = !plain_message && PyObject_TypeCheck(obj, type);
    return errors::raise_format(PyExc_TypeError, subclass ? msg::kArgTypeSubclass : msg::kArgType, param_name,
                                type->tp_name, Py_TYPE(obj)->tp_name);
}

}  // namespace tavrune::binding
