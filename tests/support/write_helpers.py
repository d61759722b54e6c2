"""Independent readers for what the writers produce (PNG chunks and image data,
BMP headers and rows), written from the file layouts, sharing no code with the
extension; Pillow decodes the pixels."""

import io
import struct
import zlib

from PIL import Image

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(chunk_type, payload):
    crc = zlib.crc32(chunk_type + payload)
    return struct.pack(">I", len(payload)) + chunk_type + payload + struct.pack(">I", crc)


def ihdr(width, height, color_type):
    return struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)


def read_chunks(data):
    """[(type, payload), ...] of a PNG file; checks the signature, lengths and CRCs."""
    assert data[:8] == SIGNATURE
    chunks, pos = [], 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        chunks.append((data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]))
        assert data[pos:pos + 12 + length] == chunk(*chunks[-1])
        pos += 12 + length
    return chunks


def image_data(data):
    """The inflated stream of all IDAT chunks of a PNG file, in order."""
    return zlib.decompress(b"".join(p for t, p in read_chunks(data) if t == b"IDAT"))


def decode_with_pillow(data):
    """(mode, size, raw samples) of a PNG or BMP file as Pillow reads it."""
    with Image.open(io.BytesIO(data)) as image:
        return image.mode, image.size, image.tobytes()


def interleave(pixels, alpha):
    """RGB samples, or RGBA samples when alpha is given."""
    if alpha is None:
        return bytes(pixels)
    return b"".join(bytes(pixels[i * 3:i * 3 + 3]) + bytes([a]) for i, a in enumerate(alpha))


def read_bmp(data):
    """(header fields by name, pixel rows as stored: bottom row first)."""
    names = ("signature file_size reserved1 reserved2 pixel_offset header_size width height planes "
             "bit_count compression image_size xppm yppm clr_used clr_important").split()
    header = dict(zip(names, struct.unpack("<2sIHHIIiiHHIIiiII", data[:54])))
    stride = (header["width"] * 3 + 3) // 4 * 4
    return header, [data[54 + i * stride:54 + (i + 1) * stride] for i in range(header["height"])]
