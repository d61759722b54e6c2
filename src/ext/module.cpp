// Load-time set-up of Tavrune.simpleImage_ext and the list of every name it makes
// visible. The module keeps its constants in process-wide storage, so it is
// created once and refuses a second interpreter.
#include <Python.h>

#include "binding/function.hpp"
#include "bmp/bmp.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"
#include "image/image.hpp"
#include "png/png.hpp"

#include <iterator>

namespace tavrune {

namespace {

constexpr char kQualifiedName[] = "Tavrune.simpleImage_ext";

// Every name the module binds before its functions, in the order it binds
// them: an import (`import struct`, `from io import BytesIO`), kept in
// host::objects when the module's code uses it, or a value made here.
struct ModuleName {
    const char* name;       // the name bound, and for an import what is imported
    const char* from;       // `from <from> import name`; null: `import name`
    PyObject* host::Objects::* slot = nullptr;
    PyObject* (*make)(const host::Objects&) = nullptr;  // a value made here: a new reference
};

PyObject* simple_image(const host::Objects&) {
    Py_INCREF(&image::image_type);
    return reinterpret_cast<PyObject*>(&image::image_type);
}

PyObject* png_signature(const host::Objects&) { return Ref::borrow(host::constants.png_signature).release(); }

// Union[str, Path, bytes, bytearray]: what open accepts, for annotations.
PyObject* image_input(const host::Objects& gathered) {
    Ref members = Ref::steal(PyTuple_Pack(4, &PyUnicode_Type, gathered.path_type, &PyBytes_Type, &PyByteArray_Type));
    return members ? PyObject_GetItem(gathered.typing_union, members.get()) : nullptr;
}

constexpr ModuleName kModuleNames[] = {
    {.name = "SimpleImage", .from = nullptr, .make = simple_image},
    {.name = "struct", .from = nullptr, .slot = &host::Objects::struct_module},
    {.name = "zlib", .from = nullptr, .slot = &host::Objects::zlib_module},
    {.name = names::text(names::Name::kBytesIO), .from = "io", .slot = &host::Objects::bytes_io},
    {.name = names::text(names::Name::kPath), .from = "pathlib", .slot = &host::Objects::path_type},
    {.name = "List", .from = "typing"},
    {.name = "Sequence", .from = "typing"},
    {.name = "Tuple", .from = "typing"},
    {.name = "Union", .from = "typing", .slot = &host::Objects::typing_union},
    {.name = names::text(names::Name::kPngSignature), .from = nullptr, .make = png_signature},
    {.name = "ImageInput", .from = nullptr, .make = image_input},
};

// Module functions, in the order the module defines them, after the names above.
const binding::FunctionSpec* const kModuleFunctions[] = {
    &png::kReadChunk, &png::kMakeChunk, &png::kWritePng, &png::kSplitIdatPayload, &png::kWritePngWithChunks,
    &bmp::kWriteBmp,
};

enum class Wrap { kNone, kStatic, kClass };

struct ClassMethod {
    const binding::FunctionSpec* spec;
    Wrap wrap;
};

// SimpleImage's callables, in the order of the type's method table.
// open reaches the decoders through a seam that reading the code does not show:
// image_open (image/open.cpp) calls cls._streamToImage(stream), looked up on the
// class at each call, so a subclass or an assignment to the class can answer
// instead. Normally image_streamToImage (image/open.cpp) answers; it hands the
// stream to png::load_png (png/decoder.cpp) or bmp::load_bmp (bmp/reader.cpp)
// by its first bytes.
const ClassMethod kClassMethods[] = {
    {&image::kStreamToImage, Wrap::kStatic}, {&image::kOpen, Wrap::kClass}, {&image::kGetPixel, Wrap::kNone},
    {&image::kPutPixel, Wrap::kNone},        {&image::kCopy, Wrap::kNone},  {&image::kSave, Wrap::kNone},
    {&image::kSaveBmp, Wrap::kNone},
};

PyObject* g_module = nullptr;                 // the one module object, once created
std::int64_t g_interpreter_id = -1;           // the interpreter that loaded it

// What a load gives SimpleImage's dictionary: the callables, the pickling
// refusal and __signature__, all made first and stored in one step as the load's
// last, so a load that fails leaves none of them on the type (nor a callable
// that would look names up in the namespace of a module that is freed).
class ClassEntries {
public:
    // Keeps value (a new reference, or null with an exception set) under name.
    bool add(const char* name, PyObject* value) {
        Ref held = Ref::steal(value);
        Ref key = Ref::steal(held ? PyUnicode_InternFromString(name) : nullptr);
        if (!key) return false;
        keys_[count_] = std::move(key);
        values_[count_++] = std::move(held);
        return true;
    }

    // Stores every entry, in order, in the class dictionary. When one cannot be
    // stored (the dictionary found no memory to grow), those stored before it
    // are taken out again, which allocates nothing. False with an exception set.
    bool store() {
        PyObject* class_dict = image::image_type.tp_dict;
        for (std::size_t i = 0; i < count_; ++i) {
            if (PyDict_SetItem(class_dict, keys_[i].get(), values_[i].get()) == 0) continue;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            while (i-- > 0)
                if (PyDict_DelItem(class_dict, keys_[i].get()) < 0) PyErr_Clear();
            PyType_Modified(&image::image_type);
            PyErr_Restore(type, value, traceback);
            return false;
        }
        PyType_Modified(&image::image_type);
        return true;
    }

private:
    static constexpr std::size_t kCapacity = std::size(kClassMethods) + 3;  // + pickling refusal, __signature__
    Ref keys_[kCapacity];
    Ref values_[kCapacity];
    std::size_t count_ = 0;
};

bool add_class_attributes(PyObject* module_name) {
    ClassEntries entries;
    for (const ClassMethod& method : kClassMethods) {
        Ref function = Ref::steal(binding::new_function(*method.spec, module_name));
        if (!function) return false;
        PyObject* value = method.wrap == Wrap::kNone     ? function.release()
                          : method.wrap == Wrap::kStatic ? PyStaticMethod_New(function.get())
                                                         : PyClassMethod_New(function.get());
        if (!entries.add(method.spec->name, value)) return false;
    }
    for (PyMethodDef& method : image::pickling_refusal())
        if (!entries.add(method.ml_name, PyDescr_NewMethod(&image::image_type, &method))) return false;
    return entries.add("__signature__", image::new_constructor_signature()) && entries.store();
}

bool run_module_body(PyObject* module) {
    if (!host::build_constants()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    Ref module_name = Ref::steal(PyUnicode_InternFromString(kQualifiedName));
    if (!module_name) return false;
    PyObject* existing = PyDict_GetItemWithError(modules, module_name.get());  // borrowed
    if (!existing && (PyErr_Occurred() || PyDict_SetItem(modules, module_name.get(), module) < 0)) return false;

    if (!binding::ready_function_type() || !image::ready_image_type()) return false;
    host::Gathering gathering(module);
    for (const ModuleName& entry : kModuleNames) {
        Ref value = Ref::steal(entry.make ? entry.make(gathering.gathered())
                                          : gathering.import({entry.from ? entry.from : entry.name,
                                                              entry.from ? entry.name : nullptr, entry.slot}));
        if (!value || PyModule_AddObject(module, entry.name, value.get()) < 0) return false;
        value.release();
    }
    if (!gathering.publish()) return false;

    for (const binding::FunctionSpec* spec : kModuleFunctions) {
        Ref function = Ref::steal(binding::new_function(*spec, module_name.get()));
        if (!function || PyModule_AddObject(module, spec->name, function.get()) < 0) return false;
        function.release();
    }
    return add_class_attributes(module_name.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (current != g_interpreter_id)
        return errors::raise(PyExc_ImportError, msg::kInterpreterChange);
    if (g_module) {  // a repeated import yields the module that already exists
        Py_INCREF(g_module);
        return g_module;
    }
    // The import machinery sets __file__, __loader__ and the rest from the ModuleSpec.
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;  // the body has run already
        return errors::raise(PyExc_RuntimeError, msg::kReinitialisation);
    }
    Py_INCREF(module);
    g_module = module;
    if (run_module_body(module)) return 0;
    // A failed load leaves nothing behind; the next import starts again.
    host::forget_module();
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, kQualifiedName) == module) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyDict_DelItemString(modules, kQualifiedName);
        PyErr_Restore(type, value, traceback);
    }
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "simpleImage_ext",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace tavrune

PyMODINIT_FUNC PyInit_simpleImage_ext() { return PyModuleDef_Init(&tavrune::module_def); }
