// The one door to the vendored zlib-ng: a zlib-stream inflater for the fast
// path of the image data, and CRC-32. No other file includes zlib-ng's header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrune::png::zng {

// The CRC-32 of PNG chunks and of zlib's crc32 (the same polynomial, the same
// values), of size bytes at data, continued from crc (0 to start).
std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size);

// Inflates one zlib stream (header, deflate data, Adler-32), fed input in
// pieces. Its memory comes from PyMem_RawMalloc, which needs no interpreter
// lock: inflate() may run with the lock released.
class Inflater {
public:
    enum class Status { kMore, kEnded, kFailed };  // go on; the stream's end; invalid data or no memory

    Inflater() = default;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater();

    // False when there is no memory for the state (nothing set).
    bool start();

    // The next input: size bytes at data, which stay valid and unchanged until
    // input_left() is 0 or the stream has ended.
    void input(const std::uint8_t* data, std::uint32_t size);
    std::uint32_t input_left() const;

    // Inflates into out[0, capacity) (capacity > 0); produced receives the
    // number of bytes written there. kMore with nothing produced means the
    // input is used up before the stream's end.
    Status inflate(std::uint8_t* out, std::uint32_t capacity, std::uint32_t& produced);

private:
    struct State;
    State* state_ = nullptr;
};

}  // namespace tavrune::png::zng
