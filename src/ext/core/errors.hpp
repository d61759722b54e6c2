// The one way the module raises: `return errors::raise(type, text);` from a
// function of any of the failure conventions the CPython API uses.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <type_traits>

namespace tavrune::errors {

// What a raise returns: it converts to the failure value of the function that
// returns it, null for a pointer, false for bool, -1 for a signed integer, an
// empty owner (a Ref) for a class.
struct Failure {
    template <class T>
    constexpr operator T*() const {
        return nullptr;
    }
    constexpr operator bool() const { return false; }
    template <std::signed_integral T>
    constexpr operator T() const {
        return -1;
    }
    template <class T>
        requires std::is_class_v<T> && std::default_initializable<T>
    constexpr operator T() const {
        return T{};
    }
};

// Sets type with text (or with a PyErr_Format format and its arguments).
Failure raise(PyObject* type, const char* text);
Failure raise_format(PyObject* type, const char* format, ...);

// A MemoryError, as PyErr_NoMemory sets it.
Failure raise_no_memory();

// Raises the host's own error for a byte array of count * multiplier bytes, a
// negative size, as bytearray(size) raises it. The product is formed with the
// host's integers, so it cannot overflow.
Failure raise_negative_size(std::int64_t count, long multiplier = 1);

}  // namespace tavrune::errors
