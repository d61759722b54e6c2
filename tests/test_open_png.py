"""Decoding PNG streams: records, unfiltering, header checks, hostile input."""

import struct
import time
import tracemalloc
import zlib
from io import BytesIO

import pytest

from support.builders import (RecordingStream, assemble, build_png, chunk, png_chunks, random_rows, read_chunks,
                      split_planes)


@pytest.fixture
def decode(SimpleImage):
    """The decoder result for PNG bytes, as _streamToImage hands it to open."""
    return lambda data: SimpleImage._streamToImage(BytesIO(data))


def raises(decode, data, exception, message):
    with pytest.raises(exception) as info:
        decode(data)
    assert str(info.value) == message


def test_smallest_rgb_file(decode):
    data = build_png([b"\x01\x02\x03"])
    idat = read_chunks(data)[1][1]
    assert decode(data) == (1, 1, bytearray(b"\x01\x02\x03"), 3, None,
                            [(b"IHDR", read_chunks(data)[0][1], 13), (b"IDAT", None, len(idat)), (b"IEND", b"", 0)],
                            None, bytearray(b"\0"))


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width", [1, 2, 5])
@pytest.mark.parametrize("filters", [0, 1, 2, 3, 4, [4, 3, 2, 1, 0, 4]])
def test_every_filter_type_reverses(decode, channels, width, filters):
    rows = random_rows(width, 6, channels, seed=width)
    result = decode(build_png(rows, channels, filters))
    pixels, alpha = split_planes(rows, channels)
    assert result[:5] == (width, 6, pixels, channels, alpha)
    assert list(result[7]) == (filters if isinstance(filters, list) else [filters] * 6)
    assert type(result[2]) is bytearray and type(result[7]) is bytearray
    assert channels == 3 or type(result[4]) is bytearray


@pytest.mark.parametrize("channels, filter_type, stored, above, expected", [
    (3, 1, [10, 20, 30, 5, 5, 5], None, [10, 20, 30, 15, 25, 35]),           # Sub reaches back 3 bytes
    (4, 1, [10, 20, 30, 40, 5, 5, 5, 5], None, [10, 20, 30, 40, 15, 25, 35, 45]),  # and 4 with alpha
    (3, 2, [100, 0, 0], [200, 0, 0], [44, 0, 0]),                            # sums wrap modulo 256
    (3, 3, [0, 128, 255, 0, 0, 0], [0, 255, 0, 0, 255, 0], [0, 255, 255, 0, 255, 127]),  # Average: no overflow
    (3, 3, [8, 0, 0, 0, 0, 0], None, [8, 0, 0, 4, 0, 0]),                    # top row: left halved
    (3, 4, [7, 0, 0, 1, 0, 0], None, [7, 0, 0, 8, 0, 0]),                    # top row: Paeth is Sub
    (3, 2, [5, 6, 7], None, [5, 6, 7]),                                      # top row: Up adds zeros
])
def test_worked_scanlines(decode, channels, filter_type, stored, above, expected):
    width = len(stored) // channels
    raw = (b"\0" + bytes(above) if above else b"") + bytes([filter_type] + stored)
    result = decode(build_png([], channels, width=width, height=2 if above else 1, data=zlib.compress(raw)))
    pixels, alpha = split_planes([bytes(expected)], channels)
    assert result[2][-width * 3:] == pixels
    assert alpha is None or result[4][-width:] == alpha


@pytest.mark.parametrize("sizes", [(1,), (1, 1, 1, 1), (0, 5), (7, 0)])
def test_idat_splits_and_ancillary_chunks_are_recorded_in_file_order(decode, sizes):
    rows = random_rows(4, 5, 4, seed=3)
    data = build_png(rows, 4, filters=4, idat_sizes=sizes,
                     insert=[(2, b"tEXt", b"between"), (0, b"zzZz", b"first"), (-1, b"tIME", bytes(7))])
    result = decode(data)
    assert result[2:5:2] == split_planes(rows, 4)
    assert result[5] == [(t, None if t == b"IDAT" else d, len(d)) for t, d in read_chunks(data)]
    assert result[5][3] == (b"tEXt", b"between", 7)


def test_nothing_after_iend_is_read(SimpleImage):
    data = build_png([b"\x09" * 3]) + b"garbage that is no chunk"
    stream = RecordingStream(data)
    SimpleImage._streamToImage(stream)
    assert sum(n for call, n in stream.calls if call == "read") == len(data) - 24 + 8  # the dispatcher's 8


def test_missing_iend_at_a_chunk_boundary(decode):
    chunks = png_chunks([b"\x01\x02\x03"])[:-1]
    assert [t for t, *_ in decode(assemble(chunks))[5]] == [b"IHDR", b"IDAT"]


def test_header_after_the_data_and_the_last_header_wins(decode):
    ihdr, idat, iend = png_chunks([b"\x01\x02\x03" * 2])
    bogus = (b"IHDR", struct.pack(">IIBBBBB", 9, 9, 16, 3, 1, 1, 1))
    result = decode(assemble([idat, bogus, ihdr, iend]))
    assert result[:3] == (2, 1, bytearray(b"\x01\x02\x03" * 2))
    assert [t for t, *_ in result[5]] == [b"IDAT", b"IHDR", b"IHDR", b"IEND"]


def test_width_zero_records_every_filter_byte(decode):
    result = decode(build_png([b"", b"", b""], width=0, data=zlib.compress(bytes([7, 0, 255]))))
    assert result[:5] == (0, 3, bytearray(), 3, None) and result[7] == bytearray([7, 0, 255])


@pytest.mark.parametrize("channels", [3, 4])
def test_height_zero(decode, channels):
    result = decode(build_png([], channels, width=5, data=zlib.compress(b"")))
    assert result[:3] == (5, 0, bytearray()) and result[7] == bytearray()
    assert result[4] == (bytearray() if channels == 4 else None)


def test_bytes_after_the_zlib_stream_are_ignored(decode):
    rows = [b"\x01\x02\x03"]
    assert decode(build_png(rows, data=zlib.compress(b"\0\1\2\3") + b"trailing"))[2] == bytearray(b"\1\2\3")


IHDR_OK = struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)
GOOD = build_png([b"\1\2\3"])
BAD_CRC = chunk(b"tEXt", b"x", crc=0)


@pytest.mark.parametrize("data, exception, message", [
    (GOOD[:8] + chunk(b"IHDR", IHDR_OK)[:3], ValueError, "Unexpected EOF while reading chunk length"),
    (GOOD[:8] + chunk(b"IHDR", IHDR_OK)[:6], ValueError, "Unexpected EOF while reading chunk type"),
    (GOOD[:8] + chunk(b"IHDR", IHDR_OK)[:12], ValueError, "Unexpected EOF while reading chunk data"),
    (GOOD[:8] + chunk(b"IHDR", IHDR_OK)[:-1], ValueError, "Unexpected EOF while reading chunk CRC"),
    (GOOD[:-12] + BAD_CRC + GOOD[-12:], ValueError, "Corrupted PNG chunk detected"),
    # The oversized width is refused when its chunk is read, before the broken chunk.
    (assemble([(b"IHDR", struct.pack(">IIBBBBB", 2 ** 31, 1, 8, 2, 0, 0, 0)), BAD_CRC]),
     OverflowError, "value too large to convert to int"),
    (assemble([(b"IHDR", struct.pack(">IIBBBBB", 1, 2 ** 32 - 1, 8, 2, 0, 0, 0))]),
     OverflowError, "value too large to convert to int"),
    # A missing header is reported only after every chunk was read.
    (assemble(png_chunks([b"\1\2\3"])[1:]), ValueError, "Incomplete PNG header information"),
    (assemble(png_chunks([b"\1\2\3"])[1:-1] + [BAD_CRC]), ValueError, "Corrupted PNG chunk detected"),
    (build_png([b"\1\2\3"], bit_depth=16, color_type=3), ValueError, "Only 8-bit PNG images are supported"),
    (build_png([b"\1\2\3"], bit_depth=1), ValueError, "Only 8-bit PNG images are supported"),
    (build_png([b"\1\2\3"], color_type=0, interlace=1), ValueError, "Only RGB/RGBA PNG images are supported"),
    (build_png([b"\1\2\3"], color_type=3), ValueError, "Only RGB/RGBA PNG images are supported"),
    (build_png([b"\1\2\3"], color_type=4), ValueError, "Only RGB/RGBA PNG images are supported"),
    (build_png([b"\1\2\3"], compression=1, data=b"junk"), ValueError,
     "Unsupported PNG configuration (compression/filter/interlace)"),
    (build_png([b"\1\2\3"], filter_method=1), ValueError,
     "Unsupported PNG configuration (compression/filter/interlace)"),
    (build_png([b"\1\2\3"], interlace=1), ValueError, "Unsupported PNG configuration (compression/filter/interlace)"),
    (build_png([b"\1\2\3"], data=zlib.compress(b"\0\1\2")), ValueError, "Malformed PNG image data"),
    (build_png([b"\1\2\3"], data=zlib.compress(b"\0\1\2\3\4")), ValueError, "Malformed PNG image data"),
    (build_png([b"\1\2\3"] * 3, data=zlib.compress(b"\0\1\2\3\5\1\2\3\0\1\2\3")), ValueError,
     "Unsupported PNG filter: 5"),
    (build_png([b"\1\2\3"], data=zlib.compress(b"\xff\1\2\3")), ValueError, "Unsupported PNG filter: 255"),
])
def test_failures(decode, data, exception, message):
    raises(decode, data, exception, message)


@pytest.mark.parametrize("ihdr", [b"\0" * 12, b"\0" * 14])
def test_header_of_the_wrong_size_raises_the_hosts_struct_error(decode, ihdr):
    with pytest.raises(struct.error) as expected:
        struct.unpack(">IIBBBBB", ihdr)
    raises(decode, assemble([(b"IHDR", ihdr)]), struct.error, str(expected.value))


@pytest.mark.parametrize("stream", [
    b"",                                              # no IDAT chunk at all
    b"not zlib",
    zlib.compress(b"\0\1\2\3")[:-5],                  # cut inside the stream
    zlib.compress(b"\0\1\2\3")[:-1] + b"\0",          # wrong checksum
    zlib.compress(b"\0\1\2\3", 0)[:2] + b"\xff" * 20,  # invalid block
])
def test_invalid_image_data_raises_the_hosts_zlib_error(decode, stream):
    with pytest.raises(zlib.error) as expected:
        zlib.decompress(stream)
    chunks = png_chunks([b"\1\2\3"], data=stream)
    raises(decode, assemble([c for c in chunks if c[1] or c[0] != b"IDAT"]), zlib.error, str(expected.value))


def test_signature_is_checked_by_the_decoder_too(SimpleImage):
    class NoRewind(BytesIO):
        def seek(self, position):
            return self.tell()  # the decoder then reads the 8 bytes after the signature
    with pytest.raises(ValueError, match="^Unsupported PNG signature$"):
        SimpleImage._streamToImage(NoRewind(GOOD))


@pytest.mark.parametrize("width, height, channels", [
    (2 ** 31 - 1, 2 ** 31 - 1, 3), (2 ** 31 - 1, 0, 3), (536870912, 1, 4), (30000, 30000, 3), (23170, 23170, 4),
])
def test_sizes_beyond_32_bits_are_refused_before_allocating(decode, width, height, channels):
    data = build_png([], channels, width=width, height=height, data=zlib.compress(b"\0" * 100))
    tracemalloc.start()
    try:
        raises(decode, data, ValueError, "Malformed PNG image data")
        assert tracemalloc.get_traced_memory()[1] < 1 << 20
    finally:
        tracemalloc.stop()


@pytest.fixture(scope="module")
def bomb():
    """About 100 kB that inflate to 100 MB."""
    packer = zlib.compressobj(9)
    block = bytes(1 << 20)
    return b"".join(packer.compress(block) for _ in range(100)) + packer.flush()


@pytest.mark.parametrize("width, height", [(1, 1), (64, 64), (1000, 1000)])
def test_decompression_bomb_is_refused_at_bounded_memory(decode, bomb, width, height):
    data = build_png([], width=width, height=height, data=bomb)
    tracemalloc.start()
    started = time.perf_counter()
    try:
        raises(decode, data, ValueError, "Malformed PNG image data")
        # The inflated data is held at most twice (output blocks, then joined).
        expected = (width * 3 + 1) * height
        assert tracemalloc.get_traced_memory()[1] < 2 * expected + 2 * len(data) + (1 << 20)
    finally:
        tracemalloc.stop()
    assert time.perf_counter() - started < 1


def photo(mode, size, seed):
    """A Pillow image of smooth gradients with noise."""
    from PIL import Image
    import random
    rng = random.Random(seed)
    w, h = size
    data = bytes(min(255, max(0, (x * 255 // w + y * 255 // h) // 2 + c * 40 + rng.randrange(-8, 9)))
                 for y in range(h) for x in range(w) for c in range(len(mode)))
    return Image.frombytes(mode, size, data)


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
@pytest.mark.parametrize("size", [(1, 1), (17, 9), (300, 200)])
@pytest.mark.parametrize("optimize", [False, True])
def test_pixels_match_pillow_on_files_pillow_writes(decode, mode, size, optimize):
    image = photo(mode, size, seed=size[0])
    out = BytesIO()
    image.save(out, "PNG", optimize=optimize)
    result = decode(out.getvalue())
    assert result[:2] == size and result[3] == len(mode)
    assert result[2] == image.convert("RGB").tobytes()
    assert result[4] == (image.getchannel("A").tobytes() if mode == "RGBA" else None)
