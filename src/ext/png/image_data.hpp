// The PNG decoder's image data: inflation of the IDAT payloads and
// reconstruction of every row into the image's planes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/ref.hpp"

namespace tavrune::png {

// An image whose sizes a validated header has proven to fit in 32 signed bits.
struct ImageLayout {
    std::size_t width;
    std::size_t height;
    unsigned bytes_per_pixel;  // 3 or 4
    std::size_t row_bytes;     // width * bytes_per_pixel: one unfiltered scanline
    std::int64_t expected;     // the inflated data: height * (1 + row_bytes)
};

// The decoded planes: a bytearray of width*height*3 colour bytes, a bytearray
// of width*height alpha bytes or None, and a bytearray of height filter types.
struct Planes {
    Ref rgb;
    Ref alpha;
    Ref filters;
};

// Inflates idat_payloads (a list of the IDAT payloads in file order) as one zlib
// stream of exactly layout.expected bytes and reconstructs every row into new
// planes. Raises what the image data calls for, in this order: the host zlib's
// own error for data that is not a complete zlib stream, "Malformed PNG image
// data" for a size other than expected, then the error for the first unknown
// filter type. Bytes after the end of the zlib stream are ignored; inflation
// never produces more than expected + 1 bytes, and the planes are allocated only
// once a whole scanline has been inflated. False with an exception set.
bool decode_image_data(PyObject* idat_payloads, const ImageLayout& layout, Planes& planes);

// Whether the streamed path may take payloads of compressed bytes in all:
// enough to inflate to expected bytes at all. A header claiming far more than
// the data can hold is left to the exact path, which inflates at most what the
// data holds and refuses it, instead of reserving the claimed image as rows
// start arriving.
bool streamable(std::int64_t compressed, std::int64_t expected);

// Where one IDAT payload lies in the file's bytes.
struct PayloadSpan {
    std::size_t offset;
    std::size_t size;
};

// decode_image_data for payloads that lie in memory, a bytes object the caller
// holds (the whole file), at spans[0, count): the same results and errors,
// without a copy of the payloads unless the exact path has to judge them.
bool decode_image_data_in(PyObject* memory, const PayloadSpan* spans, std::size_t count, const ImageLayout& layout,
                          Planes& planes);

}  // namespace tavrune::png
