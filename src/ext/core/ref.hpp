// Owning reference to a Python object: every error path releases what it took.
#pragma once

#include <Python.h>

#include <utility>

namespace tavrune {

class Ref {
public:
    Ref() = default;
    // p: a new reference, or null (an exception is then set).
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;  // a second owner must be explicit: Ref::borrow(r.get())
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    void reset(PyObject* p = nullptr) {
        PyObject* old = std::exchange(p_, p);  // store first: a decref can run Python code
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Replaces an object field of a Python object; the old value is released last.
inline void set_field(PyObject*& field, PyObject* new_reference) {
    PyObject* old = std::exchange(field, new_reference);
    Py_XDECREF(old);
}

}  // namespace tavrune
