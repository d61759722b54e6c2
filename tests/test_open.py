"""SimpleImage.open: accepted sources, format dispatch, the printed line, subclasses."""

import gc
import pathlib
import sys
import tracemalloc
from io import BytesIO

import pytest

from support.builders import PNG_SIGNATURE, build_bmp, build_png, chunk, random_rows

RGB = build_png(random_rows(3, 2, 3))
RGBA = build_png(random_rows(2, 3, 4), 4)
BMP = build_bmp(random_rows(4, 2))
CORRUPT = RGB[:-12] + chunk(b"tEXt", b"x", crc=1) + RGB[-12:]


def fields(image):
    return (image.size, image._pixels, image._alpha, image._png_chunks, image._bmp_header, image._png_filters)


@pytest.fixture
def png_file(tmp_path):
    path = tmp_path / "image.png"
    path.write_bytes(RGB)
    return path


@pytest.mark.parametrize("make_source", [str, pathlib.Path, lambda p: p.read_bytes(),
                                         lambda p: bytearray(p.read_bytes()),
                                         lambda p: type("Text", (str,), {})(p)])
def test_every_source_kind_opens_the_same_image(SimpleImage, png_file, capsys, make_source):
    image = SimpleImage.open(make_source(png_file))
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 3x2, channels=3\n"
    assert fields(image) == fields(SimpleImage.open(RGB))


@pytest.mark.parametrize("source", [memoryview(RGB), None, pathlib.PurePosixPath("x.png"), 1, [RGB]])
def test_other_sources_are_refused(SimpleImage, capsys, source):
    with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
        SimpleImage.open(source)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data", [b"", b"GIF89a..", PNG_SIGNATURE[:7], b"B", b"MB" + BMP[2:]])
def test_unknown_formats(SimpleImage, data):
    with pytest.raises(ValueError, match="^Unsupported image format$"):
        SimpleImage.open(data)


def test_just_bm_reaches_the_bmp_reader(SimpleImage):
    with pytest.raises(ValueError, match="^Unsupported BMP header$"):
        SimpleImage.open(b"BM")


@pytest.mark.parametrize("data, line, has_alpha", [
    (RGBA, "2x3, channels=4", True), (RGB, "3x2, channels=3", False), (BMP, "4x2, channels=3", False),
])
def test_printed_line_and_what_the_image_keeps(SimpleImage, capsys, data, line, has_alpha):
    image = SimpleImage.open(data)
    assert capsys.readouterr().out == "[SimpleImage] Opened image: " + line + "\n"
    assert (image._alpha is not None) == has_alpha
    assert has_alpha is False or len(image._alpha) == 6
    is_bmp = data is BMP
    assert (image._png_chunks is None, image._png_filters is None, image._bmp_header is not None) == (is_bmp,) * 3


def test_top_down_bmp_prints_a_positive_height(SimpleImage, capsys):
    SimpleImage.open(build_bmp(random_rows(1, 5), top_down=True))
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 1x5, channels=3\n"


def test_changing_the_source_afterwards_leaves_the_image_alone(SimpleImage):
    source = bytearray(BMP)
    image = SimpleImage.open(source)
    before = bytes(image._pixels)
    source[54:] = bytes(len(source) - 54)
    assert image._pixels == before


def test_missing_file(SimpleImage, tmp_path, capsys):
    with pytest.raises(FileNotFoundError):
        SimpleImage.open(str(tmp_path / "missing.png"))
    assert capsys.readouterr().out == ""


class Recorder:
    """A _streamToImage that keeps every stream it was handed."""

    def __init__(self, inner, result=None):
        self.streams, self.inner, self.result = [], inner, result

    def __call__(self, stream):
        self.streams.append(stream)
        return self.result if self.result is not None else self.inner(stream)


@pytest.mark.parametrize("content, error", [(RGB, None), (CORRUPT, "Corrupted PNG chunk detected")])
def test_file_is_closed_on_success_and_failure(SimpleImage, tmp_path, capsys, content, error):
    recorder = Recorder(SimpleImage._streamToImage)
    Sub = type("Sub", (SimpleImage,), {"_streamToImage": staticmethod(recorder)})
    path = tmp_path / "f.png"
    path.write_bytes(content)
    if error:
        with pytest.raises(ValueError, match="^" + error + "$"):
            Sub.open(path)
        assert capsys.readouterr().out == ""
    else:
        assert type(Sub.open(path)) is Sub
    assert recorder.streams[0].closed


def test_instances_open_through_their_class(SimpleImage):
    Sub = type("Sub", (SimpleImage,), {})
    assert type(Sub.open(RGB).open(BMP)) is Sub


@pytest.mark.parametrize("result, message", [
    ((1,) * 7, "need more than 7 values to unpack"),
    ([1], "need more than 1 value to unpack"),
    ((1,) * 9, "too many values to unpack (expected 8)"),
    (iter(range(9)), "too many values to unpack (expected 8)"),
])
def test_decoder_result_must_hold_eight_values(SimpleImage, capsys, result, message):
    Sub = type("Sub", (SimpleImage,), {"_streamToImage": staticmethod(Recorder(None, result))})
    with pytest.raises(ValueError) as info:
        Sub.open(RGB)
    assert str(info.value) == message and capsys.readouterr().out == ""


def test_override_result_goes_to_the_constructor_without_channels(SimpleImage, capsys):
    result = iter([1, 1, b"abc", "four", None, None, {"xppm": 1}, None])
    Sub = type("Sub", (SimpleImage,), {"_streamToImage": staticmethod(Recorder(None, result))})
    image = Sub.open(b"anything")
    assert (image._pixels, image._bmp_header) == (bytearray(b"abc"), {"xppm": 1})
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 1x1, channels=four\n"


def test_construction_yielding_another_type_is_refused_after_printing(SimpleImage, capsys):
    Odd = type("Odd", (SimpleImage,), {"__new__": lambda cls, *args: 42})
    with pytest.raises(TypeError, match="^Cannot convert int to Tavrune.simpleImage_ext.SimpleImage$"):
        Odd.open(RGB)
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 3x2, channels=3\n"


def test_stream_to_image_returns_the_decoder_result(SimpleImage):
    result = SimpleImage._streamToImage(stream=BytesIO(RGBA))
    assert type(result) is tuple and result[:4] == (2, 3, result[2], 4) and result[6] is None


def test_signature_is_read_where_the_stream_stands_and_the_decoder_starts_at_zero(SimpleImage):
    stream = BytesIO(b"xxxxx" + BMP)
    stream.seek(5)
    with pytest.raises(ValueError, match="^Unsupported BMP header$"):
        SimpleImage._streamToImage(stream)


@pytest.mark.parametrize("data", [CORRUPT, RGB[:40], BMP[:60], BMP[:20], build_png([b"\1\2\3"], bit_depth=4)])
def test_failing_opens_leak_nothing(SimpleImage, data):
    def attempt():
        try:
            SimpleImage.open(data)
        except Exception:
            pass
    for _ in range(20):
        attempt()
    gc.collect()
    refs = sys.getrefcount(data)
    tracemalloc.start()
    try:
        # Free lists and the host's caches hold a few dozen objects at any time
        # and may grow once, by chance, inside a window; a leak of even the
        # smallest object per call would come to 16 kB in every window.
        growth = []
        for _ in range(3):
            first = tracemalloc.get_traced_memory()[0]
            for _ in range(1000):
                attempt()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - first)
            if growth[-1] < 8192:
                break
        assert min(growth) < 8192, growth
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(data) == refs
