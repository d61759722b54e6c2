// The PNG chunk layer: _readChunk and _makeChunk.
#include "png/chunk.hpp"

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/ref.hpp"
#include "png/png.hpp"

#include <cstdint>
#include <cstring>

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

void store_be32(char* out, std::uint32_t value) {
    out[0] = static_cast<char>(value >> 24);
    out[1] = static_cast<char>(value >> 16);
    out[2] = static_cast<char>(value >> 8);
    out[3] = static_cast<char>(value);
}

// zlib.crc32(data, start) through the host module; false with an exception set.
bool host_crc32(PyObject* data, PyObject* start, std::uint32_t& out) {
    Ref crc = Ref::steal(start ? PyObject_CallFunctionObjArgs(host::objects.zlib_crc32, data, start, nullptr)
                               : PyObject_CallOneArg(host::objects.zlib_crc32, data));
    if (!crc) return false;
    out = static_cast<std::uint32_t>(PyLong_AsUnsignedLongMask(crc.get()));
    return !PyErr_Occurred();
}

}  // namespace

PyObject* make_chunk(PyObject* type, PyObject* payload) {
    const Py_ssize_t type_size = PyBytes_GET_SIZE(type);
    const Py_ssize_t payload_size = PyBytes_GET_SIZE(payload);
    if (static_cast<std::uint64_t>(payload_size) > UINT32_MAX) {
        // The length field cannot hold it: let the host's struct report it.
        Ref size = Ref::steal(PyLong_FromSsize_t(payload_size));
        if (size) Ref::steal(PyObject_CallFunctionObjArgs(host::objects.struct_pack, host::constants.fmt_be_u32,
                                                          size.get(), nullptr));
        if (!PyErr_Occurred()) PyErr_SetString(host::objects.struct_error, "chunk payload too large");
        return nullptr;
    }
    std::uint32_t crc;
    if (!host_crc32(type, nullptr, crc)) return nullptr;
    Ref start = Ref::steal(PyLong_FromUnsignedLong(crc));
    if (!start || !host_crc32(payload, start.get(), crc)) return nullptr;
    PyObject* chunk = PyBytes_FromStringAndSize(nullptr, 4 + type_size + payload_size + 4);
    if (!chunk) return nullptr;
    char* out = PyBytes_AS_STRING(chunk);
    store_be32(out, static_cast<std::uint32_t>(payload_size));
    std::memcpy(out + 4, PyBytes_AS_STRING(type), static_cast<std::size_t>(type_size));
    std::memcpy(out + 4 + type_size, PyBytes_AS_STRING(payload), static_cast<std::size_t>(payload_size));
    store_be32(out + 4 + type_size + payload_size, crc);
    return chunk;
}

namespace {

PyObject* png_readChunk(const BoundArgs&) { return errors::not_implemented("_readChunk"); }
PyObject* png_makeChunk(const BoundArgs& bound) { return make_chunk(bound.args[0], bound.args[1]); }

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
