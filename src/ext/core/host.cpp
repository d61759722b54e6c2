#include "core/host.hpp"

#include "core/ref.hpp"

#include <initializer_list>
#include <utility>

namespace tavrune::host {

Objects objects{};
Constants constants{};

namespace {

bool make(PyObject*& slot, PyObject* new_reference) {
    slot = new_reference;
    return slot != nullptr;
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

// Stores value under name in the module, which takes a reference of its own.
bool store(PyObject* module, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) == 0) return true;
    Py_DECREF(value);
    return false;
}

// `from module_name import name, ...`: each name is stored in the module in
// order; slots (may be null) receive the imported objects as new references.
bool import_names(PyObject* module, const char* module_name,
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
        if (slot) *slot = value.release();
    }
    return true;
}

}  // namespace

bool build_constants() {
    Constants& c = constants;
    if (c.png_signature) return true;  // built once per process
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!two) return false;
    for (long value = 0; value < 256; ++value)
        if (!make(c.byte_values[value], PyLong_FromLong(value))) return false;
    return bytes(c.png_signature, "\x89PNG\r\n\x1a\n", 8) && bytes(c.empty_bytes, "", 0) &&
           bytes(c.zero_byte, "\0", 1) && bytes(c.bm, "BM", 2) && bytes(c.idat, "IDAT", 4) &&
           bytes(c.iend, "IEND", 4) && bytes(c.ihdr, "IHDR", 4) &&
           slice(c.full_slice, Py_None, Py_None) && slice(c.head_slice, Py_None, two.get()) &&
           slice(c.tail_slice, two.get(), Py_None) &&
           make(c.none_none, Py_BuildValue("(OO)", Py_None, Py_None)) &&
           make(c.none_1, Py_BuildValue("(O)", Py_None)) &&
           make(c.bmp_defaults[0], Py_BuildValue("(si)", "xppm", 2835)) &&
           make(c.bmp_defaults[1], Py_BuildValue("(si)", "yppm", 2835)) &&
           make(c.bmp_defaults[2], Py_BuildValue("(si)", "clrUsed", 0)) &&
           make(c.bmp_defaults[3], Py_BuildValue("(si)", "clrImportant", 0)) &&
           make(c.four_big, Py_BuildValue("(is)", 4, "big")) &&
           make(c.iend_chunk, PyTuple_Pack(2, c.iend, c.empty_bytes)) &&
           make(c.end_marker, PyTuple_Pack(2, c.empty_bytes, c.empty_bytes)) &&
           intern(c.mode_rb, "rb") && intern(c.mode_wb, "wb") && intern(c.fmt_be_u32, ">I") &&
           intern(c.fmt_ihdr, ">IIBBBBB") && intern(c.fmt_bmp_file, "<IHHI") &&
           intern(c.fmt_bmp_info, "<IIIHHIIIIII") && intern(c.str_read, "read") &&
           intern(c.str_seek, "seek") && intern(c.str_write, "write") && intern(c.str_get, "get") &&
           intern(c.str_enter, "__enter__") && intern(c.str_exit, "__exit__") &&
           intern(c.str_stream_to_image, "_streamToImage") && intern(c.str_eof, "eof") &&
           intern(c.name_png_signature, "PNG_SIGNATURE") && intern(c.name_path, "Path") &&
           intern(c.name_bytes_io, "BytesIO") && intern(c.name_write_png, "_writePng") &&
           intern(c.name_write_png_with_chunks, "_writePngWithChunks") &&
           intern(c.name_write_bmp, "_writeBmp");
}

bool import_module_body(PyObject* module) {
    Objects& o = objects;
    o.module = module;
    o.module_dict = PyModule_GetDict(module);
    Ref struct_module = Ref::steal(PyImport_ImportModule("struct"));
    if (!struct_module || !store(module, "struct", struct_module.get())) return false;
    Ref zlib_module = Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib_module || !store(module, "zlib", zlib_module.get())) return false;
    if (!import_names(module, "io", {{"BytesIO", &o.bytes_io}}) ||
        !import_names(module, "pathlib", {{"Path", &o.path_type}}) ||
        !import_names(module, "typing",
                      {{"List", nullptr}, {"Sequence", nullptr}, {"Tuple", nullptr}, {"Union", nullptr}}))
        return false;
    Ref io_module = Ref::steal(PyImport_ImportModule("io"));
    if (!io_module || !attribute(o.buffered_reader, io_module.get(), "BufferedReader") ||
        !attribute(o.file_io, io_module.get(), "FileIO"))
        return false;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    o.builtin_open = PyDict_GetItemString(builtins, "open");
    o.builtin_print = PyDict_GetItemString(builtins, "print");
    if (!o.builtin_open || !o.builtin_print) {
        PyErr_SetString(PyExc_ImportError, "builtins 'open' and 'print' are missing");
        return false;
    }
    Py_INCREF(o.builtin_open);
    Py_INCREF(o.builtin_print);
    PyObject* s = struct_module.get();
    PyObject* z = zlib_module.get();
    if (!(attribute(o.struct_pack, s, "pack") && attribute(o.struct_unpack, s, "unpack") &&
          attribute(o.struct_error, s, "error") && attribute(o.zlib_compress, z, "compress") &&
          attribute(o.zlib_compressobj, z, "compressobj") &&
          attribute(o.zlib_decompress, z, "decompress") &&
          attribute(o.zlib_decompressobj, z, "decompressobj") && attribute(o.zlib_crc32, z, "crc32") &&
          attribute(o.zlib_error, z, "error")))
        return false;
    o.struct_module = struct_module.release();
    o.zlib_module = zlib_module.release();
    return true;
}

PyObject* module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(objects.module_dict, name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

const Inspect* inspect_names() {
    static Inspect names{};
    if (names.empty) return &names;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Inspect found{};
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
