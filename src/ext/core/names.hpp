// The module's own names that one place binds and another looks up by name (at
// call time, in the module's namespace or on the class), spelled once: here,
// and interned once into host::constants.names.
#pragma once

#include <cstddef>

namespace tavrune::names {

enum class Name : std::size_t {
    kBytesIO, kPath, kPngSignature, kStreamToImage, kWritePng, kWritePngWithChunks, kWriteBmp, kCount
};

struct Entry {
    Name name;
    const char* text;
};

inline constexpr Entry kEntries[] = {
    {Name::kBytesIO, "BytesIO"}, {Name::kPath, "Path"}, {Name::kPngSignature, "PNG_SIGNATURE"},
    {Name::kStreamToImage, "_streamToImage"}, {Name::kWritePng, "_writePng"},
    {Name::kWritePngWithChunks, "_writePngWithChunks"}, {Name::kWriteBmp, "_writeBmp"},
};

consteval bool in_order() {
    std::size_t i = 0;
    for (const Entry& entry : kEntries)
        if (entry.name != static_cast<Name>(i++)) return false;
    return i == static_cast<std::size_t>(Name::kCount);
}
static_assert(in_order(), "one entry per name, in the enum's order");

constexpr const char* text(Name name) { return kEntries[static_cast<std::size_t>(name)].text; }

}  // namespace tavrune::names
