"""The layout of any PNG or BMP file, read independently of the extension.

A second opinion on a file: the chunks of a PNG with offsets, CRCs and the
values of the common ancillary chunks, the filter type of every row when the
image data inflates (any colour type, bit depth and interlacing), and the
header fields of a BMP of any header size. Damaged files are read up to the
damage; what was found there is a `Stop`. Nothing here raises for the content
of a file, and nothing imports the extension.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, fields
from types import MappingProxyType
from typing import Callable, Dict, Iterator, List, Mapping, Optional, Tuple, Union

from Tavrune._files import Source, read_source

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
FILTER_NAMES = ("None", "Sub", "Up", "Average", "Paeth")
COLOUR_TYPES = {0: ("grey", 1), 2: ("RGB", 3), 3: ("palette", 1), 4: ("grey+alpha", 2), 6: ("RGBA", 4)}
BIT_DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
# Adam7: (first column, first row, column step, row step) of each pass.
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
# Inflated image data is looked at in pieces of this size: memory stays small
# whatever the image's size.
INFLATE_PIECE = 1 << 20
# Where zlib refused a byte is searched for in steps of this size.
FAILING_STEP = 1 << 12
# Filter types are kept for this many rows at most (the tuple alone takes 32 MiB).
RECORDED_ROWS = 1 << 22


def _json(value: object) -> object:
    if isinstance(value, Mapping):
        return {str(key): _json(item) for key, item in value.items()}
    if isinstance(value, (tuple, list)):
        return [_json(item) for item in value]
    if isinstance(value, _Record):
        return value.to_dict()
    return value


class _Record:
    """to_dict() of a frozen dataclass: every field, nested records and tuples
    as dicts and lists, ready for json.dumps."""

    def to_dict(self) -> Dict[str, object]:
        """The fields as a dict of plain values (JSON-ready)."""
        return {item.name: _json(getattr(self, item.name)) for item in fields(self)}  # type: ignore[arg-type]


@dataclass(frozen=True)
class Stop(_Record):
    """Where and why reading stopped: the first damage found in a file.

    offset is the byte offset in the file, chunk the type of the PNG chunk
    concerned (None for a BMP, or before a chunk type was read), reason a short
    class of damage ("truncated", "CRC mismatch", ...) and message the whole
    sentence, which str() gives:

    >>> import Tavrune
    >>> png = Tavrune.inspect(b"\\x89PNG\\r\\n\\x1a\\n\\x00\\x00\\x00\\x0dIHDR\\x00")
    >>> print(png.stopped)
    truncated in IHDR at byte 17 of 17
    >>> png.stopped.offset, png.stopped.chunk, png.stopped.reason
    (17, 'IHDR', 'truncated')
    """

    offset: int
    chunk: Optional[str]
    reason: str
    message: str

    def __str__(self) -> str:
        return self.message


@dataclass(frozen=True)
class PngHeader(_Record):
    """The IHDR fields as stored (values that break the rules are kept as found)."""

    width: int
    height: int
    bit_depth: int
    colour_type: int
    compression: int
    filter_method: int
    interlace: int

    @property
    def colour_name(self) -> str:
        """"grey", "RGB", "palette", "grey+alpha", "RGBA", or "type N"."""
        return COLOUR_TYPES.get(self.colour_type, (f"type {self.colour_type}", 1))[0]

    @property
    def bits_per_pixel(self) -> int:
        return self.bit_depth * COLOUR_TYPES.get(self.colour_type, ("", 1))[1]

    def describe(self) -> str:
        """Such as "640x480, 8-bit RGBA, interlaced"."""
        laced = "interlaced" if self.interlace == 1 else "not interlaced" if self.interlace == 0 \
            else f"interlace method {self.interlace}"
        return f"{self.width}x{self.height}, {self.bit_depth}-bit {self.colour_name}, {laced}"

    def to_dict(self) -> Dict[str, object]:
        record = super().to_dict()
        record["colour_name"] = self.colour_name
        return record


@dataclass(frozen=True)
class Chunk(_Record):
    """One complete PNG chunk. offset is that of its length field; value holds
    the decoded fields of the chunk types known here (None for others, and
    {"error": ...} for a payload of the wrong form)."""

    index: int
    offset: int
    type: str
    length: int
    crc_stored: int
    crc_computed: int
    value: Optional[Mapping[str, object]] = None

    @property
    def crc_ok(self) -> bool:
        return self.crc_stored == self.crc_computed

    @property
    def critical(self) -> bool:
        """Bit 5 of the first letter clear: a decoder must understand the chunk."""
        return not self.type[:1].isascii() or self.type[:1].isupper()

    @property
    def private(self) -> bool:
        return self.type[1:2].islower()

    @property
    def safe_to_copy(self) -> bool:
        """Bit 5 of the fourth letter set: an editor may copy the chunk unchanged
        into a file whose image data it changed."""
        return self.type[3:4].islower()

    def to_dict(self) -> Dict[str, object]:
        record = super().to_dict()
        record.update(crc_ok=self.crc_ok, critical=self.critical, private=self.private,
                      safe_to_copy=self.safe_to_copy)
        return record


@dataclass(frozen=True)
class IdatRun(_Record):
    """Consecutive IDAT chunks: index and offset of the first, their sizes."""

    index: int
    offset: int
    sizes: Tuple[int, ...]

    @property
    def total(self) -> int:
        return sum(self.sizes)


@dataclass(frozen=True)
class PngLayout(_Record):
    """The layout of a PNG file, as `Tavrune.inspect` reads it.

    header is None without a (complete) IHDR. filters holds the filter type of
    every row found in the image data, pass after pass when interlaced (passes
    has them per pass, all seven, empty for a pass without pixels); None when
    the data was not inflated (no usable header or no IDAT). inflated is the
    number of bytes the data inflated to, expected
    what the header asks for. problems lists every damage found in offset
    order; stopped is the first of them, None for a sound file. notes are
    findings that break no rule a reader enforces."""

    file_size: int
    header: Optional[PngHeader]
    chunks: Tuple[Chunk, ...]
    idat_runs: Tuple[IdatRun, ...]
    after_end: int
    filters: Optional[Tuple[int, ...]]
    passes: Optional[Tuple[Tuple[int, ...], ...]]
    inflated: int
    expected: Optional[int]
    problems: Tuple[Stop, ...]
    notes: Tuple[str, ...]
    format: str = "PNG"

    @property
    def stopped(self) -> Optional[Stop]:
        return self.problems[0] if self.problems else None

    @property
    def animated(self) -> bool:
        return any(chunk.type == "acTL" for chunk in self.chunks)

    def to_dict(self) -> Dict[str, object]:
        record = super().to_dict()
        record.update(stopped=_json(self.stopped), animated=self.animated)
        return record


@dataclass(frozen=True)
class BmpLayout(_Record):
    """The layout of a BMP file, as `Tavrune.inspect` reads it.

    fields holds every header field in file order under its usual name (those of
    the file header, then those the info header's size provides), each also an
    attribute (layout.x_pixels_per_metre). height is the number of rows; the
    field "height" keeps its sign, negative for rows stored top-down. gap is
    the number of bytes between the end of the headers
    and pixel_offset (bit masks, a colour table, anything else), after_rows the
    number after the pixel rows (a colour profile, anything else); row_size is
    a stored row's size with its padding, pixel_bytes the size of the rows
    together (for compressed data the image size field)."""

    file_size: int
    header_size: int
    header_name: str
    width: int
    height: int
    top_down: bool
    bit_count: int
    compression: int
    colours_used: int
    pixel_offset: int
    row_size: int
    pixel_bytes: int
    gap: int
    after_rows: int
    fields: Mapping[str, object]
    problems: Tuple[Stop, ...]
    notes: Tuple[str, ...]
    format: str = "BMP"

    @property
    def stopped(self) -> Optional[Stop]:
        return self.problems[0] if self.problems else None

    def __getattr__(self, name: str) -> object:
        # Every header field is an attribute too: layout.x_pixels_per_metre.
        values = self.__dict__.get("fields")
        if values is not None and name in values:
            return values[name]
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def to_dict(self) -> Dict[str, object]:
        record = super().to_dict()
        record["stopped"] = _json(self.stopped)
        return record


@dataclass(frozen=True)
class UnknownLayout(_Record):
    """A file that is neither PNG nor BMP; head is its first bytes (up to 16)."""

    file_size: int
    head: bytes
    format: None = None

    @property
    def stopped(self) -> Stop:
        return Stop(0, None, "unknown format", "not a PNG or BMP file")

    @property
    def problems(self) -> Tuple[Stop, ...]:
        return (self.stopped,)

    def to_dict(self) -> Dict[str, object]:
        return {"file_size": self.file_size, "head": self.head.hex(" "), "format": None,
                "stopped": self.stopped.to_dict()}


Layout = Union[PngLayout, BmpLayout, UnknownLayout]


def inspect(source: Source) -> Layout:
    """The layout of a PNG or BMP file: a `PngLayout`, a `BmpLayout`, or an
    `UnknownLayout` for anything else.

    source is a path (str or os.PathLike) or the file's bytes. Every kind of PNG
    and BMP is read, also those the module does not decode (grey, palette, 16-bit,
    interlaced, V4/V5 headers, ...), and a damaged file up to the damage:
    `stopped` says where and why. Only a path that cannot be read raises
    (OSError; a FIFO or device is not opened). The reading is independent of the
    extension's decoder.

    >>> import Tavrune
    >>> from Tavrune.simpleImage_ext import SimpleImage
    >>> _ = SimpleImage(2, 2, bytes(12), png_filters=b"\\x01\\x04").save("tiny.png")
    >>> png = Tavrune.inspect("tiny.png")
    >>> png.format, png.header.width, png.filters, png.stopped
    ('PNG', 2, (1, 4), None)
    >>> [(chunk.type, chunk.offset, chunk.crc_ok) for chunk in png.chunks]
    [('IHDR', 8, True), ('IDAT', 33, True), ('IEND', 59, True)]
    >>> print(Tavrune.inspect(open("tiny.png", "rb").read()[:50]).stopped)
    truncated in IDAT at byte 50 of 50
    """
    data = memoryview(read_source(source))
    if bytes(data[:8]) == PNG_SIGNATURE:
        return _inspect_png(data)
    if bytes(data[:2]) == b"BM":
        return _inspect_bmp(data)
    return UnknownLayout(len(data), bytes(data[:16]))


# --- PNG ---------------------------------------------------------------------------------------


def _latin(raw: bytes) -> str:
    return raw.decode("latin-1")


def _keyword(payload: bytes) -> Tuple[str, bytes]:
    keyword, separator, rest = payload.partition(b"\0")
    if not separator:
        raise ValueError("no NUL after the keyword")
    return _latin(keyword), rest


def _text(payload: bytes) -> Dict[str, object]:
    keyword, text = _keyword(payload)
    return {"keyword": keyword, "text_length": len(text)}


def _ztxt(payload: bytes) -> Dict[str, object]:
    keyword, rest = _keyword(payload)
    return {"keyword": keyword, "compression": rest[0], "compressed_length": len(rest) - 1}


def _itxt(payload: bytes) -> Dict[str, object]:
    keyword, rest = _keyword(payload)
    flag, method = rest[0], rest[1]
    language, _, rest = rest[2:].partition(b"\0")
    translated, _, text = rest.partition(b"\0")
    return {"keyword": keyword, "compressed": bool(flag), "compression": method, "language": _latin(language),
            "translated_keyword": translated.decode("utf-8", "replace"), "text_length": len(text)}


def _phys(payload: bytes) -> Dict[str, object]:
    x, y, unit = struct.unpack(">IIB", payload)
    value: Dict[str, object] = {"x": x, "y": y, "unit": "metre" if unit == 1 else "unknown" if unit == 0 else unit}
    if unit == 1:
        value["dpi"] = (round(x * 0.0254, 2), round(y * 0.0254, 2))
    return value


def _time(payload: bytes) -> Dict[str, object]:
    year, month, day, hour, minute, second = struct.unpack(">HBBBBB", payload)
    return {"time": f"{year:04d}-{month:02d}-{day:02d} {hour:02d}:{minute:02d}:{second:02d}"}


def _gama(payload: bytes) -> Dict[str, object]:
    (gamma,) = struct.unpack(">I", payload)
    return {"gamma": gamma / 100000}


SRGB_INTENTS = ("perceptual", "relative colorimetric", "saturation", "absolute colorimetric")


def _srgb(payload: bytes) -> Dict[str, object]:
    (intent,) = struct.unpack(">B", payload)
    return {"intent": intent, "intent_name": SRGB_INTENTS[intent] if intent < 4 else "unknown"}


def _iccp(payload: bytes) -> Dict[str, object]:
    name, rest = _keyword(payload)
    return {"profile_name": name, "compression": rest[0], "compressed_length": len(rest) - 1}


def _chrm(payload: bytes) -> Dict[str, object]:
    values = [v / 100000 for v in struct.unpack(">8I", payload)]
    return {name: (values[2 * i], values[2 * i + 1]) for i, name in enumerate(("white", "red", "green", "blue"))}


def _samples(payload: bytes) -> Tuple[int, ...]:
    if len(payload) % 2:
        raise ValueError(f"odd length {len(payload)}")
    return struct.unpack(f">{len(payload) // 2}H", payload)


def _bkgd(payload: bytes) -> Dict[str, object]:
    if len(payload) == 1:
        return {"palette_index": payload[0]}
    return {"colour": _samples(payload)}


def _actl(payload: bytes) -> Dict[str, object]:
    frames, plays = struct.unpack(">II", payload)
    return {"frames": frames, "plays": plays}


def _fctl(payload: bytes) -> Dict[str, object]:
    names = ("sequence", "width", "height", "x", "y", "delay_numerator", "delay_denominator", "dispose", "blend")
    return dict(zip(names, struct.unpack(">IIIIIHHBB", payload)))


def _sequence(payload: bytes) -> Dict[str, object]:
    return {"sequence": struct.unpack_from(">I", payload)[0]}


DECODERS: Dict[str, Callable[[bytes], Dict[str, object]]] = {
    "tEXt": _text, "zTXt": _ztxt, "iTXt": _itxt, "pHYs": _phys, "tIME": _time, "gAMA": _gama, "sRGB": _srgb,
    "iCCP": _iccp, "cHRM": _chrm, "bKGD": _bkgd, "acTL": _actl, "fcTL": _fctl, "fdAT": _sequence,
    "sBIT": lambda payload: {"bits": tuple(payload)},
    "tRNS": lambda payload: {"length": len(payload)},
    "PLTE": lambda payload: {"entries": len(payload) // 3, "length_ok": len(payload) % 3 == 0},
    "hIST": lambda payload: {"entries": len(payload) // 2},
    "sPLT": lambda payload: {"name": _keyword(payload)[0]},
    "eXIf": lambda payload: {"length": len(payload)},
}


def _decode_value(chunk_type: str, payload: bytes) -> Optional[Mapping[str, object]]:
    decoder = DECODERS.get(chunk_type)
    if decoder is None:
        return None
    try:
        value = decoder(payload)
    except (struct.error, ValueError, IndexError) as error:
        value = {"error": f"cannot decode {len(payload)} bytes: {error}"}
    return MappingProxyType(value)


def _header_problem(header: PngHeader) -> Optional[Tuple[int, str]]:
    """(offset of the field in IHDR's data, what is wrong) for the first field
    that breaks the rules, None when all are valid."""
    if not 0 < header.width < 2**31:
        return 0, f"width {header.width}"
    if not 0 < header.height < 2**31:
        return 4, f"height {header.height}"
    if header.colour_type not in BIT_DEPTHS:
        return 9, f"colour type {header.colour_type}"
    if header.bit_depth not in BIT_DEPTHS[header.colour_type]:
        return 8, f"bit depth {header.bit_depth} for colour type {header.colour_type}"
    if header.compression != 0:
        return 10, f"compression method {header.compression}"
    if header.filter_method != 0:
        return 11, f"filter method {header.filter_method}"
    if header.interlace > 1:
        return 12, f"interlace method {header.interlace}"
    return None


def row_sizes(header: PngHeader) -> Tuple[Tuple[int, int], ...]:
    """(rows, bytes per row with its filter-type byte) of each pass: one, or the
    seven of Adam7 when interlaced; (0, 0) for a pass without pixels."""
    passes = ADAM7 if header.interlace == 1 else ((0, 0, 1, 1),)
    sizes = []
    for x0, y0, dx, dy in passes:
        columns = max(0, (header.width - x0 + dx - 1) // dx)
        rows = max(0, (header.height - y0 + dy - 1) // dy)
        sizes.append((rows, 1 + (columns * header.bits_per_pixel + 7) // 8) if columns else (0, 0))
    return tuple(sizes)


class _Walk:
    """The chunk walk's findings, filled as it goes."""

    def __init__(self) -> None:
        self.chunks: List[Chunk] = []
        # (offset of the chunk, offset of its data, payload), also a partial last one
        self.idat: List[Tuple[int, int, memoryview]] = []
        self.problems: List[Stop] = []
        self.notes: List[str] = []
        self.header: Optional[PngHeader] = None
        self.header_ok = False
        self.after_end = 0


def _walk_chunks(data: memoryview) -> _Walk:
    walk = _Walk()
    size = len(data)
    position = len(PNG_SIGNATURE)
    ended = broke = False
    while position < size:
        broke = True  # until the chunk was read whole
        if position + 8 > size:
            part = "a chunk length" if position + 4 > size else "a chunk type"
            walk.problems.append(Stop(size, None, "truncated", f"truncated in {part} at byte {size} of {size}"))
            break
        (length,) = struct.unpack_from(">I", data, position)
        raw_type = bytes(data[position + 4:position + 8])
        chunk_type = _latin(raw_type)
        if not raw_type.isalpha() or not raw_type.isascii():
            walk.problems.append(Stop(position + 4, None, "bad chunk type",
                                      f"bad chunk type {raw_type!r} at byte {position + 4}"))
            break
        if length >= 2**31:
            walk.problems.append(Stop(position, chunk_type, "bad chunk length",
                                      f"bad chunk length {length} in {chunk_type} at byte {position}"))
            break
        start, end = position + 8, position + 8 + length
        if chunk_type == "IDAT":
            walk.idat.append((position, start, data[start:min(end, size)]))
        if end + 4 > size:
            part = chunk_type if end > size else f"the CRC of {chunk_type}"
            walk.problems.append(Stop(size, chunk_type, "truncated", f"truncated in {part} at byte {size} of {size}"))
            break
        payload = data[start:end]
        (stored,) = struct.unpack_from(">I", data, end)
        computed = zlib.crc32(payload, zlib.crc32(raw_type)) & 0xFFFFFFFF
        value = _decode_value(chunk_type, bytes(payload)) if chunk_type in DECODERS and length < 1 << 24 else None
        if chunk_type == "IHDR" and length == 13:
            header = PngHeader(*struct.unpack(">IIBBBBB", payload))
            value = MappingProxyType(header.to_dict())
        chunk = Chunk(len(walk.chunks), position, chunk_type, length, stored, computed, value)
        walk.chunks.append(chunk)
        if not chunk.crc_ok:
            walk.problems.append(Stop(position, chunk_type, "CRC mismatch",
                                      f"CRC mismatch in {chunk_type} at byte {position} "
                                      f"(stored {stored:08x}, computed {computed:08x})"))
            break
        if chunk.index == 0:
            _read_header(walk, chunk, payload)
        elif chunk_type == "IHDR":
            walk.notes.append(f"a second IHDR at byte {position}")
        position = end + 4
        broke = False
        if chunk_type == "IEND":
            ended = True
            walk.after_end = size - position
            break
    if not walk.chunks and not walk.problems:
        walk.problems.append(Stop(position, None, "missing IHDR", f"missing IHDR: no chunk at byte {position}"))
    elif not ended and not broke:
        walk.problems.append(Stop(size, None, "missing IEND",
                                  f"missing IEND: the file ends at byte {size} after {walk.chunks[-1].type}"))
    return walk


def _read_header(walk: _Walk, chunk: Chunk, payload: memoryview) -> None:
    if chunk.type != "IHDR":
        walk.problems.append(Stop(chunk.offset, chunk.type, "missing IHDR",
                                  f"missing IHDR: the first chunk is {chunk.type} at byte {chunk.offset}"))
        return
    if chunk.length != 13:
        walk.problems.append(Stop(chunk.offset, "IHDR", "bad IHDR value",
                                  f"bad IHDR value at byte {chunk.offset}: length {chunk.length}, not 13"))
        return
    walk.header = PngHeader(*struct.unpack(">IIBBBBB", payload))
    problem = _header_problem(walk.header)
    if problem is None:
        walk.header_ok = True
    else:
        where = chunk.offset + 8 + problem[0]
        walk.problems.append(Stop(where, "IHDR", "bad IHDR value", f"bad IHDR value at byte {where}: {problem[1]}"))


class _Rows:
    """Takes inflated image data piece by piece and records the filter type byte
    at the start of every row, pass after pass (the first RECORDED_ROWS of them:
    a hostile header and stream could ask for billions)."""

    def __init__(self, header: PngHeader) -> None:
        self.plan = row_sizes(header)
        self.expected = sum(rows * length for rows, length in self.plan)
        self.passes: List[bytearray] = [bytearray() for _ in self.plan]
        self.counts = [0] * len(self.plan)  # rows begun in each pass
        self.step = 0  # index into plan
        self._skip_empty()
        self.at = 0  # position inside the current row
        self.seen = 0  # bytes taken
        self.recorded = 0
        self.bad: Optional[Tuple[int, int]] = None  # (filter type, row number over all passes)

    def take(self, piece: bytes) -> None:
        position, size = 0, len(piece)
        self.seen += size
        while position < size and self.step < len(self.plan):
            rows, length = self.plan[self.step]
            if self.at:  # the rest of a row begun in an earlier piece
                move = min(length - self.at, size - position)
                position += move
                self.at = (self.at + move) % length
            else:
                # Every row that begins in this piece at once: its first bytes
                # are length apart.
                available = size - position
                count = min(rows - self.counts[self.step], (available + length - 1) // length)
                kinds = piece[position:position + count * length:length]
                self._record(kinds)
                self.counts[self.step] += count
                position += min(count * length, available)
                self.at = (available - (count - 1) * length) % length if count * length > available else 0
            if self.at == 0 and self.counts[self.step] == rows:
                self.step += 1
                self._skip_empty()

    def _record(self, kinds: bytes) -> None:
        if self.bad is None and kinds and max(kinds) > 4:
            index = next(i for i, kind in enumerate(kinds) if kind > 4)
            self.bad = (kinds[index], sum(self.counts) + index)
        room = max(0, RECORDED_ROWS - self.recorded)
        self.passes[self.step] += kinds[:room]
        self.recorded += min(room, len(kinds))

    def _skip_empty(self) -> None:
        # A pass without pixels has no rows, not even filter-type bytes.
        while self.step < len(self.plan) and not self.plan[self.step][0]:
            self.step += 1


def _inflate(walk: _Walk) -> Tuple[Optional[_Rows], Optional[Stop]]:
    """Inflates the IDAT payloads found, recording each row's filter type; the
    first problem of the image data, or None."""
    assert walk.header is not None
    rows = _Rows(walk.header)
    inflater = zlib.decompressobj()
    offset, chunk = 0, "IDAT"
    for offset, data_start, payload in walk.idat:
        for start in range(0, len(payload), INFLATE_PIECE):
            piece = payload[start:start + INFLATE_PIECE]
            saved = inflater.copy()
            try:
                rows.take(inflater.decompress(piece, INFLATE_PIECE))
                while inflater.unconsumed_tail and rows.seen <= rows.expected:
                    rows.take(inflater.decompress(inflater.unconsumed_tail, INFLATE_PIECE))
            except zlib.error as error:
                where = data_start + start + _first_failing(saved, piece)
                return rows, Stop(where, chunk, "zlib stream broken",
                                  f"zlib stream broken in IDAT at byte {where}: {error}")
            if rows.bad is not None:
                kind, row = rows.bad
                return rows, Stop(offset, chunk, "bad filter type",
                                  f"bad filter type {kind} in row {row} in IDAT at byte {offset}")
            if rows.seen > rows.expected:
                return rows, Stop(offset, chunk, "image data too long",
                                  f"image data too long in IDAT at byte {offset}: more than the "
                                  f"{rows.expected} bytes the header gives")
            if inflater.eof and inflater.unused_data:
                where = data_start + start + len(piece) - len(inflater.unused_data)
                return rows, Stop(where, chunk, "data after the zlib stream",
                                  f"data after the zlib stream in IDAT at byte {where}")
    end = walk.idat[-1][1] + len(walk.idat[-1][2]) if walk.idat else 0
    if rows.seen < rows.expected:
        return rows, Stop(end, chunk, "image data too short",
                          f"image data too short in IDAT at byte {end}: {rows.seen} of {rows.expected} bytes")
    if not inflater.eof:
        return rows, Stop(end, chunk, "zlib stream incomplete",
                          f"zlib stream incomplete in IDAT at byte {end}: all {rows.expected} bytes, no end mark")
    return rows, None


def _inflates(inflater: "zlib._Decompress", data: memoryview) -> bool:
    """Whether inflater takes data without an error. The output is dropped
    piece by piece, so that a little data that inflates to a lot costs no
    memory."""
    try:
        out = inflater.decompress(data, INFLATE_PIECE)
        # Also the output still held back when the input ran out, whose bits
        # zlib has taken but not yet decoded.
        while inflater.unconsumed_tail or len(out) == INFLATE_PIECE:
            out = inflater.decompress(inflater.unconsumed_tail, INFLATE_PIECE)
    except zlib.error:
        return False
    return True


def _first_failing(saved: "zlib._Decompress", piece: memoryview) -> int:
    """The offset in piece of the byte zlib refused, given the inflater as it
    was before piece. piece is fed again in steps of FAILING_STEP bytes, and
    the step that fails is halved: the data is inflated about once, not once
    for every halving."""
    inflater = saved.copy()
    for start in range(0, len(piece), FAILING_STEP):
        step = piece[start:start + FAILING_STEP]
        before = inflater.copy()
        if _inflates(inflater, step):
            continue
        low, high = 0, len(step)  # a prefix of low bytes passes, of high bytes fails
        while high - low > 1:
            middle = (low + high) // 2
            if _inflates(before.copy(), step[:middle]):
                low = middle
            else:
                high = middle
        return start + low
    return max(0, len(piece) - 1)


def _inspect_png(data: memoryview) -> PngLayout:
    walk = _walk_chunks(data)
    problems = list(walk.problems)
    idat_chunks = [chunk for chunk in walk.chunks if chunk.type == "IDAT"]
    runs: List[IdatRun] = []
    for chunk in idat_chunks:
        if runs and runs[-1].index + len(runs[-1].sizes) == chunk.index:
            runs[-1] = IdatRun(runs[-1].index, runs[-1].offset, runs[-1].sizes + (chunk.length,))
        else:
            runs.append(IdatRun(chunk.index, chunk.offset, (chunk.length,)))
    if len(runs) > 1:
        walk.notes.append(f"the IDAT chunks are not consecutive ({len(runs)} runs)")
    types = [chunk.type for chunk in walk.chunks]
    if walk.header is not None and walk.header.colour_type == 3 and "PLTE" not in types:
        walk.notes.append("no PLTE chunk, which a palette image needs")
    filters: Optional[Tuple[int, ...]] = None
    passes: Optional[Tuple[Tuple[int, ...], ...]] = None
    inflated, expected = 0, None
    if walk.header_ok and walk.idat:
        rows, stop = _inflate(walk)
        assert rows is not None
        inflated, expected = rows.seen, rows.expected
        filters = tuple(kind for each in rows.passes for kind in each)
        if sum(rows.counts) > len(filters):
            walk.notes.append(f"filter types kept for the first {len(filters)} of {sum(rows.counts)} rows")
        if walk.header is not None and walk.header.interlace == 1:
            passes = tuple(tuple(each) for each in rows.passes)
        # Data that runs out because the walk stopped is no damage of its own.
        if stop is not None and not (problems and stop.reason in ("image data too short", "zlib stream incomplete")):
            problems.append(stop)
    elif walk.header_ok and not problems:
        end = next((chunk.offset for chunk in walk.chunks if chunk.type == "IEND"), len(data))
        problems.append(Stop(end, None, "no image data", f"no image data: no IDAT chunk before byte {end}"))
    problems.sort(key=lambda stop: stop.offset)
    return PngLayout(len(data), walk.header, tuple(walk.chunks), tuple(runs), walk.after_end, filters, passes,
                     inflated, expected, tuple(problems), tuple(walk.notes))


# --- BMP ---------------------------------------------------------------------------------------

FILE_HEADER = (("signature", "2s"), ("file_size", "I"), ("reserved1", "H"), ("reserved2", "H"),
               ("pixel_offset", "I"))
CORE_HEADER = (("header_size", "I"), ("width", "H"), ("height", "H"), ("planes", "H"), ("bit_count", "H"))
INFO_HEADER = (("header_size", "I"), ("width", "i"), ("height", "i"), ("planes", "H"), ("bit_count", "H"),
               ("compression", "I"), ("image_size", "I"), ("x_pixels_per_metre", "i"),
               ("y_pixels_per_metre", "i"), ("colours_used", "I"), ("colours_important", "I"))
MASKS = (("red_mask", "I"), ("green_mask", "I"), ("blue_mask", "I"), ("alpha_mask", "I"))
V4_TAIL = (("colour_space", "I"),) + tuple((f"{c}_{axis}", "i") for c in ("red", "green", "blue")
                                           for axis in ("x", "y", "z")) + \
    (("gamma_red", "I"), ("gamma_green", "I"), ("gamma_blue", "I"))
V5_TAIL = (("intent", "I"), ("profile_data", "I"), ("profile_size", "I"), ("reserved", "I"))
HEADER_NAMES = {12: "BITMAPCOREHEADER", 16: "OS22XBITMAPHEADER (short)", 40: "BITMAPINFOHEADER",
                52: "BITMAPV2INFOHEADER", 56: "BITMAPV3INFOHEADER", 64: "OS22XBITMAPHEADER",
                108: "BITMAPV4HEADER", 124: "BITMAPV5HEADER"}
COMPRESSIONS = {0: "none", 1: "RLE8", 2: "RLE4", 3: "bit fields", 4: "JPEG", 5: "PNG", 6: "alpha bit fields",
                11: "CMYK", 12: "CMYK RLE8", 13: "CMYK RLE4"}


def _fields_for(header_size: int) -> Tuple[Tuple[str, str], ...]:
    if header_size == 12:
        return CORE_HEADER
    info = INFO_HEADER if header_size >= 40 else INFO_HEADER[:5]  # OS/2 short header: the first fields
    extra: Tuple[Tuple[str, str], ...] = ()
    if header_size >= 52:
        extra += MASKS[:3]
    if header_size >= 56:
        extra += MASKS[3:]
    if header_size >= 108:
        extra += V4_TAIL
    if header_size >= 124:
        extra += V5_TAIL
    return info + extra


def _unpack(data: memoryview, offset: int, layout: Tuple[Tuple[str, str], ...]) -> Iterator[Tuple[str, object]]:
    form = "<" + "".join(code for _, code in layout)
    values = struct.unpack_from(form, data, offset)
    for (name, _), value in zip(layout, values):
        yield name, value.decode("latin-1") if isinstance(value, bytes) else value


def _inspect_bmp(data: memoryview) -> BmpLayout:
    size = len(data)
    problems: List[Stop] = []
    notes: List[str] = []
    values: Dict[str, object] = {}
    if size < 18:
        stop = Stop(size, None, "truncated", f"truncated in the BMP file header at byte {size} of {size}")
        return BmpLayout(size, 0, "", 0, 0, False, 0, 0, 0, 0, 0, 0, 0, 0, MappingProxyType({}), (stop,), ())
    values.update(_unpack(data, 0, FILE_HEADER))
    (header_size,) = struct.unpack_from("<I", data, 14)
    layout = _fields_for(header_size)
    if header_size < 12 or header_size not in HEADER_NAMES and header_size < 40:
        problems.append(Stop(14, None, "bad BMP header value", f"bad BMP header value at byte 14: header size "
                                                                f"{header_size}"))
        layout = (("header_size", "I"),)
    elif size < 14 + header_size:
        problems.append(Stop(size, None, "truncated", f"truncated in the BMP info header at byte {size} "
                                                       f"of {14 + header_size}"))
        # The fields that are there are still shown.
        while layout and size < 14 + struct.calcsize("<" + "".join(code for _, code in layout)):
            layout = layout[:-1]
    values.update(_unpack(data, 14, layout))
    name = HEADER_NAMES.get(header_size, f"{header_size}-byte header")
    width = int(values.get("width", 0))  # type: ignore[call-overload]
    height = int(values.get("height", 0))  # type: ignore[call-overload]
    bit_count = int(values.get("bit_count", 0))  # type: ignore[call-overload]
    compression = int(values.get("compression", 0))  # type: ignore[call-overload]
    colours_used = int(values.get("colours_used", 0))  # type: ignore[call-overload]
    pixel_offset = int(values["pixel_offset"])  # type: ignore[call-overload]
    headers_end = 14 + header_size
    if compression in (3, 6) and header_size == 40:
        count = 3 if compression == 3 else 4
        if size >= headers_end + 4 * count:
            values.update(_unpack(data, headers_end, MASKS[:count]))
        headers_end += 4 * count
    if bit_count <= 8 and bit_count:
        entries = colours_used or 1 << bit_count
        values["colour_table_entries"] = entries
        values["colour_table_bytes"] = entries * (3 if header_size == 12 else 4)
    top_down = height < 0 and header_size != 12
    row_size = (width * bit_count + 31) // 32 * 4 if width > 0 else 0
    compressed = compression not in (0, 3, 6)
    image_size = int(values.get("image_size", 0))  # type: ignore[call-overload]
    pixel_bytes = image_size if compressed else row_size * abs(height)
    if not problems:
        bad = _bmp_header_problem(values, header_size, width, height, bit_count, compression, pixel_offset,
                                  headers_end)
        if bad:
            problems.append(Stop(bad[0], None, "bad BMP header value", f"bad BMP header value at byte {bad[0]}: "
                                                                        f"{bad[1]}"))
    gap = pixel_offset - headers_end
    rows_end = pixel_offset + pixel_bytes
    if not problems and rows_end > size:
        problems.append(Stop(size, None, "rows cut short", f"BMP rows cut short at byte {size} of {rows_end}"))
    after_rows = max(0, size - rows_end) if pixel_offset <= size else 0
    table = values.get("colour_table_bytes")
    if isinstance(table, int) and gap < table:
        notes.append(f"the colour table of {values['colour_table_entries']} entries needs {table} bytes, "
                     f"{max(gap, 0)} stand between the headers and the rows")
    if values["file_size"] != size:
        notes.append(f"the file size field says {values['file_size']}, the file has {size} bytes")
    space = values.get("colour_space")
    if isinstance(space, int):
        tag = space.to_bytes(4, "big")
        values["colour_space_name"] = tag.decode("latin-1") if tag.isalpha() else "calibrated" if not space \
            else str(space)
    if header_size == 124 and values.get("profile_size"):
        start = 14 + int(values["profile_data"])  # type: ignore[call-overload]
        notes.append(f"a colour profile of {values['profile_size']} bytes at byte {start}")
    return BmpLayout(size, header_size, name, width, abs(height), top_down, bit_count, compression, colours_used,
                     pixel_offset, row_size, pixel_bytes, gap, after_rows, MappingProxyType(values), tuple(problems),
                     tuple(notes))


def _bmp_header_problem(values: Mapping[str, object], header_size: int, width: int, height: int, bit_count: int,
                        compression: int, pixel_offset: int, headers_end: int) -> Optional[Tuple[int, str]]:
    if width <= 0:
        return 18, f"width {width}"
    if height == 0:
        return 22 if header_size > 12 else 20, "height 0"
    if values.get("planes") != 1:
        return 26 if header_size > 12 else 22, f"planes {values.get('planes')}"
    if bit_count not in (1, 2, 4, 8, 16, 24, 32) and not (bit_count == 0 and compression in (4, 5)):
        return 28 if header_size > 12 else 24, f"bit count {bit_count}"
    if compression not in COMPRESSIONS:
        return 30, f"compression {compression}"
    if height < 0 and compression in (1, 2):
        return 22, f"height {height}: run-length data cannot be top-down"
    if pixel_offset < headers_end:
        return 10, f"pixel offset {pixel_offset} inside the headers, which end at byte {headers_end}"
    return None
