#include "core/host.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"

#include <cassert>
#include <cstddef>

#include <initializer_list>
#include <iterator>
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
    // The set is complete: its references pass to where it is published.
    void keep() { count_ = 0; }

private:
    static constexpr std::size_t kCapacity = sizeof(Constants) / sizeof(PyObject*);
    PyObject* items_[kCapacity];
    std::size_t count_ = 0;
};

bool type_error(PyObject* result, const char* what, const char* expected) {
    return errors::raise_format(PyExc_TypeError, msg::kHostResultType, what, Py_TYPE(result)->tp_name, expected);
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
        b.bytes(c.bm, "BM", 2) && b.bytes(c.idat, "IDAT", 4) &&
        b.bytes(c.iend, "IEND", 4) && b.bytes(c.ihdr, "IHDR", 4) && b.slice(c.full_slice, Py_None, Py_None) &&
        b.slice(c.head_slice, Py_None, two.get()) && b.slice(c.tail_slice, two.get(), Py_None) &&
        b.make(c.bmp_defaults[0], Py_BuildValue("(si)", "xppm", 2835)) &&
        b.make(c.bmp_defaults[1], Py_BuildValue("(si)", "yppm", 2835)) &&
        b.make(c.bmp_defaults[2], Py_BuildValue("(si)", "clrUsed", 0)) &&
        b.make(c.bmp_defaults[3], Py_BuildValue("(si)", "clrImportant", 0)) &&
        b.make(c.end_marker, PyTuple_Pack(2, c.empty_bytes, c.empty_bytes)) && b.intern(c.mode_rb, "rb") &&
        b.intern(c.mode_wb, "wb") && b.intern(c.fmt_be_u32, ">I") && b.intern(c.fmt_ihdr, ">IIBBBBB") &&
        b.intern(c.fmt_bmp_file, "<IHHI") && b.intern(c.fmt_bmp_info, "<IIIHHIIIIII") &&
        b.intern(c.fmt_le_u32, "<I") && b.intern(c.fmt_bmp_fields, "<iiHHIIiiII") &&
        b.intern(c.str_read, "read") && b.intern(c.str_seek, "seek") && b.intern(c.str_write, "write") &&
        b.intern(c.str_get, "get") && b.intern(c.str_enter, "__enter__") && b.intern(c.str_exit, "__exit__") &&
        b.intern(c.str_eof, "eof");
    if (!complete) return false;
    for (const names::Entry& entry : names::kEntries)
        if (!b.intern(c.names[static_cast<std::size_t>(entry.name)], entry.text)) return false;
    b.keep();
    constants = c;
    return true;
}

Gathering::Gathering(PyObject* module) { objects.module_dict = PyModule_GetDict(module); }

Gathering::~Gathering() {
    while (count_ > 0) Py_DECREF(kept_[--count_]);
}

bool Gathering::keep(PyObject*& slot, PyObject* new_reference) {
    slot = new_reference;
    if (!slot) return false;
    assert(count_ < std::size(kept_));  // each slot of Objects is kept at most once
    kept_[count_++] = slot;
    return true;
}

PyObject* Gathering::import(const Import& what) {
    Ref value = Ref::steal(PyImport_ImportModule(what.module));
    if (value && what.attribute) {
        value = Ref::steal(PyObject_GetAttrString(value.get(), what.attribute));
        // Report a missing name as an import does.
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return errors::raise_format(PyExc_ImportError, msg::kCannotImportName, what.attribute, what.module);
        }
    }
    if (!value || !what.slot) return value.release();
    return keep(objects_.*what.slot, Ref::borrow(value.get()).release()) ? value.release() : nullptr;
}

bool Gathering::publish() {
    Objects& o = objects_;
    const auto attribute = [this](PyObject*& slot, PyObject* owner, const char* name) {
        return keep(slot, PyObject_GetAttrString(owner, name));
    };
    Ref io_module = Ref::steal(PyImport_ImportModule("io"));
    if (!io_module || !attribute(o.buffered_reader, io_module.get(), "BufferedReader") ||
        !attribute(o.file_io, io_module.get(), "FileIO"))
        return false;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* open = PyDict_GetItemString(builtins, "open");
    PyObject* print = PyDict_GetItemString(builtins, "print");
    if (!open || !print) return errors::raise(PyExc_ImportError, msg::kBuiltinsMissing);
    PyObject* s = o.struct_module;  // among the imports, as the module body lists them
    PyObject* z = o.zlib_module;
    assert(s && z);
    if (!(keep(o.builtin_open, Ref::borrow(open).release()) && keep(o.builtin_print, Ref::borrow(print).release()) &&
          attribute(o.struct_pack, s, "pack") && attribute(o.struct_unpack, s, "unpack") &&
          attribute(o.struct_error, s, "error") && attribute(o.zlib_compressobj, z, "compressobj") &&
          attribute(o.zlib_decompress, z, "decompress") && attribute(o.zlib_decompressobj, z, "decompressobj") &&
          attribute(o.zlib_crc32, z, "crc32")))
        return false;
    // The objects of an earlier load that failed later on are left to live: a
    // callable of that load that someone kept may be running with them.
    count_ = 0;
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
    if (!PyErr_Occurred()) errors::raise_format(PyExc_NameError, msg::kNameNotDefined, name);
    return nullptr;
}

bool expect_bytes(PyObject* result, const char* what) {
    return result && (PyBytes_CheckExact(result) || type_error(result, what, "bytes"));
}

bool expect_tuple(PyObject* result, Py_ssize_t size, const char* what) {
    if (!result) return false;
    if (!PyTuple_CheckExact(result)) return type_error(result, what, "tuple");
    if (PyTuple_GET_SIZE(result) == size) return true;
    return errors::raise_format(PyExc_TypeError, msg::kHostResultSize, what, PyTuple_GET_SIZE(result), size);
}

Ref unpack(PyObject* format, PyObject* data, Py_ssize_t count) {
    Ref fields = Ref::steal(PyObject_CallFunctionObjArgs(objects.struct_unpack, format, data, nullptr));
    return expect_tuple(fields.get(), count, msg::kStructUnpack) ? std::move(fields) : Ref{};
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
