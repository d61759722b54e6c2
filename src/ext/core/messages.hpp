// Every message text the module raises or prints, in one place.
#pragma once

namespace tavrune::msg {

// Loading
inline constexpr char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr char kReinitialisation[] =
    "Module 'simpleImage_ext' has already been imported. Re-initialisation is not supported.";

// Results of the host's struct and zlib functions
inline constexpr char kHostResultType[] = "%s returned %.200s, expected %s";
inline constexpr char kHostResultSize[] = "%s returned a tuple of %zd items, expected %zd";
inline constexpr char kStructPack[] = "struct.pack";  // the host functions those two name
inline constexpr char kStructUnpack[] = "struct.unpack";
inline constexpr char kZlibDecompress[] = "zlib.decompress";
inline constexpr char kZlibDecompressobjDecompress[] = "zlib.decompressobj().decompress";
inline constexpr char kZlibCompressobjCompress[] = "zlib.compressobj().compress";
inline constexpr char kZlibCompressobjFlush[] = "zlib.compressobj().flush";

// The module body's imports
inline constexpr char kCannotImportName[] = "cannot import name '%s' from '%s'";
inline constexpr char kBuiltinsMissing[] = "builtins 'open' and 'print' are missing";
inline constexpr char kNameNotDefined[] = "name '%U' is not defined";

// Representations
inline constexpr char kFunctionRepr[] = "<function %U at %p>";

// Argument binding and conversion
inline constexpr char kArgCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kArgCountExactly[] = "exactly";  // the words kArgCount's %.8s takes
inline constexpr char kArgCountAtLeast[] = "at least";
inline constexpr char kArgCountAtMost[] = "at most";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char kKeywordsMustBeStrings[] = "%s() keywords must be strings";
inline constexpr char kUnboundMethod[] = "unbound method %U() needs an argument";
inline constexpr char kDescriptorSelf[] = "descriptor '%U' requires a '%.200s' object but received a '%.200s'";
inline constexpr char kIntRequired[] = "an integer is required";
inline constexpr char kIntNonInt[] = "__int__ returned non-int (type %.200s)";
inline constexpr char kIntTooLarge[] = "value too large to convert to int";
inline constexpr char kArgType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kArgTypeSubclass[] =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
    "Note that subclasses of built-in types are rejected: pass an instance of the exact type.";
inline constexpr char kExpectedType[] = "Expected %s, got %.200s";
inline constexpr char kDictChangedSize[] = "dictionary changed size during iteration";

// Unpacking
inline constexpr char kTooManyValues[] = "too many values to unpack (expected %zd)";
inline constexpr char kNeedMoreValues[] = "need more than %zd value%.1s to unpack";

// Image object
inline constexpr char kPixelLength[] = "Pixel data length does not match image dimensions";
inline constexpr char kAlphaLength[] = "Alpha channel length does not match image dimensions";
inline constexpr char kFilterCount[] = "PNG filter count does not match image height";
inline constexpr char kDelete[] = "__del__";
inline constexpr char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr char kOutOfBounds[] = "Pixel coordinate out of bounds";

// Opening
inline constexpr char kSourceType[] = "source must be a file path or raw bytes";
inline constexpr char kUnsupportedFormat[] = "Unsupported image format";
inline constexpr char kOpened[] = "[SimpleImage] Opened image: %Sx%S, channels=%S";
inline constexpr char kCannotConvert[] = "Cannot convert %.200s to %.200s";

// PNG chunks
inline constexpr char kEofLength[] = "Unexpected EOF while reading chunk length";
inline constexpr char kEofType[] = "Unexpected EOF while reading chunk type";
inline constexpr char kEofData[] = "Unexpected EOF while reading chunk data";
inline constexpr char kEofCrc[] = "Unexpected EOF while reading chunk CRC";
inline constexpr char kCorruptChunk[] = "Corrupted PNG chunk detected";
inline constexpr char kChunkPayloadTooLarge[] = "chunk payload too large";

// PNG decoding and filtering
inline constexpr char kPngSignature[] = "Unsupported PNG signature";
inline constexpr char kPngIncomplete[] = "Incomplete PNG header information";
inline constexpr char kPngBitDepth[] = "Only 8-bit PNG images are supported";
inline constexpr char kPngColorType[] = "Only RGB/RGBA PNG images are supported";
inline constexpr char kPngConfig[] = "Unsupported PNG configuration (compression/filter/interlace)";
inline constexpr char kPngMalformed[] = "Malformed PNG image data";
inline constexpr char kPngFilter[] = "Unsupported PNG filter: %d";
inline constexpr char kByteBufferDimensions[] = "Expected a one-dimensional buffer of unsigned bytes, got %d dimensions";
inline constexpr char kByteBufferFormat[] = "Expected a buffer of unsigned bytes, got item format '%.200s'";

// BMP
inline constexpr char kBmpHeader[] = "Unsupported BMP header";
inline constexpr char kBmpDibHeader[] = "Corrupted BMP DIB header";
inline constexpr char kBmpInfoHeader[] = "Only BITMAPINFOHEADER BMP files are supported";
inline constexpr char kBmpFormat[] = "Only uncompressed 24-bit BMP files are supported";
inline constexpr char kBmpIncomplete[] = "Incomplete BMP pixel data";
inline constexpr char kNoneHasNoLen[] = "object of type 'NoneType' has no len()";

}  // namespace tavrune::msg
