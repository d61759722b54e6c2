// The one owner of memory from PyMem_Malloc: an array of plain items that
// grows by doubling, freed when the owner goes. C++ allocation, which could
// throw, is never used in code that Python calls.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace tavrune {

template <class T>
    requires std::is_trivially_copyable_v<T>
class PyMemArray {
public:
    PyMemArray() = default;
    PyMemArray(const PyMemArray&) = delete;
    PyMemArray& operator=(const PyMemArray&) = delete;
    ~PyMemArray() { PyMem_Free(items_); }

    // Room for capacity items (at least one), uninitialised, in place of any
    // held before; size() is 0. False with MemoryError set.
    bool allocate(std::size_t capacity) {
        PyMem_Free(items_);
        items_ = nullptr;
        count_ = capacity_ = 0;
        return grow(capacity < 1 ? 1 : capacity);
    }

    // Appends item, growing as needed. False with MemoryError set.
    bool push(const T& item) {
        if (count_ == capacity_ && !grow(capacity_ ? capacity_ * 2 : 16)) return false;
        items_[count_++] = item;
        return true;
    }

    // Frees the memory now.
    void reset() {
        PyMem_Free(items_);
        items_ = nullptr;
        count_ = capacity_ = 0;
    }

    T* get() const { return items_; }
    explicit operator bool() const { return items_ != nullptr; }
    std::size_t size() const { return count_; }
    T* begin() const { return items_; }
    T* end() const { return items_ + count_; }

private:
    bool grow(std::size_t capacity) {
        if (capacity > PY_SSIZE_T_MAX / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        auto* items = static_cast<T*>(PyMem_Realloc(items_, capacity * sizeof(T)));
        if (!items) {
            PyErr_NoMemory();
            return false;
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tavrune
