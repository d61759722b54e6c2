"""SimpleImage.save and saveBmp: which writer runs, with what, and the files they give."""

import pytest

from support.write_helpers import decode_with_pillow, ihdr, image_data, read_bmp, read_chunks

CHUNKS = [(b"IHDR", ihdr(2, 1, 6), 13), (b"IDAT", None, 0), (b"IEND", b"", 0)]
HEADER = {"xppm": 1000}
PNG_FIELDS = ("_pixels", "_alpha", "_png_chunks", "_png_filters")


@pytest.fixture
def calls(ext, monkeypatch):
    """Every writer replaced in the module by a recorder."""
    seen = []
    for name in ("_writePngWithChunks", "_writeBmp", "_writePng"):
        monkeypatch.setattr(ext, name, lambda *args, name=name, **kw: seen.append((name, args, kw)))
    return seen


@pytest.mark.parametrize("method, chunks, header, writer, fields", [
    ("save", CHUNKS, HEADER, "_writePngWithChunks", PNG_FIELDS),
    ("save", CHUNKS, None, "_writePngWithChunks", PNG_FIELDS),
    ("save", None, HEADER, "_writeBmp", ("_pixels", "_bmp_header")),
    ("save", None, None, "_writePng", ("_pixels", "_alpha", "_png_filters")),
    ("saveBmp", CHUNKS, HEADER, "_writeBmp", ("_pixels", "_bmp_header")),
    ("saveBmp", CHUNKS, None, "_writeBmp", ("_pixels", "_bmp_header")),
])
def test_writer_chosen_by_the_kept_records(SimpleImage, calls, method, chunks, header, writer, fields):
    image = SimpleImage(2, 1, bytes(6), bytes(2), chunks, header, bytes([3]))
    image.width = 5.9  # the writer gets the field's current value as an int
    assert getattr(image, method)("out.png") is None
    (name, args, kwargs), = calls
    assert (name, args[:3], kwargs, len(args)) == (writer, ("out.png", 5, 1), {}, 3 + len(fields))
    assert all(a is getattr(image, f) for a, f in zip(args[3:], fields))


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_missing_writer_is_a_name_error(SimpleImage, ext, monkeypatch, method):
    monkeypatch.delattr(ext, "_writeBmp")
    with pytest.raises(NameError, match="^name '_writeBmp' is not defined$"):
        getattr(SimpleImage(1, 1, bytes(3), None, None, HEADER), method)("x.bmp")


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_path_objects_are_refused_and_nothing_is_written(SimpleImage, tmp_path, method):
    target = tmp_path / "x.png"
    with pytest.raises(TypeError) as info:
        getattr(SimpleImage(1, 1, bytes(3)), method)(target)
    assert str(info.value) == f"Argument 'path' has incorrect type (expected str, got {type(target).__name__})"
    assert not target.exists()


def test_files_written_by_each_choice(SimpleImage, tmp_path):
    SimpleImage(3, 2, bytes(range(18))).save(str(tmp_path / "new.png"))
    data = (tmp_path / "new.png").read_bytes()
    assert image_data(data)[::10] == bytes(2) and [t for t, _ in read_chunks(data)] == [b"IHDR", b"IDAT", b"IEND"]
    assert decode_with_pillow(data) == ("RGB", (3, 2), bytes(range(18)))

    both = SimpleImage(2, 1, bytes(6), bytes([255, 128]), CHUNKS, HEADER, bytes([4]))
    both.save(str(tmp_path / "kept.png"))
    both.saveBmp(str(tmp_path / "kept.bmp"))
    assert decode_with_pillow((tmp_path / "kept.png").read_bytes()) == (
        "RGBA", (2, 1), bytes([0, 0, 0, 255, 0, 0, 0, 128]))
    assert read_bmp((tmp_path / "kept.bmp").read_bytes())[0]["xppm"] == 1000

    SimpleImage(1, 1, bytes(3), None, None, HEADER).save(str(tmp_path / "bmp_named.png"))
    assert read_bmp((tmp_path / "bmp_named.png").read_bytes())[0]["xppm"] == 1000


def test_failed_save_leaves_the_image_unchanged(SimpleImage, tmp_path):
    image = SimpleImage(1, 2, bytes(6), None, None, None, bytes([0, 9]))
    fields = [getattr(image, f) for f in PNG_FIELDS]
    with pytest.raises(ValueError, match="^Unsupported PNG filter: 9$"):
        image.save(str(tmp_path / "x.png"))
    assert [getattr(image, f) for f in PNG_FIELDS] == fields and image._pixels == bytes(6)
    assert not (tmp_path / "x.png").exists()
