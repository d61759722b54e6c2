// zlib-ng's native (zng_) API behind png/zlib_ng.hpp.
#include "png/zlib_ng.hpp"

#include <Python.h>

#include <zlib-ng.h>

namespace tavrune::png::zng {

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size) {
    return zng_crc32_z(crc, static_cast<const std::uint8_t*>(data), size);
}

namespace {

// zlib-ng's allocator hooks on the interpreter's raw allocator, so the
// inflater's memory shows where the rest of a decode's does (tracemalloc,
// sanitizer runs) and the inflater may allocate its window while the
// interpreter lock is released: the raw domain needs no lock.
void* allocate(void*, unsigned int items, unsigned int size) {
    std::size_t bytes;
    if (__builtin_mul_overflow(std::size_t{items}, std::size_t{size}, &bytes)) return nullptr;
    return PyMem_RawMalloc(bytes);
}

void release(void*, void* address) { PyMem_RawFree(address); }

}  // namespace

struct Inflater::State {
    zng_stream stream;
};

Inflater::~Inflater() {
    if (state_ == nullptr) return;
    zng_inflateEnd(&state_->stream);
    PyMem_RawFree(state_);
}

bool Inflater::start() {
    state_ = static_cast<State*>(PyMem_RawCalloc(1, sizeof(State)));
    if (state_ == nullptr) return false;
    state_->stream.zalloc = allocate;
    state_->stream.zfree = release;
    if (zng_inflateInit(&state_->stream) == Z_OK) return true;
    PyMem_RawFree(state_);
    state_ = nullptr;
    return false;
}

void Inflater::input(const std::uint8_t* data, std::uint32_t size) {
    state_->stream.next_in = data;
    state_->stream.avail_in = size;
}

std::uint32_t Inflater::input_left() const { return state_->stream.avail_in; }

Inflater::Status Inflater::inflate(std::uint8_t* out, std::uint32_t capacity, std::uint32_t& produced) {
    zng_stream& stream = state_->stream;
    stream.next_out = out;
    stream.avail_out = capacity;
    const int result = zng_inflate(&stream, Z_NO_FLUSH);
    produced = capacity - stream.avail_out;
    switch (result) {
        case Z_STREAM_END: return Status::kEnded;
        case Z_OK:
        case Z_BUF_ERROR: return Status::kMore;  // no progress possible: more input needed
        default: return Status::kFailed;         // invalid data, a preset dictionary, no memory
    }
}

}  // namespace tavrune::png::zng
