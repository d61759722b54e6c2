// The plain PNG writer: signature, IHDR, one IDAT, IEND.
#include "core/errors.hpp"
#include "png/png.hpp"

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

PyObject* png_writePng(const BoundArgs&) { return errors::not_implemented("_writePng"); }

constexpr Param kWritePngParams[] = {
    {.name = "path"},
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "alpha", .optional = true},
    {.name = "filter_types", .optional = true},
};
constexpr binding::Annotation kWritePngAnnotations[] = {{"return", "None"}};

}  // namespace

const binding::FunctionSpec kWritePng = {
    .name = "_writePng",
    .qualname = "_writePng",
    .params = kWritePngParams,
    .annotations = kWritePngAnnotations,
    .receiver = binding::Receiver::kNone,
    .body = png_writePng,
};

}  // namespace tavrune::png
