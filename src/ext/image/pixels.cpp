// getPixel and putPixel. Coordinates are compared and the index computed on the
// caller's integers: exact ints take a C fast path, anything else (floats, int
// subclasses, objects with their own comparisons) the generic object path, so
// both give the same results and errors.
#include "binding/named.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "core/unpacking.hpp"
#include "image/image.hpp"
#include "image/pixel_objects.hpp"

#include <cstdint>

namespace tavrune::image {

namespace {

constexpr Param kGetPixelParams[] = {{.name = "coords", .check = Check::kExactTuple}};
enum class GetPixel { coords };
static_assert(binding::names_match<GetPixel>(kGetPixelParams, {{GetPixel::coords, "coords"}}));
using GetPixelNamed = binding::Named<kGetPixelParams, GetPixel>;

constexpr Param kPutPixelParams[] = {{.name = "coords", .check = Check::kExactTuple}, {.name = "value"}};
enum class PutPixel { coords, value };
static_assert(binding::names_match<PutPixel>(kPutPixelParams,
                                             {{PutPixel::coords, "coords"}, {PutPixel::value, "value"}}));
using PutPixelNamed = binding::Named<kPutPixelParams, PutPixel>;

struct GetPixelArgs {
    ImageObject* image;
    PyObject* coords;  // exactly a tuple
};

struct PutPixelArgs {
    ImageObject* image;
    PyObject* coords;  // exactly a tuple
    PyObject* value;
};

bool is_plain_int(PyObject* obj) { return PyLong_CheckExact(obj) || PyBool_Check(obj); }

// Unpacks coords (already exactly a tuple) and runs the bounds test.
bool locate(const ImageObject* image, PyObject* coords, PixelIndex& index) {
    const Py_ssize_t size = PyTuple_GET_SIZE(coords);
    if (size != 2) {
        unpacking::raise_unpack(2, size);
        return false;
    }
    PyObject* x = PyTuple_GET_ITEM(coords, 0);
    PyObject* y = PyTuple_GET_ITEM(coords, 1);
    if (!is_plain_int(x) || !is_plain_int(y)) return locate_generic(image, x, y, index);
    int overflow_x = 0, overflow_y = 0;
    const long long cx = PyLong_AsLongLongAndOverflow(x, &overflow_x);
    const long long cy = PyLong_AsLongLongAndOverflow(y, &overflow_y);
    // A coordinate beyond 64 bits is outside any int32 dimension, whatever its sign.
    if (overflow_x || overflow_y || cx < 0 || cx >= image->width || cy < 0 || cy >= image->height)
        return errors::raise(PyExc_ValueError, msg::kOutOfBounds);
    // Inside int32 dimensions the index still leaves 64 bits when both were set
    // near 2^31; it is then formed as the host would form it, and indexing the
    // buffer with it fails with the buffer's own IndexError.
    std::int64_t value;
    if (__builtin_mul_overflow(cy, std::int64_t{image->width}, &value) || __builtin_add_overflow(value, cx, &value) ||
        __builtin_mul_overflow(value, std::int64_t{3}, &value))
        return index_of_objects(image, x, y, index);
    index.exact = true;
    index.value = value;
    return true;
}

// The three samples in place when the whole pixel lies inside an exact bytearray;
// null (no exception) otherwise.
inline unsigned char* pixel_in_place(PyObject* pixels, const PixelIndex& index) {
    if (!sample_in_place(pixels, index, 2)) return nullptr;
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels)) + index.value;
}

// The body of getPixel once coords is known to be exactly a tuple.
PyObject* get_pixel(const GetPixelArgs& args) {
    ImageObject* image = args.image;
    PixelIndex index;
    if (!locate(image, args.coords, index)) return nullptr;
    if (const unsigned char* in_place = pixel_in_place(image->pixels, index)) {
        // Copied out first: allocating the tuple can run a collection, and with
        // it code that replaces or resizes the buffer.
        const unsigned char rgb[3] = {in_place[0], in_place[1], in_place[2]};
        PyObject* result = PyTuple_New(3);
        if (!result) return nullptr;
        for (int c = 0; c < 3; ++c) {
            PyObject* sample = host::constants.byte_values[rgb[c]];
            Py_INCREF(sample);
            PyTuple_SET_ITEM(result, c, sample);
        }
        return result;
    }
    Ref pixels = Ref::borrow(image->pixels);
    Ref samples[3];
    for (int c = 0; c < 3; ++c) {
        samples[c] = Ref::steal(read_sample(pixels.get(), index, c));
        if (!samples[c]) return nullptr;
    }
    return PyTuple_Pack(3, samples[0].get(), samples[1].get(), samples[2].get());
}

PyObject* image_getPixel(const BoundArgs& bound) {
    const GetPixelNamed named(bound);
    return get_pixel({.image = as_image(named.receiver()), .coords = named.object<GetPixel::coords>()});
}

// Binding checks that coords is exactly a tuple and nothing else.
PyObject* image_getPixel_fast(PyObject* const* args, bool& handled) {
    PyObject* coords = GetPixelNamed::fast<GetPixel::coords>(args);
    if (!PyTuple_CheckExact(coords)) {
        handled = false;
        return nullptr;
    }
    return get_pixel({.image = as_image(args[0]), .coords = coords});
}

// The body of putPixel once coords is known to be exactly a tuple. Inlined into
// both callers: called out of line, its argument struct goes through memory,
// which cost the fast path about 1.5 ns of its 27.
[[gnu::always_inline]] inline PyObject* put_pixel(const PutPixelArgs& args) {
    ImageObject* image = args.image;
    PyObject* value = args.value;
    PixelIndex index;
    if (!locate(image, args.coords, index)) return nullptr;
    // Exact ints convert without running Python code, so the three stores can
    // happen together.
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 3) {
        unsigned char* rgb = pixel_in_place(image->pixels, index);
        long samples[3];
        int c = 0;
        for (; rgb && c < 3; ++c) {
            PyObject* item = PyTuple_GET_ITEM(value, c);
            if (!PyLong_CheckExact(item)) break;
            int overflow = 0;
            samples[c] = PyLong_AsLongAndOverflow(item, &overflow);
            if (overflow) break;
        }
        if (rgb && c == 3) {
            for (c = 0; c < 3; ++c) rgb[c] = static_cast<unsigned char>(static_cast<unsigned long>(samples[c]) & 0xFFu);
            Py_RETURN_NONE;
        }
    }
    PyObject* items[3];
    if (!unpacking::unpack(value, 3, items)) return nullptr;
    Ref samples[3] = {Ref::steal(items[0]), Ref::steal(items[1]), Ref::steal(items[2])};
    for (int c = 0; c < 3; ++c)
        if (!write_sample(image, index, c, samples[c].get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* image_putPixel(const BoundArgs& bound) {
    const PutPixelNamed named(bound);
    return put_pixel({.image = as_image(named.receiver()),
                      .coords = named.object<PutPixel::coords>(),
                      .value = named.object<PutPixel::value>()});
}

PyObject* image_putPixel_fast(PyObject* const* args, bool& handled) {
    PyObject* coords = PutPixelNamed::fast<PutPixel::coords>(args);
    if (!PyTuple_CheckExact(coords)) {
        handled = false;
        return nullptr;
    }
    return put_pixel(
        {.image = as_image(args[0]), .coords = coords, .value = PutPixelNamed::fast<PutPixel::value>(args)});
}

constexpr binding::Annotation kGetPixelAnnotations[] = {
    {"coords", "Tuple[int, int]"},
    {"return", "Tuple[int, int, int]"},
};
constexpr binding::Annotation kPutPixelAnnotations[] = {
    {"coords", "Tuple[int, int]"},
    {"value", "Sequence[int]"},
    {"return", "None"},
};

}  // namespace

const FunctionSpec kGetPixel = {
    .name = "getPixel",
    .qualname = "SimpleImage.getPixel",
    .params = kGetPixelParams,
    .annotations = kGetPixelAnnotations,
    .receiver = binding::Receiver::kInstance,
    .body = image_getPixel,
    .owner = &image_type,
    .fast = image_getPixel_fast,
};

const FunctionSpec kPutPixel = {
    .name = "putPixel",
    .qualname = "SimpleImage.putPixel",
    .params = kPutPixelParams,
    .annotations = kPutPixelAnnotations,
    .receiver = binding::Receiver::kInstance,
    .body = image_putPixel,
    .owner = &image_type,
    .fast = image_putPixel_fast,
};

}  // namespace tavrune::image
