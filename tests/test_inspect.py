"""Tavrune.inspect: the layout of files made by another encoder (Pillow) and by
hand (interlaced, V4/V5 BMP headers), and of damaged files, each class of damage
found at its place."""

import io
import json
import struct
import zlib

import pytest

import Tavrune
from support.builders import assemble, build_bmp, build_png, png_chunks, random_rows, scanlines

Image = pytest.importorskip("PIL.Image")
PngImagePlugin = pytest.importorskip("PIL.PngImagePlugin")


def pillow_png(mode, size=(7, 5), **options):
    buffer = io.BytesIO()
    Image.linear_gradient("L").resize(size).convert(mode).save(buffer, "PNG", **options)
    return buffer.getvalue()


@pytest.mark.parametrize("mode, colour_type, bit_depth", [
    ("1", 0, 1), ("L", 0, 8), ("I;16", 0, 16), ("P", 3, 8), ("LA", 4, 8), ("RGB", 2, 8), ("RGBA", 6, 8),
])
def test_files_made_by_pillow_are_read_whole(mode, colour_type, bit_depth):
    info = PngImagePlugin.PngInfo()
    info.add_text("Title", "ramp")
    info.add_itxt("Comment", "déjà", lang="fr")
    data = pillow_png(mode, pnginfo=info, dpi=(300, 300))
    layout = Tavrune.inspect(data)
    assert (layout.format, layout.stopped, layout.after_end, layout.file_size) == ("PNG", None, 0, len(data))
    assert (layout.header.width, layout.header.height) == (7, 5)
    assert (layout.header.colour_type, layout.header.bit_depth) == (colour_type, bit_depth)
    assert len(layout.filters) == 5 and all(kind <= 4 for kind in layout.filters)
    assert layout.inflated == layout.expected == 5 * (1 + (7 * layout.header.bits_per_pixel + 7) // 8)
    values = {chunk.type: chunk.value for chunk in layout.chunks}
    assert values["tEXt"] == {"keyword": "Title", "text_length": 4}
    assert values["iTXt"]["keyword"] == "Comment" and values["iTXt"]["language"] == "fr"
    assert values["pHYs"]["dpi"] == (300.0, 300.0)
    assert all(chunk.crc_ok for chunk in layout.chunks)
    offsets = [8]
    for found in layout.chunks[:-1]:
        offsets.append(offsets[-1] + 12 + found.length)
    assert [found.offset for found in layout.chunks] == offsets
    assert ("PLTE" in values) == (colour_type == 3)
    json.dumps(layout.to_dict())


def test_ancillary_values_and_flags():
    extra = [(1, b"gAMA", struct.pack(">I", 45455)), (1, b"sRGB", b"\x01"), (1, b"iCCP", b"sRGB IEC\0\0xyz"),
             (1, b"cHRM", struct.pack(">8I", *range(8))), (1, b"bKGD", struct.pack(">3H", 1, 2, 3)),
             (1, b"sBIT", b"\x05\x06\x05"), (1, b"acTL", struct.pack(">II", 3, 0)),
             (1, b"tIME", b"\x07\xea\x0c\x08\x17\x3b\x3a"), (1, b"prIv", b"x"), (1, b"pHYs", b"short")]
    layout = Tavrune.inspect(build_png(random_rows(2, 2), insert=extra))
    by_type = {found.type: found for found in layout.chunks}
    assert by_type["gAMA"].value == {"gamma": 0.45455}
    assert by_type["sRGB"].value == {"intent": 1, "intent_name": "relative colorimetric"}
    assert by_type["iCCP"].value == {"profile_name": "sRGB IEC", "compression": 0, "compressed_length": 3}
    assert by_type["cHRM"].value["green"] == (4e-05, 5e-05)
    assert by_type["bKGD"].value == {"colour": (1, 2, 3)}
    assert by_type["sBIT"].value == {"bits": (5, 6, 5)}
    assert by_type["tIME"].value == {"time": "2026-12-08 23:59:58"}
    assert by_type["pHYs"].value["error"].startswith("cannot decode 5 bytes")
    assert layout.animated and by_type["acTL"].value == {"frames": 3, "plays": 0}
    flags = {name: (by_type[name].critical, by_type[name].private, by_type[name].safe_to_copy)
             for name in ("IHDR", "prIv", "tIME", "gAMA")}
    assert flags == {"IHDR": (True, False, False), "prIv": (False, True, True), "tIME": (False, False, False),
                     "gAMA": (False, False, False)}


def adam7(rows, width, height, channels, filters):
    """Interlaced image data from full rows: each pass's sub-image filtered with
    the pass's filter types (one list per pass), as an independent encoder does."""
    data = b""
    for (x0, y0, dx, dy), kinds in zip(Tavrune._inspect.ADAM7, filters):
        sub = [b"".join(rows[y][x * channels:(x + 1) * channels] for x in range(x0, width, dx))
               for y in range(y0, height, dy)]
        if sub and sub[0]:
            data += scanlines(sub, channels, kinds)
    return data


@pytest.mark.parametrize("width, height", [(9, 7), (1, 1), (3, 10)])
def test_interlaced_rows_are_found_per_pass(width, height):
    rows = random_rows(width, height, 3, seed=width)
    plan = Tavrune._inspect.row_sizes(Tavrune._inspect.PngHeader(width, height, 8, 2, 0, 0, 1))
    filters = [[(pass_ + row) % 5 for row in range(rows_)] for pass_, (rows_, _) in enumerate(plan)]
    data = zlib.compress(adam7(rows, width, height, 3, filters))
    layout = Tavrune.inspect(build_png(rows, data=data, interlace=1))
    assert layout.stopped is None
    assert layout.passes == tuple(tuple(kinds) for kinds in filters)
    assert layout.filters == tuple(kind for kinds in filters for kind in kinds)


def test_runs_of_idat_and_bytes_after_iend():
    data = build_png(random_rows(20, 20), idat_sizes=(100, 100), insert=[(-1, b"tEXt", b"a\0b")]) + b"junk"
    layout = Tavrune.inspect(data)
    assert [(run.index, run.sizes[:2]) for run in layout.idat_runs] == [(1, (100, 100))]
    assert layout.after_end == 4 and layout.stopped is None


ROWS = random_rows(6, 4)
GOOD = build_png(ROWS, idat_sizes=(40,))
IDAT2 = Tavrune.inspect(GOOD).chunks[2].offset  # the second IDAT chunk


def flip(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0x55]) + data[offset + 1:]


def stream(filters=0, data=None, **header):
    return assemble(png_chunks(ROWS, filters=filters, data=data, **header))


@pytest.mark.parametrize("data, reason, offset, chunk, message", [
    (GOOD[:IDAT2 + 2], "truncated", IDAT2 + 2, None, f"truncated in a chunk length at byte {IDAT2 + 2} of "),
    (GOOD[:IDAT2 + 6], "truncated", IDAT2 + 6, None, "truncated in a chunk type at byte"),
    (GOOD[:IDAT2 + 20], "truncated", IDAT2 + 20, "IDAT", f"truncated in IDAT at byte {IDAT2 + 20} of {IDAT2 + 20}"),
    (GOOD[:-2], "truncated", len(GOOD) - 2, "IEND", "truncated in the CRC of IEND at byte"),
    (flip(GOOD, IDAT2 + 9), "CRC mismatch", IDAT2, "IDAT", f"CRC mismatch in IDAT at byte {IDAT2} (stored"),
    (GOOD[:-12], "missing IEND", len(GOOD) - 12, None, "missing IEND: the file ends at byte"),
    (assemble(png_chunks(ROWS)[1:]), "missing IHDR", 8, "IDAT", "missing IHDR: the first chunk is IDAT at byte 8"),
    (stream(width=0), "bad IHDR value", 16, "IHDR", "bad IHDR value at byte 16: width 0"),
    (stream(bit_depth=16, color_type=3), "bad IHDR value", 24, "IHDR", "bad IHDR value at byte 24: bit depth 16 "),
    (stream(color_type=5), "bad IHDR value", 25, "IHDR", "bad IHDR value at byte 25: colour type 5"),
    (stream(compression=1), "bad IHDR value", 26, "IHDR", "bad IHDR value at byte 26: compression method 1"),
    (stream(filter_method=1), "bad IHDR value", 27, "IHDR", "bad IHDR value at byte 27: filter method 1"),
    (stream(interlace=2), "bad IHDR value", 28, "IHDR", "bad IHDR value at byte 28: interlace method 2"),
    (stream(data=b"\x78\x9c\xff\xff\xff"), "zlib stream broken", 43, "IDAT", "zlib stream broken in IDAT at byte 43: "),
    (stream(data=zlib.compress(scanlines(ROWS, 3))[:-30]), "image data too short", None, "IDAT",
     "image data too short in IDAT at byte"),
    (stream(data=zlib.compress(scanlines(ROWS, 3) + b"\0" * 19)), "image data too long", 33, "IDAT",
     "image data too long in IDAT at byte 33: more than the 76 bytes"),
    (stream(filters=[0, 0, 7, 0]), "bad filter type", 33, "IDAT", "bad filter type 7 in row 2 in IDAT at byte 33"),
    (assemble([png_chunks(ROWS)[0], (b"IEND", b"")]), "no image data", 33, None, "no image data"),
])
def test_damage_is_found_where_it_is(data, reason, offset, chunk, message):
    layout = Tavrune.inspect(data)
    stop = layout.stopped
    assert (layout.format, stop.reason, stop.chunk) == ("PNG", reason, chunk)
    assert offset is None or stop.offset == offset
    assert str(stop).startswith(message)
    json.dumps(layout.to_dict())


def test_the_byte_zlib_refuses_is_found_exactly():
    good = zlib.compress(scanlines(ROWS, 3))
    bad = good[:2] + b"\x07" + good[3:]  # a reserved block type in the first block header
    layout = Tavrune.inspect(stream(data=bad))
    assert (layout.stopped.reason, layout.stopped.offset) == ("zlib stream broken", 41 + 2)
    assert layout.stopped.message.endswith("invalid block type")


@pytest.mark.parametrize("tail, message", [(b"\x07", "invalid block type"),
                                           (b"\x00\x01\x00\x00\x00", "invalid stored block lengths")])
def test_finding_the_refused_byte_after_much_data_costs_little_memory(tail, message):
    import tracemalloc
    squeezed = zlib.compressobj(9)
    data = squeezed.compress(bytes(32 << 20)) + squeezed.flush(zlib.Z_SYNC_FLUSH) + tail  # 32 KiB for 32 MiB
    png = assemble([(b"IHDR", struct.pack(">IIBBBBB", 8192, 8192, 8, 2, 0, 0, 0)), (b"IDAT", data), (b"IEND", b"")])
    tracemalloc.start()
    try:
        stop = Tavrune.inspect(png).stopped
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert stop.reason == "zlib stream broken" and stop.message.endswith(message)
    assert 41 + len(data) - len(tail) <= stop.offset < 41 + len(data) and peak < 16 << 20


def test_rows_before_the_damage_are_still_read():
    data = build_png(random_rows(50, 40), filters=[1] * 40, level=0)
    layout = Tavrune.inspect(data[:len(data) // 2])
    assert layout.stopped.reason == "truncated" and 10 < len(layout.filters) < 40
    assert set(layout.filters) == {1}


# --- BMP -----------------------------------------------------------------------------------------


def pillow_bmp(mode):
    buffer = io.BytesIO()
    Image.new(mode, (5, 3)).save(buffer, "BMP")
    return buffer.getvalue()


@pytest.mark.parametrize("data, header_size, bit_count, gap, after_rows, top_down", [
    (build_bmp(random_rows(5, 3)), 40, 24, 0, 0, False),
    (build_bmp(random_rows(5, 3), top_down=True, gap=b"xy", trailing=b"tail"), 40, 24, 2, 4, True),
    (build_bmp(random_rows(5, 3), dib_size=108, gap=bytes(68)), 108, 24, 0, 0, False),
    (build_bmp(random_rows(5, 3), dib_size=124, gap=bytes(84) + b"pad"), 124, 24, 3, 0, False),
    (pillow_bmp("P"), 40, 8, None, 0, False),  # gap None: the colour table, as long as Pillow made it
    (pillow_bmp("1"), 40, 1, None, 0, False),
    (pillow_bmp("RGBA"), 40, 32, 0, 0, False),
])
def test_bmp_headers_of_any_size(data, header_size, bit_count, gap, after_rows, top_down):
    layout = Tavrune.inspect(data)
    assert (layout.format, layout.stopped, layout.header_size, layout.bit_count) == ("BMP", None, header_size,
                                                                                    bit_count)
    if gap is None:  # Pillow's versions differ in the colour tables they write
        gap = layout.pixel_offset - 54
        assert (gap < layout.colour_table_bytes) == bool(layout.notes)
    assert (layout.width, layout.height, layout.gap, layout.after_rows, layout.top_down) == (
        5, 3, gap, after_rows, top_down)
    assert layout.pixel_offset + layout.pixel_bytes + after_rows == len(data)
    assert layout.fields["header_size"] == header_size and layout.y_pixels_per_metre == layout.fields[
        "y_pixels_per_metre"]
    assert layout.fields["height"] == (-3 if top_down else 3)
    assert ("gamma_blue" in layout.fields) == (header_size >= 108)
    assert ("profile_size" in layout.fields) == (header_size == 124)
    json.dumps(layout.to_dict())


def test_a_short_colour_table_is_noted():
    layout = Tavrune.inspect(build_bmp(random_rows(5, 3), bit_count=8, clr_used=2, gap=bytes(4)))
    assert (layout.gap, layout.row_size, layout.after_rows, layout.stopped) == (4, 8, 24, None)
    assert layout.notes == ("the colour table of 2 entries needs 8 bytes, 4 stand between the headers and the rows",)


def test_a_core_header_has_16_bit_sizes():
    data = b"BM" + struct.pack("<IHHI", 26 + 12, 0, 0, 26) + struct.pack("<IHHHH", 12, 2, 2, 1, 24) + bytes(16)
    layout = Tavrune.inspect(data)
    assert (layout.header_name, layout.width, layout.height, layout.row_size, layout.stopped) == (
        "BITMAPCOREHEADER", 2, 2, 8, None)


BMP = build_bmp(random_rows(5, 3))


@pytest.mark.parametrize("data, reason, message", [
    (BMP[:10], "truncated", "truncated in the BMP file header at byte 10 of 10"),
    (BMP[:30], "truncated", "truncated in the BMP info header at byte 30 of 54"),
    (BMP[:-5], "rows cut short", f"BMP rows cut short at byte {len(BMP) - 5} of {len(BMP)}"),
    (build_bmp(random_rows(5, 3), width=0), "bad BMP header value", "bad BMP header value at byte 18: width 0"),
    (build_bmp(random_rows(5, 3), planes=2), "bad BMP header value", "bad BMP header value at byte 26: planes 2"),
    (build_bmp(random_rows(5, 3), bit_count=7), "bad BMP header value", "bad BMP header value at byte 28: bit count"),
    (build_bmp(random_rows(5, 3), dib_size=20), "bad BMP header value", "bad BMP header value at byte 14: header"),
    (build_bmp(random_rows(5, 3), pixel_offset=20), "bad BMP header value", "bad BMP header value at byte 10: pixel"),
])
def test_bmp_damage(data, reason, message):
    stop = Tavrune.inspect(data).stopped
    assert (stop.reason, str(stop)[:len(message)]) == (reason, message)


@pytest.mark.parametrize("data", [b"", b"GIF89a", b"\x89PNG\r\n"])
def test_anything_else_is_unknown(data):
    layout = Tavrune.inspect(data)
    assert (layout.format, layout.file_size, layout.stopped.reason) == (None, len(data), "unknown format")


def test_a_path_that_is_no_regular_file_is_not_opened(tmp_path):
    import os
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(OSError, match="not a regular file"):
        Tavrune.inspect(tmp_path / "fifo")
    with pytest.raises(FileNotFoundError):
        Tavrune.inspect(str(tmp_path / "missing.png"))


def test_mutated_files_never_raise():
    from support.mutations import mutated_inputs
    from Tavrune._cli_layout import layout_lines
    for data in mutated_inputs(3000, seed=7):
        layout = Tavrune.inspect(data)
        json.dumps(layout.to_dict())
        layout_lines("x", layout, rows=True)
        assert layout.stopped is None or layout.stopped.offset <= len(data)


@pytest.mark.parametrize("piece", [1, 2, 7, 100])
def test_rows_are_found_whatever_the_pieces_the_data_comes_in(piece, monkeypatch):
    kinds = [(row * 3) % 5 for row in range(40)]
    data = build_png(random_rows(5, 40), filters=kinds)
    monkeypatch.setattr(Tavrune._inspect, "INFLATE_PIECE", piece)
    assert Tavrune.inspect(data).filters == tuple(kinds)
    monkeypatch.setattr(Tavrune._inspect, "RECORDED_ROWS", 30)
    layout = Tavrune.inspect(data)
    assert layout.filters == tuple(kinds[:30]) and layout.stopped is None
    assert layout.notes == ("filter types kept for the first 30 of 40 rows",)


def test_every_problem_is_listed_and_the_first_is_where_reading_stopped():
    data = assemble(png_chunks(random_rows(6, 4, 1), 1, color_type=3)[:-1])  # palette, without PLTE or IEND
    layout = Tavrune.inspect(data)
    assert [stop.reason for stop in layout.problems] == ["missing IEND"]
    assert layout.notes == ("no PLTE chunk, which a palette image needs",)
    layout = Tavrune.inspect(assemble(png_chunks(ROWS, width=0)[:-1]))
    assert [stop.reason for stop in layout.problems] == ["bad IHDR value", "missing IEND"]
