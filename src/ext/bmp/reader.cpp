// The BMP reader: uncompressed 24-bit rows, bottom-up or top-down.
#include "bmp/bmp.hpp"
#include "core/errors.hpp"

namespace tavrune::bmp {

PyObject* load_bmp(PyObject*) { return errors::not_implemented("_loadBmp"); }

}  // namespace tavrune::bmp
