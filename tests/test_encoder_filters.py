"""Scanline filtering as the PNG writers apply it, seen through _writePng."""

import array
import random

import pytest

from support.write_helpers import decode_with_pillow, image_data, interleave


@pytest.fixture
def encode(ext, tmp_path):
    """encode(w, h, pixels, alpha, filters) -> the inflated image data; Pillow must read the pixels back."""
    def run(width, height, pixels, alpha=None, filters=None):
        path = tmp_path / "out.png"
        def as_buffer(values):
            return None if values is None else bytearray(values)
        ext._writePng(str(path), width, height, bytes(pixels), as_buffer(alpha), as_buffer(filters))
        if width and height:
            assert decode_with_pillow(path.read_bytes())[2] == interleave(bytes(pixels), alpha)
        return image_data(path.read_bytes())
    return run


@pytest.mark.parametrize("has_alpha", [False, True], ids=["RGB", "RGBA"])
@pytest.mark.parametrize("filter_type", range(5))
def test_every_filter_type_on_every_row(encode, filter_type, has_alpha):
    width, height, rng = 5, 4, random.Random(filter_type)
    pixels = [rng.randrange(256) for _ in range(width * height * 3)]
    alpha = [rng.randrange(256) for _ in range(width * height)] if has_alpha else None
    stride = 1 + width * (4 if has_alpha else 3)
    assert encode(width, height, pixels, alpha, [filter_type] * height)[::stride] == bytes([filter_type] * height)


ROWS = [100, 101, 102, 50, 61, 72]  # two rows of one RGB pixel


@pytest.mark.parametrize("width, height, pixels, alpha, filters, stream", [
    (2, 1, [1, 2, 3, 4, 5, 6], None, None, [0, 1, 2, 3, 4, 5, 6]),         # no list: type 0, unchanged
    (1, 1, [10, 20, 30], [40], None, [0, 10, 20, 30, 40]),
    (2, 1, [200, 100, 50, 210, 120, 70], None, [2], [2, 200, 100, 50, 210, 120, 70]),  # top row: Up copies
    (2, 1, [200, 100, 50, 210, 120, 70], [7, 9], [4], [4, 200, 100, 50, 7, 10, 20, 20, 2]),  # Paeth is Sub
    (1, 2, ROWS, None, [0, 1], [0, 100, 101, 102, 1, 50, 61, 72]),          # no left: Sub copies,
    (1, 2, ROWS, None, [0, 3], [0, 100, 101, 102, 3, 0, 11, 21]),           # Average takes up // 2,
    (1, 2, ROWS, None, [0, 2], [0, 100, 101, 102, 2, 206, 216, 226]),       # Up and Paeth take up
    (1, 2, ROWS, None, [0, 4], [0, 100, 101, 102, 4, 206, 216, 226]),
    (1, 2, [1, 1, 1, 0, 255, 1], None, [0, 2], [0, 1, 1, 1, 2, 255, 254, 0]),  # wraps modulo 256
    (2, 1, [1, 2, 3, 4, 5, 6], [40, 50], [1], [1, 1, 2, 3, 40, 3, 3, 3, 10]),  # alpha from alpha
    (0, 3, [], None, [1, 4, 0], [1, 4, 0]),                                  # zero width: filter bytes
    (4, 0, [], None, [], []),                                                # zero height: nothing
])
def test_filtered_bytes(encode, width, height, pixels, alpha, filters, stream):
    assert encode(width, height, pixels, alpha, filters) == bytes(stream)


@pytest.mark.parametrize("a, b, c, predicted", [(10, 10, 10, 10), (0, 6, 2, 6), (5, 10, 0, 10), (1, 3, 2, 2)])
def test_paeth_prefers_left_then_up_then_up_left(encode, a, b, c, predicted):
    pixels = [c] * 3 + [b] * 3 + [a] * 3 + [100] * 3  # the last pixel has a left, b up, c up-left
    assert encode(2, 2, pixels, None, [0, 4])[-3:] == bytes([100 - predicted] * 3)


@pytest.mark.parametrize("width, height, alpha, filters, error, message", [
    (1, 2, None, bytearray([9]), ValueError, "PNG filter count does not match image height"),
    (1, 4, None, bytearray([0, 1, 5, 7]), ValueError, "Unsupported PNG filter: 5"),
    (0, 2, None, bytearray([0, 255]), ValueError, "Unsupported PNG filter: 255"),
    (1, 2, b"\0\0", bytearray(3), BufferError, "Object is not writable."),
    (1, 2, [0, 0], None, TypeError, "a bytes-like object is required, not 'list'"),
    (1, 2, None, b"\0\0", BufferError, "Object is not writable."),
    (1, 2, None, array.array("H", [0, 0]), ValueError, "Expected a buffer of unsigned bytes, got item format 'H'"),
    (1, 2, None, memoryview(bytearray(2)).cast("B", (2, 1)), ValueError,
     "Expected a one-dimensional buffer of unsigned bytes, got 2 dimensions"),
])
def test_errors_in_order_and_no_file(ext, tmp_path, width, height, alpha, filters, error, message):
    with pytest.raises(error) as info:
        ext._writePng(str(tmp_path / "out.png"), width, height, bytes(width * height * 3), alpha, filters)
    assert str(info.value) == message and not (tmp_path / "out.png").exists()


def test_negative_width_fails_as_a_negative_bytearray_size_first(ext, tmp_path):
    with pytest.raises(ValueError, match="^negative count$"):
        ext._writePngWithChunks(str(tmp_path / "o.png"), -1, 0, b"", b"", [(b"IEND", b"", 0)], [1])


class Claims(bytearray):
    """An empty buffer whose len() claims whatever an image needs."""
    def __len__(self):
        return self.claimed


def claims(length):
    buffer = Claims()
    buffer.claimed = length
    return buffer


@pytest.mark.parametrize("width, height, alpha, error, message", [
    (64, 64, None, ValueError, "Pixel data length does not match image dimensions"),  # never read past the end
    (30000, 30000, None, ValueError, "Pixel data length does not match image dimensions"),  # >= 2^31 bytes
    (20000, 30000, True, OverflowError, "value too large to convert to int"),  # RGBA stream >= 2^31 bytes
])
def test_buffers_are_checked_and_sizes_refused_before_allocating(ext, tmp_path, width, height, alpha, error, message):
    alpha = claims(width * height) if alpha else None
    with pytest.raises(error, match=f"^{message}$"):
        ext._writePng(str(tmp_path / "o.png"), width, height, claims(width * height * 3), alpha)
