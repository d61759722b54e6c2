"""What check makes of one file: verified, unsupported (refused by design),
damaged (the file contradicts itself) or failed (unreadable, or its re-save
lost something), with where a damaged file breaks and what a save of a
verified file drops or rewrites.

The module's message alone does not always tell design from damage: "Only
8-bit PNG images are supported" is a refusal for a 16-bit file and damage for
a bit depth of 3. Such messages are settled by the file's own header, read by
the independent layout reader."""

import struct
import zlib

from Tavrune._inspect import COMPRESSIONS, HEADER_NAMES, _header_problem, _inspect_bmp

VERIFIED, UNSUPPORTED, DAMAGED, FAILED = "verified", "unsupported", "damaged", "failed"

# The pixel buffer of an image must stay under 2^31 bytes.
PIXEL_LIMIT = 2 ** 31

# Messages that are always one thing, whatever the header says.
_DAMAGE = {
    "Unexpected EOF while reading chunk length", "Unexpected EOF while reading chunk type",
    "Unexpected EOF while reading chunk data", "Unexpected EOF while reading chunk CRC",
    "Corrupted PNG chunk detected", "Incomplete PNG header information", "Malformed PNG image data",
    "Incomplete BMP pixel data", "Corrupted BMP DIB header", "negative count",
    # Said only of a file that starts with "BM" and ends inside the 14-byte file header.
    "Unsupported BMP header",
}
_UNSUPPORTED = {"Unsupported image format"}

# BMP: the bit counts the format knows (the header sizes and compression
# methods are the layout reader's).
_BMP_BIT_COUNTS = (0, 1, 2, 4, 8, 16, 24, 32, 64)


def _png_valid_header(header):
    """Whether a PNG header holds values the format allows (its kind may still
    be one the module refuses)."""
    return header is not None and _header_problem(header) is None


def _beyond_pixel_limit(width, height, channels=3):
    return abs(width) * abs(height) * channels >= PIXEL_LIMIT


def _png(message, layout):
    header = getattr(layout, "header", None)
    valid = _png_valid_header(header)
    if message == "Malformed PNG image data" and valid and header.bit_depth == 8 \
            and header.colour_type in (2, 6) and _beyond_pixel_limit(header.width, header.height, 3):
        return UNSUPPORTED, "image beyond the 2^31-byte pixel limit"
    if message in ("Only 8-bit PNG images are supported", "Only RGB/RGBA PNG images are supported") \
            or message.startswith("Unsupported PNG configuration"):
        return (UNSUPPORTED if valid else DAMAGED), None
    return None


def _bmp(message, layout):
    fields = {name: getattr(layout, name, None) for name in ("header_size", "bit_count", "compression")}
    if message == "Only BITMAPINFOHEADER BMP files are supported":
        return (UNSUPPORTED if fields["header_size"] in HEADER_NAMES else DAMAGED), None
    if message == "Only uncompressed 24-bit BMP files are supported":
        known = (fields["bit_count"] in _BMP_BIT_COUNTS and fields["compression"] in COMPRESSIONS
                 and getattr(layout, "fields", {}).get("planes", 1) == 1)
        return (UNSUPPORTED if known else DAMAGED), None
    if message == "value too large to convert to int" and getattr(layout, "width", None) is not None:
        if _beyond_pixel_limit(layout.width, layout.height):
            return UNSUPPORTED, "image beyond the 2^31-byte pixel limit"
    return None


def classify(error, layout):
    """(result, text or None) for the error opening a file raised; layout is the
    file's layout as the independent reader found it. text, when given, replaces
    the module's message as the reason."""
    if isinstance(error, MemoryError):
        return FAILED, None
    message = str(error)
    format_ = getattr(layout, "format", None)
    # The header first: "Malformed PNG image data" is damage, except for a
    # sound header whose pixel buffer would pass the 2^31-byte limit.
    verdict = _png(message, layout) if format_ == "PNG" else _bmp(message, layout) if format_ == "BMP" else None
    if verdict is not None:
        return verdict
    if isinstance(error, zlib.error) or isinstance(error, struct.error) or message in _DAMAGE \
            or message.startswith("Unsupported PNG filter"):
        return DAMAGED, None
    if message in _UNSUPPORTED:
        return UNSUPPORTED, None
    # What the module refuses without a reason that tells design from damage
    # (an OverflowError of a header value past 32 bits, say): the file
    # contradicts what any reader can take.
    return DAMAGED, None


def where(layout):
    """Where the independent reader stopped in a damaged file, as text, or None
    when it read the file to its end."""
    stopped = getattr(layout, "stopped", None)
    return None if stopped is None else str(stopped)


def _bmp_notes(data):
    # Where the rows are and what lies around them, as the layout reader finds it.
    layout = _inspect_bmp(memoryview(data))
    found = []
    if layout.gap > 0:
        table = f" (a colour table of {layout.colours_used} entries)" if layout.colours_used else ""
        found.append(f"{layout.gap} bytes between the header and the pixel rows{table}, which a save drops")
    if layout.after_rows > 0:
        found.append(f"{layout.after_rows} bytes after the pixel rows, which a save drops")
    if layout.top_down:
        found.append("rows stored top-down, which a save writes bottom-up")
    return found


def notes(data, chunks=None, after_end=0):
    """What a save of a file that verified drops or rewrites, as texts: bytes
    after IEND, a BMP colour table or other bytes outside the headers and rows,
    rows stored top-down, the frames of an animated PNG. data is the file's
    bytes; chunks and after_end, for a PNG, its chunk types in order and the
    number of bytes after IEND."""
    if chunks is None:
        return _bmp_notes(data)
    found = []
    if after_end:
        found.append(f"{after_end} bytes after IEND, which a save drops")
    if b"acTL" in chunks:
        found.append("an animated PNG: a save changes the default image only; the other frames are kept as they were")
    return found
