// The module's own function object: one record describes a visible callable
// (name, parameters, checks, defaults, annotations); binding, the TypeError texts,
// __defaults__ and __annotations__ all derive from that record.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "core/ref.hpp"

namespace tavrune::binding {

inline constexpr int kMaxParams = 7;

enum class Check : std::uint8_t {
    kNone,              // taken as it is
    kInt32,             // converted to a signed 32-bit integer (BoundArgs::ints)
    kExactBytes,        // type exactly bytes
    kExactTuple,        // type exactly tuple
    kExactStr,          // type exactly str
    kExactBytesOrNone,  // exactly bytes, or None; plain message
    kExactListOrNone,   // exactly list, or None; plain message
};

struct Param {
    const char* name;
    Check check = Check::kNone;
    bool optional = false;  // default None
};

struct Annotation {
    const char* name;  // parameter name, or "return"
    const char* text;
};

enum class Receiver : std::uint8_t {
    kNone,      // module function or static method: no bound first argument
    kInstance,  // method: the first argument is an instance of the owning type
    kClass,     // class method: the first argument is the class, unchecked
};

// Arguments after binding: objects in parameter order (None for defaults) and
// the converted value of every kInt32 parameter. Left uninitialised on purpose:
// binding fills every slot a body may read, and a zeroed copy per call is
// measurable on the pixel-access path. The objects are borrowed from storage
// that outlives the call whatever Python code runs: the caller's argument
// array or tuple, or, for keywords passed in a dict that Python code could
// empty meanwhile, a private list of its values held in keep.
// Bodies read them by name, checked against their Param table, through
// binding/named.hpp, never by position.
struct BoundArgs {
    PyObject* receiver = nullptr;
    PyObject* args[kMaxParams];
    std::int32_t ints[kMaxParams];
    Ref keep;
};

// The body of a callable: a new reference, or null with an exception set.
using Body = PyObject* (*)(const BoundArgs&);

// A shortcut for a method's commonest call: every parameter given by position,
// no keywords, a receiver of exactly the owning type. args holds the receiver and
// then the arguments. It either sets handled to false and returns null, leaving
// the call to binding and body, or gives exactly what they would give.
using FastBody = PyObject* (*)(PyObject* const* args, bool& handled);

struct FunctionSpec {
    const char* name;      // as in messages ("__cinit__" for the constructor)
    const char* qualname;
    std::span<const Param> params;
    std::span<const Annotation> annotations;
    Receiver receiver;
    Body body;
    PyTypeObject* owner = nullptr;  // the type a kInstance receiver must be an instance of
    FastBody fast = nullptr;        // kInstance only
};

// Binds vectorcall-style arguments (receiver excluded) to spec's parameters,
// applying every conversion and check in parameter order. False with TypeError,
// OverflowError, ... set on failure.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound);

// The same for a tuple and an optional keyword dict (type calls).
bool bind_arguments(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& bound);

// Prepares the function type; false with an exception set.
bool ready_function_type();

// Creates a function object for spec (which must outlive it) with the given
// __module__; a new reference, or null with an exception set.
PyObject* new_function(const FunctionSpec& spec, PyObject* module_name);

// The record of object when it is one of the module's function objects, else
// null. No Python code runs.
const FunctionSpec* spec_of(PyObject* object);

}  // namespace tavrune::binding
