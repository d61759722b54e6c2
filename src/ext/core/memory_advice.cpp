#include "core/memory_advice.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tavrune::memory {

void advise_huge_pages(PyObject* plane) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr Py_ssize_t kLarge = Py_ssize_t{4} << 20;
    if (PyByteArray_GET_SIZE(plane) < kLarge) return;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto start = reinterpret_cast<std::uintptr_t>(PyByteArray_AS_STRING(plane));
    const std::uintptr_t begin = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + static_cast<std::uintptr_t>(PyByteArray_GET_SIZE(plane))) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)plane;
#endif
}

}  // namespace tavrune::memory
