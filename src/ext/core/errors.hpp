// Raise helpers for the errors several callables share.
#pragma once

#include <Python.h>

namespace tavrune::errors {

// ValueError for an unpacking of exactly `expected` items that found `found`.
void raise_unpack(Py_ssize_t expected, Py_ssize_t found);

// Unpacks exactly `count` items of obj into items (new references) the way an
// assignment `a, b, c = obj` does: tuples and lists by size, other iterables by
// iteration. False with an exception set.
bool unpack(PyObject* obj, Py_ssize_t count, PyObject** items);

// NotImplementedError naming a callable whose body does not exist yet.
PyObject* not_implemented(const char* name);

}  // namespace tavrune::errors
