"""_split_idat_payload and _writePngWithChunks: the kept chunk layout written back."""

import random

import pytest

from support.write_helpers import decode_with_pillow, ihdr, image_data, read_chunks

W, H = 16, 8
PIXELS = bytes(random.Random(3).randrange(256) for _ in range(W * H * 3))  # compresses to well over 40 bytes
FILTERS = bytearray([0, 1, 2, 3, 4, 4, 1, 0])
HEADER = (b"IHDR", ihdr(W, H, 2), 13)
END = (b"IEND", b"", 0)


@pytest.mark.parametrize("total, lengths, sizes", [
    (220, [100, 100, 30], [100, 100, 20]), (240, [100, 100, 30], [100, 100, 40]),
    (150, [100, 100, 30], [100, 50]), (25, [10, 0], [10, 15]), (25, [0, 10], [25]),
    (25, [-3, 10, 5], [10, 15]), (25, [30, 5], [25]), (25, [], [25]), (0, [5], []),
])
def test_split_sizes(ext, total, lengths, sizes):
    data = bytes(i % 251 for i in range(total))
    parts = ext._split_idat_payload(data, lengths)
    assert [len(p) for p in parts] == sizes and b"".join(parts) == data and all(type(p) is bytes for p in parts)


@pytest.mark.parametrize("data, lengths, message", [
    (None, [1], "object of type 'NoneType' has no len()"),
    (b"abc", None, "object of type 'NoneType' has no len()"),
    (bytearray(b"abc"), [1], "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (b"abc", (1,), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
    (b"abc", ["1", 2], "'<=' not supported between instances of 'str' and 'int'"),
])
def test_split_errors(ext, data, lengths, message):
    with pytest.raises(TypeError) as info:
        ext._split_idat_payload(data, lengths)
    assert str(info.value) == message


IDAT = b"IDAT"  # in the expected layouts: one new image-data chunk


@pytest.mark.parametrize("records, layout", [
    ([HEADER, (b"tEXt", b"k\0v", 3), (IDAT, None, 10), (IDAT, b"ignored", 10), (IDAT, None, 5), (b"tIME", b"t", 9),
      END],
     [HEADER[:2], (b"tEXt", b"k\0v"), IDAT, IDAT, IDAT, (b"tIME", b"t"), END[:2]]),
    ([HEADER, (IDAT, None, 10), (b"tEXt", b"x", 1), (IDAT, None, 10), END],  # new data where the first IDAT was
     [HEADER[:2], IDAT, IDAT, (b"tEXt", b"x"), END[:2]]),
    ([HEADER, END], [HEADER[:2], IDAT, END[:2]]),  # no IDAT record: image data before the first IEND
    ([HEADER, (b"tEXt", b"x", 1), END, END], [HEADER[:2], (b"tEXt", b"x"), IDAT, END[:2], END[:2]]),
    ([HEADER, (b"tEXt", b"x", 1)], [HEADER[:2], (b"tEXt", b"x"), IDAT]),  # nor IEND: image data last
    ([(b"IHDR", b"kept", 13), (b"zzZz", None, 99), (IDAT, None, 1)], [(b"IHDR", b"kept"), (b"zzZz", b""), IDAT]),
    ([HEADER, (bytearray(b"teXt"), memoryview(b"ab"), 2), (IDAT, None, 40), END],
     [HEADER[:2], (b"teXt", b"ab"), IDAT, END[:2]]),
])
def test_kept_layout(ext, tmp_path, records, layout):
    path = tmp_path / "kept.png"
    ext._writePngWithChunks(str(path), W, H, bytearray(PIXELS), None, records, FILTERS)
    chunks = read_chunks(path.read_bytes())
    assert [t if t == IDAT else (t, p) for t, p in chunks] == layout
    new_sizes = [len(p) for t, p in chunks if t == IDAT]  # every one but the last has its kept size
    assert new_sizes[:-1] == [size for t, _, size in records if t == IDAT][:len(new_sizes) - 1]
    assert image_data(path.read_bytes())[::1 + W * 3] == FILTERS
    if layout[-1] != IDAT and records[0] == HEADER:
        assert decode_with_pillow(path.read_bytes())[2] == PIXELS


@pytest.mark.parametrize("chunks", [lambda: None, lambda: [], lambda: iter([]), lambda: (r for r in ())],
                         ids=["None", "empty list", "empty iterator", "empty generator"])
def test_no_records_writes_what_write_png_writes(ext, tmp_path, chunks):
    # One-shot records that yield nothing are no records either: never a file
    # with neither IHDR nor IEND.
    alpha = bytearray(range(W * H))
    ext._writePng(str(tmp_path / "plain.png"), W, H, PIXELS, alpha, FILTERS)
    ext._writePngWithChunks(str(tmp_path / "kept.png"), W, H, PIXELS, alpha, chunks(), FILTERS)
    assert (tmp_path / "kept.png").read_bytes() == (tmp_path / "plain.png").read_bytes()


def test_no_records_calls_write_png_by_name_at_call_time(ext, monkeypatch):
    calls = []
    monkeypatch.setattr(ext, "_writePng", lambda *args, **kwargs: calls.append((args, kwargs)) or "ignored")
    pixels, alpha = bytearray(3), bytearray(1)
    assert ext._writePngWithChunks("p", 1.7, True, pixels, alpha, []) is None
    assert calls == [(("p", 1, 1, pixels, alpha, None), {})] and calls[0][0][3] is pixels


@pytest.mark.parametrize("pixels, records, error, message", [
    (PIXELS[1:], [HEADER], ValueError, "Pixel data length does not match image dimensions"),
    (PIXELS, [HEADER, (b"IEND", b"", 0, 0)], ValueError, "too many values to unpack (expected 3)"),
    (PIXELS, [HEADER, (b"IEND", b"")], ValueError, "need more than 2 values to unpack"),
    (PIXELS, [("IHDR", b"", 0)], TypeError, "a bytes-like object is required, not 'str'"),
    (PIXELS, [(b"tEXt", 5, 0)], TypeError, "object of type 'int' has no len()"),
    (PIXELS, [(b"tEXt", [1, 2], 0)], TypeError, "a bytes-like object is required, not 'list'"),
])
def test_bad_input_leaves_an_existing_file_untouched(ext, tmp_path, pixels, records, error, message):
    path = tmp_path / "keep.png"
    path.write_bytes(b"previous")
    with pytest.raises(error) as info:
        ext._writePngWithChunks(str(path), W, H, pixels, None, records)
    assert (str(info.value), path.read_bytes()) == (message, b"previous")


@pytest.mark.parametrize("once", [iter, lambda records: (record for record in records)])
def test_records_that_can_be_walked_once_are_all_written(SimpleImage, ext, tmp_path, once):
    records = [HEADER, (b"tEXt", b"k\0v", 3), (IDAT, None, 10), (IDAT, None, 10), END]
    ext._writePngWithChunks(str(tmp_path / "list.png"), W, H, PIXELS, None, records, FILTERS)
    ext._writePngWithChunks(str(tmp_path / "once.png"), W, H, PIXELS, None, once(records), FILTERS)
    image = SimpleImage(W, H, PIXELS, png_filters=FILTERS)
    image._png_chunks = once(records)
    image.save(str(tmp_path / "saved.png"))
    expected = (tmp_path / "list.png").read_bytes()
    assert (tmp_path / "once.png").read_bytes() == expected == (tmp_path / "saved.png").read_bytes()
