// inspect.Signature objects built from FunctionSpec records, and the descriptor
// that gives a class the signature of its constructor.
#include "binding/signature.hpp"

#include <cstring>

#include "core/host.hpp"
#include "core/ref.hpp"

namespace tavrune::binding {

namespace {

// The annotation text spec holds for name, or null.
const char* annotation_for(const FunctionSpec& spec, const char* name) {
    for (const Annotation& annotation : spec.annotations)
        if (std::strcmp(annotation.name, name) == 0) return annotation.text;
    return nullptr;
}

// inspect.Parameter(name, POSITIONAL_OR_KEYWORD[, default=None][, annotation=text]).
PyObject* new_parameter(const host::Inspect& inspect, const char* name, bool optional, const char* annotation) {
    Ref args = Ref::steal(Py_BuildValue("(sO)", name, inspect.positional_or_keyword));
    if (!args) return nullptr;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (optional && PyDict_SetItemString(kwargs.get(), "default", Py_None) < 0) return nullptr;
    if (annotation) {
        Ref text = Ref::steal(PyUnicode_FromString(annotation));
        if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) return nullptr;
    }
    return PyObject_Call(inspect.parameter, args.get(), kwargs.get());
}

struct ClassSignatureObject {
    PyObject_HEAD
    PyTypeObject* type;      // the class described; static, never released
    const FunctionSpec* spec;
    PyObject* signature;     // built on first read, then kept
};

ClassSignatureObject* as_class_signature(PyObject* self) { return reinterpret_cast<ClassSignatureObject*>(self); }

PyObject* class_signature_get(PyObject* self, PyObject* instance, PyObject* owner) {
    ClassSignatureObject* descriptor = as_class_signature(self);
    const bool on_class = instance == nullptr || instance == Py_None;
    if (!on_class || owner == nullptr || !PyType_Check(owner)) Py_RETURN_NONE;
    const auto* owner_type = reinterpret_cast<PyTypeObject*>(owner);
    if (owner_type->tp_new != descriptor->type->tp_new || owner_type->tp_init != descriptor->type->tp_init)
        Py_RETURN_NONE;
    return cached_signature(descriptor->signature, *descriptor->spec, nullptr);
}

void class_signature_dealloc(PyObject* self) {
    Py_XDECREF(as_class_signature(self)->signature);
    Py_TYPE(self)->tp_free(self);
}

// A static type: its one instance lives in the class dictionary for as long as
// the process; Python code can neither subclass it nor make new ones.
PyTypeObject class_signature_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tavrune.simpleImage_ext.class_signature",
    .tp_basicsize = sizeof(ClassSignatureObject),
    .tp_dealloc = class_signature_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_descr_get = class_signature_get,
};

}  // namespace

PyObject* build_signature(const FunctionSpec& spec, const char* receiver_name) {
    const host::Inspect* inspect = host::inspect_names();
    if (!inspect) return nullptr;
    Ref parameters = Ref::steal(PyList_New(0));
    if (!parameters) return nullptr;
    if (receiver_name) {
        Ref receiver = Ref::steal(new_parameter(*inspect, receiver_name, false, nullptr));
        if (!receiver || PyList_Append(parameters.get(), receiver.get()) < 0) return nullptr;
    }
    for (const Param& param : spec.params) {
        Ref parameter = Ref::steal(new_parameter(*inspect, param.name, param.optional,
                                                 annotation_for(spec, param.name)));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, parameters.get()));
    if (!args) return nullptr;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (const char* text = annotation_for(spec, "return")) {
        Ref annotation = Ref::steal(PyUnicode_FromString(text));
        if (!annotation || PyDict_SetItemString(kwargs.get(), "return_annotation", annotation.get()) < 0)
            return nullptr;
    }
    return PyObject_Call(inspect->signature, args.get(), kwargs.get());
}

PyObject* cached_signature(PyObject*& slot, const FunctionSpec& spec, const char* receiver_name) {
    if (!slot) {
        PyObject* signature = build_signature(spec, receiver_name);
        if (!signature) return nullptr;
        if (slot) {  // building ran Python code, which may have filled the slot already
            Py_DECREF(signature);
        } else {
            slot = signature;
        }
    }
    Py_INCREF(slot);
    return slot;
}

PyObject* new_class_signature(PyTypeObject* type, const FunctionSpec& spec) {
    if (PyType_Ready(&class_signature_type) < 0) return nullptr;
    PyObject* descriptor = PyType_GenericAlloc(&class_signature_type, 0);
    if (!descriptor) return nullptr;
    ClassSignatureObject* object = as_class_signature(descriptor);
    object->type = type;
    object->spec = &spec;
    return descriptor;
}

}  // namespace tavrune::binding
