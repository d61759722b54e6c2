// Bound arguments read by name. A callable lists its parameters in an enum, in
// the order of its Param table, and proves the two agree at compile time:
//
//   enum class WriteBmp { path, width, height, pixels, meta };
//   static_assert(binding::names_match<WriteBmp>(kWriteBmpParams,
//       {{WriteBmp::path, "path"}, {WriteBmp::width, "width"}, ...}));
//
// Its body then reads Named<kWriteBmpParams, WriteBmp>(bound).int32<WriteBmp::width>(),
// which fails to compile for a parameter that is not converted to an int32.
#pragma once

#include "binding/function.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>

namespace tavrune::binding {

template <typename Index>
struct NamedIndex {
    Index index;
    const char* name;
};

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// True when names gives every parameter of table exactly once, each enumerator
// at the position of the parameter it is named after: a reordered table or enum
// makes the static_assert that calls this fail.
template <typename Index, std::size_t N>
constexpr bool names_match(const Param (&table)[N], std::initializer_list<NamedIndex<Index>> names) {
    if (names.size() != N || N > static_cast<std::size_t>(kMaxParams)) return false;
    for (const NamedIndex<Index>& named : names) {
        const auto position = static_cast<std::size_t>(named.index);
        if (position >= N || !same_text(table[position].name, named.name)) return false;
    }
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = i + 1; j < N; ++j)
            if (same_text(table[i].name, table[j].name)) return false;
    return true;
}

// Typed, named access to what binding filled for the callable whose Param table
// is kTable. Borrowed references, valid for the call (see BoundArgs).
template <const auto& kTable, typename Index>
class Named {
public:
    explicit Named(const BoundArgs& bound) : bound_(bound) {}

    PyObject* receiver() const { return bound_.receiver; }

    // Any parameter: the object given, or None for an omitted optional one.
    template <Index i>
    PyObject* object() const {
        static_assert(position(i) < std::size(kTable), "no such parameter");
        return bound_.args[position(i)];
    }

    // A parameter declared Check::kInt32: its converted value.
    template <Index i>
    std::int32_t int32() const {
        static_assert(position(i) < std::size(kTable), "no such parameter");
        static_assert(kTable[position(i)].check == Check::kInt32, "parameter is not converted to an int32");
        return bound_.ints[position(i)];
    }

    // The same parameter in a FastBody's array: the receiver, then every
    // parameter by position.
    template <Index i>
    static PyObject* fast(PyObject* const* args) {
        static_assert(position(i) < std::size(kTable), "no such parameter");
        return args[1 + position(i)];
    }

private:
    static constexpr std::size_t position(Index i) { return static_cast<std::size_t>(i); }
    const BoundArgs& bound_;
};

}  // namespace tavrune::binding
