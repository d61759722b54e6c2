"""The commands that read layouts: info (alias inspect), which prints the layout
of any PNG or BMP files, and diff, which compares two files."""

from __future__ import annotations

import json
import sys
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from Tavrune._files import NotRegularFileError, escape_output, message, same_file, shown, skipped_line
from Tavrune._inspect import FILTER_NAMES, BmpLayout, Chunk, Layout, PngLayout, inspect


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


# --- info ----------------------------------------------------------------------------------------


def _value_text(chunk: Chunk) -> str:
    value = chunk.value
    if value is None or chunk.type == "IHDR":
        return ""
    if "error" in value:
        return str(value["error"])
    if chunk.type in ("tEXt", "zTXt", "iTXt"):
        size = value.get("text_length", value.get("compressed_length"))
        kind = "compressed bytes" if "text_length" not in value or value.get("compressed") else "bytes"
        return f"{value['keyword']}: {size} {kind}"
    if chunk.type == "pHYs":
        text = f"{value['x']}x{value['y']} per {value['unit']}"
        dpi = value.get("dpi")
        return text + (f" ({dpi[0]:g}x{dpi[1]:g} dpi)" if isinstance(dpi, tuple) else "")
    if chunk.type == "tIME":
        return str(value["time"])
    if chunk.type == "gAMA":
        return f"gamma {value['gamma']:g}"
    if chunk.type == "sRGB":
        return f"intent {value['intent']} ({value['intent_name']})"
    if chunk.type == "iCCP":
        return f"profile {value['profile_name']!r}, {value['compressed_length']} compressed bytes"
    if chunk.type == "PLTE":
        return _plural(int(value["entries"]), "entry").replace("entrys", "entries") + (  # type: ignore[call-overload]
            "" if value["length_ok"] else ", length not a multiple of 3")
    if chunk.type in ("tRNS", "eXIf"):
        return _plural(int(value["length"]), "byte")  # type: ignore[call-overload]
    if chunk.type == "acTL":
        return f"{_plural(int(value['frames']), 'frame')}, plays {value['plays'] or 'forever'}"  # type: ignore[call-overload]
    return ", ".join(f"{key} {_plain(item)}" for key, item in value.items())


def _plain(value: object) -> str:
    if isinstance(value, tuple):
        return "(" + ", ".join(_plain(item) for item in value) + ")"
    return f"{value:g}" if isinstance(value, float) else str(value)


def _flags(chunk: Chunk) -> str:
    words = ["critical" if chunk.critical else "ancillary"]
    if chunk.private:
        words.append("private")
    if chunk.safe_to_copy:
        words.append("copy")
    return ",".join(words)


def chunk_groups(chunks: Sequence[Tuple[str, int]]) -> List[Tuple[int, int, str, str, str]]:
    """(start, end, index, name, note) for each line of a table of the chunks
    [(type, length), ...]. Consecutive IDAT chunks of one size share a line
    (name "IDAT ×count", note "each"), together with the IDAT chunk that ends
    the run when it is the last of the image data (note "each, last N"): a
    writer cuts the stream into equal pieces and the last one takes the rest."""
    groups, start = [], 0
    while start < len(chunks):
        kind, length = chunks[start]
        end = start + 1
        while kind == "IDAT" and end < len(chunks) and chunks[end] == (kind, length):
            end += 1
        note = ""
        if end - start > 1:
            note = "each"
            last = end < len(chunks) and chunks[end][0] == "IDAT"
            if last and (end + 1 == len(chunks) or chunks[end + 1][0] != "IDAT"):
                note += f", last {chunks[end][1]}"
                end += 1
        index = str(start) if end - start == 1 else f"{start}-{end - 1}"
        groups.append((start, end, index, kind + (f" \u00d7{end - start}" if end - start > 1 else ""), note))
        start = end
    return groups


def _chunk_lines(layout: PngLayout) -> List[Tuple[str, str, str, str, str, str, str]]:
    """(offset, index, type, length, crc, flags, value) per line (see chunk_groups)."""
    chunks = layout.chunks
    lines = []
    for start, end, index, name, note in chunk_groups([(chunk.type, chunk.length) for chunk in chunks]):
        chunk = chunks[start]
        crc = "ok" if all(c.crc_ok for c in chunks[start:end]) else "BAD"
        lines.append((str(chunk.offset), index, name, str(chunk.length), crc, _flags(chunk),
                      note or _value_text(chunk)))
    return lines


def filter_summary(filters: Sequence[int]) -> str:
    counts = {kind: 0 for kind in sorted(set(filters))}
    for kind in filters:
        counts[kind] += 1
    return ", ".join(f"{_plural(count, 'row')} {FILTER_NAMES[kind] if kind < 5 else kind}"
                     for kind, count in counts.items()) or "none"


def _rows_lines(filters: Sequence[int], indent: str) -> List[str]:
    return [indent + "".join(str(kind) for kind in filters[start:start + 32])
            for start in range(0, len(filters), 32)]


def png_lines(name: str, layout: PngLayout, rows: bool = False) -> List[str]:
    """The text info prints for a PNG."""
    header = layout.header
    lines = [f"{name}: PNG {header.describe() if header else 'without a header'}, {layout.file_size} bytes"]
    table = [("offset", "#", "type", "length", "crc", "flags", "value")] + _chunk_lines(layout)
    widths = [max(len(row[i]) for row in table) for i in range(6)]
    for row in table:
        cells = [row[0].rjust(widths[0]), row[1].ljust(widths[1]), row[2].ljust(widths[2]),
                 row[3].rjust(widths[3]), row[4].ljust(widths[4]), row[5].ljust(widths[5]), row[6]]
        lines.append(("  " + "  ".join(cells)).rstrip())
    if layout.idat_runs:
        sizes = [size for run in layout.idat_runs for size in run.sizes]
        text = f"  image data: {_plural(len(sizes), 'IDAT chunk')}, {sum(sizes)} bytes"
        if len(layout.idat_runs) > 1:
            text += f" in {len(layout.idat_runs)} separate runs"
        if layout.expected is not None:
            text += f", inflating to {layout.inflated} of {layout.expected} bytes"
        lines.append(text)
    if layout.filters is not None:
        lines.append(f"  filter types: {filter_summary(layout.filters)}")
        if rows and layout.passes is not None:
            for number, kinds in enumerate(layout.passes, 1):
                if not kinds:
                    continue
                lines.append(f"  filter type per row, pass {number}:")
                lines += _rows_lines(kinds, "    ")
        elif rows:
            lines.append("  filter type per row:")
            lines += _rows_lines(layout.filters, "    ")
    if layout.after_end:
        lines.append(f"  after IEND: {layout.after_end} bytes")
    lines += [f"  note: {note}" for note in layout.notes]
    lines += [f"  {'stopped' if i == 0 else 'also'}: {stop}" for i, stop in enumerate(layout.problems)]
    return lines


def bmp_lines(name: str, layout: BmpLayout) -> List[str]:
    """The text info prints for a BMP."""
    order = "top-down" if layout.top_down else "bottom-up"
    lines = [f"{name}: BMP {layout.width}x{layout.height}, {layout.bit_count}-bit, {order}, "
             f"{layout.file_size} bytes"]
    if layout.header_size:
        lines.append(f"  header: {layout.header_name}, {layout.header_size} bytes")
    width = max((len(key) for key in layout.fields), default=0)
    lines += [f"  {key:<{width}}  {_plain(value)}" for key, value in layout.fields.items()]
    if layout.header_size:
        lines.append(f"  pixel rows: at byte {layout.pixel_offset}, {layout.pixel_bytes} bytes"
                     + (f" ({layout.height} rows of {layout.row_size})" if layout.row_size else ""))
        lines.append(f"  between the headers and the rows: {layout.gap} bytes")
        lines.append(f"  after the rows: {layout.after_rows} bytes")
    lines += [f"  note: {note}" for note in layout.notes]
    lines += [f"  {'stopped' if i == 0 else 'also'}: {stop}" for i, stop in enumerate(layout.problems)]
    return lines


def layout_lines(name: str, layout: Layout, rows: bool = False) -> List[str]:
    if isinstance(layout, PngLayout):
        return png_lines(name, layout, rows)
    if isinstance(layout, BmpLayout):
        return bmp_lines(name, layout)
    return [f"{name}: not a PNG or BMP file ({layout.file_size} bytes"
            + (f", starting {layout.head[:8].hex(' ')})" if layout.head else ")")]


def info(paths: Iterable[str], rows: bool = False, as_json: bool = False) -> int:
    """Prints the layout of every file (folders: their *.png and *.bmp files);
    status 1 when a file could not be read or is neither PNG nor BMP."""
    from Tavrune import _batch
    escape_output()
    status = 0
    found = _batch.collect(list(paths))  # type: ignore[no-untyped-call]
    for error in found.unlisted:
        status = 1
        print(f"error: {message(error)}", file=sys.stderr)
    skipped: List[str] = list(found.irregular)
    for path in skipped:
        print(skipped_line(path, as_json))
    files: List[Tuple[str, str]] = found.files
    for path, _ in files:
        record: Dict[str, object] = {"file": shown(path)}
        try:
            layout = inspect(path)
        except NotRegularFileError:  # made a FIFO or a device since it was listed
            print(skipped_line(path, as_json))
            continue
        except (OSError, MemoryError) as error:
            status = 1
            text = message(error)
            print(f"error: {text}" if isinstance(error, OSError) else f"error: {path}: {text}", file=sys.stderr)
            if as_json:
                print(json.dumps({**record, "error": text}))
            continue
        if layout.format is None:
            status = 1
        if as_json:
            record.update(layout.to_dict())
            print(json.dumps(record))
        else:
            for line in layout_lines(path, layout, rows):
                print(line)
    return status


# --- diff ----------------------------------------------------------------------------------------


def _describe(layout: Layout) -> str:
    if isinstance(layout, PngLayout):
        return f"PNG {layout.header.describe() if layout.header else 'without a header'}, {layout.file_size} bytes"
    if isinstance(layout, BmpLayout):
        return f"BMP {layout.width}x{layout.height}, {layout.bit_count}-bit, {layout.file_size} bytes"
    return f"not a PNG or BMP file, {layout.file_size} bytes"


def _short(value: object) -> str:
    if isinstance(value, Mapping):
        return ", ".join(f"{key} {_plain(item if not isinstance(item, list) else tuple(item))}"
                         for key, item in value.items() if key != "colour_name")
    return "" if value is None else _plain(value)


def _sizes(sizes: Sequence[int]) -> str:
    return f"{_plural(len(sizes), 'IDAT chunk')} ({', '.join(map(str, sizes[:8]))}{', ...' if len(sizes) > 8 else ''})"


def diff_lines(old_name: str, new_name: str, found: Any) -> List[str]:
    """The text diff prints for a Difference."""
    lines = [f"--- {old_name}: {_describe(found.old_layout)}", f"+++ {new_name}: {_describe(found.new_layout)}"]
    if found.identical:
        return lines + ["identical"]
    lines.append(f"first difference at byte {found.first_difference}")
    if found.chunks:
        counts = found.counts()
        lines.append("chunks: " + ", ".join(f"{count} {status}" for status, count in counts.items()))
        for change in found.chunks:
            if change.status == "kept":
                continue
            where = f"#{change.old}" if change.old is not None else ""
            where += (" -> " if change.old is not None and change.new is not None else "") + \
                (f"#{change.new}" if change.new is not None else "")
            text = f"  {change.status:<8} {change.type:<5} {where}"
            if change.status == "changed" and change.type != "IDAT":
                text += f"  {_short(change.old_value)} -> {_short(change.new_value)}"
            elif change.status != "moved":
                text += f"  {_short(change.old_value if change.new is None else change.new_value)}"
            lines.append(text.rstrip())
    for field in found.header:
        lines.append(f"header: {field.name} {_plain(field.old)} -> {_plain(field.new)}")
    old_idat, new_idat = found.idat_sizes
    if old_idat != new_idat:
        lines.append(f"image data: {_sizes(old_idat)} -> {_sizes(new_idat)}")
    if found.filter_rows_changed:
        rows = ", ".join(f"row {row} {a} -> {b}" for row, a, b in found.filter_rows)
        more = ", ..." if found.filter_rows_changed > len(found.filter_rows) else ""
        lines.append(f"filter types: {_plural(found.filter_rows_changed, 'row')} differ: {rows}{more}")
    if found.after_end[0] != found.after_end[1]:
        after = "IEND" if found.old_format == "PNG" else "the rows"
        lines.append(f"bytes after {after}: {found.after_end[0]} -> {found.after_end[1]}")
    pixels = found.pixels
    if pixels is None:
        lines.append(f"pixels: not compared: {found.pixel_note}")
    elif not pixels.same_size:
        lines.append(f"pixels: sizes differ: {pixels.old_size[0]}x{pixels.old_size[1]} -> "
                     f"{pixels.new_size[0]}x{pixels.new_size[1]}")
    else:
        total = pixels.old_size[0] * pixels.old_size[1]
        if pixels.changed:
            left, top, right, bottom = pixels.box
            lines.append(f"pixels: {pixels.changed} of {total} changed, within x {left}-{right - 1}, "
                         f"y {top}-{bottom - 1}")
            lines += [f"  ({x}, {y})  {old} -> {new}" for x, y, old, new in pixels.first]
            if pixels.changed > len(pixels.first):
                lines.append("  ...")
            red, green, blue = pixels.largest
            lines.append(f"  largest change: red {red}, green {green}, blue {blue}")
        else:
            lines.append(f"pixels: none of {total} changed")
        if pixels.old_alpha != pixels.new_alpha:
            lines.append(f"alpha plane: {'only in the old image' if pixels.old_alpha else 'only in the new image'}")
        if pixels.alpha_changed:
            lines.append(f"alpha: {pixels.alpha_changed} of {total} changed, largest change {pixels.largest_alpha}")
    return lines


def diff_command(old: str, new: str, as_json: bool = False, image: Optional[str] = None) -> int:
    """diff A B: status 0 when identical, 1 when different, 2 on trouble."""
    from Tavrune._diff import change_picture, compare
    escape_output()
    if image is not None and (same_file(image, old) or same_file(image, new)):
        print(f"error: the picture {image} would be written over an input", file=sys.stderr)
        return 2
    try:
        found, images = compare(old, new)
    except NotRegularFileError as error:
        print(skipped_line(error.filename), file=sys.stderr)
        return 2
    except (OSError, MemoryError) as error:
        print(f"error: {message(error)}", file=sys.stderr)
        return 2
    if as_json:
        record = {"old": shown(old), "new": shown(new), **found.to_dict()}
        print(json.dumps(record))
    else:
        for line in diff_lines(old, new, found):
            print(line)
    if image is not None:
        try:
            written = images is not None and change_picture(*images, image)
        except (OSError, MemoryError) as error:
            print(f"error: {message(error)}", file=sys.stderr)
            return 2
        if not written:
            print(f"no picture written to {image}: the images do not both open, or differ in size",
                  file=sys.stderr)
    return 0 if found.identical else 1


# --- the parser ----------------------------------------------------------------------------------


def add_commands(commands: Any) -> None:
    """Adds info (alias inspect) and diff to the command line's subparsers."""
    parser = commands.add_parser(
        "info", aliases=["inspect"], help="print the layout of PNG and BMP files, also damaged ones",
        description="Print the layout of each PNG or BMP file, of any kind, also those the module does not "
                    "open: for a PNG every chunk with its offset, length, CRC check, flags (critical or "
                    "ancillary, private, safe to copy) and the values of common chunks, the image data and "
                    "the filter types of its rows, bytes after IEND; for a BMP every header field, where the "
                    "rows are and the bytes around them. A damaged file is read up to the damage, and where "
                    "and why reading stopped is printed. Consecutive IDAT chunks of one size share a line. "
                    "Exit status 1 when a file could not be read or is neither PNG nor BMP.")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="PNG or BMP files, and folders searched recursively for *.png and *.bmp")
    parser.add_argument("--rows", action="store_true", help="also print the filter type of every row")
    parser.add_argument("--json", action="store_true", help="print one JSON object per file: every chunk, "
                                                            "every row's filter type, every field")
    parser.set_defaults(handler=lambda arguments: info(arguments.files, arguments.rows, arguments.json))
    parser = commands.add_parser(
        "diff", help="compare two PNG or BMP files: chunks, header, filter types, pixels",
        description="Compare two PNG or BMP files: the chunks kept, changed, added, removed and moved (the "
                    "image data counted as one), the header fields, the IDAT sizes, the filter type of each "
                    "row, the bytes after the image; and when the module opens both, the pixels: how many "
                    "changed, where, by how much, alpha apart. Exit status 0 when the files are identical, "
                    "1 when they differ, 2 on trouble.")
    parser.add_argument("old", metavar="A", help="the first (old) file")
    parser.add_argument("new", metavar="B", help="the second (new) file")
    parser.add_argument("--json", action="store_true", help="print the comparison as one JSON object")
    parser.add_argument("--image", metavar="OUT.png",
                        help="write a picture of the change: unchanged pixels dimmed, changed ones magenta "
                             "(cyan where only the alpha changed)")
    parser.set_defaults(handler=lambda arguments: diff_command(arguments.old, arguments.new, arguments.json,
                                                               arguments.image))


