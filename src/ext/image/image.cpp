// SimpleImage: fields, construction and validation, copy() and the refusal to be
// pickled; the properties are in image/properties.cpp.
#include "image/image.hpp"

#include "binding/named.hpp"
#include "binding/signature.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/image_size.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"


namespace tavrune::image {

namespace {

constexpr Param kConstructorParams[] = {
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "alpha", .optional = true},
    {.name = "png_chunks", .optional = true},
    {.name = "bmp_header", .optional = true},
    {.name = "png_filters", .optional = true},
};
enum class Constructor { width, height, pixels, alpha, png_chunks, bmp_header, png_filters };
static_assert(binding::names_match<Constructor>(kConstructorParams, {{Constructor::width, "width"},
                                                                     {Constructor::height, "height"},
                                                                     {Constructor::pixels, "pixels"},
                                                                     {Constructor::alpha, "alpha"},
                                                                     {Constructor::png_chunks, "png_chunks"},
                                                                     {Constructor::bmp_header, "bmp_header"},
                                                                     {Constructor::png_filters, "png_filters"}}));

// The constructor's arguments; each optional one is None when omitted.
struct ConstructorArgs {
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;
    PyObject* alpha;
    PyObject* png_chunks;
    PyObject* bmp_header;
    PyObject* png_filters;
};

ConstructorArgs constructor_args(const BoundArgs& bound) {
    const binding::Named<kConstructorParams, Constructor> named(bound);
    return {
        .width = named.int32<Constructor::width>(),
        .height = named.int32<Constructor::height>(),
        .pixels = named.object<Constructor::pixels>(),
        .alpha = named.object<Constructor::alpha>(),
        .png_chunks = named.object<Constructor::png_chunks>(),
        .bmp_header = named.object<Constructor::bmp_header>(),
        .png_filters = named.object<Constructor::png_filters>(),
    };
}

// The constructor binds like the other callables; its messages name it "__cinit__".
const FunctionSpec kConstructor = {
    .name = "__cinit__",
    .qualname = "SimpleImage.__cinit__",
    .params = kConstructorParams,
    .annotations = {},
    .receiver = binding::Receiver::kNone,
    .body = nullptr,
};

// The buffer the image keeps for value: value itself when the caller allows it,
// value is exactly of type and its one reference is the caller's (no one else can
// see that it is not a copy); else a new copy made by copy(value). New reference,
// or null with an exception set.
template <class Copy>
PyObject* kept(PyObject* value, PyTypeObject* type, bool take_sole, Copy copy) {
    if (take_sole && Py_TYPE(value) == type && Py_REFCNT(value) == 1) {
        Py_INCREF(value);
        return value;
    }
    return copy(value);
}

PyObject* copy_dict(PyObject* value) {
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value);
}

// Checks that len(value) is expected_length (else ValueError message) and stores
// a bytearray made from value in field. False with an exception set.
bool store_byte_array(PyObject*& field, PyObject* value, std::int64_t expected_length, const char* message,
                      bool take_sole) {
    if (!sizes::check_image_length(value, expected_length, message)) return false;
    PyObject* array = kept(value, &PyByteArray_Type, take_sole, PyByteArray_FromObject);
    if (!array) return false;
    set_field(field, array);
    return true;
}

// Runs the constructor's steps on an allocated image whose fields hold None.
// take_sole: buffers held by the caller alone may be kept instead of copied.
bool initialise(ImageObject* image, const ConstructorArgs& args, bool take_sole) {
    if (!store_byte_array(image->pixels, args.pixels, sizes::image_size(args.width, args.height, 3),
                          msg::kPixelLength, take_sole))
        return false;
    image->width = args.width;
    image->height = args.height;
    if (args.alpha != Py_None &&
        !store_byte_array(image->alpha, args.alpha, sizes::image_size(args.width, args.height, 1),
                          msg::kAlphaLength, take_sole))
        return false;
    if (args.png_chunks != Py_None) {
        PyObject* records = kept(args.png_chunks, &PyList_Type, take_sole, PySequence_List);
        if (!records) return false;
        set_field(image->png_chunks, records);
    }
    if (args.png_filters != Py_None &&
        !store_byte_array(image->png_filters, args.png_filters, args.height, msg::kFilterCount, take_sole))
        return false;
    if (args.bmp_header != Py_None) {
        PyObject* header = kept(args.bmp_header, &PyDict_Type, take_sole, copy_dict);
        if (!header) return false;
        set_field(image->bmp_header, header);
    }
    return true;
}

PyObject* construct(PyTypeObject* type, const ConstructorArgs& args, bool take_sole = false) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ImageObject* image = as_image(self.get());
    for (PyObject** field : {&image->pixels, &image->alpha, &image->png_chunks, &image->png_filters,
                             &image->bmp_header}) {
        Py_INCREF(Py_None);
        *field = Py_None;
    }
    if (!initialise(image, args, take_sole)) return nullptr;
    return self.release();
}

PyObject* image_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound;
    if (!binding::bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
    return construct(type, constructor_args(bound));
}

int image_traverse(PyObject* self, visitproc visit, void* arg) {
    ImageObject* image = as_image(self);
    Py_VISIT(image->pixels);
    Py_VISIT(image->alpha);
    Py_VISIT(image->png_chunks);
    Py_VISIT(image->png_filters);
    Py_VISIT(image->bmp_header);
    return 0;
}

// Fields become None rather than null, so no accessor ever meets a null field.
int image_clear(PyObject* self) {
    ImageObject* image = as_image(self);
    for (PyObject** field : {&image->pixels, &image->alpha, &image->png_chunks, &image->png_filters,
                             &image->bmp_header}) {
        Py_INCREF(Py_None);
        set_field(*field, Py_None);
    }
    return 0;
}

// The trashcan frees a long chain (an image kept in another's _alpha, and so on)
// iteratively instead of one C frame per link.
void image_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, image_dealloc)
    ImageObject* image = as_image(self);
    Py_CLEAR(image->pixels);
    Py_CLEAR(image->alpha);
    Py_CLEAR(image->png_chunks);
    Py_CLEAR(image->png_filters);
    Py_CLEAR(image->bmp_header);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// Methods

PyObject* slice_or_none(PyObject* value) {
    if (value == Py_None) Py_RETURN_NONE;
    return PyObject_GetItem(value, host::constants.full_slice);
}

// A field of the image, held for the call that uses it: that call can run code
// that replaces the field and drops its old object.
Ref held(PyObject* field) { return Ref::borrow(field); }

PyObject* image_copy(const BoundArgs& bound) {
    ImageObject* source = as_image(bound.receiver);
    Ref alpha = Ref::steal(slice_or_none(held(source->alpha).get()));
    if (!alpha) return nullptr;
    Ref chunks = Ref::steal(slice_or_none(held(source->png_chunks).get()));
    if (!chunks) return nullptr;
    Ref filters = Ref::steal(slice_or_none(held(source->png_filters).get()));
    if (!filters) return nullptr;
    Ref header = held(source->bmp_header);
    if (header.get() != Py_None) {
        header = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), header.get()));
        if (!header) return nullptr;
    }
    Ref pixels = Ref::steal(PyObject_GetItem(held(source->pixels).get(), host::constants.full_slice));
    if (!pixels) return nullptr;
    const ConstructorArgs copy_args = {
        .width = source->width,
        .height = source->height,
        .pixels = pixels.get(),
        .alpha = alpha.get(),
        .png_chunks = chunks.get(),
        .bmp_header = header.get(),
        .png_filters = filters.get(),
    };
    return construct(&image_type, copy_args, true);  // the copies made here are held here alone
}

PyObject* image_reduce(PyObject*, PyObject*) {
    return errors::raise(PyExc_TypeError, msg::kNoReduce);
}

PyObject* image_setstate(PyObject*, PyObject*) {
    return errors::raise(PyExc_TypeError, msg::kNoReduce);
}

// Stored after the class's own callables, so the class dictionary lists them last.
PyMethodDef image_pickling_methods[] = {
    {.ml_name = "__reduce__", .ml_meth = image_reduce, .ml_flags = METH_NOARGS},
    {.ml_name = "__setstate__", .ml_meth = image_setstate, .ml_flags = METH_O},
};

constexpr binding::Annotation kCopyAnnotations[] = {{"return", "'SimpleImage'"}};

}  // namespace

const FunctionSpec kCopy = {
    .name = "copy",
    .qualname = "SimpleImage.copy",
    .params = {},
    .annotations = kCopyAnnotations,
    .receiver = binding::Receiver::kInstance,
    .body = image_copy,
    .owner = &image_type,
};

// A static type, as the module's other constants: it lives as long as the
// process, Python code cannot set attributes on it, and instances carry no
// __dict__ and no weak-reference slot.
PyTypeObject image_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tavrune.simpleImage_ext.SimpleImage",
    .tp_basicsize = sizeof(ImageObject),
    .tp_dealloc = image_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A minimal RGB image helper.",
    .tp_traverse = image_traverse,
    .tp_clear = image_clear,
    .tp_getset = image_properties,
    .tp_new = image_new,
};

PyObject* new_image_keeping_sole_buffers(PyObject* const* args, Py_ssize_t nargs) {
    BoundArgs bound;
    if (!binding::bind_arguments(kConstructor, args, nargs, nullptr, bound)) return nullptr;
    return construct(&image_type, constructor_args(bound), true);
}

bool ready_image_type() { return PyType_Ready(&image_type) == 0; }

std::span<PyMethodDef> pickling_refusal() { return image_pickling_methods; }

PyObject* new_constructor_signature() { return binding::new_class_signature(&image_type, kConstructor); }

}  // namespace tavrune::image
