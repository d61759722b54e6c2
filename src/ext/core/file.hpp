// `with open(path, mode) as file:` for the writers: the file is closed when the
// body ends, normally or with an exception.
#pragma once

#include <Python.h>

#include <utility>

#include "core/ref.hpp"

namespace tavrune::file {

// A context manager after __enter__: the object __enter__ returned and the bound
// __exit__ still to be called.
struct Entered {
    Ref target;
    Ref exit;
};

// Calls the host's built-in open(path, mode), looks up __exit__ and calls
// __enter__. False with an exception set; nothing is left open then.
bool enter_open(PyObject* path, PyObject* mode, Entered& entered);

// Leaves the block: on success __exit__(None, None, None); on failure (an
// exception set) __exit__ with that exception, which then goes on unless
// __exit__ suppresses it, and an error from __exit__ replaces it. Returns whether
// the block as a whole succeeded.
bool leave(Entered& entered, bool body_succeeded);

// Runs body(file) inside `with open(path, mode) as file:`. body returns false
// with an exception set on failure.
template <class Body>
bool with_open(PyObject* path, PyObject* mode, Body&& body) {
    Entered entered;
    if (!enter_open(path, mode, entered)) return false;
    const bool succeeded = std::forward<Body>(body)(entered.target.get());
    return leave(entered, succeeded);
}

}  // namespace tavrune::file
