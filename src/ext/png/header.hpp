// The IHDR chunk: its fields as the host's struct unpacks them, what the
// decoder supports, and the sizes of the image they describe, each proven in
// checked arithmetic to fit in 32 signed bits before anything is allocated.
#pragma once

#include <Python.h>

#include <cstdint>

#include "png/image_data.hpp"

namespace tavrune::png {

// The IHDR fields; -1 marks a field that no IHDR chunk has set.
struct Header {
    std::int32_t width = -1;
    std::int32_t height = -1;
    std::int32_t bit_depth = -1;
    std::int32_t color_type = -1;
    std::int32_t compression = -1;
    std::int32_t filter_method = -1;
    std::int32_t interlace = -1;

    bool operator==(const Header&) const = default;
};

// Overwrites header with struct.unpack(">IIBBBBB", data) through the host's
// struct, so a payload of other than 13 bytes raises the host's error. A width
// or height of 2^31 or more has no signed 32-bit form: OverflowError.
bool unpack_ihdr(PyObject* data, Header& header);

// The layout of a header once the chunks are read, or the error that refuses
// it: "Incomplete PNG header information", then bit depth, colour type, the
// other three fields, and "Malformed PNG image data" for sizes that leave the
// signed 32-bit range.
bool layout_of(const Header& header, ImageLayout& layout);

// layout_of without raising: false for any header it would refuse.
bool usable(const Header& header, ImageLayout& layout);

}  // namespace tavrune::png
