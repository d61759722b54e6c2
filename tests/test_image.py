"""The image object: construction, ownership, properties, copy(), pickling, object protocol."""

import copy
import gc
import pickle
import sys
import weakref
from array import array

import pytest

PIXEL_ERROR = "Pixel data length does not match image dimensions"
ALPHA_ERROR = "Alpha channel length does not match image dimensions"
FILTER_ERROR = "PNG filter count does not match image height"
PICKLE_ERROR = "no default __reduce__ due to non-trivial __cinit__"
OPTIONAL_FIELDS = ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"]


@pytest.mark.parametrize("width, height, pixels, extra", [
    (0, 0, b"", {}),
    (0, 5, b"", {"png_filters": b"\x00" * 5}),  # filter count follows height
    (-1, -2, bytes(6), {}),                       # only the length equations are checked
    (2, 1, bytearray(6), {"alpha": b"\x01\x02"}),
    (1, 1, memoryview(b"abc"), {}),
    (1, 1, [1, 2, 255], {}),
])
def test_valid_construction(SimpleImage, width, height, pixels, extra):
    image = SimpleImage(width, height, pixels, **extra)
    assert image.size == (width, height)
    assert type(image._pixels) is bytearray and image._pixels == bytearray(pixels)


def test_pixel_length_counts_items_not_bytes(SimpleImage):
    assert len(SimpleImage(1, 1, array("H", [1, 2, 3]))._pixels) == 6


@pytest.mark.parametrize("args, exc_type, message", [
    (("x", 1, 5), TypeError, "an integer is required"),      # dimensions before pixels
    ((1, 1, 5), TypeError, None),                            # pixels without a length
    ((1, 1, b"ab", b"xx"), ValueError, PIXEL_ERROR),         # pixels before alpha
    ((1, 1, "abc"), TypeError, None),                        # no bytearray from a str
    ((1, 1, [1, 2, 256]), ValueError, None),
    ((1, 1, b"abc", 5), TypeError, None),                    # alpha without a length
    ((1, 1, b"abc", b"xx", 5), ValueError, ALPHA_ERROR),      # alpha before chunks
    ((1, 1, b"abc", None, 5, None, b"xx"), TypeError, None),  # chunks before filters
    ((1, 1, b"abc", None, None, 5, b"xx"), ValueError, FILTER_ERROR),  # filters before header
    ((1, 1, b"abc", None, None, None, 5), TypeError, None),  # filters without a length
    ((1, 1, b"abc", None, None, 5), TypeError, None),        # no dict from 5
])
def test_constructor_check_order(SimpleImage, args, exc_type, message):
    with pytest.raises(exc_type) as info:
        SimpleImage(*args)
    assert str(info.value) == message if message else str(info.value) not in (
        PIXEL_ERROR, ALPHA_ERROR, FILTER_ERROR)


def test_constructor_copies_its_arguments(SimpleImage):
    pixels, filters, record, header = bytearray(b"abcdef"), bytearray(1), (b"IHDR", b"", 0), {"k": [1]}
    chunks = [record]
    image = SimpleImage(2, 1, pixels, b"\x01\x02", chunks, header, filters)
    pixels[0], filters[0] = 0, 4
    chunks.append(None)
    header["j"] = 2
    assert image._pixels == bytearray(b"abcdef") and image._pixels is not pixels
    assert type(image._alpha) is bytearray and image._alpha == bytearray(b"\x01\x02")
    assert image._png_chunks == [record] and image._png_chunks[0] is record  # one level deep
    assert image._bmp_header == {"k": [1]} and image._bmp_header["k"] is header["k"]
    assert type(image._png_filters) is bytearray and image._png_filters == bytearray(1)
    image = SimpleImage(1, 1, b"abc", None, iter([1, 2]), [("k", 1)])
    assert (image._alpha, image._png_chunks, image._bmp_header) == (None, [1, 2], {"k": 1})


def test_failing_constructor_keeps_refcounts_flat(SimpleImage):
    pixels, alpha, record = bytearray(3), bytearray(2), object()
    calls = [(1, 1, pixels, alpha), (1, 1, pixels, None, [record], None, b"xx")] * 3
    before = [sys.getrefcount(o) for o in (pixels, alpha, record)]
    for args in calls:
        with pytest.raises(ValueError):
            SimpleImage(*args)
    del args
    assert [sys.getrefcount(o) for o in (pixels, alpha, record)] == before


def test_properties_hand_out_the_images_own_objects(make_image):
    image = make_image(2, 1, alpha=True)
    assert image._pixels is image._pixels and image._alpha is image._alpha
    image._pixels[0:3] = b"\x07\x08\x09"
    assert image.getPixel((0, 0)) == (7, 8, 9)


@pytest.mark.parametrize("field", ["width", "height"])
@pytest.mark.parametrize("value, outcome", [
    (5, 5), (3.9, 3), (True, 1), (-7, -7),
    (2**31, (OverflowError, "value too large to convert to int")),
    (-2**31 - 1, (OverflowError, "value too large to convert to int")),
    ("3", (TypeError, "an integer is required")),
    (None, (TypeError, "an integer is required")),
])
def test_dimension_setter(make_image, field, value, outcome):
    image = make_image(2, 3)
    pixels = image._pixels
    if isinstance(outcome, int):
        setattr(image, field, value)
        assert getattr(image, field) == outcome and type(getattr(image, field)) is int
    else:
        with pytest.raises(outcome[0]) as info:
            setattr(image, field, value)
        assert str(info.value) == outcome[1] and image.size == (2, 3)
    assert image._pixels is pixels and len(pixels) == 18  # no other field changes
    with pytest.raises(NotImplementedError) as info:
        delattr(image, field)
    assert str(info.value) == "__del__"


def test_size_is_read_only(make_image):
    image = make_image(2, 3)
    assert type(image.size) is tuple and image.size == (2, 3)
    with pytest.raises(AttributeError):
        image.size = (1, 1)
    with pytest.raises(AttributeError):
        del image.size


@pytest.mark.parametrize("value, type_name", [
    (b"abc", "bytes"), (type("ByteArraySub", (bytearray,), {})(3), "ByteArraySub"),
    (memoryview(bytearray(3)), "memoryview"), ([0, 0, 0], "list")])
def test_pixels_setter_wants_exactly_bytearray(make_image, value, type_name):
    image = make_image(1, 1)
    pixels = image._pixels
    with pytest.raises(TypeError) as info:
        image._pixels = value
    assert str(info.value) == "Expected bytearray, got " + type_name
    assert image._pixels is pixels
    image._pixels = replacement = bytearray(b"xyz")
    assert image._pixels is replacement


@pytest.mark.parametrize("field", ["_pixels"] + OPTIONAL_FIELDS)
def test_object_fields_store_and_delete(make_image, field):
    image = make_image(1, 1, alpha=True, png_chunks=[], bmp_header={}, png_filters=b"\x00")
    delattr(image, field)
    assert getattr(image, field) is None
    for value in ([None] if field == "_pixels" else [None, 5, "text", (1, 2)]):
        setattr(image, field, value)  # stored without validation
        assert getattr(image, field) is value


def test_copy_shares_no_container(make_image):
    record = (b"tEXt", b"a", 1)
    source = make_image(2, 1, alpha=True, png_chunks=[record], bmp_header={"k": 1}, png_filters=b"\x02")
    dup = source.copy()
    assert type(dup) is type(source) and dup.size == source.size
    for field in ["_pixels"] + OPTIONAL_FIELDS:
        assert getattr(dup, field) == getattr(source, field)
        assert getattr(dup, field) is not getattr(source, field)
    assert dup._png_chunks[0] is record
    dup._pixels[0] = dup._alpha[0] = 99
    assert source._pixels[0] == 0 and source._alpha[0] == 0x80
    assert [getattr(make_image(1, 1).copy(), f) for f in OPTIONAL_FIELDS] == [None] * 4


def test_copy_of_subclass_instance_is_a_simple_image(SimpleImage):
    class Tagged(SimpleImage):  # created with the same arguments; its own __init__ is fine
        def __init__(self, *args, **kwargs):
            self.tag = "t"
    source = Tagged(1, 1, pixels=b"abc")
    assert source.tag == "t" and source.getPixel((0, 0)) == (97, 98, 99)
    assert type(source.copy()) is SimpleImage


@pytest.mark.parametrize("field, value, exc_type, message", [
    ("width", 3, ValueError, PIXEL_ERROR),
    ("_pixels", None, TypeError, "'NoneType' object is not subscriptable"),
    ("_alpha", b"xx", ValueError, ALPHA_ERROR),
    ("_png_filters", b"", ValueError, FILTER_ERROR),
    ("_alpha", 5, TypeError, None),
    ("_png_chunks", 5, TypeError, None),
    ("_png_filters", 5, TypeError, None),
    ("_bmp_header", 5, TypeError, None),
])
def test_copy_revalidates_fields(make_image, field, value, exc_type, message):
    source = make_image(1, 1)
    setattr(source, field, value)
    with pytest.raises(exc_type) as info:
        source.copy()
    assert message is None or str(info.value) == message
    assert getattr(source, field) == value and source._pixels in (None, bytearray(b"\x00\x01\x02"))


@pytest.mark.parametrize("operation", [
    pickle.dumps, lambda o: pickle.dumps(o, 0), lambda o: pickle.dumps(o, pickle.HIGHEST_PROTOCOL),
    copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__(None),
])
def test_pickling_is_refused(make_image, operation):
    with pytest.raises(TypeError) as info:
        operation(make_image(1, 1))
    assert str(info.value) == PICKLE_ERROR


def test_object_protocol(make_image):
    image = make_image(1, 1)
    assert not hasattr(image, "__dict__")
    with pytest.raises(AttributeError):
        image.colour = 1
    with pytest.raises(TypeError):
        weakref.ref(image)
    assert image == image and image != image.copy() and hash(image) == hash(image)
    assert repr(image).startswith("<Tavrune.simpleImage_ext.SimpleImage object at ")


@pytest.mark.parametrize("field", OPTIONAL_FIELDS)
def test_reference_cycle_through_a_field_is_collected(make_image, field):
    marker = type("Marker", (), {})()
    image = make_image(1, 1)
    assert gc.is_tracked(image)
    setattr(image, field, [image, marker])
    probe = weakref.ref(marker)
    del image, marker
    gc.collect()
    assert probe() is None
