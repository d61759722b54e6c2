"""What differs between two PNG or BMP files: their layouts (read by
`Tavrune.inspect`) chunk by chunk, and their pixels when the module opens both."""

from __future__ import annotations

import difflib
import operator
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple, Union

from Tavrune._errors import OPEN_ERRORS
from Tavrune._files import Source, message, read_source
from Tavrune._inspect import BmpLayout, Layout, PngLayout, _json, _Record, inspect

if TYPE_CHECKING:
    from Tavrune.simpleImage_ext import SimpleImage

# What opening raises for a file the module does not take.
REFUSALS = OPEN_ERRORS
# How many changed pixels (and rows of filter types) are listed one by one.
FIRST = 10
Box = Tuple[int, int, int, int]
Pixel = Tuple[int, ...]
Images = Tuple["SimpleImage", "SimpleImage"]


@dataclass(frozen=True)
class ChunkChange(_Record):
    """One entry of the chunk alignment. status is "kept", "changed" (same type
    at the same place in the sequence, other payload), "added", "removed" or
    "moved" (the same type and payload at another place). old and new are the
    chunk's indexes in the two files (None where it is absent); the image data
    is one entry, type "IDAT", whatever its number of chunks."""

    status: str
    type: str
    old: Optional[int]
    new: Optional[int]
    old_value: Optional[object] = None
    new_value: Optional[object] = None


@dataclass(frozen=True)
class FieldChange(_Record):
    """A header field that differs: its name and the two values."""

    name: str
    old: object
    new: object


@dataclass(frozen=True)
class PixelDiff(_Record):
    """The pixels of the two images, when the module opens both.

    box is (left, top, right, bottom) of the changed pixels, right and bottom
    exclusive, None when none changed. first holds up to ten changed pixels in
    row order as (x, y, old RGB, new RGB). largest is the largest change of
    red, green and blue. Alpha is counted apart: old_alpha and new_alpha tell
    which image has an alpha plane, alpha_changed counts the pixels whose alpha
    differs (a missing plane counting as opaque) and largest_alpha is the
    largest change."""

    same_size: bool
    old_size: Tuple[int, int]
    new_size: Tuple[int, int]
    changed: int
    box: Optional[Box]
    first: Tuple[Tuple[int, int, Pixel, Pixel], ...]
    largest: Tuple[int, int, int]
    old_alpha: bool
    new_alpha: bool
    alpha_changed: int
    largest_alpha: int


@dataclass(frozen=True)
class Difference(_Record):
    """What `Tavrune.diff` found. identical is true when the files are byte for
    byte the same; first_difference is the offset of the first byte that
    differs (or where the shorter file ends), None when identical.

    chunks is the alignment of the two PNG chunk sequences (empty otherwise),
    header the IHDR or BMP header fields that differ, idat_sizes the IDAT chunk
    sizes of both files, filter_rows the rows whose filter type differs (as
    (row, old, new), the first ten) and filter_rows_changed their number.
    pixels is None when either file does not open with the module; why says
    why in pixel_note."""

    identical: bool
    first_difference: Optional[int]
    old_format: Optional[str]
    new_format: Optional[str]
    old_size: int
    new_size: int
    chunks: Tuple[ChunkChange, ...]
    header: Tuple[FieldChange, ...]
    idat_sizes: Tuple[Tuple[int, ...], Tuple[int, ...]]
    filter_rows_changed: int
    filter_rows: Tuple[Tuple[int, int, int], ...]
    after_end: Tuple[int, int]
    pixels: Optional[PixelDiff]
    pixel_note: Optional[str]
    old_layout: Layout
    new_layout: Layout

    def counts(self) -> Dict[str, int]:
        """{status: number of chunk entries} for kept, changed, added, removed, moved."""
        found = {status: 0 for status in ("kept", "changed", "added", "removed", "moved")}
        for change in self.chunks:
            found[change.status] += 1
        return found

    def to_dict(self) -> Dict[str, object]:
        record = super().to_dict()
        record["chunk_counts"] = self.counts()
        return record


def diff(a: Source, b: Source) -> Difference:
    """What differs between two PNG or BMP files, a the old and b the new one.

    a and b are paths or the files' bytes. The layouts are compared as
    `Tavrune.inspect` reads them: the chunks aligned by sequence (kept, changed,
    added, removed, moved; all IDAT chunks as one entry whose sizes are
    compared apart), the header fields, each row's filter type, the bytes
    after IEND; for BMP files the header fields. When the module opens both
    files, their pixels are compared too. OSError for a path that cannot be read.

    >>> import Tavrune
    >>> from Tavrune.simpleImage_ext import SimpleImage
    >>> SimpleImage(3, 2, bytes(18)).save("old.png")
    >>> image = Tavrune.load("old.png")
    >>> image.putPixel((1, 1), (0, 40, 0))
    >>> image.save("new.png")
    >>> change = Tavrune.diff("old.png", "new.png")
    >>> change.identical, change.counts()["kept"], change.pixels.changed, change.pixels.box
    (False, 2, 1, (1, 1, 2, 2))
    >>> change.pixels.first, change.pixels.largest
    (((1, 1, (0, 0, 0), (0, 40, 0)),), (0, 40, 0))
    """
    return compare(a, b)[0]


def compare(a: Source, b: Source) -> Tuple[Difference, Optional[Images]]:
    """diff's result and the two images whose pixels it compared (None when
    they do not both open), each file read and decoded once."""
    old, new = read_source(a), read_source(b)
    old_layout, new_layout = inspect(old), inspect(new)
    first = None if old == new else _first_difference(old, new)
    chunks: Tuple[ChunkChange, ...] = ()
    header: List[FieldChange] = []
    idat_sizes: Tuple[Tuple[int, ...], Tuple[int, ...]] = ((), ())
    filter_rows: List[Tuple[int, int, int]] = []
    filter_count = 0
    after_end = (0, 0)
    if isinstance(old_layout, PngLayout) and isinstance(new_layout, PngLayout):
        chunks = _align(old, old_layout, new, new_layout)
        if old_layout.header and new_layout.header:
            header = _fields(old_layout.header.to_dict(), new_layout.header.to_dict())
        idat_sizes = (tuple(c.length for c in old_layout.chunks if c.type == "IDAT"),
                      tuple(c.length for c in new_layout.chunks if c.type == "IDAT"))
        old_filters, new_filters = old_layout.filters or (), new_layout.filters or ()
        for row, (x, y) in enumerate(zip(old_filters, new_filters)):
            if x != y:
                filter_count += 1
                if len(filter_rows) < FIRST:
                    filter_rows.append((row, x, y))
        filter_count += abs(len(old_filters) - len(new_filters))
        after_end = (old_layout.after_end, new_layout.after_end)
    elif isinstance(old_layout, BmpLayout) and isinstance(new_layout, BmpLayout):
        header = _fields(dict(old_layout.fields), dict(new_layout.fields))
        after_end = (old_layout.after_rows, new_layout.after_rows)
    images, note = _open_both(old, new)
    pixels = None if images is None else _pixels(*images)
    return Difference(old == new, first, old_layout.format, new_layout.format, len(old), len(new), chunks,
                      tuple(header), idat_sizes, filter_count, tuple(filter_rows), after_end, pixels, note,
                      old_layout, new_layout), images


def _first_difference(old: bytes, new: bytes) -> int:
    """The offset of the first byte that differs, or the shorter file's size;
    found by halving with comparisons of slices, which run at memory speed."""
    a, b = memoryview(old), memoryview(new)
    low, high = 0, min(len(a), len(b))  # the first low bytes are equal; a difference lies before high
    if a[:high] == b[:high]:
        return high
    while high - low > 1:
        middle = (low + high) // 2
        if a[low:middle] == b[low:middle]:
            low = middle
        else:
            high = middle
    return low


def _fields(old: Dict[str, object], new: Dict[str, object]) -> List[FieldChange]:
    names = list(dict.fromkeys([*old, *new]))
    return [FieldChange(name, old.get(name), new.get(name)) for name in names if old.get(name) != new.get(name)]


def _align(old: bytes, old_layout: PngLayout, new: bytes, new_layout: PngLayout) -> Tuple[ChunkChange, ...]:
    """The chunk sequences aligned by their types: chunks of one type at matching
    places are kept (same payload) or changed; the others are removed or added,
    unless the same chunk turns up on the other side (moved)."""

    def entries(data: bytes, layout: PngLayout) -> List[Tuple[str, bytes, int, object]]:
        found: List[Tuple[str, List[bytes], int, object]] = []
        for chunk in layout.chunks:
            payload = data[chunk.offset + 8:chunk.offset + 8 + chunk.length]
            if chunk.type == "IDAT" and found and found[-1][0] == "IDAT":
                found[-1][1].append(payload)  # one entry for a run of image data
            else:
                found.append((chunk.type, [payload], chunk.index, _json(chunk.value)))
        return [(kind, b"".join(parts), index, value) for kind, parts, index, value in found]

    a, b = entries(old, old_layout), entries(new, new_layout)
    changes: List[ChunkChange] = []
    matcher = difflib.SequenceMatcher(a=[x[0] for x in a], b=[y[0] for y in b], autojunk=False)
    for tag, a0, a1, b0, b1 in matcher.get_opcodes():
        if tag == "equal":
            changes += [ChunkChange("kept" if x[1] == y[1] else "changed", x[0], x[2], y[2], x[3], y[3])
                        for x, y in zip(a[a0:a1], b[b0:b1])]
            continue
        changes += [ChunkChange("removed", x[0], x[2], None, x[3], None) for x in a[a0:a1]]
        changes += [ChunkChange("added", y[0], None, y[2], None, y[3]) for y in b[b0:b1]]
    # A chunk removed in one place and added, the same, in another has moved.
    payload_a = {x[2]: x[1] for x in a}
    payload_b = {y[2]: y[1] for y in b}
    taken = set()
    for i, change in enumerate(changes):
        if change.status != "removed" or change.old is None:
            continue
        for j, other in enumerate(changes):
            if (j not in taken and other.status == "added" and other.new is not None and other.type == change.type
                    and payload_b[other.new] == payload_a[change.old]):
                changes[i] = ChunkChange("moved", change.type, change.old, other.new, change.old_value,
                                         other.new_value)
                taken.add(j)
                break
    changes = [change for j, change in enumerate(changes) if j not in taken]
    return tuple(changes)


# Byte value -> 1 when not zero: bytes.translate with it marks the bytes that differ.
_NONZERO = bytes([0] + [1] * 255)


def _mask(row_a: bytes, row_b: bytes, channels: int) -> bytes:
    """One byte per pixel, 1 where any of its channels differs. Whole rows are
    handled as integers, at C speed: a changed photo is compared in a second."""
    size = len(row_a)
    xor = (int.from_bytes(row_a, "little") ^ int.from_bytes(row_b, "little")).to_bytes(size, "little")
    flags = xor.translate(_NONZERO)
    if channels == 1:
        return flags
    joined = 0
    for channel in range(channels):
        joined |= int.from_bytes(flags[channel::channels], "little")
    return joined.to_bytes(size // channels, "little")


def _largest(row_a: bytes, row_b: bytes) -> int:
    return int(max(map(abs, map(operator.sub, row_a, row_b))))


def _open_both(old: bytes, new: bytes) -> Tuple[Optional[Images], Optional[str]]:
    """The two images, or None and why not."""
    from Tavrune._load import load
    images = []
    for name, data in (("old", old), ("new", new)):
        try:
            images.append(load(data))
        except REFUSALS as error:
            return None, f"the {name} file does not open: {message(error)}"
    return (images[0], images[1]), None


def _pixels(a: SimpleImage, b: SimpleImage) -> PixelDiff:
    if a.size != b.size:
        return PixelDiff(False, a.size, b.size, 0, None, (), (0, 0, 0), a._alpha is not None, b._alpha is not None,
                         0, 0)
    width, height = a.size
    stride = width * 3
    changed = 0
    box: Optional[List[int]] = None
    first: List[Tuple[int, int, Pixel, Pixel]] = []
    largest = [0, 0, 0]
    pa, pb = a._pixels, b._pixels
    for y in range(height):
        start = y * stride
        row_a, row_b = bytes(pa[start:start + stride]), bytes(pb[start:start + stride])
        if row_a == row_b:
            continue
        for channel in range(3):
            if largest[channel] < 255:
                largest[channel] = max(largest[channel], _largest(row_a[channel::3], row_b[channel::3]))
        mask = _mask(row_a, row_b, 3)
        changed += mask.count(1)
        box = _grow(box, mask.find(1), mask.rfind(1), y)
        x = mask.find(1)
        while x != -1 and len(first) < FIRST:
            first.append((x, y, tuple(row_a[3 * x:3 * x + 3]), tuple(row_b[3 * x:3 * x + 3])))
            x = mask.find(1, x + 1)
    alpha_changed, largest_alpha = _alpha(a._alpha, b._alpha, width * height)
    return PixelDiff(True, a.size, b.size, changed, (box[0], box[1], box[2], box[3]) if box else None, tuple(first),
                     (largest[0], largest[1], largest[2]), a._alpha is not None, b._alpha is not None,
                     alpha_changed, largest_alpha)


def _grow(box: Optional[List[int]], left: int, right: int, y: int) -> List[int]:
    if box is None:
        return [left, y, right + 1, y + 1]
    return [min(box[0], left), box[1], max(box[2], right + 1), y + 1]


def _opaque(plane: Optional[Sequence[int]], count: int) -> bytes:
    return bytes(plane) if plane is not None else b"\xff" * count  # no plane: opaque


def _alpha(old: Optional[Sequence[int]], new: Optional[Sequence[int]], count: int) -> Tuple[int, int]:
    """(pixels whose alpha differs, the largest difference); no plane is opaque."""
    a, b = _opaque(old, count), _opaque(new, count)
    if a == b:
        return 0, 0
    return _mask(a, b, 1).count(1), _largest(a, b)


def _spread(mask: bytes) -> int:
    """A per-pixel mask of 0 and 1 as an integer with 0xFFFFFF on the pixels marked."""
    return int.from_bytes(mask.replace(b"\0", b"\0\0\0").replace(b"\1", b"\xff\xff\xff"), "little")


def change_picture(old: SimpleImage, new: SimpleImage, path: Union[str, "os.PathLike[str]"]) -> bool:
    """Writes to path, with the module, an RGB PNG of the new image in which
    unchanged pixels are dimmed to a third, pixels whose colour changed are
    magenta and pixels whose alpha alone changed are cyan. False (nothing
    written) when the two images differ in size."""
    from Tavrune._replace import save_replacing
    from Tavrune.simpleImage_ext import SimpleImage
    if old.size != new.size:
        return False
    width, height = new.size
    stride = width * 3
    picture = bytearray(bytes(new._pixels).translate(bytes(v // 3 for v in range(256))))
    old_alpha, new_alpha = _opaque(old._alpha, width * height), _opaque(new._alpha, width * height)
    magenta = int.from_bytes(b"\xff\x00\xff" * width, "little")
    cyan = int.from_bytes(b"\x00\xff\xff" * width, "little")
    for y in range(height):
        start = y * stride
        row_a, row_b = bytes(old._pixels[start:start + stride]), bytes(new._pixels[start:start + stride])
        alpha_a, alpha_b = old_alpha[y * width:(y + 1) * width], new_alpha[y * width:(y + 1) * width]
        if row_a == row_b and alpha_a == alpha_b:
            continue
        colour = _spread(_mask(row_a, row_b, 3)) if row_a != row_b else 0
        alpha = _spread(_mask(alpha_a, alpha_b, 1)) & ~colour if alpha_a != alpha_b else 0
        row = int.from_bytes(picture[start:start + stride], "little")
        row = (row & ~(colour | alpha)) | (magenta & colour) | (cyan & alpha)
        picture[start:start + stride] = row.to_bytes(stride, "little")
    save_replacing(SimpleImage(width, height, picture), path)
    return True
