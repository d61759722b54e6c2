// Saving images: save chooses a writer by the layout records the image keeps;
// saveBmp always writes a BMP. Writers are looked up in the module at call time.
#include "binding/named.hpp"
#include "core/host.hpp"
#include "core/ref.hpp"
#include "image/image.hpp"

#include <cstddef>

namespace tavrune::image {

namespace {

constexpr Param kPathParams[] = {{.name = "path", .check = Check::kExactStr}};
enum class Save { path };
static_assert(binding::names_match<Save>(kPathParams, {{Save::path, "path"}}));

struct SaveArgs {
    const ImageObject* image;
    PyObject* path;  // exactly a str
};

// save and saveBmp reach the writers through the module's globals, looked up by
// name at each call (host::module_global), so Python code that rebinds
// _writePngWithChunks, _writePng or _writeBmp in the module runs instead.
// Normally png_writePngWithChunks (png/writer_chunks.cpp), png_writePng
// (png/writer_plain.cpp) and bmp_writeBmp (bmp/writer.cpp) answer.

// A field of the image handed to a writer.
using Field = PyObject* ImageObject::*;

// Looks up writer_name, converts width and then height, then calls the writer
// with path, width, height and the given fields of the image, all by position.
// The fields are read after the lookup, as the steps run in that order.
template <std::size_t kFieldCount>
PyObject* call_writer(names::Name writer_name, const SaveArgs& args, const Field (&fields)[kFieldCount]) {
    const ImageObject* image = args.image;
    Ref writer = Ref::steal(host::module_global(host::constants.name(writer_name)));
    if (!writer) return nullptr;
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    if (!width) return nullptr;
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    if (!height) return nullptr;
    // The fields are the image's own objects, held for the call should the
    // writer replace them on the image.
    constexpr std::size_t kLeading = 3;  // path, width, height
    Ref kept[kFieldCount];
    PyObject* arguments[kLeading + kFieldCount] = {args.path, width.get(), height.get()};
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        kept[i] = Ref::borrow(image->*fields[i]);
        arguments[kLeading + i] = kept[i].get();
    }
    Ref result = Ref::steal(PyObject_Vectorcall(writer.get(), arguments, kLeading + kFieldCount, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save(const SaveArgs& args) {
    if (args.image->png_chunks != Py_None)
        return call_writer(names::Name::kWritePngWithChunks, args,
                           {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_chunks,
                            &ImageObject::png_filters});
    if (args.image->bmp_header != Py_None)
        return call_writer(names::Name::kWriteBmp, args, {&ImageObject::pixels, &ImageObject::bmp_header});
    return call_writer(names::Name::kWritePng, args,
                       {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_filters});
}

PyObject* save_bmp(const SaveArgs& args) {
    return call_writer(names::Name::kWriteBmp, args, {&ImageObject::pixels, &ImageObject::bmp_header});
}

SaveArgs save_args(const BoundArgs& bound) {
    const binding::Named<kPathParams, Save> named(bound);
    return {.image = as_image(named.receiver()), .path = named.object<Save::path>()};
}

PyObject* image_save(const BoundArgs& bound) { return save(save_args(bound)); }
PyObject* image_saveBmp(const BoundArgs& bound) { return save_bmp(save_args(bound)); }

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
