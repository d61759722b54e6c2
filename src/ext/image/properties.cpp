// SimpleImage's properties: size, width and height, and the fields the writers
// read (_pixels, _alpha, _png_chunks, _png_filters, _bmp_header).
#include "binding/convert.hpp"
#include "core/errors.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "image/image.hpp"

#include <cstddef>
#include <cstdint>

namespace tavrune::image {

namespace {

PyObject* image_get_size(PyObject* self, void*) {
    return Py_BuildValue("(ii)", as_image(self)->width, as_image(self)->height);
}

PyObject* image_get_width(PyObject* self, void*) { return PyLong_FromLong(as_image(self)->width); }
PyObject* image_get_height(PyObject* self, void*) { return PyLong_FromLong(as_image(self)->height); }

int set_dimension(std::int32_t& field, PyObject* value) {
    if (!value) return errors::raise(PyExc_NotImplementedError, msg::kDelete);
    std::int32_t converted;
    if (!binding::to_int32(value, converted)) return -1;
    field = converted;
    return 0;
}

int image_set_width(PyObject* self, PyObject* value, void*) { return set_dimension(as_image(self)->width, value); }
int image_set_height(PyObject* self, PyObject* value, void*) {
    return set_dimension(as_image(self)->height, value);
}

// The object fields are told apart by their offset, passed as the closure.
PyObject*& field_at(PyObject* self, void* closure) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::intptr_t>(closure));
}

PyObject* image_get_field(PyObject* self, void* closure) {
    PyObject* value = field_at(self, closure);
    Py_INCREF(value);
    return value;
}

int image_set_field(PyObject* self, PyObject* value, void* closure) {
    if (!value) value = Py_None;
    Py_INCREF(value);
    set_field(field_at(self, closure), value);
    return 0;
}

// The pixel buffer must stay exactly a bytearray: pixel access and the writers
// read it in place.
int image_set_pixels(PyObject* self, PyObject* value, void* closure) {
    if (value && value != Py_None && !PyByteArray_CheckExact(value))
        return errors::raise_format(PyExc_TypeError, msg::kExpectedType, "bytearray", Py_TYPE(value)->tp_name);
    return image_set_field(self, value, closure);
}

#define FIELD_CLOSURE(field) reinterpret_cast<void*>(offsetof(ImageObject, field))

}  // namespace

PyGetSetDef image_properties[] = {
    {.name = "size", .get = image_get_size},
    {.name = "width", .get = image_get_width, .set = image_set_width},
    {.name = "height", .get = image_get_height, .set = image_set_height},
    {.name = "_pixels", .get = image_get_field, .set = image_set_pixels, .closure = FIELD_CLOSURE(pixels)},
    {.name = "_alpha", .get = image_get_field, .set = image_set_field, .closure = FIELD_CLOSURE(alpha)},
    {.name = "_png_chunks", .get = image_get_field, .set = image_set_field,
     .closure = FIELD_CLOSURE(png_chunks)},
    {.name = "_png_filters", .get = image_get_field, .set = image_set_field,
     .closure = FIELD_CLOSURE(png_filters)},
    {.name = "_bmp_header", .get = image_get_field, .set = image_set_field,
     .closure = FIELD_CLOSURE(bmp_header)},
    {},
};

}  // namespace tavrune::image
