// The PNG chunk layer: _readChunk and _makeChunk.
#include "core/errors.hpp"
#include "png/png.hpp"

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

PyObject* png_readChunk(const BoundArgs&) { return errors::not_implemented("_readChunk"); }
PyObject* png_makeChunk(const BoundArgs&) { return errors::not_implemented("_makeChunk"); }

constexpr Param kReadChunkParams[] = {{.name = "stream"}};
constexpr binding::Annotation kReadChunkAnnotations[] = {{"return", "Tuple[bytes, bytes]"}};
constexpr Param kMakeChunkParams[] = {
    {.name = "chunkType", .check = Check::kExactBytes},
    {.name = "data", .check = Check::kExactBytes},
};
constexpr binding::Annotation kMakeChunkAnnotations[] = {
    {"chunkType", "bytes"},
    {"data", "bytes"},
    {"return", "bytes"},
};

}  // namespace

const binding::FunctionSpec kReadChunk = {
    .name = "_readChunk",
    .qualname = "_readChunk",
    .params = kReadChunkParams,
    .annotations = kReadChunkAnnotations,
    .receiver = binding::Receiver::kNone,
    .body = png_readChunk,
};

const binding::FunctionSpec kMakeChunk = {
    .name = "_makeChunk",
    .qualname = "_makeChunk",
    .params = kMakeChunkParams,
    .annotations = kMakeChunkAnnotations,
    .receiver = binding::Receiver::kNone,
    .body = png_makeChunk,
};

}  // namespace tavrune::png
