// The PNG codec's entry points: the visible module functions and the decoder.
#pragma once

#include <Python.h>

#include "binding/function.hpp"

namespace tavrune::png {

extern const binding::FunctionSpec kReadChunk;           // png/chunk.cpp
extern const binding::FunctionSpec kMakeChunk;           // png/chunk.cpp
extern const binding::FunctionSpec kWritePng;            // png/writer_plain.cpp
extern const binding::FunctionSpec kSplitIdatPayload;    // png/idat_pieces.cpp
extern const binding::FunctionSpec kWritePngWithChunks;  // png/writer_chunks.cpp

// Decodes a PNG stream positioned at its signature into the eight-value decoder
// result tuple. New reference, or null with an exception set. own: the stream
// is the one open made for a path, which may then be read again (a file
// reader's image data is then inflated as its chunks are read).
PyObject* load_png(PyObject* stream, bool own = false);

// load_png for io.BytesIO(file) read from its start, file exactly bytes: the
// same calls of the host, results and errors, but the chunks are walked in
// file itself, with no copy of the IDAT payloads.
PyObject* load_png_in(PyObject* file);

}  // namespace tavrune::png
