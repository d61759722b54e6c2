// What both PNG writers share: the length checks, filtering and compression of
// the image data, chunk framing and writing the file. The writers themselves only
// decide which chunks the file holds.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune::png {

// len(pixels) must equal width*height*3 and, unless alpha is None, len(alpha)
// width*height. The products are signed 32-bit quantities: one outside that
// range matches no length, so the check never passes for a buffer shorter than
// the image. False with ValueError set (or the host's error from len()).
bool check_lengths(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha);

// The compressed image data: pixels (a bytearray or subclass used in place,
// anything else copied through bytearray()) filtered a band of rows at a time
// (png/encoder.hpp), each band fed to the host's zlib.compressobj() at its
// defaults as soon as it is filtered: the bytes zlib.compress gives for the
// whole filtered stream, without the stream ever held whole. Other threads run
// while a band is compressed. A result of the compressor other than exactly
// bytes raises TypeError. New bytes reference, or null with an exception set.
PyObject* compress_image_data(std::int32_t width, std::int32_t height, PyObject* pixels, PyObject* alpha,
                              PyObject* filter_types);

// A new list holding the file's first piece: the object bound to PNG_SIGNATURE
// in the module now. Null with an exception set (NameError when it is unbound).
// The list is untracked by the collector (see untracked_list).
PyObject* start_file();

// A new empty list that no Python code can find with gc.get_referrers or
// gc.get_objects (they see tracked objects only), so none can change it while
// the file is built and written (an audit hook runs as the output opens). It
// holds pieces of the file alone, never itself, so it is in no cycle.
PyObject* untracked_list();

// Appends the serialised chunk (type, payload), two bytes objects, to pieces.
// False with an exception set.
bool append_chunk(PyObject* pieces, PyObject* type, PyObject* payload);

// Appends the chunk (type, payload[offset:offset + size]) as three pieces: the
// length and type, the payload range itself (the bytes object when it is the
// whole of it, else a memoryview of it, which keeps it alive) and the CRC-32,
// so image data is never copied to be framed. The file gets the bytes
// make_chunk would make: the same frame_chunk frames both. type is a bytes
// object of 4 bytes, payload a bytes object, the range lies inside it. False
// with an exception set.
bool append_chunk_of(PyObject* pieces, PyObject* type, PyObject* payload, Py_ssize_t offset, Py_ssize_t size);

// Opens path with the host's open(path, "wb") in a with-block and writes every
// piece of the list with one write call each. The file is closed on success and
// on failure; the host's errors propagate. False with an exception set.
bool write_file(PyObject* path, PyObject* pieces);

}  // namespace tavrune::png
