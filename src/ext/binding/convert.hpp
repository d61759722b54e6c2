// Argument conversions shared by every visible callable.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune::binding {

// Converts obj to a signed 32-bit integer the way every width and height
// parameter does: ints by value, other objects through their __int__. Returns
// false with TypeError/OverflowError set on failure.
bool to_int32(PyObject* obj, std::int32_t& out);

// Exact-type check of a parameter: true when Py_TYPE(obj) is type (or obj is None
// and none_allowed). Otherwise sets the "incorrect type" TypeError naming the
// parameter; subclasses get the extra sentence unless plain_message is set.
bool check_exact_type(PyObject* obj, PyTypeObject* type, const char* param_name,
                      bool none_allowed = false, bool plain_message = false);

}  // namespace tavrune::binding
