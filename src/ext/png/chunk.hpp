// Chunk framing shared by _makeChunk and both PNG writers.
#pragma once

#include <Python.h>

namespace tavrune::png {

// Serialises one chunk: 4-byte big-endian payload length, the type bytes as
// given, the payload, and the big-endian CRC-32 (the host zlib's crc32) of type
// followed by payload. type and payload are bytes objects. A payload of 2^32
// bytes or more fails with the host struct module's error. New bytes reference,
// or null with an exception set.
PyObject* make_chunk(PyObject* type, PyObject* payload);

}  // namespace tavrune::png
