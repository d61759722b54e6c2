// The interpreter lock released for a stretch of work on memory that no Python
// code can reach, as the host's zlib and hashlib do around their own work.
#pragma once

#include <Python.h>

#include <utility>

namespace tavrune {

// Releases the lock on unlock() and takes it back on relock() or when it goes
// out of scope. Between the two nothing may touch a Python object, call into
// the host, raise, or allocate from any domain but the raw one.
class Unlocked {
public:
    Unlocked() = default;
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { relock(); }

    void unlock() {
        if (state_ == nullptr) state_ = PyEval_SaveThread();
    }
    void relock() {
        if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
    }
    bool unlocked() const { return state_ != nullptr; }

private:
    PyThreadState* state_ = nullptr;
};

}  // namespace tavrune
