// The streams that SimpleImage.open makes itself, told apart from any other
// object with a read method, for the few places where their known behaviour
// bounds the work a hostile header can ask for.
#pragma once

#include <Python.h>

namespace tavrune::stream {

enum class Kind {
    kOther,       // anything else: every call the format's reading steps name is made as named
    kBytesIO,     // exactly io.BytesIO, as open makes for bytes
    kFileReader,  // exactly io.BufferedReader over exactly io.FileIO, as open(path, "rb") makes
};

// The kind of stream. A stream counts as one of the two only when its read is
// its type's own method (an instance attribute can replace it); no Python code
// runs. False with an exception set.
bool kind_of(PyObject* stream, Kind& kind);

}  // namespace tavrune::stream
