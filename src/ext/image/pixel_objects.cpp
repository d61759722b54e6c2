// The object path of getPixel and putPixel (image/pixel_objects.hpp).
#include "image/pixel_objects.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"

namespace tavrune::image {

namespace {

// `0 <= v < limit` on host objects, left to right, stopping at the first false.
// The limit is read from its field after the first comparison, which can run
// code that changes the image. 1 inside, 0 outside, -1 with an exception set.
int within(PyObject* v, const std::int32_t& limit) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    int result = PyObject_RichCompareBool(zero.get(), v, Py_LE);
    if (result != 1) return result;
    Ref bound = Ref::steal(PyLong_FromLong(limit));
    if (!bound) return -1;
    return PyObject_RichCompareBool(v, bound.get(), Py_LT);
}

// Index + offset as a Python integer, for the generic item access.
Ref index_object(const PixelIndex& index, int offset) {
    if (index.exact) return Ref::steal(PyLong_FromLongLong(index.value + offset));
    Ref delta = Ref::steal(PyLong_FromLong(offset));
    if (!delta) return {};
    return Ref::steal(PyNumber_Add(index.object.get(), delta.get()));
}

}  // namespace

// index = (y * width + x) * 3 on the host's integers, with the width the image
// has now.
bool index_of_objects(const ImageObject* image, PyObject* x, PyObject* y, PixelIndex& index) {
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!width || !three) return false;
    Ref row_start = Ref::steal(PyNumber_Multiply(y, width.get()));
    if (!row_start) return false;
    Ref pixel = Ref::steal(PyNumber_Add(row_start.get(), x));
    if (!pixel) return false;
    index.object = Ref::steal(PyNumber_Multiply(pixel.get(), three.get()));
    return static_cast<bool>(index.object);
}

bool locate_generic(const ImageObject* image, PyObject* x, PyObject* y, PixelIndex& index) {
    int inside = within(x, image->width);
    if (inside == 1) inside = within(y, image->height);
    if (inside != 1) return inside == 0 ? errors::raise(PyExc_ValueError, msg::kOutOfBounds) : false;
    return index_of_objects(image, x, y, index);
}

// The sample at index + offset: read in place from the bytearray when it is in
// range, else through the object's own indexing (whose error is the result).
PyObject* read_sample(PyObject* pixels, const PixelIndex& index, int offset) {
    if (sample_in_place(pixels, index, offset))
        return PyLong_FromLong(reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels))[index.value + offset]);
    Ref key = index_object(index, offset);
    if (!key) return nullptr;
    return PyObject_GetItem(pixels, key.get());
}

// Converts sample with int(), keeps its low 8 bits and stores it. The buffer is
// looked at only after the conversion, which may have run Python code.
bool write_sample(ImageObject* image, const PixelIndex& index, int offset, PyObject* sample) {
    Ref value = Ref::steal(PyNumber_Long(sample));
    if (!value) return false;
    int overflow = 0;
    long long wide = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (overflow) {
        // Two's complement low byte of an integer beyond 64 bits.
        Ref mask = Ref::steal(PyLong_FromLong(0xFF));
        if (!mask) return false;
        Ref low = Ref::steal(PyNumber_And(value.get(), mask.get()));
        if (!low) return false;
        wide = PyLong_AsLongLong(low.get());
    }
    const auto byte = static_cast<unsigned char>(static_cast<unsigned long long>(wide) & 0xFFu);
    // Held from here: making the key and the item allocates, which can run code
    // that replaces the field.
    Ref pixels = Ref::borrow(image->pixels);
    if (sample_in_place(pixels.get(), index, offset)) {
        reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels.get()))[index.value + offset] = byte;
        return true;
    }
    Ref key = index_object(index, offset);
    if (!key) return false;
    Ref item = Ref::steal(PyLong_FromLong(byte));
    if (!item) return false;
    return PyObject_SetItem(pixels.get(), key.get(), item.get()) == 0;
}

}  // namespace tavrune::image
