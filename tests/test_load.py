"""Tavrune.load: the image SimpleImage.open gives, from every kind of source,
with open's errors, without printing or touching sys.stdout (also from many
threads at once), and without a copy of the planes."""

import contextlib
import io
import pathlib
import sys
import threading
import tracemalloc
import zlib

import pytest

import Tavrune
from support.builders import build_bmp, build_png, random_rows
from Tavrune.simpleImage_ext import SimpleImage

FIELDS = ("size", "_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header")
FILES = {
    "rgb": build_png(random_rows(7, 5), filters=[0, 1, 2, 3, 4], idat_sizes=(20,), insert=[(1, b"tEXt", b"a\0b")]),
    "rgba": build_png(random_rows(3, 4, 4), 4),
    "bmp": build_bmp(random_rows(5, 3), top_down=True, xppm=1234),
}


def opened(source):
    with contextlib.redirect_stdout(io.StringIO()):
        return SimpleImage.open(source)


@pytest.mark.parametrize("kind", list(FILES))
@pytest.mark.parametrize("how", [bytes, bytearray, str, pathlib.Path])
def test_load_gives_what_open_gives(tmp_path, kind, how):
    path = tmp_path / "file"
    path.write_bytes(FILES[kind])
    source = how(path) if how in (str, pathlib.Path) else how(FILES[kind])
    image, expected = Tavrune.load(source), opened(source)
    assert type(image) is SimpleImage
    assert [getattr(image, name) for name in FIELDS] == [getattr(expected, name) for name in FIELDS]
    image.putPixel((0, 0), (1, 2, 3))  # a working image
    image.save(str(tmp_path / "again"))
    again = opened(str(tmp_path / "again"))
    assert (again.getPixel((0, 0)), again._png_filters, again._bmp_header) == (
        (1, 2, 3), expected._png_filters, expected._bmp_header)


@pytest.mark.parametrize("source", [
    b"", b"GIF89a", FILES["rgb"][:40], FILES["rgb"][:-1] + b"\0", build_png(random_rows(2, 2), bit_depth=16),
    build_png(random_rows(2, 2), data=b"\x78\x9c\xff\xff"), FILES["bmp"][:60], memoryview(b"abc"), 17,
    "/no/such/file.png",
])
def test_load_raises_what_open_raises(source):
    with pytest.raises(Exception) as expected:
        opened(source)
    with pytest.raises(expected.type) as found:
        Tavrune.load(source)
    assert str(found.value) == str(expected.value)
    assert isinstance(found.value, (ValueError, TypeError, OSError, zlib.error))


class Unprintable:
    """A sys.stdout that fails the test on any use."""

    def write(self, text):
        raise AssertionError(f"printed {text!r}")

    def flush(self):
        raise AssertionError("flushed")


def test_eight_threads_load_at_once_printing_nothing(monkeypatch, capfd):
    sentinel = Unprintable()
    monkeypatch.setattr(sys, "stdout", sentinel)
    barrier, results, errors = threading.Barrier(8), [], []

    def work(index):
        try:
            barrier.wait()
            for _ in range(20):
                results.append(Tavrune.load(list(FILES.values())[index % 3]).size)
        except BaseException as error:  # reported below, in the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(index,)) for index in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sys.stdout is sentinel
    monkeypatch.undo()
    assert errors == [] and len(results) == 160
    assert capfd.readouterr() == ("", "")


def peak(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_the_planes_are_not_copied():
    data = build_png([bytes(4000)] * 1000, 4, level=1)  # 4 MB of planes, 3 of them pixels
    loaded, reference = peak(lambda: Tavrune.load(data)), peak(lambda: opened(data))
    assert loaded < reference * 1.05 + 65536, (loaded, reference)
    assert loaded < 4_000_000 * 1.8
