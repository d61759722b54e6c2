"""_writePng: a new minimal PNG file (signature, IHDR, one IDAT, IEND)."""

import struct
import sys
import zlib

import pytest

from support.write_helpers import SIGNATURE, chunk, decode_with_pillow, ihdr, interleave, read_chunks


def test_one_rgb_pixel_file_bytes(ext, tmp_path):
    ext._writePng(str(tmp_path / "one.png"), 1, 1, bytes([10, 20, 30]))
    assert (tmp_path / "one.png").read_bytes() == (
        SIGNATURE + chunk(b"IHDR", ihdr(1, 1, 2)) + chunk(b"IDAT", zlib.compress(bytes([0, 10, 20, 30])))
        + chunk(b"IEND", b""))


@pytest.mark.parametrize("pixels", [bytearray, bytes, list, memoryview])
@pytest.mark.parametrize("has_alpha", [False, True], ids=["RGB", "RGBA"])
@pytest.mark.parametrize("width, height", [(1, 1), (17, 5), (64, 33)])
def test_round_trip_with_one_idat(ext, tmp_path, width, height, has_alpha, pixels):
    samples = bytes((i * 7) % 256 for i in range(width * height * 3))
    alpha = bytearray((i * 13) % 256 for i in range(width * height)) if has_alpha else None
    given = pixels(samples)
    ext._writePng(str(tmp_path / "out.png"), width, height, given, alpha)
    data = (tmp_path / "out.png").read_bytes()
    assert [t for t, _ in read_chunks(data)] == [b"IHDR", b"IDAT", b"IEND"]
    assert read_chunks(data)[0][1] == ihdr(width, height, 6 if has_alpha else 2)
    assert decode_with_pillow(data) == ("RGBA" if has_alpha else "RGB", (width, height), interleave(samples, alpha))
    assert bytes(given) == samples


@pytest.mark.parametrize("width, height, stream", [(0, 3, b"\0\0\0"), (3, 0, b"")])
def test_zero_dimension_writes_header_and_short_stream(ext, tmp_path, width, height, stream):
    ext._writePng(str(tmp_path / "z.png"), width, height, b"")
    assert read_chunks((tmp_path / "z.png").read_bytes())[:2] == [
        (b"IHDR", ihdr(width, height, 2)), (b"IDAT", zlib.compress(stream))]


def host_struct_error(*values):
    with pytest.raises(struct.error) as info:
        struct.pack(">IIBBBBB", *values)
    return str(info.value)


@pytest.mark.parametrize("width, height, pixels, alpha, error, message", [
    (2, 2, bytes(11), None, ValueError, "Pixel data length does not match image dimensions"),
    (2, 2, bytes(13), bytearray(1), ValueError, "Pixel data length does not match image dimensions"),
    (2, 2, bytes(12), bytearray(3), ValueError, "Alpha channel length does not match image dimensions"),
    (-1, -1, bytes(3), bytearray(2), ValueError, "Alpha channel length does not match image dimensions"),
    (-1, -1, bytes(3), bytearray(1), struct.error, host_struct_error(-1, -1, 8, 6, 0, 0, 0)),
    (0, -5, b"", None, struct.error, host_struct_error(0, -5, 8, 2, 0, 0, 0)),
    (1, 1, ["a", "b", "c"], None, TypeError, "'str' object cannot be interpreted as an integer"),
    (1, 1, None, None, TypeError, "object of type 'NoneType' has no len()"),
])
def test_failures_in_order_leave_an_existing_file_untouched(ext, tmp_path, width, height, pixels, alpha, error,
                                                            message):
    path = tmp_path / "keep.png"
    path.write_bytes(b"previous")
    with pytest.raises(error) as info:
        ext._writePng(str(path), width, height, pixels, alpha)
    assert (str(info.value), path.read_bytes()) == (message, b"previous")


def test_failed_writes_release_what_they_took(ext, tmp_path):
    pixels, filters = bytearray(12), bytearray([0, 9])
    counts = sys.getrefcount(pixels), sys.getrefcount(filters)
    for _ in range(100):
        with pytest.raises(ValueError):
            ext._writePng(str(tmp_path / "x.png"), 2, 2, pixels, None, filters)
    assert (sys.getrefcount(pixels), sys.getrefcount(filters)) == counts
    pixels.append(0)  # no buffer export was left behind


@pytest.mark.parametrize("height, filters", [(1, None), (7, bytes([4, 0, 1, 2, 3, 4, 1])), (300_000, None),
                                             (300_000, bytes(range(5)) * 60_000)])
def test_rows_of_no_pixels_are_their_filter_bytes(ext, tmp_path, height, filters):
    path = tmp_path / "empty.png"
    ext._writePng(str(path), 0, height, b"", None, filters and bytearray(filters))
    (idat,) = [payload for kind, payload in read_chunks(path.read_bytes()) if kind == b"IDAT"]
    assert idat == zlib.compress(filters or bytes(height))
