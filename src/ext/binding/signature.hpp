// Signatures for inspect: built from a FunctionSpec, so inspect.signature, help()
// and type-checker tools read the parameters, defaults and annotation strings the
// binding itself uses.
#pragma once

#include <Python.h>

#include "binding/function.hpp"

namespace tavrune::binding {

// An inspect.Signature for spec: every parameter positional-or-keyword, in order,
// with default None when optional and its annotation string when it has one; the
// return annotation when spec has one. receiver_name, when not null, comes first
// without default or annotation ("self", "cls"), so a bound method drops it.
// A new reference, or null with an exception set.
PyObject* build_signature(const FunctionSpec& spec, const char* receiver_name);

// The signature kept in slot (null until the first call), built as above on the
// first call and kept there for the owner's lifetime. A new reference, or null
// with an exception set.
PyObject* cached_signature(PyObject*& slot, const FunctionSpec& spec, const char* receiver_name);

// A __signature__ for type's dictionary that describes calling the class with
// spec's parameters. It reads as the signature on type and on subclasses that
// keep type's __new__ and __init__, and as None elsewhere (on instances, and on
// subclasses that override either, whose own method inspect then reads). The
// signature is built on first read. A new reference, or null with an exception set.
PyObject* new_class_signature(PyTypeObject* type, const FunctionSpec& spec);

}  // namespace tavrune::binding
