// The chunk-preserving PNG writer and the cutting of the new image data into the
// kept IDAT sizes.
#include "core/errors.hpp"
#include "png/png.hpp"

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

PyObject* png_split_idat_payload(const BoundArgs&) { return errors::not_implemented("_split_idat_payload"); }
PyObject* png_writePngWithChunks(const BoundArgs&) { return errors::not_implemented("_writePngWithChunks"); }

constexpr Param kSplitParams[] = {
    {.name = "data", .check = Check::kExactBytesOrNone},
    {.name = "lengths", .check = Check::kExactListOrNone},
};
constexpr Param kWithChunksParams[] = {
    {.name = "path"},
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "alpha"},
    {.name = "chunks"},
    {.name = "filter_types", .optional = true},
};

}  // namespace

const binding::FunctionSpec kSplitIdatPayload = {
    .name = "_split_idat_payload",
    .qualname = "_split_idat_payload",
    .params = kSplitParams,
    .annotations = {},
    .receiver = binding::Receiver::kNone,
    .body = png_split_idat_payload,
};

const binding::FunctionSpec kWritePngWithChunks = {
    .name = "_writePngWithChunks",
    .qualname = "_writePngWithChunks",
    .params = kWithChunksParams,
    .annotations = {},
    .receiver = binding::Receiver::kNone,
    .body = png_writePngWithChunks,
};

}  // namespace tavrune::png
