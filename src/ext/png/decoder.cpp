// The PNG decoder: chunks, header validation, inflation, unfiltering, the split
// of colour and alpha.
#include "core/errors.hpp"
#include "png/png.hpp"

namespace tavrune::png {

PyObject* load_png(PyObject*) { return errors::not_implemented("_loadPng"); }

}  // namespace tavrune::png
