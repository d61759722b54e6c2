"""SimpleImage.open(bytes) walks the file's chunks in the bytes object itself
instead of reading copies from a stream: every result, message and precedence
of errors must be what reading io.BytesIO(data) gives (a bytearray still goes
through the stream, so it is the reference)."""

import contextlib
import io
import zlib

import pytest

from support.builders import build_png, chunk, png_chunks, random_rows, split
from support.mutations import mutated_inputs, seeds


def outcome(SimpleImage, source):
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            image = SimpleImage.open(source)
    except Exception as error:  # noqa: BLE001 - the exception itself is compared
        return type(error), str(error)
    return (image.size, bytes(image._pixels), image._alpha, image._png_chunks, image._png_filters,
            image._bmp_header)


@pytest.mark.parametrize("seed", [21, 22])
def test_mutated_files_open_as_from_a_stream(SimpleImage, seed):
    for data in mutated_inputs(1500, seed):
        assert outcome(SimpleImage, data) == outcome(SimpleImage, bytearray(data))


def file_with_late_faults():
    """Several IDAT chunks, damaged image data in the first, a chunk after them."""
    rows = random_rows(30, 20, 4, seed=3)
    chunks = png_chunks(rows, 4, [y % 5 for y in range(20)], idat_sizes=(50, 60, 70))
    return chunks


@pytest.mark.parametrize("fault", ["later CRC", "bad data then later CRC", "bad data", "filter 7", "cut"])
def test_error_order_as_from_a_stream(SimpleImage, fault):
    chunks = file_with_late_faults()
    items = [chunk(t, d) for t, d in chunks]
    if "bad data" in fault:
        items[1] = chunk(b"IDAT", b"\xff" * len(chunks[1][1]))  # no zlib stream: the host's error
    if "later CRC" in fault:
        items.insert(-1, chunk(b"tEXt", b"k\0v")[:-1] + b"\0")  # a CRC that does not match, after the data
    if fault == "filter 7":
        raw = bytearray(zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT")))
        raw[121 * 3] = 7
        items = [chunk(*chunks[0])] + [chunk(b"IDAT", p) for p in split(zlib.compress(bytes(raw)), (40,))] + \
            [chunk(b"IEND", b"")]
    data = b"\x89PNG\r\n\x1a\n" + b"".join(items)
    if fault == "cut":
        for end in range(0, len(data), 7):
            assert outcome(SimpleImage, data[:end]) == outcome(SimpleImage, bytearray(data[:end])), end
        return
    expected = outcome(SimpleImage, bytearray(data))
    assert expected[0] in (ValueError, zlib.error)
    assert outcome(SimpleImage, data) == expected


@pytest.mark.parametrize("name, data", seeds())
def test_every_seed_opens_as_from_a_stream(SimpleImage, name, data):
    assert outcome(SimpleImage, data) == outcome(SimpleImage, bytearray(data))


def test_a_subclass_with_its_own_decoder_still_gets_a_stream(SimpleImage):
    given = []

    class Sub(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            given.append(type(stream))
            return SimpleImage._streamToImage(stream)

    data = build_png(random_rows(3, 2), 3)
    assert outcome(Sub, data) == outcome(SimpleImage, data)
    assert given == [io.BytesIO]


# From a path, the image data is inflated as its chunks are read and each
# payload dropped; should the streamed path give up, the payloads are read
# again from the file. Results and errors must be those of a stream.

def path_outcome(SimpleImage, tmp_path, data):
    path = tmp_path / "in.png"
    path.write_bytes(data)
    return outcome(SimpleImage, str(path))


@pytest.mark.parametrize("seed", [23])
def test_mutated_files_open_by_path_as_from_a_stream(SimpleImage, tmp_path, seed):
    for data in mutated_inputs(1200, seed):
        assert path_outcome(SimpleImage, tmp_path, data) == outcome(SimpleImage, bytearray(data))


def test_damaged_streams_open_by_path_as_the_host_zlib_has_them(SimpleImage, tmp_path):
    import random
    from support.damaged_zlib import damaged_stream, module_outcome, png_of
    for seed in range(300):
        rng = random.Random(seed)
        kind, width, height, channels, stream = damaged_stream(rng)
        data = png_of(width, height, channels, stream, rng)
        got = path_outcome(SimpleImage, tmp_path, data)
        expected = module_outcome(SimpleImage, data)
        assert (got[0], got[1]) == expected if isinstance(got[0], type) else \
            (bytes(got[1]), got[2], got[4]) == (expected[1][0], expected[1][1], expected[1][2]), (seed, kind)


@pytest.mark.parametrize("fault", ["later CRC", "bad data then later CRC", "bad data", "filter 7", "second IHDR",
                                   "tiny chunks first"])
def test_error_order_by_path_as_from_a_stream(SimpleImage, tmp_path, fault):
    rows = random_rows(300, 40, 3, seed=5)
    chunks = png_chunks(rows, 3, [y % 5 for y in range(40)], idat_sizes=(1, 1, 1, 3000, 5000))
    items = [chunk(t, d) for t, d in chunks]
    if "bad data" in fault:
        items[4] = chunk(b"IDAT", b"\xff" * len(chunks[4][1]))
    if "later CRC" in fault:
        items.insert(-1, chunk(b"tEXt", b"k\0v")[:-1] + b"\0")
    if fault == "filter 7":
        raw = bytearray(zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT")))
        raw[901 * 30] = 7
        items = [chunk(*chunks[0])] + [chunk(b"IDAT", p) for p in split(zlib.compress(bytes(raw)), (4000,))] + \
            [chunk(b"IEND", b"")]
    if fault == "second IHDR":  # after the data has started: the header the rows were made for is not the last
        items.insert(-1, chunk(b"IHDR", chunks[0][1][:8] + bytes([8, 6, 0, 0, 0])))
    data = b"\x89PNG\r\n\x1a\n" + b"".join(items)
    assert path_outcome(SimpleImage, tmp_path, data) == outcome(SimpleImage, bytearray(data))


def test_open_by_path_holds_no_copy_of_the_compressed_data(tmp_path):
    """Peak traced memory of open by path: the planes and little more, though
    the file holds as much compressed data as the planes (noise)."""
    from support.isolated import run_python
    import random
    rng = random.Random(1)
    width, height = 1024, 1024
    rows = [rng.randbytes(width * 3) for y in range(height)]
    data = build_png(rows, 3, 0, idat_sizes=(65536,) * 60)
    (tmp_path / "big.png").write_bytes(data)
    code = r'''
import sys, tracemalloc
from Tavrune.simpleImage_ext import SimpleImage
tracemalloc.start()
with contextlib.redirect_stdout(io.StringIO()):
    image = SimpleImage.open(sys.argv[1])
print(json.dumps([tracemalloc.get_traced_memory()[1], len(image._pixels)]))
'''
    peak, planes = run_python(code, tmp_path / "big.png")
    assert len(data) > planes
    assert peak < planes * 1.1
