// The chunks of a PNG file that lies whole in a bytes object, walked in place.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/ref.hpp"
#include "png/image_data.hpp"

namespace tavrune::png {

// The file's bytes walked as io.BytesIO(file).read would walk them: the same
// pieces, the same errors at the same points, the same CRC test. file is
// exactly bytes, held by the caller, so nothing under the walk changes.
class MemoryChunks {
public:
    // The walk starts where a read of 8 bytes left the stream: after the
    // signature, or at the end of a shorter file.
    explicit MemoryChunks(PyObject* file);

    // As read_chunk, from the position after the signature on; an IDAT chunk's
    // data is not copied: data stays empty and span says where it lies.
    int next(Ref& type, Ref& data, std::uint32_t& data_length, bool& idat, PayloadSpan& span);

private:
    int eof(std::size_t size, const char* text);

    PyObject* file_;
    std::size_t pos_;
};

}  // namespace tavrune::png
