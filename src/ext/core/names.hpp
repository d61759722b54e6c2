// The module's own names that one place binds and another looks up by name (at
// call time, in the module's namespace or on the class), spelled once.
#pragma once

namespace tavrune::names {

inline constexpr char kIo[] = "io";
inline constexpr char kBytesIO[] = "BytesIO";
inline constexpr char kPath[] = "Path";
inline constexpr char kPngSignature[] = "PNG_SIGNATURE";
inline constexpr char kStreamToImage[] = "_streamToImage";
inline constexpr char kWritePng[] = "_writePng";
inline constexpr char kWritePngWithChunks[] = "_writePngWithChunks";
inline constexpr char kWriteBmp[] = "_writeBmp";

}  // namespace tavrune::names
