#include "core/unpacking.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"

namespace tavrune::unpacking {

void raise_unpack(Py_ssize_t expected, Py_ssize_t found) {
    if (found > expected)
        errors::raise_format(PyExc_ValueError, msg::kTooManyValues, expected);
    else
        errors::raise_format(PyExc_ValueError, msg::kNeedMoreValues, found, found == 1 ? "" : "s");
}

bool unpack(PyObject* obj, Py_ssize_t count, PyObject** items) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size != count) {
            raise_unpack(count, size);
            return false;
        }
        PyObject** source = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_INCREF(source[i]);
            items[i] = source[i];
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    Py_ssize_t found = 0;
    auto release_found = [&] {
        for (Py_ssize_t i = 0; i < found; ++i) Py_CLEAR(items[i]);
        return false;
    };
    for (; found < count; ++found) {
        items[found] = PyIter_Next(iterator.get());
        if (!items[found]) {
            if (!PyErr_Occurred()) raise_unpack(count, found);
            return release_found();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra || PyErr_Occurred()) {
        if (extra) raise_unpack(count, count + 1);
        return release_found();
    }
    return true;
}

int length_is(PyObject* obj, std::int64_t expected) {
    const Py_ssize_t length = PyObject_Size(obj);
    if (length < 0) return -1;
    return length == expected ? 1 : 0;
}

}  // namespace tavrune::unpacking
