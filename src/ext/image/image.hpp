// The SimpleImage type: an 8-bit RGB image with an optional alpha plane and the
// layout records that let the writers reproduce the file it was read from.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "binding/function.hpp"

namespace tavrune::image {

// The binding names every callable of the class is declared with.
using binding::BoundArgs;
using binding::Check;
using binding::FunctionSpec;
using binding::Param;

struct ImageObject {
    PyObject_HEAD
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;       // exactly a bytearray, or None; never null
    PyObject* alpha;        // the constructor stores a bytearray or None; never null
    PyObject* png_chunks;   // the constructor stores a list or None; never null
    PyObject* png_filters;  // the constructor stores a bytearray or None; never null
    PyObject* bmp_header;   // the constructor stores a dict or None; never null
};

extern PyTypeObject image_type;

// The type's properties (image/properties.cpp), ended by an empty entry.
extern PyGetSetDef image_properties[];

inline ImageObject* as_image(PyObject* self) { return reinterpret_cast<ImageObject*>(self); }

// SimpleImage(*args) with the same checks, results and errors, except that a
// bytearray, list or dict argument whose only reference is the caller's is kept
// by the image rather than copied: no one else can observe the difference. New
// reference, or null with an exception set.
PyObject* new_image_keeping_sole_buffers(PyObject* const* args, Py_ssize_t nargs);

// Prepares the type; false with an exception set.
bool ready_image_type();

// The two operations that replace pickling in the class dictionary, and always fail.
std::span<PyMethodDef> pickling_refusal();

// The class's __signature__ for inspect: the constructor's parameters. A new
// reference, or null with an exception set.
PyObject* new_constructor_signature();

// Methods stored in the class dictionary, in the type's method order.
extern const binding::FunctionSpec kStreamToImage;  // image/open.cpp
extern const binding::FunctionSpec kOpen;           // image/open.cpp
extern const binding::FunctionSpec kGetPixel;       // image/pixels.cpp
extern const binding::FunctionSpec kPutPixel;       // image/pixels.cpp
extern const binding::FunctionSpec kCopy;           // image/image.cpp
extern const binding::FunctionSpec kSave;           // image/save.cpp
extern const binding::FunctionSpec kSaveBmp;        // image/save.cpp

}  // namespace tavrune::image
