"""Reading 24-bit BMP streams: row order, padding, header record, failures."""

import struct
import tracemalloc
from io import BytesIO

import pytest

from support.builders import RecordingStream, build_bmp, random_rows


@pytest.fixture
def decode(SimpleImage):
    """The reader's result for BMP bytes, as _streamToImage hands it to open."""
    return lambda data: SimpleImage._streamToImage(BytesIO(data))


def raises(call, exception, message):
    with pytest.raises(exception) as info:
        call()
    assert str(info.value) == message


HEADER = {"xppm": 2835, "yppm": 2835, "clrUsed": 0, "clrImportant": 0}


@pytest.mark.parametrize("width", [1, 2, 3, 4])
@pytest.mark.parametrize("height", [1, 3])
@pytest.mark.parametrize("top_down", [False, True])
def test_rows_in_either_direction_and_every_padding(decode, width, height, top_down):
    rows = random_rows(width, height, seed=width * 10 + height)
    result = decode(build_bmp(rows, top_down=top_down, pad=b"\xa5"))
    assert result == (width, height, bytearray(b"".join(rows)), 3, None, None, HEADER, None)
    assert type(result[2]) is bytearray


def test_single_pixel_is_stored_blue_green_red(decode):
    data = build_bmp([b"\0\0\0"])[:54] + bytes([0x10, 0x20, 0x30, 0])
    assert decode(data)[2] == bytearray([0x30, 0x20, 0x10])


def test_stream_calls_in_order(SimpleImage):
    stream = RecordingStream(build_bmp(random_rows(2, 3), gap=b"junk" * 3, trailing=b"ignored"))
    SimpleImage._streamToImage(stream)
    assert stream.calls[2:] == [("read", 14), ("read", 4), ("read", 36), ("seek", 66)] + [("read", 8)] * 3


def test_height_zero_still_seeks(SimpleImage):
    stream = RecordingStream(build_bmp([], width=5, pixel_offset=999))
    assert SimpleImage._streamToImage(stream)[:3] == (5, 0, bytearray())
    assert stream.calls[-1] == ("seek", 999)


def test_width_zero_reads_empty_rows(SimpleImage):
    stream = RecordingStream(build_bmp([b""] * 3, width=0))
    assert SimpleImage._streamToImage(stream)[:3] == (0, 3, bytearray())
    assert stream.calls[-3:] == [("read", 0)] * 3


def test_negative_width_with_no_rows_is_returned_as_read(decode):
    assert decode(build_bmp([], width=-7))[:3] == (-7, 0, bytearray())


def test_header_record_fields_and_key_order(decode):
    header = decode(build_bmp([b"\1\2\3"], xppm=-1, yppm=1, clr_used=2 ** 32 - 1, clr_important=5))[6]
    assert list(header.items()) == [("xppm", -1), ("yppm", 1), ("clrUsed", 4294967295), ("clrImportant", 5)]


ONE = build_bmp([b"\1\2\3"])


@pytest.mark.parametrize("data, exception, message", [
    (b"BM", ValueError, "Unsupported BMP header"),
    (ONE[:13], ValueError, "Unsupported BMP header"),
    (ONE[:14], ValueError, "Corrupted BMP DIB header"),
    (ONE[:17], ValueError, "Corrupted BMP DIB header"),
    (build_bmp([b"\1\2\3"], dib_size=12), ValueError, "Only BITMAPINFOHEADER BMP files are supported"),
    (build_bmp([b"\1\2\3"], dib_size=108), ValueError, "Only BITMAPINFOHEADER BMP files are supported"),
    (build_bmp([b"\1\2\3"], dib_size=124)[:20], ValueError, "Only BITMAPINFOHEADER BMP files are supported"),
    (ONE[:18], struct.error, "unpack requires a buffer of 36 bytes"),
    (ONE[:53], struct.error, "unpack requires a buffer of 36 bytes"),
    (build_bmp([b"\1\2\3"], planes=2), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (build_bmp([b"\1\2\3"], bit_count=32), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (build_bmp([b"\1\2\3"], bit_count=8), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (build_bmp([b"\1\2\3"], compression=3), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (build_bmp([b"\1\2\3"] * 2, width=-1), ValueError, "negative count"),
    (build_bmp([b"\1\2\3"] * 2, top_down=True, width=-(2 ** 31)), ValueError, "negative count"),
    (ONE[:-1], ValueError, "Incomplete BMP pixel data"),
    (build_bmp([b"\1\2\3"] * 2)[:-4], ValueError, "Incomplete BMP pixel data"),
    (build_bmp([b"\1\2\3"], pixel_offset=55), ValueError, "Incomplete BMP pixel data"),
])
def test_failures(decode, data, exception, message):
    raises(lambda: decode(data), exception, message)


def test_signature_is_checked_by_the_reader_too(SimpleImage):
    stream = RecordingStream(ONE, alter={2: lambda b: b"BA" + b[2:]})
    raises(lambda: SimpleImage._streamToImage(stream), ValueError, "Unsupported BMP header")


@pytest.mark.parametrize("change, message", [
    (bytearray, "Expected bytes, got bytearray"),
    (memoryview, "Expected bytes, got memoryview"),
    (type("BytesSub", (bytes,), {}), "Expected bytes, got BytesSub"),
    (lambda b: None, "object of type 'NoneType' has no len()"),
])
def test_row_read_must_return_bytes(SimpleImage, change, message):
    stream = RecordingStream(build_bmp([b"\1\2\3"] * 2), alter={7: change})
    raises(lambda: SimpleImage._streamToImage(stream), TypeError, message)


@pytest.mark.parametrize("width, height", [(2 ** 31 - 1, 1), (100000, 100000), (0, -(2 ** 31)), (715827883, 1)])
def test_sizes_beyond_32_bits_are_refused_before_allocating(SimpleImage, width, height):
    stream = RecordingStream(build_bmp([], width=width, height=height))
    tracemalloc.start()
    try:
        raises(lambda: SimpleImage._streamToImage(stream), OverflowError, "value too large to convert to int")
        assert tracemalloc.get_traced_memory()[1] < 1 << 20
    finally:
        tracemalloc.stop()
    assert stream.calls[-1] == ("read", 36)


def test_largest_pixel_buffer_that_fits_is_accepted_as_far_as_the_data_goes(decode):
    # Its row stride, 2^31, is past the signed range, but the buffer offsets are not.
    raises(lambda: decode(build_bmp([], width=715827882, height=1)), ValueError, "Incomplete BMP pixel data")


@pytest.mark.parametrize("width", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("height", [1, 4])
def test_pixels_match_pillow_on_files_pillow_writes(decode, width, height):
    from PIL import Image
    image = Image.frombytes("RGB", (width, height), b"".join(random_rows(width, height, seed=width)))
    out = BytesIO()
    image.save(out, "BMP")
    assert decode(out.getvalue())[:3] == (width, height, image.tobytes())
