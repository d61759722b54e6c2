#include "core/host.hpp"

#include "core/messages.hpp"
#include "core/ref.hpp"

#include <cstddef>

#include <initializer_list>
#include <utility>

namespace tavrune::host {

Objects objects{};
Constants constants{};

namespace {

// The new references a load makes for one set of host values, released again
// unless the load keeps them all: a set is published whole or not at all.
class Built {
public:
    Built() = default;
    Built(const Built&) = delete;
    Built& operator=(const Built&) = delete;
    ~Built() {
        while (count_ > 0) Py_DECREF(items_[--count_]);
    }

    // slot = new_reference, which this keeps; false when it is null.
    bool make(PyObject*& slot, PyObject* new_reference) {
        slot = new_reference;
        if (!slot) return false;
        items_[count_++] = slot;  // never more than the fields of the largest set
        return true;
    }
    bool intern(PyObject*& slot, const char* text) { return make(slot, PyUnicode_InternFromString(text)); }
    bool bytes(PyObject*& slot, const char* data, Py_ssize_t size) {
        return make(slot, PyBytes_FromStringAndSize(data, size));
    }
    bool slice(PyObject*& slot, PyObject* start, PyObject* stop) {
        return make(slot, PySlice_New(start, stop, nullptr));
    }
    bool attribute(PyObject*& slot, PyObject* owner, const char* name) {
        return make(slot, PyObject_GetAttrString(owner, name));
    }
    // The set is complete: its references pass to where it is published.
    void keep() { count_ = 0; }

private:
    static constexpr std::size_t kCapacity = sizeof(Constants) / sizeof(PyObject*);
    static_assert(kCapacity >= sizeof(Objects) / sizeof(PyObject*));
    PyObject* items_[kCapacity];
    std::size_t count_ = 0;
};

// Stores value under name in the module, which takes a reference of its own.
bool store(PyObject* module, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) == 0) return true;
    Py_DECREF(value);
    return false;
}

// `from module_name import name, ...`: each name is stored in the module in
// order; slots (may be null) receive the imported objects, kept by built.
bool import_names(Built& built, PyObject* module, const char* module_name,
                  std::initializer_list<std::pair<const char*, PyObject**>> names) {
    Ref source = Ref::steal(PyImport_ImportModule(module_name));
    if (!source) return false;
    for (auto [name, slot] : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(source.get(), name));
        if (!value) {
            // Report a missing name as an import does.
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
            }
            return false;
        }
        if (!store(module, name, value.get())) return false;
        if (slot && !built.make(*slot, value.release())) return false;
    }
    return true;
}

bool type_error(PyObject* result, const char* what, const char* expected) {
    PyErr_Format(PyExc_TypeError, msg::kHostResultType, what, Py_TYPE(result)->tp_name, expected);
    return false;
}

}  // namespace

bool build_constants() {
    if (constants.png_signature) return true;  // built once per process
    Constants c{};
    Built b;
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!two) return false;
    for (long value = 0; value < 256; ++value)
        if (!b.make(c.byte_values[value], PyLong_FromLong(value))) return false;
    const bool complete =
        b.bytes(c.png_signature, "\x89PNG\r\n\x1a\n", 8) && b.bytes(c.empty_bytes, "", 0) &&
        b.bytes(c.zero_byte, "\0", 1) && b.bytes(c.bm, "BM", 2) && b.bytes(c.idat, "IDAT", 4) &&
        b.bytes(c.iend, "IEND", 4) && b.bytes(c.ihdr, "IHDR", 4) && b.slice(c.full_slice, Py_None, Py_None) &&
        b.slice(c.head_slice, Py_None, two.get()) && b.slice(c.tail_slice, two.get(), Py_None) &&
        b.make(c.none_none, Py_BuildValue("(OO)", Py_None, Py_None)) &&
        b.make(c.none_1, Py_BuildValue("(O)", Py_None)) &&
        b.make(c.bmp_defaults[0], Py_BuildValue("(si)", "xppm", 2835)) &&
        b.make(c.bmp_defaults[1], Py_BuildValue("(si)", "yppm", 2835)) &&
        b.make(c.bmp_defaults[2], Py_BuildValue("(si)", "clrUsed", 0)) &&
        b.make(c.bmp_defaults[3], Py_BuildValue("(si)", "clrImportant", 0)) &&
        b.make(c.four_big, Py_BuildValue("(is)", 4, "big")) &&
        b.make(c.iend_chunk, PyTuple_Pack(2, c.iend, c.empty_bytes)) &&
        b.make(c.end_marker, PyTuple_Pack(2, c.empty_bytes, c.empty_bytes)) && b.intern(c.mode_rb, "rb") &&
        b.intern(c.mode_wb, "wb") && b.intern(c.fmt_be_u32, ">I") && b.intern(c.fmt_ihdr, ">IIBBBBB") &&
        b.intern(c.fmt_bmp_file, "<IHHI") && b.intern(c.fmt_bmp_info, "<IIIHHIIIIII") &&
        b.intern(c.str_read, "read") && b.intern(c.str_seek, "seek") && b.intern(c.str_write, "write") &&
        b.intern(c.str_get, "get") && b.intern(c.str_enter, "__enter__") && b.intern(c.str_exit, "__exit__") &&
        b.intern(c.str_stream_to_image, "_streamToImage") && b.intern(c.str_eof, "eof") &&
        b.intern(c.name_png_signature, "PNG_SIGNATURE") && b.intern(c.name_path, "Path") &&
        b.intern(c.name_bytes_io, "BytesIO") && b.intern(c.name_write_png, "_writePng") &&
        b.intern(c.name_write_png_with_chunks, "_writePngWithChunks") && b.intern(c.name_write_bmp, "_writeBmp");
    if (!complete) return false;
    b.keep();
    constants = c;
    return true;
}

bool import_module_body(PyObject* module) {
    objects.module_dict = PyModule_GetDict(module);
    Objects o{};
    Built built;
    Ref struct_module = Ref::steal(PyImport_ImportModule("struct"));
    if (!struct_module || !store(module, "struct", struct_module.get())) return false;
    Ref zlib_module = Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib_module || !store(module, "zlib", zlib_module.get())) return false;
    if (!import_names(built, module, "io", {{"BytesIO", &o.bytes_io}}) ||
        !import_names(built, module, "pathlib", {{"Path", &o.path_type}}) ||
        !import_names(built, module, "typing",
                      {{"List", nullptr}, {"Sequence", nullptr}, {"Tuple", nullptr}, {"Union", nullptr}}))
        return false;
    Ref io_module = Ref::steal(PyImport_ImportModule("io"));
    if (!io_module || !built.attribute(o.buffered_reader, io_module.get(), "BufferedReader") ||
        !built.attribute(o.file_io, io_module.get(), "FileIO"))
        return false;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* open = PyDict_GetItemString(builtins, "open");
    PyObject* print = PyDict_GetItemString(builtins, "print");
    if (!open || !print) {
        PyErr_SetString(PyExc_ImportError, "builtins 'open' and 'print' are missing");
        return false;
    }
    Py_INCREF(open);
    Py_INCREF(print);
    built.make(o.builtin_open, open);
    built.make(o.builtin_print, print);
    PyObject* s = struct_module.get();
    PyObject* z = zlib_module.get();
    if (!(built.attribute(o.struct_pack, s, "pack") && built.attribute(o.struct_unpack, s, "unpack") &&
          built.attribute(o.struct_error, s, "error") &&
          built.attribute(o.zlib_compressobj, z, "compressobj") &&
          built.attribute(o.zlib_decompress, z, "decompress") &&
          built.attribute(o.zlib_decompressobj, z, "decompressobj") && built.attribute(o.zlib_crc32, z, "crc32") &&
          built.attribute(o.zlib_error, z, "error") && built.make(o.struct_module, struct_module.release()) &&
          built.make(o.zlib_module, zlib_module.release())))
        return false;
    // The objects of an earlier load that failed later on are left to live: a
    // callable of that load that someone kept may be running with them.
    built.keep();
    o.module_dict = objects.module_dict;
    objects = o;
    return true;
}

void forget_module() { objects.module_dict = nullptr; }

PyObject* module_global(PyObject* name) {
    // Without a namespace (a callable kept from a load that failed) no name is bound.
    PyObject* value = objects.module_dict ? PyDict_GetItemWithError(objects.module_dict, name) : nullptr;
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

bool expect_bytes(PyObject* result, const char* what) {
    return result && (PyBytes_CheckExact(result) || type_error(result, what, "bytes"));
}

bool expect_tuple(PyObject* result, Py_ssize_t size, const char* what) {
    if (!result) return false;
    if (!PyTuple_CheckExact(result)) return type_error(result, what, "tuple");
    if (PyTuple_GET_SIZE(result) == size) return true;
    PyErr_Format(PyExc_TypeError, msg::kHostResultSize, what, PyTuple_GET_SIZE(result), size);
    return false;
}

const Inspect* inspect_names() {
    static Inspect names{};
    if (names.empty) return &names;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Inspect found{};
    const auto attribute = [](PyObject*& slot, PyObject* owner, const char* name) {
        slot = PyObject_GetAttrString(owner, name);
        return slot != nullptr;
    };
    if (!(attribute(found.parameter, inspect.get(), "Parameter") &&
          attribute(found.signature, inspect.get(), "Signature") &&
          attribute(found.positional_or_keyword, found.parameter, "POSITIONAL_OR_KEYWORD") &&
          attribute(found.empty, found.parameter, "empty"))) {
        for (PyObject* name : {found.parameter, found.signature, found.positional_or_keyword}) Py_XDECREF(name);
        return nullptr;
    }
    // The import ran Python code, which may have asked for the names already.
    if (names.empty) {
        for (PyObject* name : {found.parameter, found.signature, found.positional_or_keyword, found.empty})
            Py_DECREF(name);
    } else {
        names = found;
    }
    return &names;
}

}  // namespace tavrune::host
