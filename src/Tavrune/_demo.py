"""``python -m Tavrune demo``: a PNG with ancillary chunks around and between
several image-data chunks has a row of pixels changed and is saved again; the
two layouts side by side show that only the image data changed."""

import os
import tempfile

from Tavrune import simpleImage_ext as ext
from Tavrune._layout import layout, read_chunks
from Tavrune.simpleImage_ext import SimpleImage


def make_sample(path, width=40, height=24):
    """Writes an RGBA PNG with mixed per-row filter types, text, physical pixel
    size and a private chunk around and between four IDAT chunks of odd sizes."""
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            pixels += bytes(((x * 255) // width, (y * 255) // height, (x * y) % 256))
    alpha = bytearray((255 - 4 * x) % 256 for y in range(height) for x in range(width))
    filters = bytearray(y % 5 for y in range(height))
    ext._writePng(path, width, height, pixels, alpha, filters)
    with open(path, "rb") as stream:
        stream.read(len(ext.PNG_SIGNATURE))
        chunks = dict(iter(lambda: ext._readChunk(stream), (b"", b"")))
    idat = ext._split_idat_payload(chunks[b"IDAT"], [97, 211, 61, 1])
    make = ext._makeChunk
    text = make(b"tEXt", b"Comment\x00made by the Tavrune demo")
    phys = make(b"pHYs", (2835).to_bytes(4, "big") * 2 + b"\x01")
    private = make(b"tvRn", b"kept byte for byte")
    body = [make(b"IHDR", chunks[b"IHDR"]), text, phys, make(b"IDAT", idat[0]), private]
    body += [make(b"IDAT", part) for part in idat[1:]]
    body += [make(b"tIME", b"\x07\xea\x0c\x08\x0c\x00\x00"), make(b"IEND", b"")]
    with open(path, "wb") as output:
        output.write(ext.PNG_SIGNATURE + b"".join(body))


def side_by_side(left, right, titles):
    width = max(len(line) for line in left + [titles[0]]) + 4
    rows = [f"{titles[0]:<{width}}{titles[1]}"]
    for index in range(max(len(left), len(right))):
        a = left[index] if index < len(left) else ""
        b = right[index] if index < len(right) else ""
        rows.append(f"{a:<{width}}{b}")
    return rows


def _non_idat_chunks(data):
    return [chunk for chunk in read_chunks(data)[0] if chunk[0] != b"IDAT"]


def demo():
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "sample.png")
        target = os.path.join(folder, "changed.png")
        make_sample(source)
        image = SimpleImage.open(source)
        before = [image.getPixel((x, 5)) for x in range(3)]
        for x in range(image.width):
            image.putPixel((x, 5), (255, 0, 0))
        print(f"row 5, first pixels: {before} -> {[image.getPixel((x, 5)) for x in range(3)]}")
        image.save(target)
        for line in side_by_side(layout(source), layout(target), ("before", "after save")):
            print(line)
        with open(source, "rb") as a, open(target, "rb") as b:
            old, new = a.read(), b.read()
        print(f"file sizes: {len(old)} -> {len(new)} bytes; every chunk but IDAT kept byte for byte "
              f"and in order: {_non_idat_chunks(old) == _non_idat_chunks(new)}")
        print("the new image data is cut at the kept IDAT sizes, the last chunk taking the rest; a chunk\n"
              "that stood between two IDAT chunks follows the image data, which must be contiguous")
    return 0
