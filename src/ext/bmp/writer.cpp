// The BMP writer: bottom-up 24-bit rows with the kept resolution fields.
#include "bmp/bmp.hpp"
#include "core/errors.hpp"

namespace tavrune::bmp {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

PyObject* bmp_writeBmp(const BoundArgs&) { return errors::not_implemented("_writeBmp"); }

constexpr Param kWriteBmpParams[] = {
    {.name = "path"},
    {.name = "width", .check = Check::kInt32},
    {.name = "height", .check = Check::kInt32},
    {.name = "pixels"},
    {.name = "meta", .optional = true},
};
constexpr binding::Annotation kWriteBmpAnnotations[] = {{"return", "None"}};

}  // namespace

const binding::FunctionSpec kWriteBmp = {
    .name = "_writeBmp",
    .qualname = "_writeBmp",
    .params = kWriteBmpParams,
    .annotations = kWriteBmpAnnotations,
    .receiver = binding::Receiver::kNone,
    .body = bmp_writeBmp,
};

}  // namespace tavrune::bmp
