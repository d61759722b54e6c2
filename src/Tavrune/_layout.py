"""A file's layout as the module keeps it, and what differs between a file and
the module's re-save of it: what the demo, ``resave`` and ``check`` print."""

import difflib
import io
import struct
import zlib

from Tavrune import simpleImage_ext as ext
from Tavrune._cli_layout import chunk_groups, filter_summary
from Tavrune._load import load


def open_quietly(source):
    """SimpleImage.open without the line it prints, and without touching
    sys.stdout (so it is safe beside other threads)."""
    return load(source)


def describe(image):
    kind = "RGBA" if image._alpha is not None else "RGB"
    return f"{image.width}x{image.height} {kind}"


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


# --- the demo: a layout as the module keeps it ------------------------------------


def layout(path, rows=False):
    """The layout of a file the module opens, as lines of text; rows adds the
    filter type of every row."""
    image = open_quietly(path)
    if image._png_chunks is None:
        lines = [f"BMP {describe(image)}"]
        lines += [f"  {key:<13}{value}" for key, value in (image._bmp_header or {}).items()]
        return lines
    chunks = [(kind.decode("latin-1"), length) for kind, _, length in image._png_chunks]
    table = [(index, name, chunks[start][1], f" {note}" if note else "")
             for start, _, index, name, note in chunk_groups(chunks)]
    index_width = max(2, *(len(index) for index, _, _, _ in table))
    name_width = max(4, *(len(name) for _, name, _, _ in table))
    lines = [f"PNG {describe(image)}", f"  {'#':<{index_width}} {'type':<{name_width}}{'size':>8}"]
    lines += [f"  {index:<{index_width}} {name:<{name_width}}{size:>8}{note}" for index, name, size, note in table]
    filters = bytes(image._png_filters)
    lines.append(f"  filter types: {filter_summary(filters)}")
    if rows:
        lines.append("  filter type per row:")
        for start in range(0, len(filters), 32):
            lines.append("    " + "".join(str(f) for f in filters[start:start + 32]))
    return lines


# --- resave: what differs, in words -------------------------------------------------------


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


# --- check: was the layout kept? ----------------------------------------------------------


def cut_sizes(total, kept):
    """The sizes of the IDAT chunks a stream of total bytes is cut into at the
    kept sizes: each kept size in turn, the last one taking what is left; a kept
    size of 0 gives no chunk, and a stream that runs out gives fewer chunks."""
    sizes, left = [], total
    for index, size in enumerate(kept):
        if left <= 0:
            break
        if size <= 0:
            continue
        take = left if index == len(kept) - 1 else min(size, left)
        sizes.append(take)
        left -= take
    if left > 0:
        sizes.append(left)
    return sizes


def _changed_chunks(old_rest, new_rest):
    matcher = difflib.SequenceMatcher(a=old_rest, b=new_rest, autojunk=False)
    names = [chunk_type for tag, a0, a1, b0, b1 in matcher.get_opcodes() if tag != "equal"
             for chunk_type, _ in old_rest[a0:a1] + new_rest[b0:b1]]
    return ", ".join(dict.fromkeys(name.decode("latin-1") for name in names))


def _png_lost(old_chunks, new, image, again):
    if again._png_chunks is None:
        return ["not saved as a PNG"]
    new_chunks, _ = read_chunks(new)
    lost = []
    old_rest = [chunk for chunk in old_chunks if chunk[0] != b"IDAT"]
    new_rest = [chunk for chunk in new_chunks if chunk[0] != b"IDAT"]
    if old_rest != new_rest:
        lost.append(f"chunks other than IDAT not kept byte for byte and in order: "
                    f"{_changed_chunks(old_rest, new_rest)}")
    if again._png_filters != image._png_filters:
        rows = sum(a != b for a, b in zip(again._png_filters, image._png_filters))
        lost.append(f"row filter types not kept ({rows} of {image.height} rows differ)")
    kept = [len(payload) for kind, payload in old_chunks if kind == b"IDAT"]
    written = [len(payload) for kind, payload in new_chunks if kind == b"IDAT"]
    if written != cut_sizes(sum(written), kept):
        lost.append(f"IDAT sizes {written} are not the kept sizes {kept} cut to the new data")
    return lost


def lost_in_resave(old, new, image, again, old_chunks=None):
    """What the re-saved file lost of the layout and pixels of the file it was
    opened from: a list of texts, empty when everything was kept. old and new are
    the bytes of the two files, image and again what they open to; old_chunks
    is read_chunks(old) when the caller has it already.

    PNG: every chunk but IDAT byte for byte and in order, the row filter types,
    the IDAT sizes cut as the kept sizes say. BMP: the kept header fields. Both:
    size, pixels and alpha plane read back identical."""
    if image._png_chunks is not None:
        lost = _png_lost((read_chunks(old) if old_chunks is None else old_chunks)[0], new, image, again)
    elif again._png_chunks is not None:
        lost = ["not saved as a BMP"]
    elif again._bmp_header != image._bmp_header:
        lost = [f"BMP header fields not kept: {image._bmp_header} -> {again._bmp_header}"]
    else:
        lost = []
    if (again.width, again.height) != (image.width, image.height):
        lost.append(f"size {describe(image)} read back as {describe(again)}")
    elif again._pixels != image._pixels:
        lost.append("pixels read back differ")
    if again._alpha != image._alpha:
        lost.append("alpha plane read back differs")
    return lost
