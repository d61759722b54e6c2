"""Argument binding: counts, keywords, exact-type checks, 32-bit dimension conversion.

Readers, writers, open and save are only called in ways that fail while binding.
"""

from collections import namedtuple

import pytest

METHODS = {"_streamToImage", "open", "getPixel", "putPixel", "copy", "save", "saveBmp"}
Point = namedtuple("Point", "x y")
BytesSub = type("BytesSub", (bytes,), {})
ListSub = type("ListSub", (list,), {})
StrSub = type("StrSub", (str,), {})


class IntReturnsFloat:
    def __int__(self):
        return 1.5


class IntLike:
    def __int__(self):
        return 2


@pytest.fixture
def resolve(ext, make_image, tmp_path, monkeypatch):
    """Looks a callable up by name (methods bound to an image); runs in an empty directory."""
    monkeypatch.chdir(tmp_path)
    image = make_image(2, 2)
    return lambda name: (ext.SimpleImage if name == "SimpleImage"
                         else getattr(image if name in METHODS else ext, name))


def error_text(exc_type, func, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("name, count, message", [
    ("_readChunk", 0, "_readChunk() takes exactly 1 positional argument (0 given)"),
    ("_readChunk", 2, "_readChunk() takes exactly 1 positional argument (2 given)"),
    ("_makeChunk", 1, "_makeChunk() takes exactly 2 positional arguments (1 given)"),
    ("_writePng", 3, "_writePng() takes at least 4 positional arguments (3 given)"),
    ("_writePng", 7, "_writePng() takes at most 6 positional arguments (7 given)"),
    ("_split_idat_payload", 3, "_split_idat_payload() takes exactly 2 positional arguments (3 given)"),
    ("_writePngWithChunks", 5, "_writePngWithChunks() takes at least 6 positional arguments (5 given)"),
    ("_writePngWithChunks", 8, "_writePngWithChunks() takes at most 7 positional arguments (8 given)"),
    ("_writeBmp", 3, "_writeBmp() takes at least 4 positional arguments (3 given)"),
    ("_writeBmp", 6, "_writeBmp() takes at most 5 positional arguments (6 given)"),
    ("SimpleImage", 1, "__cinit__() takes at least 3 positional arguments (1 given)"),
    ("SimpleImage", 8, "__cinit__() takes at most 7 positional arguments (8 given)"),
    ("_streamToImage", 2, "_streamToImage() takes exactly 1 positional argument (2 given)"),
    ("open", 2, "open() takes exactly 1 positional argument (2 given)"),
    ("getPixel", 0, "getPixel() takes exactly 1 positional argument (0 given)"),
    ("getPixel", 2, "getPixel() takes exactly 1 positional argument (2 given)"),
    ("putPixel", 1, "putPixel() takes exactly 2 positional arguments (1 given)"),
    ("copy", 1, "copy() takes exactly 0 positional arguments (1 given)"),
    ("save", 0, "save() takes exactly 1 positional argument (0 given)"),
    ("saveBmp", 2, "saveBmp() takes exactly 1 positional argument (2 given)"),
])
def test_positional_count(resolve, name, count, message):
    for _ in range(2):  # a failed binding changes nothing, so it repeats identically
        assert error_text(TypeError, resolve(name), *[None] * count) == message


# In the missing-parameter cases the first unfilled parameter directly follows the
# positional ones, so the count in the message has only one possible value.
@pytest.mark.parametrize("name, args, kwargs, message", [
    ("_makeChunk", (), {"data": b""}, "_makeChunk() takes exactly 2 positional arguments (0 given)"),
    ("_writeBmp", ("p",), {"height": 1, "pixels": b""},
     "_writeBmp() takes at least 4 positional arguments (1 given)"),
    ("SimpleImage", (), {"height": 1, "pixels": b""},
     "__cinit__() takes at least 3 positional arguments (0 given)"),
    ("putPixel", (), {"value": (1, 2, 3)}, "putPixel() takes exactly 2 positional arguments (0 given)"),
    ("_readChunk", (None,), {"bogus": 1}, "_readChunk() got an unexpected keyword argument 'bogus'"),
    ("_writePng", ("p", 1, 1, b""), {"Alpha": None},
     "_writePng() got an unexpected keyword argument 'Alpha'"),
    ("SimpleImage", (1, 1, b"abc"), {"png_filter": None},
     "__cinit__() got an unexpected keyword argument 'png_filter'"),
    ("open", (None,), {"path": 1}, "open() got an unexpected keyword argument 'path'"),
    ("copy", (), {"x": 1}, "copy() got an unexpected keyword argument 'x'"),
    ("_writeBmp", ("p", 1, 1, b""), {"path": "q"},
     "_writeBmp() got multiple values for keyword argument 'path'"),
    ("_split_idat_payload", (b"", []), {"lengths": []},
     "_split_idat_payload() got multiple values for keyword argument 'lengths'"),
    ("SimpleImage", (1, 1, b"abc"), {"width": 1},
     "__cinit__() got multiple values for keyword argument 'width'"),
])
def test_keyword_binding_errors(resolve, name, args, kwargs, message):
    assert error_text(TypeError, resolve(name), *args, **kwargs) == message


def test_constructor_parameters_bind_by_keyword_and_in_order(SimpleImage):
    image = SimpleImage(png_filters=b"\x01", bmp_header={"k": 1}, png_chunks=[],
                        alpha=b"\x02", pixels=b"abc", height=1, width=1)
    assert (image._alpha, image._png_chunks) == (bytearray(b"\x02"), [])
    assert (image._bmp_header, image._png_filters) == ({"k": 1}, bytearray(b"\x01"))
    image = SimpleImage(1, 2, bytes(6), None, None, {"k": 1}, b"\x00\x04")
    assert (image._bmp_header, image._png_filters) == ({"k": 1}, bytearray(b"\x00\x04"))


@pytest.mark.parametrize("name, args, message", [
    ("_makeChunk", (bytearray(), b""), "Argument 'chunkType' has incorrect type (expected bytes, got bytearray)"),
    ("_makeChunk", (None, None), "Argument 'chunkType' has incorrect type (expected bytes, got NoneType)"),
    ("_makeChunk", (b"IEND", bytearray()), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    ("_makeChunk", (b"IEND", ""), "Argument 'data' has incorrect type (expected bytes, got str)"),
    ("_split_idat_payload", ([], ()), "Argument 'data' has incorrect type (expected bytes, got list)"),
    ("_split_idat_payload", (b"", (1,)), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
    # no further sentence for subclasses in these two
    ("_split_idat_payload", (BytesSub(), []), "Argument 'data' has incorrect type (expected bytes, got BytesSub)"),
    ("_split_idat_payload", (b"", ListSub()), "Argument 'lengths' has incorrect type (expected list, got ListSub)"),
    ("getPixel", ([0, 0],), "Argument 'coords' has incorrect type (expected tuple, got list)"),
    ("putPixel", (None, None), "Argument 'coords' has incorrect type (expected tuple, got NoneType)"),
    ("save", (b"out.png",), "Argument 'path' has incorrect type (expected str, got bytes)"),
    ("saveBmp", (None,), "Argument 'path' has incorrect type (expected str, got NoneType)"),
])
def test_exact_type_check(resolve, name, args, message):
    assert error_text(TypeError, resolve(name), *args) == message


@pytest.mark.parametrize("name, args, prefix", [
    ("_makeChunk", (BytesSub(b"IEND"), b""),
     "Argument 'chunkType' has incorrect type (expected bytes, got BytesSub). "),
    ("_makeChunk", (b"IEND", BytesSub()), "Argument 'data' has incorrect type (expected bytes, got BytesSub). "),
    ("getPixel", (Point(0, 0),), "Argument 'coords' has incorrect type (expected tuple, got Point). "),
    ("putPixel", (Point(0, 0), (1, 2, 3)), "Argument 'coords' has incorrect type (expected tuple, got Point). "),
    ("save", (StrSub("o.png"),), "Argument 'path' has incorrect type (expected str, got StrSub). "),
    ("saveBmp", (StrSub("o.bmp"),), "Argument 'path' has incorrect type (expected str, got StrSub). "),
])
def test_subclass_of_expected_type_is_refused(resolve, name, args, prefix, tmp_path):
    text = error_text(TypeError, resolve(name), *args)
    assert text.startswith(prefix) and len(text) > len(prefix)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", ["save", "saveBmp"])
def test_saving_to_a_path_object_is_refused_before_writing(resolve, name, tmp_path):
    target = tmp_path / "out.img"
    assert (error_text(TypeError, resolve(name), target)
            == "Argument 'path' has incorrect type (expected str, got PosixPath)")
    assert not target.exists()


def call_with_dimensions(ext, name, width, height):
    if name == "SimpleImage":
        return ext.SimpleImage(width, height, b"")
    extra = (None, []) if name == "_writePngWithChunks" else ()
    return getattr(ext, name)("out.img", width, height, b"", *extra)


@pytest.mark.parametrize("name", ["SimpleImage", "_writePng", "_writePngWithChunks", "_writeBmp"])
@pytest.mark.parametrize("which", ["width", "height"])
@pytest.mark.parametrize("value, exc_type, message", [
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**70, OverflowError, None),
])
def test_dimension_conversion_errors(ext, tmp_path, monkeypatch, name, which, value, exc_type, message):
    monkeypatch.chdir(tmp_path)
    dims = {"width": 0, "height": 0, which: value}
    text = error_text(exc_type, call_with_dimensions, ext, name, **dims)
    assert message is None or text == message
    assert list(tmp_path.iterdir()) == []


def test_width_is_converted_before_height(SimpleImage):
    with pytest.raises(TypeError):
        SimpleImage("x", 2**31, b"")


@pytest.mark.parametrize("which", ["width", "height"])
@pytest.mark.parametrize("value, stored", [
    (1.9, 1), (-1.9, -1), (True, 1), (IntLike(), 2), (2**31 - 1, 2**31 - 1), (-2**31, -2**31)])
def test_dimension_conversion_accepts(SimpleImage, which, value, stored):
    image = SimpleImage(**{"width": 0, "height": 0, which: value}, pixels=b"")
    assert getattr(image, which) == stored and type(getattr(image, which)) is int
