// Opening images: SimpleImage.open and the format dispatch _streamToImage.
#include "binding/named.hpp"
#include "bmp/bmp.hpp"
#include "core/errors.hpp"
#include "core/file.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"
#include "core/stream.hpp"
#include "core/unpacking.hpp"
#include "image/image.hpp"
#include "png/png.hpp"

#include <algorithm>

namespace tavrune::image {

namespace {

constexpr Py_ssize_t kResultSize = 8;

// _streamToImage(stream); with file (exactly bytes) instead of a stream, as
// for io.BytesIO(file): the reads of a fresh BytesIO are made on file itself
// (a PNG's chunks walked in place), a BMP reads a BytesIO of its own. own: the
// stream is the one open made for a path.
PyObject* stream_to_image(PyObject* stream, PyObject* file, bool own = false) {
    Ref signature;
    if (file != nullptr) {
        signature = Ref::steal(
            PyBytes_FromStringAndSize(PyBytes_AS_STRING(file), std::min<Py_ssize_t>(8, PyBytes_GET_SIZE(file))));
        if (!signature) return nullptr;
    } else {
        signature = stream::read(stream, 8);
        if (!signature) return nullptr;
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return nullptr;
        Ref seeked = Ref::steal(PyObject_CallMethodObjArgs(stream, host::constants.str_seek, zero.get(), nullptr));
        if (!seeked) return nullptr;
    }

    Ref png_signature = Ref::steal(host::module_global(host::constants.name(names::Name::kPngSignature)));
    if (!png_signature) return nullptr;
    Ref is_png = Ref::steal(PyObject_CallMethod(signature.get(), "startswith", "O", png_signature.get()));
    if (!is_png) return nullptr;
    int truth = PyObject_IsTrue(is_png.get());
    if (truth < 0) return nullptr;
    if (truth) return file != nullptr ? png::load_png_in(file) : png::load_png(stream, own);

    Ref head = Ref::steal(PyObject_GetItem(signature.get(), host::constants.head_slice));
    if (!head) return nullptr;
    truth = PyObject_RichCompareBool(head.get(), host::constants.bm, Py_EQ);
    if (truth < 0) return nullptr;
    if (truth) {
        if (file == nullptr) return bmp::load_bmp(stream);
        Ref in_memory = Ref::steal(PyObject_CallOneArg(host::objects.bytes_io, file));
        return in_memory ? bmp::load_bmp(in_memory.get()) : nullptr;
    }
    return errors::raise(PyExc_ValueError, msg::kUnsupportedFormat);
}

constexpr Param kStreamParams[] = {{.name = "stream"}};
enum class StreamToImage { stream };
static_assert(binding::names_match<StreamToImage>(kStreamParams, {{StreamToImage::stream, "stream"}}));

constexpr Param kOpenParams[] = {{.name = "source"}};
enum class Open { source };
static_assert(binding::names_match<Open>(kOpenParams, {{Open::source, "source"}}));

PyObject* image_streamToImage(const BoundArgs& bound) {
    const binding::Named<kStreamParams, StreamToImage> named(bound);
    return stream_to_image(named.object<StreamToImage::stream>(), nullptr);
}

// cls._streamToImage(stream), unpacked into exactly eight values (new references).
// own: stream is the file open opened for a path, which the module's own
// decoder may read again.
bool decode(PyObject* cls, PyObject* stream, PyObject** values, bool own = false) {
    Ref method = Ref::steal(PyObject_GetAttr(cls, host::constants.name(names::Name::kStreamToImage)));
    if (!method) return false;
    Ref result = Ref::steal(own && binding::spec_of(method.get()) == &kStreamToImage
                                ? stream_to_image(stream, nullptr, true)
                                : PyObject_CallOneArg(method.get(), stream));
    if (!result) return false;
    return unpacking::unpack(result.get(), kResultSize, values);
}

// decode(cls, bytes_io(file), values) for file exactly bytes and bytes_io the
// host's io.BytesIO: when cls._streamToImage is the module's own, it reads
// file in place instead, with the same results and errors, and no stream or
// copy of the file's image data is made.
bool decode_bytes(PyObject* cls, PyObject* file, PyObject* bytes_io, PyObject** values) {
    Ref method = Ref::steal(PyObject_GetAttr(cls, host::constants.name(names::Name::kStreamToImage)));
    if (!method) return false;
    Ref result;
    if (binding::spec_of(method.get()) == &kStreamToImage) {
        result = Ref::steal(stream_to_image(nullptr, file));
    } else {
        Ref stream = Ref::steal(PyObject_CallOneArg(bytes_io, file));
        if (!stream) return false;
        result = Ref::steal(PyObject_CallOneArg(method.get(), stream.get()));
    }
    if (!result) return false;
    return unpacking::unpack(result.get(), kResultSize, values);
}

// `with open(path, "rb") as stream: decode(...)`: the file is closed on success
// and on failure, and the decoding error goes on unless closing fails too.
bool decode_file(PyObject* cls, PyObject* path, PyObject** values) {
    bool decoded = false;
    const bool succeeded = file::with_open(path, host::constants.mode_rb, [&](PyObject* stream) {
        return decoded = decode(cls, stream, values, true);
    });
    if (!succeeded && decoded)  // closing failed after decoding: drop what was decoded
        for (Py_ssize_t i = 0; i < kResultSize; ++i) Py_CLEAR(values[i]);
    return succeeded;
}

PyObject* image_open(const BoundArgs& bound) {
    const binding::Named<kOpenParams, Open> named(bound);
    PyObject* cls = named.receiver();
    PyObject* source = named.object<Open::source>();
    Ref path_type = Ref::steal(host::module_global(host::constants.name(names::Name::kPath)));
    if (!path_type) return nullptr;
    PyObject* values[kResultSize] = {};
    int is_path = PyUnicode_Check(source) ? 1 : PyObject_IsInstance(source, path_type.get());
    if (is_path < 0) return nullptr;
    if (is_path) {
        if (!decode_file(cls, source, values)) return nullptr;
    } else if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytes_io = Ref::steal(host::module_global(host::constants.name(names::Name::kBytesIO)));
        if (!bytes_io) return nullptr;
        if (PyBytes_CheckExact(source) && bytes_io.get() == host::objects.bytes_io) {
            if (!decode_bytes(cls, source, bytes_io.get(), values)) return nullptr;
        } else {
            Ref stream = Ref::steal(PyObject_CallOneArg(bytes_io.get(), source));
            if (!stream || !decode(cls, stream.get(), values)) return nullptr;
        }
    } else {
        return errors::raise(PyExc_TypeError, msg::kSourceType);
    }
    Ref owned[kResultSize];
    for (Py_ssize_t i = 0; i < kResultSize; ++i) owned[i] = Ref::steal(values[i]);
    PyObject* const& width = values[0];
    PyObject* const& height = values[1];
    PyObject* const& channels = values[3];
    // cls(width, height, pixels, alpha, chunks, bmp_meta, png_filters): channels is not passed.
    PyObject* const arguments[] = {values[0], values[1], values[2], values[4], values[5], values[6], values[7]};
    // The decoder's buffers are held by this call alone once its result tuple is
    // gone: the class itself keeps them instead of copying them; a subclass, whose
    // constructor may do anything, gets the call as written.
    Ref image = Ref::steal(cls == reinterpret_cast<PyObject*>(&image_type)
                               ? new_image_keeping_sole_buffers(arguments, 7)
                               : PyObject_Vectorcall(cls, arguments, 7, nullptr));
    if (!image) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat(msg::kOpened, width, height, channels));
    if (!line) return nullptr;
    Ref printed = Ref::steal(PyObject_CallOneArg(host::objects.builtin_print, line.get()));
    if (!printed) return nullptr;
    if (!PyObject_TypeCheck(image.get(), &image_type))
        return errors::raise_format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(image.get())->tp_name,
                                    image_type.tp_name);
    return image.release();
}

constexpr binding::Annotation kOpenAnnotations[] = {{"source", "ImageInput"}, {"return", "'SimpleImage'"}};

}  // namespace

const binding::FunctionSpec kStreamToImage = {
    .name = names::text(names::Name::kStreamToImage),
    .qualname = "SimpleImage._streamToImage",
    .params = kStreamParams,
    .annotations = {},
    .receiver = binding::Receiver::kNone,
    .body = image_streamToImage,
};

const binding::FunctionSpec kOpen = {
    .name = "open",
    .qualname = "SimpleImage.open",
    .params = kOpenParams,
    .annotations = kOpenAnnotations,
    .receiver = binding::Receiver::kClass,
    .body = image_open,
};

}  // namespace tavrune::image
