"""_writeBmp: bottom-up 24-bit BMP files with the kept resolution fields."""

import struct

import pytest

from support.write_helpers import decode_with_pillow, read_bmp


def test_one_pixel_file_bytes(ext, tmp_path):
    ext._writeBmp(str(tmp_path / "one.bmp"), 1, 1, bytes([0x30, 0x20, 0x10]))
    assert (tmp_path / "one.bmp").read_bytes() == (
        b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
        + struct.pack("<IIIHHIIIIII", 40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0)
        + bytes([0x10, 0x20, 0x30, 0]))


@pytest.mark.parametrize("width, height, stride", [(1, 2, 4), (2, 2, 8), (3, 2, 12), (4, 2, 12), (5, 2, 16),
                                                   (3, 0, 12), (0, 5, 0)])
def test_rows_are_bottom_first_bgr_and_zero_padded(ext, tmp_path, width, height, stride):
    pixels = bytes(range(1, width * height * 3 + 1))
    ext._writeBmp(str(tmp_path / "rows.bmp"), width, height, bytearray(pixels))
    data = (tmp_path / "rows.bmp").read_bytes()
    header, rows = read_bmp(data)
    assert (len(data), header["file_size"], header["image_size"]) == (54 + height * stride,) * 2 + (height * stride,)
    flipped = [pixels[y * width * 3:(y + 1) * width * 3] for y in reversed(range(height))]
    assert rows == [b"".join(row[x:x + 3][::-1] for x in range(0, width * 3, 3)) + bytes(stride - width * 3)
                    for row in flipped]


class Record(dict):
    """A header record that logs how it is read."""
    def get(self, key, default):
        self.setdefault("calls", []).append(key)
        return super().get(key, default)


@pytest.mark.parametrize("meta, fields", [
    (None, (2835, 2835, 0, 0)),
    (Record(), (2835, 2835, 0, 0)),
    (Record(xppm=3780), (3780, 2835, 0, 0)),
    ({"xppm": "3780", "yppm": 100.9, "clrUsed": True, "clrImportant": 7}, (3780, 100, 1, 7)),
])
def test_resolution_and_colour_counts_from_the_record(ext, tmp_path, meta, fields):
    ext._writeBmp(str(tmp_path / "meta.bmp"), 1, 1, bytes(3), meta)
    header, _ = read_bmp((tmp_path / "meta.bmp").read_bytes())
    assert (header["xppm"], header["yppm"], header["clr_used"], header["clr_important"]) == fields
    if isinstance(meta, Record):
        assert meta["calls"] == ["xppm", "yppm", "clrUsed", "clrImportant"]


def host_struct_error(value):
    with pytest.raises(struct.error) as info:
        struct.pack("<I", value)
    return str(info.value)


@pytest.mark.parametrize("width, height, pixels, meta, error, message", [
    (1, 1, bytes(3), 5, AttributeError, "'int' object has no attribute 'get'"),
    (1, 1, bytes(3), {"yppm": "x"}, ValueError, "invalid literal for int() with base 10: 'x'"),
    (1, 1, None, None, TypeError, "cannot convert 'NoneType' object to bytearray"),
    (1, 1, bytes(3), {"xppm": -1}, struct.error, host_struct_error(-1)),
    (1, 1, bytes(3), {"clrImportant": 2 ** 32}, struct.error, host_struct_error(2 ** 32)),
    (-1, 1, b"", None, struct.error, host_struct_error(-1)),
    (2, -3, b"", None, struct.error, host_struct_error(-3)),
    (40000, 40000, b"", None, struct.error, host_struct_error(2 ** 32)),
    (2, 2, bytes(11), None, IndexError, "bytearray index out of range"),
])
def test_failures_leave_an_existing_file_untouched(ext, tmp_path, width, height, pixels, meta, error, message):
    path = tmp_path / "keep.bmp"
    path.write_bytes(b"previous")
    with pytest.raises(error) as info:
        ext._writeBmp(str(path), width, height, pixels, meta)
    assert (str(info.value), path.read_bytes()) == (message, b"previous")


@pytest.mark.parametrize("width, height", [(7, 3), (300, 301)])  # 300 x 301 takes several writes
def test_round_trip_through_pillow_ignoring_extra_bytes(ext, tmp_path, width, height):
    pixels = bytes((i * 31 + i // 7) % 256 for i in range(width * height * 3))
    ext._writeBmp(str(tmp_path / "rt.bmp"), width, height, pixels + b"extra")
    assert decode_with_pillow((tmp_path / "rt.bmp").read_bytes()) == ("RGB", (width, height), pixels)
