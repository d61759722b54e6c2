// The BMP codec's entry points: the visible writer and the reader.
#pragma once

#include <Python.h>

#include "binding/function.hpp"

namespace tavrune::bmp {

extern const binding::FunctionSpec kWriteBmp;  // bmp/writer.cpp

// Decodes a BMP stream positioned at its first byte into the eight-value decoder
// result tuple. New reference, or null with an exception set.
PyObject* load_bmp(PyObject* stream);

}  // namespace tavrune::bmp
