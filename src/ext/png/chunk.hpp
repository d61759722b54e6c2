// Chunk framing shared by _makeChunk and both PNG writers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/ref.hpp"

namespace tavrune::png {

// The CRC-32 of a chunk: of its type bytes followed by its data bytes, the
// value zlib.crc32 gives (summed by zlib-ng). The caller holds the interpreter
// lock, which a long sum releases: data lies in an object the caller holds and
// nothing can change (bytes).
std::uint32_t chunk_crc32(const char* type, std::size_t type_size, const char* data, std::size_t data_size);

// Takes one chunk off stream (any object with read(n)) and verifies its CRC, as
// _readChunk does: four reads (length, type, data, CRC), then the CRC test.
// Returns 1 with type and data holding the very objects read returned and
// data_length their declared length; 0 when the first read returned nothing (the
// stream ended at a chunk boundary); -1 with an exception set. crc, when
// given, receives the chunk's CRC.
int read_chunk(PyObject* stream, Ref& type, Ref& data, std::uint32_t& data_length, std::uint32_t* crc = nullptr);

// The one framing of a chunk, in two steps. check_chunk_length: a payload of
// 2^32 bytes or more has no length field, and fails with the host struct
// module's error, as struct.pack(">I", size) raises it (false); checked before
// anything is built. frame_chunk: the 4-byte big-endian payload length and the
// type bytes as given at head (4 + the type's size bytes), the big-endian
// CRC-32 of type followed by the size bytes at data at tail (4 bytes). type is
// a bytes object.
bool check_chunk_length(Py_ssize_t size);
void frame_chunk(PyObject* type, const char* data, std::size_t size, char* head, char* tail);

// One chunk as one bytes object: its head, the payload, its tail. type and
// payload are bytes objects. New bytes reference, or null with an exception set.
PyObject* make_chunk(PyObject* type, PyObject* payload);

// struct.unpack(">I", ...)[0] of four bytes.
inline std::uint32_t load_be32(const unsigned char* field) {
    return std::uint32_t{field[0]} << 24 | std::uint32_t{field[1]} << 16 | std::uint32_t{field[2]} << 8 | field[3];
}

}  // namespace tavrune::png
