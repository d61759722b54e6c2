// The streams that SimpleImage.open makes itself, told apart from any other
// object with a read method, for the few places where their known behaviour
// bounds the work a hostile header can ask for.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/ref.hpp"

namespace tavrune::stream {

enum class Kind {
    kOther,       // anything else: every call the format's reading steps name is made as named
    kBytesIO,     // exactly io.BytesIO, as open makes for bytes
    kFileReader,  // exactly io.BufferedReader over exactly io.FileIO, as open(path, "rb") makes
};

// The kind of stream. A stream counts as one of the two only when its read is
// its type's own method (an instance attribute can replace it); no Python code
// runs. False with an exception set. Guarded by
// tests/test_limits.py::test_other_streams_get_one_read_of_the_claimed_length
// (a file whose read is replaced and a BytesIO subclass get one read).
bool kind_of(PyObject* stream, Kind& kind);

// stream.read(count), the one way the decoders read: a new reference, or null
// with an exception set. Any stream gets one read(count), but for the file
// reader and a count over 16 MiB (one a file's header gave): a
// BufferedReader's read(n) sets aside n bytes before it reads, however few the
// file holds, so such a count is read in pieces, each as large as all before
// it, and joined. The bytes are those of one read(count): its read(k) returns
// fewer than k bytes only where one read would stop too (at the end of the
// file, or when a non-blocking file has nothing more ready, where a first
// piece of None is returned as one read returns None).
Ref read(PyObject* stream, std::uint64_t count);

}  // namespace tavrune::stream
