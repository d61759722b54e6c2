// The new image data cut into the sizes of the kept IDAT chunks: the chunk-
// preserving writer frames the pieces, _split_idat_payload returns them as slices.
#pragma once

#include <Python.h>

#include "core/pymem_array.hpp"

namespace tavrune::png {

// A piece of the image data: offset and size.
struct Piece {
    Py_ssize_t offset;
    Py_ssize_t size;
};

// The pieces in order.
using Pieces = PyMemArray<Piece>;

// Cuts total bytes into pieces of the wanted sizes: each positive entry takes
// that many bytes (or what is left), the last entry takes all that is left,
// entries of 0 or less yield nothing, and a rest after the last entry becomes
// one more piece. Entries are compared with the host's comparisons, so an entry
// that cannot be compared with an int fails with the host's TypeError. An
// entry's own comparisons decide, but the size of a piece comes from its one
// converted value, kept between 0 and what is left: an entry whose comparisons
// and value disagree can make empty pieces, never one outside the data. At
// most one piece per entry and the rest. False with an exception set.
bool cut_pieces(Py_ssize_t total, PyObject* lengths, Pieces& pieces);

}  // namespace tavrune::png
