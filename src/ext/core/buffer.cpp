#include "core/buffer.hpp"

#include "core/errors.hpp"
#include "core/messages.hpp"

namespace tavrune {

namespace {

// The struct-module item format of one unsigned byte, with or without a
// byte-order prefix; no format at all means unsigned bytes.
bool is_unsigned_byte(const char* format) {
    if (format == nullptr) return true;
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') ++format;
    return format[0] == 'B' && format[1] == '\0';
}

}  // namespace

bool ByteView::acquire_writable_bytes(PyObject* obj) {
    if (!get(obj, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_ND)) return false;
    if (view_.ndim != 1) return errors::raise_format(PyExc_ValueError, msg::kByteBufferDimensions, view_.ndim);
    if (view_.itemsize != 1 || !is_unsigned_byte(view_.format))
        return errors::raise_format(PyExc_ValueError, msg::kByteBufferFormat, view_.format ? view_.format : "B");
    return true;
}

}  // namespace tavrune
