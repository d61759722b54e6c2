// Saving images: save chooses a writer by the layout records the image keeps;
// saveBmp always writes a BMP. Writers are looked up in the module at call time.
#include "core/host.hpp"
#include "core/ref.hpp"
#include "image/image.hpp"

#include <initializer_list>

namespace tavrune::image {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

// A field of the image handed to a writer.
using Field = PyObject* ImageObject::*;

// Looks up writer_name, converts width and then height, then calls the writer
// with path, width, height and the given fields of the image, all by position.
// The fields are read after the lookup, as the steps run in that order.
PyObject* call_writer(PyObject* writer_name, PyObject* path, const ImageObject* image,
                      std::initializer_list<Field> fields) {
    Ref writer = Ref::steal(host::module_global(writer_name));
    if (!writer) return nullptr;
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    if (!width) return nullptr;
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    if (!height) return nullptr;
    // The fields are the image's own objects, held for the call should the
    // writer replace them on the image.
    Ref kept[4];
    PyObject* arguments[7] = {path, width.get(), height.get()};
    std::size_t count = 3;
    for (Field field : fields) {
        Ref& held = kept[count - 3];
        held = Ref::borrow(image->*field);
        arguments[count++] = held.get();
    }
    Ref result = Ref::steal(PyObject_Vectorcall(writer.get(), arguments, count, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* image_save(const BoundArgs& bound) {
    const ImageObject* image = as_image(bound.receiver);
    PyObject* path = bound.args[0];
    if (image->png_chunks != Py_None)
        return call_writer(host::constants.name_write_png_with_chunks, path, image,
                           {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_chunks,
                            &ImageObject::png_filters});
    if (image->bmp_header != Py_None)
        return call_writer(host::constants.name_write_bmp, path, image,
                           {&ImageObject::pixels, &ImageObject::bmp_header});
    return call_writer(host::constants.name_write_png, path, image,
                       {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_filters});
}

PyObject* image_saveBmp(const BoundArgs& bound) {
    return call_writer(host::constants.name_write_bmp, bound.args[0], as_image(bound.receiver),
                       {&ImageObject::pixels, &ImageObject::bmp_header});
}

constexpr Param kPathParams[] = {{.name = "path", .check = Check::kExactStr}};
constexpr binding::Annotation kPathAnnotations[] = {{"path", "str"}, {"return", "None"}};

}  // namespace

const binding::FunctionSpec kSave = {
    .name = "save",
    .qualname = "SimpleImage.save",
    .params = kPathParams,
    .annotations = kPathAnnotations,
    .receiver = binding::Receiver::kInstance,
    .body = image_save,
    .owner = &image_type,
};

const binding::FunctionSpec kSaveBmp = {
    .name = "saveBmp",
    .qualname = "SimpleImage.saveBmp",
    .params = kPathParams,
    .annotations = kPathAnnotations,
    .receiver = binding::Receiver::kInstance,
    .body = image_saveBmp,
    .owner = &image_type,
};

}  // namespace tavrune::image
