"""Small builders for PNG and BMP files, written independently of the extension.

PNG: rows of unfiltered samples go through a pure-Python filter (one filter
type per row), are compressed with zlib and cut into IDAT chunks of chosen
sizes; any chunk list can be assembled, with correct or broken CRCs.

BMP: rows of RGB samples are written as 24-bit BGR rows, bottom-up or
top-down, with padding; every header field can be overridden.

Rows are lists of bytes-like objects, top row first: width * channels bytes each
for PNG (RGB or RGBA), width * 3 bytes each for BMP (RGB).
"""

import random
import struct
import zlib
from io import BytesIO

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# --- sample data ---------------------------------------------------------------


def random_rows(width, height, channels=3, seed=0):
    """height rows of width * channels random bytes, reproducible by seed."""
    rng = random.Random(seed)
    return [bytes(rng.randrange(256) for _ in range(width * channels)) for _ in range(height)]


def split_planes(rows, channels):
    """(pixel buffer, alpha plane or None) as the image holds them, from rows."""
    joined = b"".join(rows)
    if channels == 3:
        return joined, None
    rgb = bytearray()
    for i in range(0, len(joined), 4):
        rgb += joined[i:i + 3]
    return bytes(rgb), joined[3::4]


class RecordingStream:
    """An in-memory stream that logs its calls as ("read", n) and ("seek", pos).

    alter maps a call index (0 for the first call) to a function applied to
    what that read returns, e.g. {3: bytearray} or {3: lambda b: None}; the
    objects read hands out are kept in returned, in order."""

    def __init__(self, data, alter=None):
        self._io = BytesIO(data)
        self._alter = alter or {}
        self.calls = []
        self.returned = []

    def read(self, n):
        change = self._alter.get(len(self.calls), lambda b: b)
        self.calls.append(("read", n))
        result = change(self._io.read(n))
        self.returned.append(result)
        return result

    def seek(self, position):
        self.calls.append(("seek", position))
        return self._io.seek(position)


# --- PNG -------------------------------------------------------------------------


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(filter_type, row, prev, bytes_per_pixel):
    """One scanline filtered with filter_type (0-4); prev is the unfiltered row
    above (zeros for the top row). Returns the filtered bytes, without the type byte."""
    out = bytearray(len(row))
    for i, value in enumerate(row):
        left = row[i - bytes_per_pixel] if i >= bytes_per_pixel else 0
        up = prev[i]
        up_left = prev[i - bytes_per_pixel] if i >= bytes_per_pixel else 0
        predictor = (0, left, up, (left + up) // 2, _paeth(left, up, up_left))[filter_type]
        out[i] = (value - predictor) % 256
    return bytes(out)


def scanlines(rows, bytes_per_pixel, filters=0):
    """The uncompressed image data: per row a filter-type byte and the filtered row.

    filters is one type for every row or a sequence with one per row. A type
    above 4 is written as given, with the row unfiltered."""
    if isinstance(filters, int):
        filters = [filters] * len(rows)
    out = bytearray()
    prev = bytes(len(rows[0])) if rows else b""
    for filter_type, row in zip(filters, rows):
        out.append(filter_type)
        out += filter_row(filter_type, row, prev, bytes_per_pixel) if filter_type <= 4 else row
        prev = row
    return bytes(out)


def ihdr(width, height, bit_depth=8, color_type=2, compression=0, filter_method=0, interlace=0):
    """The 13 IHDR data bytes."""
    return struct.pack(">IIBBBBB", width, height, bit_depth, color_type, compression, filter_method, interlace)


def chunk(chunk_type, data, crc=None):
    """One serialised chunk; crc None means the correct CRC-32 of type and data."""
    if crc is None:
        crc = zlib.crc32(chunk_type + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + chunk_type + data + struct.pack(">I", crc)


def split(data, sizes):
    """data cut into pieces of the given sizes; the last piece takes the rest."""
    pieces, start = [], 0
    for size in sizes:
        pieces.append(data[start:start + size])
        start += size
    pieces.append(data[start:])
    return pieces


def png_chunks(rows, channels=3, filters=0, idat_sizes=(), width=None, level=6, data=None, **header):
    """The chunk list [(type, data), ...] of a PNG: IHDR, the IDAT chunks, IEND.

    width is taken from the rows unless given; header overrides IHDR fields
    (height, bit_depth, color_type, compression, filter_method, interlace).
    idat_sizes cuts the compressed stream (see split). data replaces the
    compressed stream (for broken or hostile image data)."""
    if width is None:
        width = len(rows[0]) // channels if rows else 0
    fields = {"height": len(rows), "color_type": 2 if channels == 3 else 6}
    fields.update(header)
    if data is None:
        data = zlib.compress(scanlines(rows, channels, filters), level)
    return ([(b"IHDR", ihdr(width, **fields))] + [(b"IDAT", piece) for piece in split(data, idat_sizes)]
            + [(b"IEND", b"")])


def assemble(chunks, signature=PNG_SIGNATURE):
    """A PNG file from a chunk list whose items are (type, data) pairs or
    already serialised chunk bytes (for a broken CRC, say)."""
    return signature + b"".join(item if isinstance(item, (bytes, bytearray)) else chunk(*item)
                                for item in chunks)


def build_png(rows, channels=3, filters=0, idat_sizes=(), insert=(), **options):
    """A complete PNG file: png_chunks(...) with extra chunks inserted.

    insert holds (index, type, data) items, applied in order to the chunk list
    (index 0 is before IHDR, -1 before IEND)."""
    chunks = png_chunks(rows, channels, filters, idat_sizes, **options)
    for index, chunk_type, data in insert:
        chunks.insert(index, (chunk_type, data))
    return assemble(chunks)


def read_chunks(data):
    """[(type, data), ...] of a PNG file, CRCs checked; stops after IEND."""
    assert data[:8] == PNG_SIGNATURE
    chunks, pos = [], 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        chunk_type, payload = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(chunk_type + payload) & 0xFFFFFFFF, chunk_type
        chunks.append((chunk_type, payload))
        pos += 12 + length
        if chunk_type == b"IEND":
            break
    return chunks


# --- BMP -------------------------------------------------------------------------


def bmp_row_stride(width):
    """Bytes per stored row: width * 3 rounded up to a multiple of 4."""
    return (width * 3 + 3) // 4 * 4


def build_bmp(rows, width=None, top_down=False, pad=b"\0", gap=b"", trailing=b"", **fields):
    """A 24-bit BMP file from RGB rows (top row first).

    Rows are stored bottom-up with a positive height, or top-down with a
    negative one; each row is padded with repeats of pad. gap goes between the
    54 header bytes and the pixel rows (pixel_offset accounts for it unless
    given), trailing after them. fields override any header field: file_size,
    reserved1, reserved2, pixel_offset, dib_size, width, height, planes,
    bit_count, compression, image_size, xppm, yppm, clr_used, clr_important."""
    if width is None:
        width = len(rows[0]) // 3 if rows else 0
    stride = bmp_row_stride(width)
    stored = []
    for row in rows:
        bgr = bytearray(row)
        bgr[0::3], bgr[2::3] = row[2::3], row[0::3]
        stored.append(bytes(bgr) + (pad * stride)[:stride - len(bgr)])
    if not top_down:
        stored.reverse()
    pixel_data = b"".join(stored)
    f = {"file_size": 54 + len(gap) + len(pixel_data) + len(trailing), "reserved1": 0, "reserved2": 0,
         "pixel_offset": 54 + len(gap), "dib_size": 40, "width": width,
         "height": -len(rows) if top_down else len(rows), "planes": 1, "bit_count": 24, "compression": 0,
         "image_size": len(pixel_data), "xppm": 2835, "yppm": 2835, "clr_used": 0, "clr_important": 0}
    unknown = set(fields) - set(f)
    assert not unknown, unknown
    f.update(fields)
    header = (b"BM" + struct.pack("<IHHI", f["file_size"], f["reserved1"], f["reserved2"], f["pixel_offset"])
              + struct.pack("<I", f["dib_size"])
              + struct.pack("<iiHHIIiiII", f["width"], f["height"], f["planes"], f["bit_count"],
                            f["compression"], f["image_size"], f["xppm"], f["yppm"], f["clr_used"],
                            f["clr_important"]))
    return header + gap + pixel_data + trailing
