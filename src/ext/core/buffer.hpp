// A buffer export held for as long as the owner lives. While it is held a
// bytearray cannot be resized, so pointers into it stay valid whatever Python
// code runs meanwhile; sizes are checked on the view itself, which is what is read.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tavrune {

class ByteView {
public:
    ByteView() = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Any contiguous buffer. False with the host's buffer error set.
    bool acquire(PyObject* obj) { return get(obj, PyBUF_SIMPLE); }

    // A writable, one-dimensional, C-contiguous buffer of unsigned bytes. False
    // with the host's error when obj has no such buffer (not writable, none at
    // all, not contiguous), or ValueError for another shape or item format.
    bool acquire_writable_bytes(PyObject* obj);

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    bool get(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }

    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tavrune
