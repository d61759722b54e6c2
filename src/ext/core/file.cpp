#include "core/file.hpp"

#include "core/host.hpp"

namespace tavrune::file {

bool enter_open(PyObject* path, PyObject* mode, Entered& entered) {
    Ref manager = Ref::steal(PyObject_CallFunctionObjArgs(host::objects.builtin_open, path, mode, nullptr));
    if (!manager) return false;
    // As a with-statement does: __exit__ is found before __enter__ runs.
    entered.exit = Ref::steal(PyObject_GetAttr(manager.get(), host::constants.str_exit));
    if (!entered.exit) return false;
    entered.target = Ref::steal(PyObject_CallMethodObjArgs(manager.get(), host::constants.str_enter, nullptr));
    return static_cast<bool>(entered.target);
}

bool leave(Entered& entered, bool body_succeeded) {
    Ref exit = std::move(entered.exit);
    if (body_succeeded) return static_cast<bool>(Ref::steal(PyObject_CallFunctionObjArgs(
        exit.get(), Py_None, Py_None, Py_None, nullptr)));

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_traceback = Ref::steal(traceback);
    Ref suppress = Ref::steal(PyObject_CallFunctionObjArgs(exit.get(), type, value,
                                                           traceback ? traceback : Py_None, nullptr));
    if (!suppress) {
        // The error raised while closing replaces the body's error, with the
        // body's error as its context, as in a with-block.
        PyObject *new_type, *new_value, *new_traceback;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        if (new_value != value) PyException_SetContext(new_value, owned_value.release());
        PyErr_Restore(new_type, new_value, new_traceback);
        return false;
    }
    const int suppressed = PyObject_IsTrue(suppress.get());
    if (suppressed < 0) return false;
    if (suppressed) return true;
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return false;
}

}  // namespace tavrune::file
