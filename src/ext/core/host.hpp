// Host objects and constants, imported and built once while the module loads and
// kept until the process ends. Looked up nowhere else. Each set is built apart and
// published whole, so a load that fails part-way leaves no half-built set behind.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/names.hpp"
#include "core/ref.hpp"

namespace tavrune::host {

struct Objects {
    PyObject* module_dict;   // the module's namespace: names looked up at call time live here
                             // (null after a failed load, until the next one starts)
    PyObject* struct_module;
    PyObject* struct_pack;   // struct.pack
    PyObject* struct_unpack; // struct.unpack
    PyObject* struct_error;  // struct.error
    PyObject* zlib_module;
    PyObject* zlib_compressobj;  // the image data compressed a band at a time
    PyObject* zlib_decompress;
    PyObject* zlib_decompressobj;  // bounded inflation of image data
    PyObject* zlib_crc32;
    PyObject* bytes_io;      // io.BytesIO as imported
    PyObject* buffered_reader;  // io.BufferedReader and io.FileIO: what open(path, "rb") makes;
    PyObject* file_io;          // not names of the module
    PyObject* path_type;     // pathlib.Path as imported
    PyObject* typing_union;  // typing.Union, for the ImageInput alias
    PyObject* builtin_open;
    PyObject* builtin_print;
};

struct Constants {
    PyObject* png_signature;  // b'\x89PNG\r\n\x1a\n'
    PyObject* empty_bytes;    // b''
    PyObject* bm;             // b'BM'
    PyObject* idat;           // b'IDAT'
    PyObject* iend;           // b'IEND'
    PyObject* ihdr;           // b'IHDR'
    PyObject* full_slice;     // [:]
    PyObject* head_slice;     // [:2]
    PyObject* tail_slice;     // [2:]
    PyObject* byte_values[256];  // the ints 0 to 255, for pixel samples
    PyObject* bmp_defaults[4];// ('xppm', 2835), ('yppm', 2835), ('clrUsed', 0), ('clrImportant', 0)
    PyObject* end_marker;     // (b'', b'')
    PyObject* mode_rb;        // 'rb'
    PyObject* mode_wb;        // 'wb'
    PyObject* fmt_be_u32;     // '>I'
    PyObject* fmt_ihdr;       // '>IIBBBBB'
    PyObject* fmt_bmp_file;   // '<IHHI': BMP file header after "BM"
    PyObject* fmt_bmp_info;   // '<IIIHHIIIIII': BITMAPINFOHEADER
    PyObject* fmt_le_u32;     // '<I': its size field
    PyObject* fmt_bmp_fields; // '<iiHHIIiiII': its fields after the size
    PyObject* str_read;       // interned method and attribute names
    PyObject* str_seek;
    PyObject* str_write;
    PyObject* str_get;
    PyObject* str_enter;
    PyObject* str_exit;
    PyObject* str_eof;              // a decompressobj's attribute
    PyObject* names[static_cast<std::size_t>(names::Name::kCount)];  // looked up at call time

    PyObject* name(names::Name which) const { return names[static_cast<std::size_t>(which)]; }
};

// What a signature is built from. inspect is imported on first use, not while the
// module loads: only introspection needs it, and it costs more than the rest of
// loading.
struct Inspect {
    PyObject* parameter;              // inspect.Parameter
    PyObject* signature;              // inspect.Signature
    PyObject* positional_or_keyword;  // inspect.Parameter.POSITIONAL_OR_KEYWORD
    PyObject* empty;                  // inspect.Parameter.empty
};

extern Objects objects;
extern Constants constants;

// Builds the constants, all of them or none (a retried load builds them again);
// sets an exception and returns false on failure.
bool build_constants();

// One import of the module body: `import module` (attribute null) or `from
// module import attribute`, kept in host::objects at slot (may be null).
struct Import {
    const char* module;
    const char* attribute;
    PyObject* Objects::* slot;
};

// host::objects as a load gathers them: each import kept here, then the
// objects taken from them and from io and builtins, all published whole by
// publish(), or dropped with this when the load fails. module is the module
// being loaded: names are looked up in its namespace from here on.
class Gathering {
public:
    explicit Gathering(PyObject* module);
    Gathering(const Gathering&) = delete;
    Gathering& operator=(const Gathering&) = delete;
    ~Gathering();

    // The imported object, a new reference; null with the import's error set
    // (an ImportError naming a missing attribute, as an import statement does).
    PyObject* import(const Import& what);
    // What is gathered so far.
    const Objects& gathered() const { return objects_; }
    // Takes struct.pack, unpack and error, zlib's functions, io's reader types,
    // open and print, then publishes every object. False on failure.
    bool publish();

private:
    bool keep(PyObject*& slot, PyObject* new_reference);

    Objects objects_{};
    PyObject* kept_[sizeof(Objects) / sizeof(PyObject*)];
    std::size_t count_ = 0;
};

// Drops the namespace of a module whose load failed: it is freed with it.
void forget_module();

// The value bound to name in the module's namespace (or builtins) now, as a new
// reference; NameError "name '...' is not defined" when there is none.
PyObject* module_global(PyObject* name);

// A host function's result checked before it is read through the unchecked
// macros: exact bytes, or an exact tuple of size items. Otherwise TypeError
// naming what (the host function) and what it returned; false. A null result
// is false too, its call's exception left as it is.
bool expect_bytes(PyObject* result, const char* what);
bool expect_tuple(PyObject* result, Py_ssize_t size, const char* what);

// struct.unpack(format, data) through the host's struct, so data of the wrong
// size or type raises the host's own error: an exact tuple of count fields, or
// an empty Ref with an exception set.
Ref unpack(PyObject* format, PyObject* data, Py_ssize_t count);

// The inspect names above, imported the first time this is called and kept until
// the process ends; null with an exception set when the import fails.
const Inspect* inspect_names();

}  // namespace tavrune::host
