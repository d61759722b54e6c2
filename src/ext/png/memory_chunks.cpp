#include "png/memory_chunks.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"
#include "png/chunk.hpp"

#include <algorithm>
#include <cstring>

namespace tavrune::png {

MemoryChunks::MemoryChunks(PyObject* file)
    : file_(file), pos_(std::min<std::size_t>(8, static_cast<std::size_t>(PyBytes_GET_SIZE(file)))) {}

int MemoryChunks::next(Ref& type, Ref& data, std::uint32_t& data_length, bool& idat, PayloadSpan& span) {
    const auto* base = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(file_));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(file_));
    if (pos_ == size) return 0;
    if (size - pos_ < 4) return eof(size, msg::kEofLength);
    data_length = load_be32(base + pos_);
    pos_ += 4;
    const std::size_t type_at = pos_;
    const std::size_t type_size = std::min<std::size_t>(4, size - pos_);
    type = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(base + pos_),
                                                static_cast<Py_ssize_t>(type_size)));
    if (!type) return -1;
    pos_ += type_size;
    if (type_size < 4) return eof(size, msg::kEofType);
    if (size - pos_ < data_length) return eof(size, msg::kEofData);
    const std::size_t data_at = pos_;
    idat = std::memcmp(base + type_at, "IDAT", 4) == 0;
    if (idat) {
        span = {data_at, data_length};
    } else {
        data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(base + data_at),
                                                    static_cast<Py_ssize_t>(data_length)));
        if (!data) return -1;
    }
    pos_ += data_length;
    if (size - pos_ < 4) return eof(size, msg::kEofCrc);
    const std::uint32_t actual_crc = load_be32(base + pos_);
    pos_ += 4;
    const std::uint32_t expected_crc = chunk_crc32(reinterpret_cast<const char*>(base + type_at), 4,
                                                   reinterpret_cast<const char*>(base + data_at), data_length);
    if (actual_crc == expected_crc) return 1;
    return errors::raise(PyExc_ValueError, msg::kCorruptChunk);
}

int MemoryChunks::eof(std::size_t size, const char* text) {
    pos_ = size;
    return errors::raise(PyExc_ValueError, text);
}

}  // namespace tavrune::png
