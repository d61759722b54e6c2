"""Reading and writing single pixels by coordinates."""

import pytest

OUT_OF_BOUNDS = "Pixel coordinate out of bounds"


@pytest.fixture
def image(make_image):
    """4 x 3 image whose byte i holds i."""
    return make_image(4, 3)


def both_calls(image, coords):
    return [lambda: image.getPixel(coords), lambda: image.putPixel(coords, (1, 2, 3))]


def test_pixel_layout_and_single_pixel_write(image):
    assert image.getPixel((1, 0)) == (3, 4, 5) and image.getPixel((0, 1)) == (12, 13, 14)
    assert image.getPixel(coords=(3, 2)) == (33, 34, 35)
    assert all(type(v) is int for v in image.getPixel((2, 1)))
    expected = bytearray(image._pixels)
    expected[33:36] = b"\x0a\x0b\x0c"
    assert image.putPixel(coords=(3, 2), value=[10, 11, 12]) is None
    assert image._pixels == expected


@pytest.mark.parametrize("coords", [
    (4, 0), (0, 3), (-1, 0), (0, -1), (2**100, 0), (0, -2**100),
    (-1, "y"), (4, "y"),  # the comparisons stop at the first false one
])
def test_out_of_bounds(image, coords):
    before = bytearray(image._pixels)
    for call in [lambda: image.getPixel(coords), lambda: image.putPixel(coords, None)]:
        with pytest.raises(ValueError) as info:  # coordinates are checked before the value
            call()
        assert str(info.value) == OUT_OF_BOUNDS
    assert image._pixels == before


@pytest.mark.parametrize("coords, exc_type", [
    (("x", 0), TypeError), ((0, "y"), TypeError), ((None, 0), TypeError),
    ((1.5, 0), TypeError), ((0, 1.0), TypeError),  # in bounds, but not a byte-array index
    ((1, 2, 3), ValueError), ((1,), ValueError), ((), ValueError),
])
def test_unusable_coordinates(image, coords, exc_type):
    before = bytearray(image._pixels)
    messages = {(1, 2, 3): "too many values to unpack (expected 2)",
                (1,): "need more than 1 value to unpack", (): "need more than 0 values to unpack"}
    for call in both_calls(image, coords):
        with pytest.raises(exc_type) as info:
            call()
        assert coords not in messages or str(info.value) == messages[coords]
    assert image._pixels == before


def test_bool_coordinates_count_as_integers(image):
    assert image.getPixel((True, 0)) == image.getPixel((1, 0))
    image.putPixel((False, True), (9, 9, 9))
    assert image.getPixel((0, 1)) == (9, 9, 9)


@pytest.mark.parametrize("make_value, exc_type, message", [
    (lambda: (1, 2), ValueError, "need more than 2 values to unpack"),
    (lambda: [1], ValueError, "need more than 1 value to unpack"),
    (lambda: [], ValueError, "need more than 0 values to unpack"),
    (lambda: (1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
    (lambda: iter((1, 2, 3, 4)), ValueError, "too many values to unpack (expected 3)"),
    (lambda: (v for v in (1, 2)), ValueError, "need more than 2 values to unpack"),
    (lambda: 5, TypeError, None),
])
def test_value_unpacking_writes_nothing(image, make_value, exc_type, message):
    before = bytearray(image._pixels)
    with pytest.raises(exc_type) as info:
        image.putPixel((1, 1), make_value())
    assert message is None or str(info.value) == message
    assert image._pixels == before


@pytest.mark.parametrize("value, stored", [
    ((256, -1, 300), (0, 255, 44)),
    ((12.9, 0, 0), (12, 0, 0)),
    (("7", 0, "8"), (7, 0, 8)),
    ((2**70 + 5, -2**70 - 1, True), (5, 255, 1)),
    ((v for v in (4, 5, 6)), (4, 5, 6)),
    (b"abc", (97, 98, 99)),
])
def test_samples_are_converted_and_masked(image, value, stored):
    image.putPixel((2, 1), value)
    assert image.getPixel((2, 1)) == stored


@pytest.mark.parametrize("value, exc_type", [((1, "x", 3), ValueError), ((1, None, 3), TypeError)])
def test_write_is_not_atomic(image, value, exc_type):
    with pytest.raises(exc_type):
        image.putPixel((0, 0), value)
    assert image.getPixel((0, 0)) == (1, 1, 2)  # red already stored, the rest untouched


def test_alpha_plane_is_untouched(make_image):
    image = make_image(2, 2, alpha=True)
    image.putPixel((1, 1), (1, 2, 3))
    assert image.getPixel((1, 1)) == (1, 2, 3)
    assert image._alpha == bytearray([0x80] * 4)


def test_bounds_and_index_follow_the_current_width(make_image):
    image = make_image(2, 2)
    image.width = 1
    assert image.getPixel((0, 1)) == (3, 4, 5)
    with pytest.raises(ValueError):
        image.getPixel((1, 0))
    image.width = 3  # (2, 1) now lies beyond the 12-byte buffer
    for call in both_calls(image, (2, 1)):
        with pytest.raises(IndexError):
            call()


def test_missing_pixel_buffer(make_image):
    image = make_image(1, 1)
    image._pixels = None
    for call in both_calls(image, (0, 0)):
        with pytest.raises(TypeError):
            call()


def test_no_coordinate_of_a_negative_sized_image_is_in_bounds(SimpleImage):
    image = SimpleImage(-1, -2, bytes(6))
    for coords in [(0, 0), (-1, -1), (0, -2)]:
        with pytest.raises(ValueError, match=f"^{OUT_OF_BOUNDS}$"):
            image.getPixel(coords)
