// The PNG chunk layer: _readChunk and _makeChunk.
#include "png/chunk.hpp"

#include "binding/named.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/messages.hpp"
#include "core/ref.hpp"
#include "core/stream.hpp"
#include "core/unlocked.hpp"
#include "core/unpacking.hpp"
#include "png/png.hpp"
#include "png/zlib_ng.hpp"

#include <cstdint>
#include <cstring>

namespace tavrune::png {

using binding::BoundArgs;
using binding::Check;
using binding::Param;

namespace {

constexpr std::size_t kUnlockedCrcMinimum = 5 * 1024;

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

// zlib.crc32(type), continued by zlib.crc32(data, crc) & 0xFFFFFFFF. Two bytes
// objects are summed by zlib-ng, with the same result; anything else that read
// returned goes through the host's crc32, so its errors are the host's.
bool type_data_crc32(PyObject* type, PyObject* data, std::uint32_t& out) {
    if (PyBytes_CheckExact(type) && PyBytes_CheckExact(data)) {
        out = chunk_crc32(PyBytes_AS_STRING(type), static_cast<std::size_t>(PyBytes_GET_SIZE(type)),
                          PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        return true;
    }
    if (!host_crc32(type, nullptr, out)) return false;
    Ref start = Ref::steal(PyLong_FromUnsignedLong(out));
    return start && host_crc32(data, start.get(), out);
}

// struct.unpack(">I", field)[0]. Exact bytes of length 4 are decoded here;
// anything else goes through the host's struct so its errors are the host's.
bool unpack_be32(PyObject* field, std::uint32_t& value) {
    if (PyBytes_CheckExact(field) && PyBytes_GET_SIZE(field) == 4) {
        value = load_be32(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(field)));
        return true;
    }
    Ref fields = host::unpack(host::constants.fmt_be_u32, field, 1);
    if (!fields) return false;
    value = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(PyTuple_GET_ITEM(fields.get(), 0)));
    return !PyErr_Occurred();
}


}  // namespace

std::uint32_t chunk_crc32(const char* type, std::size_t type_size, const char* data, std::size_t data_size) {
    const std::uint32_t type_crc = zng::crc32(0, type, type_size);
    // Above 5 KiB the sum runs with the interpreter lock released, as the
    // host's zlib.crc32 does: the data is a bytes object the caller holds,
    // which nothing can change.
    if (data_size <= kUnlockedCrcMinimum) return zng::crc32(type_crc, data, data_size);
    Unlocked lock;
    lock.unlock();
    return zng::crc32(type_crc, data, data_size);
}

int read_chunk(PyObject* stream, Ref& type, Ref& data, std::uint32_t& data_length, std::uint32_t* crc) {
    Ref length_field = stream::read(stream, 4);
    if (!length_field) return -1;
    const Py_ssize_t length_size = PyObject_Size(length_field.get());
    if (length_size < 0) return -1;
    if (length_size == 0) return 0;
    if (length_size != 4) return errors::raise(PyExc_ValueError, msg::kEofLength);
    if (!unpack_be32(length_field.get(), data_length)) return -1;

    type = stream::read(stream, 4);
    if (!type) return -1;
    int ok = unpacking::length_is(type.get(), 4);
    if (ok <= 0) return ok < 0 ? -1 : errors::raise(PyExc_ValueError, msg::kEofType);

    data = stream::read(stream, data_length);
    if (!data) return -1;
    ok = unpacking::length_is(data.get(), data_length);
    if (ok <= 0) return ok < 0 ? -1 : errors::raise(PyExc_ValueError, msg::kEofData);

    Ref crc_field = stream::read(stream, 4);
    if (!crc_field) return -1;
    ok = unpacking::length_is(crc_field.get(), 4);
    if (ok <= 0) return ok < 0 ? -1 : errors::raise(PyExc_ValueError, msg::kEofCrc);

    // The CRC runs over the type and then the data, continued from one call into
    // the next; it is compared only after all four reads.
    std::uint32_t expected_crc;
    if (!type_data_crc32(type.get(), data.get(), expected_crc)) return -1;
    std::uint32_t actual_crc;
    if (!unpack_be32(crc_field.get(), actual_crc)) return -1;
    if (actual_crc != expected_crc) return errors::raise(PyExc_ValueError, msg::kCorruptChunk);
    if (crc != nullptr) *crc = actual_crc;
    return 1;
}

bool check_chunk_length(Py_ssize_t size) {
    if (static_cast<std::uint64_t>(size) <= UINT32_MAX) return true;
    Ref length = Ref::steal(PyLong_FromSsize_t(size));
    if (length) Ref::steal(PyObject_CallFunctionObjArgs(host::objects.struct_pack, host::constants.fmt_be_u32,
                                                        length.get(), nullptr));
    if (!PyErr_Occurred()) errors::raise(host::objects.struct_error, msg::kChunkPayloadTooLarge);
    return false;
}

void frame_chunk(PyObject* type, const char* data, std::size_t size, char* head, char* tail) {
    const auto type_size = static_cast<std::size_t>(PyBytes_GET_SIZE(type));
    store_be32(head, static_cast<std::uint32_t>(size));
    std::memcpy(head + 4, PyBytes_AS_STRING(type), type_size);
    store_be32(tail, chunk_crc32(PyBytes_AS_STRING(type), type_size, data, size));
}

PyObject* make_chunk(PyObject* type, PyObject* payload) {
    const Py_ssize_t type_size = PyBytes_GET_SIZE(type);
    const Py_ssize_t payload_size = PyBytes_GET_SIZE(payload);
    if (!check_chunk_length(payload_size)) return nullptr;
    PyObject* chunk = PyBytes_FromStringAndSize(nullptr, 4 + type_size + payload_size + 4);
    if (!chunk) return nullptr;
    char* head = PyBytes_AS_STRING(chunk);
    char* data = head + 4 + type_size;
    std::memcpy(data, PyBytes_AS_STRING(payload), static_cast<std::size_t>(payload_size));
    frame_chunk(type, data, static_cast<std::size_t>(payload_size), head, data + payload_size);
    return chunk;
}

namespace {

constexpr Param kReadChunkParams[] = {{.name = "stream"}};
enum class ReadChunk { stream };
static_assert(binding::names_match<ReadChunk>(kReadChunkParams, {{ReadChunk::stream, "stream"}}));

constexpr Param kMakeChunkParams[] = {
    {.name = "chunkType", .check = Check::kExactBytes},
    {.name = "data", .check = Check::kExactBytes},
};
enum class MakeChunk { chunkType, data };
static_assert(binding::names_match<MakeChunk>(kMakeChunkParams,
                                              {{MakeChunk::chunkType, "chunkType"}, {MakeChunk::data, "data"}}));

struct ReadChunkArgs {
    PyObject* stream;
};

struct MakeChunkArgs {
    PyObject* chunk_type;  // exactly bytes
    PyObject* data;        // exactly bytes
};

PyObject* read_chunk_tuple(const ReadChunkArgs& args) {
    Ref type, data;
    std::uint32_t data_length;
    const int found = read_chunk(args.stream, type, data, data_length);
    if (found < 0) return nullptr;
    if (found == 0) return Ref::borrow(host::constants.end_marker).release();
    return PyTuple_Pack(2, type.get(), data.get());
}

PyObject* png_readChunk(const BoundArgs& bound) {
    const binding::Named<kReadChunkParams, ReadChunk> named(bound);
    return read_chunk_tuple({.stream = named.object<ReadChunk::stream>()});
}

PyObject* png_makeChunk(const BoundArgs& bound) {
    const binding::Named<kMakeChunkParams, MakeChunk> named(bound);
    const MakeChunkArgs args = {.chunk_type = named.object<MakeChunk::chunkType>(),
                                .data = named.object<MakeChunk::data>()};
    return make_chunk(args.chunk_type, args.data);
}

constexpr binding::Annotation kReadChunkAnnotations[] = {{"return", "Tuple[bytes, bytes]"}};
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
