// The shapes of what Python code hands the module: an assignment's unpacking
// and a length, each with the host's own errors.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune::unpacking {

// ValueError for an unpacking of exactly `expected` items that found `found`.
void raise_unpack(Py_ssize_t expected, Py_ssize_t found);

// Unpacks exactly `count` items of obj into items (new references) the way an
// assignment `a, b, c = obj` does: tuples and lists by size, other iterables by
// iteration. False with an exception set.
bool unpack(PyObject* obj, Py_ssize_t count, PyObject** items);

// len(obj) == expected under the host's len(), so an object without a length
// gets the host's TypeError. 1 or 0, or -1 with an exception set.
int length_is(PyObject* obj, std::int64_t expected);

}  // namespace tavrune::unpacking
