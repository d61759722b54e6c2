// The function object type: carries the attributes of a Python function
// (__name__, __qualname__, __module__, __annotations__, __defaults__, no
// docstring, a __signature__ for inspect), is called through vectorcall, and
// binds to instances like a Python function, so staticmethod and classmethod
// can wrap it.
#include "binding/function.hpp"

#include <structmember.h>

#include "binding/signature.hpp"
#include "core/errors.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"

#include <cstddef>

namespace tavrune::binding {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* annotations;  // dict of str -> str
    PyObject* defaults;     // tuple of None, or None
    PyObject* signature;    // inspect.Signature, built on first read; null until then
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const FunctionObject* function = as_function(self);
    const FunctionSpec& spec = *function->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (spec.fast != nullptr && kwnames == nullptr && nargs == static_cast<Py_ssize_t>(spec.params.size()) + 1 &&
        Py_TYPE(args[0]) == spec.owner) {
        bool handled = true;
        PyObject* result = spec.fast(args, handled);
        if (handled) return result;
    }
    BoundArgs bound;
    if (spec.receiver != Receiver::kNone) {
        if (nargs < 1) return errors::raise_format(PyExc_TypeError, msg::kUnboundMethod, function->qualname);
        bound.receiver = args[0];
        if (spec.receiver == Receiver::kInstance && !PyObject_TypeCheck(args[0], spec.owner))
            return errors::raise_format(PyExc_TypeError, msg::kDescriptorSelf, function->name,
                                        spec.owner->tp_name, Py_TYPE(args[0])->tp_name);
        ++args;
        --nargs;
    }
    if (!bind_arguments(spec, args, nargs, kwnames, bound)) return nullptr;
    return spec.body(bound);
}

// Binding like a Python function: looked up on an instance, the function becomes
// a bound method; looked up on the class, it stays itself.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

void function_dealloc(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->module);
    Py_XDECREF(function->annotations);
    Py_XDECREF(function->defaults);
    Py_XDECREF(function->signature);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat(msg::kFunctionRepr, as_function(self)->qualname, self);
}

PyMemberDef function_members[] = {
    {.name = "__name__", .type = T_OBJECT, .offset = offsetof(FunctionObject, name), .flags = READONLY},
    {.name = "__qualname__", .type = T_OBJECT, .offset = offsetof(FunctionObject, qualname), .flags = READONLY},
    {.name = "__module__", .type = T_OBJECT, .offset = offsetof(FunctionObject, module), .flags = READONLY},
    {.name = "__annotations__", .type = T_OBJECT, .offset = offsetof(FunctionObject, annotations),
     .flags = READONLY},
    {.name = "__defaults__", .type = T_OBJECT, .offset = offsetof(FunctionObject, defaults), .flags = READONLY},
    {},
};

PyObject* function_get_doc(PyObject*, void*) { Py_RETURN_NONE; }

// Methods and class methods list their receiver first, as a Python function
// does, so that inspect drops it from the signature of a bound method.
const char* receiver_name(Receiver receiver) {
    switch (receiver) {
        case Receiver::kInstance: return "self";
        case Receiver::kClass: return "cls";
        case Receiver::kNone: break;
    }
    return nullptr;
}

PyObject* function_get_signature(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    return cached_signature(function->signature, *function->spec, receiver_name(function->spec->receiver));
}

PyGetSetDef function_getset[] = {
    {.name = "__doc__", .get = function_get_doc},
    {.name = "__signature__", .get = function_get_signature},
    {},
};

// A static type: its instances are the module's constants and live as long as
// the process; Python code can neither subclass it nor change it.
PyTypeObject function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tavrune.simpleImage_ext.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

PyObject* build_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (const Annotation& annotation : spec.annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(annotation.text));
        if (!text || PyDict_SetItemString(annotations.get(), annotation.name, text.get()) < 0) return nullptr;
    }
    return annotations.release();
}

PyObject* build_defaults(const FunctionSpec& spec) {
    Py_ssize_t optional = 0;
    for (const Param& param : spec.params) optional += param.optional ? 1 : 0;
    if (optional == 0) Py_RETURN_NONE;
    Ref defaults = Ref::steal(PyTuple_New(optional));
    if (!defaults) return nullptr;
    for (Py_ssize_t i = 0; i < optional; ++i) {
        Py_INCREF(Py_None);
        PyTuple_SET_ITEM(defaults.get(), i, Py_None);
    }
    return defaults.release();
}

}  // namespace

bool ready_function_type() { return PyType_Ready(&function_type) == 0; }

const FunctionSpec* spec_of(PyObject* object) {
    return Py_TYPE(object) == &function_type ? as_function(object)->spec : nullptr;
}

PyObject* new_function(const FunctionSpec& spec, PyObject* module_name) {
    Ref self = Ref::steal(PyType_GenericAlloc(&function_type, 0));
    if (!self) return nullptr;
    FunctionObject* function = as_function(self.get());
    function->vectorcall = function_vectorcall;
    function->spec = &spec;
    Py_INCREF(module_name);
    function->module = module_name;
    if (!(function->name = PyUnicode_InternFromString(spec.name)) ||
        !(function->qualname = PyUnicode_InternFromString(spec.qualname)) ||
        !(function->annotations = build_annotations(spec)) || !(function->defaults = build_defaults(spec)))
        return nullptr;
    return self.release();
}

}  // namespace tavrune::binding
