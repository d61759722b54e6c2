"""Command line of the package.

``python -m Tavrune demo`` makes a PNG with ancillary chunks around and between
several image-data chunks, changes some pixels, saves it and shows that only the
pixels changed. ``python -m Tavrune info FILE`` prints the layout of a PNG or BMP.
``python -m Tavrune resave IN OUT`` opens a file, saves it again and reports what
differs between the two files; ``python -m Tavrune to-bmp IN OUT`` writes a
24-bit BMP. Errors print the module's message and exit with status 1.
"""

import argparse
import contextlib
import io
import difflib
import os
import struct
import sys
import tempfile
import zlib

from Tavrune import simpleImage_ext as ext
from Tavrune.simpleImage_ext import SimpleImage


# What the module raises for input it refuses or files it cannot read or write;
# anything else is a fault of this program and keeps its traceback.
INPUT_ERRORS = (OSError, ValueError, TypeError, OverflowError, MemoryError, struct.error, zlib.error)


def open_quietly(source):
    """SimpleImage.open without the line it prints."""
    with contextlib.redirect_stdout(io.StringIO()):
        return SimpleImage.open(source)


def describe(image):
    kind = "RGBA" if image._alpha is not None else "RGB"
    return f"{image.width}x{image.height} {kind}"


def layout(path):
    """The layout of a file the module opens, as lines of text."""
    image = open_quietly(path)
    if image._png_chunks is None:
        lines = [f"BMP {describe(image)}"]
        lines += [f"  {key:<13}{value}" for key, value in (image._bmp_header or {}).items()]
        return lines
    lines = [f"PNG {describe(image)}", "  #  type    size"]
    for index, (chunk_type, _, length) in enumerate(image._png_chunks):
        lines.append(f"  {index:<2} {chunk_type.decode('latin-1'):<6}{length:>6}")
    filters = bytes(image._png_filters)
    lines.append("  filter type per row:")
    for start in range(0, len(filters), 32):
        lines.append("    " + "".join(str(f) for f in filters[start:start + 32]))
    return lines


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


def _non_idat_chunks(data):
    return [chunk for chunk in read_chunks(data)[0] if chunk[0] != b"IDAT"]


def read_chunks(data):
    """([(type, payload), ...], number of bytes after IEND) of a PNG file's bytes,
    through the module's chunk reader, which stops at IEND as the decoder does."""
    stream = io.BytesIO(data)
    stream.seek(len(ext.PNG_SIGNATURE))
    chunks = []
    for chunk in iter(lambda: ext._readChunk(stream), (b"", b"")):
        chunks.append(chunk)
        if chunk[0] == b"IEND":
            break
    return chunks, len(data) - stream.tell()


def info(path):
    for line in layout(path):
        print(line)
    return 0


def _sizes(payloads):
    count = len(payloads)
    return f"{count} chunk{'s' if count != 1 else ''} of {', '.join(str(len(p)) for p in payloads)} bytes"


def _placement(chunks):
    """For each chunk that is not IDAT: before, among or after the image data."""
    idat = [index for index, (chunk_type, _) in enumerate(chunks) if chunk_type == b"IDAT"]
    first, last = (idat[0], idat[-1]) if idat else (len(chunks), len(chunks))
    return [("before" if index < first else "after" if index > last else "among")
            for index, (chunk_type, _) in enumerate(chunks) if chunk_type != b"IDAT"]


def compare_png(old, new):
    """Lines naming the chunks that differ between two PNG files, with what changed."""
    (old_chunks, old_tail), (new_chunks, new_tail) = read_chunks(old), read_chunks(new)
    details = []
    old_idat = [payload for chunk_type, payload in old_chunks if chunk_type == b"IDAT"]
    new_idat = [payload for chunk_type, payload in new_chunks if chunk_type == b"IDAT"]
    if old_idat != new_idat:
        same = zlib.decompress(b"".join(old_idat)) == zlib.decompress(b"".join(new_idat))
        details.append(("IDAT", f"compressed again ({_sizes(old_idat)} -> {_sizes(new_idat)}); "
                                f"the scanlines inside are {'identical' if same else 'DIFFERENT'}"))
    old_rest = [chunk for chunk in old_chunks if chunk[0] != b"IDAT"]
    new_rest = [chunk for chunk in new_chunks if chunk[0] != b"IDAT"]
    matcher = difflib.SequenceMatcher(a=old_rest, b=new_rest, autojunk=False)
    for tag, a0, a1, b0, b1 in matcher.get_opcodes():
        if tag == "equal":
            old_places, new_places = _placement(old_chunks)[a0:a1], _placement(new_chunks)[b0:b1]
            for (chunk_type, _), before, after in zip(old_rest[a0:a1], old_places, new_places):
                if before != after:
                    details.append((chunk_type.decode("latin-1"),
                                    f"payload kept; stood {before} the image data, now {after} it"))
            continue
        for chunk_type, _ in old_rest[a0:a1]:
            details.append((chunk_type.decode("latin-1"), "in the input only, or its payload changed"))
        for chunk_type, _ in new_rest[b0:b1]:
            details.append((chunk_type.decode("latin-1"), "in the output only, or its payload changed"))
    if old_tail != new_tail:
        details.append(("IEND", f"followed by {old_tail} bytes in the input, {new_tail} in the output"))
    names = list(dict.fromkeys(name for name, _ in details))
    return [f"chunks that differ: {', '.join(names) or 'none'}"] + [f"  {name:<6}{text}" for name, text in details]


# The two BMP headers, as the module reads and writes them, and their fields' names.
BMP_HEADER = "<2sIHHIIiiHHIIiiII"
BMP_FIELDS = ("signature", "file size", "reserved", "reserved", "pixel offset", "header size", "width",
              "height", "planes", "bit count", "compression", "image size", "x pixels per metre",
              "y pixels per metre", "colours used", "colours important")


def compare_bmp(old, new):
    """Lines naming the BMP header fields that differ between two files."""
    old_fields, new_fields = struct.unpack_from(BMP_HEADER, old), struct.unpack_from(BMP_HEADER, new)
    details = [f"  {name:<20}{a} -> {b}" for name, a, b in zip(BMP_FIELDS, old_fields, new_fields) if a != b]
    names = ", ".join(name for name, a, b in zip(BMP_FIELDS, old_fields, new_fields) if a != b)
    return [f"header fields that differ: {names or 'none'}"] + details


def pixels_read_back(image, path, alpha=True):
    """Whether the file at path opens to the pixels (and alpha) of image."""
    again = open_quietly(path)
    same = again._pixels == image._pixels and (not alpha or again._alpha == image._alpha)
    return f"pixels read back: {'identical' if same else 'DIFFERENT'}"


def resave(source, target):
    with open(source, "rb") as stream:
        old = stream.read()
    image = open_quietly(source)
    image.save(target)
    with open(target, "rb") as stream:
        new = stream.read()
    if image._png_chunks is not None:
        print(f"resaved {source} -> {target}: PNG {describe(image)}, {len(image._png_chunks)} chunks")
        lines = compare_png(old, new)
    else:
        print(f"resaved {source} -> {target}: BMP {describe(image)}")
        lines = compare_bmp(old, new)
        if target.lower().endswith(".png"):
            lines.append("note: an image read from a BMP is saved as a BMP, whatever the file name")
    for line in lines:
        print(line)
    print(pixels_read_back(image, target))
    return 0


def to_bmp(source, target):
    image = open_quietly(source)
    image.saveBmp(target)
    header = image._bmp_header or {}
    resolution = f"{header.get('xppm', 2835)}x{header.get('yppm', 2835)}"
    print(f"wrote {target}: BMP {image.width}x{image.height}, 24-bit, {resolution} pixels per metre")
    if image._alpha is not None:
        print("note: the alpha plane was dropped: a 24-bit BMP holds none")
    print(pixels_read_back(image, target, alpha=False))
    return 0


DESCRIPTION = """\
Open, inspect and rewrite 8-bit RGB/RGBA PNG and 24-bit BMP files with
Tavrune.simpleImage_ext. Input the module refuses is reported with its message
on standard error, with exit status 1."""


def build_parser():
    parser = argparse.ArgumentParser(prog="python -m Tavrune", description=DESCRIPTION,
                                     epilog="'python -m Tavrune COMMAND --help' describes one command.",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("demo", help="make a PNG, change pixels, save it and compare the layouts",
                        description="Make a PNG with extra chunks, change a row of pixels, save it and "
                                    "show that only the image data changed.")
    info_parser = commands.add_parser("info", help="print the chunk layout and filter types of a PNG or BMP",
                                      description="Print the size, the chunk list and the per-row filter "
                                                  "types of a PNG, or the size and header fields of a BMP.")
    info_parser.add_argument("file", metavar="FILE", help="a PNG or BMP file")
    resave_parser = commands.add_parser(
        "resave", help="open a file, save it again and report which chunks differ",
        description="Open IN and save it to OUT as the module saves it (a PNG keeps its chunks, the "
                    "filter type of every row and the sizes of its image-data chunks; a BMP stays a "
                    "BMP with its resolution fields), then report which chunks (PNG) or header fields "
                    "(BMP) differ between the two files. Only the image data is expected to differ. "
                    "IN and OUT may be the same file.")
    resave_parser.add_argument("source", metavar="IN", help="the PNG or BMP file to open")
    resave_parser.add_argument("target", metavar="OUT", help="the file to write (replaced if it exists)")
    bmp_parser = commands.add_parser(
        "to-bmp", help="write a PNG or BMP as a 24-bit BMP",
        description="Open IN and write it to OUT as a bottom-up 24-bit BMP. An alpha plane is dropped; "
                    "the resolution fields of a BMP input are kept, 2835 pixels per metre otherwise.")
    bmp_parser.add_argument("source", metavar="IN", help="the PNG or BMP file to open")
    bmp_parser.add_argument("target", metavar="OUT", help="the file to write (replaced if it exists)")
    return parser


def main(argv=None):
    arguments = build_parser().parse_args(argv)
    try:
        if arguments.command == "demo":
            return demo()
        if arguments.command == "info":
            return info(arguments.file)
        if arguments.command == "resave":
            return resave(arguments.source, arguments.target)
        return to_bmp(arguments.source, arguments.target)
    except INPUT_ERRORS as error:
        print(f"error: {str(error) or type(error).__name__}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
