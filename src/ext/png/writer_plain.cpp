// The plain PNG writer: signature, IHDR, one IDAT holding all the image data, IEND.
#include "binding/named.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"
#include "png/png.hpp"
#include "png/writer_common.hpp"

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

constexpr Param kWritePngParams[] = {
    {.name = "path"},
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "alpha", .optional = true},
    {.name = "filter_types", .optional = true},
};
enum class WritePng { path, width, height, pixels, alpha, filter_types };
static_assert(binding::names_match<WritePng>(kWritePngParams,
                                             {{WritePng::path, "path"},
                                              {WritePng::width, "width"},
                                              {WritePng::height, "height"},
                                              {WritePng::pixels, "pixels"},
                                              {WritePng::alpha, "alpha"},
                                              {WritePng::filter_types, "filter_types"}}));

struct WritePngArgs {
    PyObject* path;
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;
    PyObject* alpha;  // or None
    PyObject* filter_types;  // or None
};

constexpr int kBitDepth = 8;
constexpr int kColorTypeRgb = 2;
constexpr int kColorTypeRgba = 6;

// The 13-byte IHDR payload packed by the host's struct.pack(">IIBBBBB", ...), so
// a negative width or height fails with the host's own struct.error.
PyObject* pack_header(std::int32_t width, std::int32_t height, bool has_alpha) {
    Ref header = Ref::steal(PyObject_CallFunction(host::objects.struct_pack, "Oiiiiiii", host::constants.fmt_ihdr, width,
                                                  height, kBitDepth, has_alpha ? kColorTypeRgba : kColorTypeRgb, 0, 0, 0));
    return host::expect_bytes(header.get(), msg::kStructPack) ? header.release() : nullptr;
}

PyObject* write_png(const WritePngArgs& args) {
    if (!check_lengths(args.width, args.height, args.pixels, args.alpha)) return nullptr;
    Ref header = Ref::steal(pack_header(args.width, args.height, args.alpha != Py_None));
    if (!header) return nullptr;
    Ref compressed =
        Ref::steal(compress_image_data(args.width, args.height, args.pixels, args.alpha, args.filter_types));
    if (!compressed) return nullptr;

    Ref pieces = Ref::steal(start_file());
    if (!pieces || !append_chunk(pieces.get(), host::constants.ihdr, header.get()) ||
        !append_chunk_of(pieces.get(), host::constants.idat, compressed.get(), 0,
                         PyBytes_GET_SIZE(compressed.get())) ||
        !append_chunk(pieces.get(), host::constants.iend, host::constants.empty_bytes))
        return nullptr;
    if (!write_file(args.path, pieces.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* png_writePng(const BoundArgs& bound) {
    const binding::Named<kWritePngParams, WritePng> named(bound);
    return write_png({
        .path = named.object<WritePng::path>(),
        .width = named.int32<WritePng::width>(),
        .height = named.int32<WritePng::height>(),
        .pixels = named.object<WritePng::pixels>(),
        .alpha = named.object<WritePng::alpha>(),
        .filter_types = named.object<WritePng::filter_types>(),
    });
}

constexpr binding::Annotation kWritePngAnnotations[] = {{"return", "None"}};

}  // namespace

const binding::FunctionSpec kWritePng = {
    .name = names::text(names::Name::kWritePng),
    .qualname = names::text(names::Name::kWritePng),
    .params = kWritePngParams,
    .annotations = kWritePngAnnotations,
    .receiver = binding::Receiver::kNone,
    .body = png_writePng,
};

}  // namespace tavrune::png
