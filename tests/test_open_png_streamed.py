"""Image data inflated piece by piece while rows are reconstructed: larger images,
IDAT cuts of every size, and hostile data, whose errors must be exactly those
of inflating the joined payloads in one bounded call."""

import gc
import random
import zlib
from io import BytesIO

import pytest

from support.builders import RecordingStream, assemble, build_png, png_chunks, scanlines, split_planes
from support.damaged_zlib import exact_inflation


@pytest.fixture
def decode(SimpleImage):
    return lambda data: SimpleImage._streamToImage(BytesIO(data))


def outcome(call):
    """("ok", result) or (exception type, message)."""
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the exception itself is what is compared
        return (type(error), str(error))


def reference_outcome(decode, width, height, channels, idat):
    """What decoding a file with this image data must give: the errors of the
    exact inflation, then of the first unknown filter type; else the result of
    the same rows compressed cleanly."""
    stride = width * channels + 1
    try:
        raw = exact_inflation(idat, stride * height)
    except Exception as error:  # noqa: BLE001
        return (type(error), str(error))
    for y in range(height):
        if width and raw[y * stride] > 4:
            return (ValueError, f"Unsupported PNG filter: {raw[y * stride]}")
    clean = build_png([], channels, width=width, height=height, data=zlib.compress(raw))
    result = decode(clean)
    return ("ok", result[:5] + result[6:])


def without_records(result):
    kind, value = result
    return (kind, value[:5] + value[6:]) if kind == "ok" else result


def textured_rows(width, height, channels, seed):
    """Gradients with a little noise: compressible, so that the deflate data
    holds back-references a damaged bit can break in many ways."""
    rng = random.Random(seed)
    return [bytes((x * 3 + y * 5 + (x * y) // 64 + rng.randrange(4)) % 256 for x in range(width * channels))
            for y in range(height)]


@pytest.fixture(scope="module")
def image():
    """97 x 400 pixels in every filter type, RGB and RGBA: rows longer than an
    IDAT cut, many rows per inflated piece."""
    made = {}
    for channels in (3, 4):
        rows = textured_rows(97, 400, channels, seed=channels)
        filters = [random.Random(y).randrange(5) for y in range(400)]
        made[channels] = rows, filters, zlib.compress(scanlines(rows, channels, filters))
    return made


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("idat_sizes", [(), (1,) * 300, (7, 8191, 65536), (16383, 16384, 16385), (100000,)])
def test_rows_from_any_cut_of_the_data(decode, image, channels, idat_sizes):
    rows, filters, _ = image[channels]
    data = build_png(rows, channels, filters, idat_sizes)
    result = decode(data)
    assert result[:5] == (97, 400, *split_planes(rows, channels)[:1], channels, split_planes(rows, channels)[1])
    assert list(result[7]) == filters


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("trailing", [b"\0", b"garbage after the end of the stream" * 1000])
def test_bytes_after_the_stream_are_ignored(decode, image, channels, trailing):
    rows, filters, compressed = image[channels]
    plain = decode(build_png(rows, channels, filters))
    assert decode(build_png([], channels, width=97, height=400, data=compressed + trailing))[:5] == plain[:5]
    chunks = png_chunks([], channels, width=97, height=400, data=compressed)
    chunks.insert(-1, (b"IDAT", trailing))
    assert decode(assemble(chunks))[:5] == plain[:5]


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("rows_changed", [-1, 1, -399])
def test_one_row_more_or_less_is_malformed(decode, image, channels, rows_changed):
    rows, filters, _ = image[channels]
    data = scanlines(rows, channels, filters)
    stride = 97 * channels + 1
    data = data + data[-stride:] if rows_changed > 0 else data[:rows_changed * stride]
    with pytest.raises(ValueError) as info:
        decode(build_png([], channels, width=97, height=400, data=zlib.compress(data)))
    assert str(info.value) == "Malformed PNG image data"


@pytest.mark.parametrize("channels", [3, 4])
def test_unknown_filter_type_far_into_the_image(decode, image, channels):
    rows, filters, _ = image[channels]
    filters = list(filters)
    filters[300] = 5
    filters[350] = 9
    with pytest.raises(ValueError) as info:
        decode(build_png(rows, channels, filters))
    assert str(info.value) == "Unsupported PNG filter: 5"


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("cut", [1, 4, 5, 100, 30000])
def test_truncated_stream_raises_the_hosts_error(decode, image, channels, cut):
    rows, filters, compressed = image[channels]
    truncated = compressed[:-cut]
    expected = outcome(lambda: exact_inflation(truncated, (97 * channels + 1) * 400))
    assert expected[0] != "ok"
    assert outcome(lambda: decode(build_png([], channels, width=97, height=400, data=truncated))) == expected


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("seed", range(40))
def test_corrupted_stream_fails_as_one_bounded_inflation_does(decode, image, channels, seed):
    rows, filters, compressed = image[channels]
    rng = random.Random(seed)
    data = bytearray(compressed)
    for _ in range(1 + seed % 3):
        position = rng.randrange(len(data)) if seed % 4 else rng.randrange(min(64, len(data)))
        data[position] ^= 1 << rng.randrange(8)
    data = bytes(data)
    idat_sizes = (rng.randrange(1, 5000),) * rng.randrange(0, 4)
    file = build_png([], channels, width=97, height=400, data=data, idat_sizes=idat_sizes)
    assert without_records(outcome(lambda: decode(file))) == reference_outcome(decode, 97, 400, channels, data)


@pytest.mark.parametrize("channels", [3, 4])
def test_payloads_that_are_not_bytes_decode_the_same(SimpleImage, image, channels):
    rows, filters, _ = image[channels]
    data = build_png(rows, channels, filters, idat_sizes=(5000, 5000))
    plain = SimpleImage._streamToImage(BytesIO(data))
    # Calls 9, 13 and 17 read the three IDAT payloads: the signature read, a
    # seek and the signature again, then four reads per chunk, the payload third.
    stream = RecordingStream(data, alter={9: bytearray, 13: memoryview, 17: bytearray})
    assert SimpleImage._streamToImage(stream)[:5] == plain[:5]
    assert [type(stream.returned[i]) for i in (8, 12, 16)] == [bytearray, memoryview, bytearray]


@pytest.mark.parametrize("width, height", [(0, 5), (3, 0)])
def test_images_without_pixels(decode, width, height):
    raw = b"\0" * height
    result = decode(build_png([], 3, width=width, height=height, data=zlib.compress(raw)))
    assert result[:5] == (width, height, bytearray(), 3, None)
    assert result[7] == bytearray(height)


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("height", [1, 2, 3, 4, 7])
@pytest.mark.parametrize("pattern", ["all Paeth", "Paeth then Sub", "Sub then Paeth"])
def test_runs_of_paeth_rows(decode, channels, height, pattern):
    """Paeth rows are reconstructed in pairs where two follow each other: runs of
    every length, ending the image or followed by another type."""
    for width in (1, 2, 5, 33):
        rows = textured_rows(width, height, channels, seed=width + height)
        filters = {"all Paeth": [4] * height,
                   "Paeth then Sub": [4] * (height - 1) + [1],
                   "Sub then Paeth": [1] + [4] * (height - 1)}[pattern]
        result = decode(build_png(rows, channels, filters))
        assert result[:5] == (width, height, split_planes(rows, channels)[0], channels,
                              split_planes(rows, channels)[1])




@pytest.mark.parametrize("meddle", [list.clear, list.reverse, lambda found: found.append("not bytes"),
                                    lambda found: found.insert(0, found[-1])])
def test_payload_list_changed_by_python_code_while_decoding(SimpleImage, image, meddle):
    """The decoder's list of IDAT payloads can be reached by Python code (here
    read, through gc.get_referrers of a payload it returned) and changed; the
    decode must neither crash nor give anything but the image or an error of
    the image data."""
    rows, filters, _ = image[3]

    class Meddling(RecordingStream):
        def read(self, n):
            for payload in tuple(item for item in self.returned if len(item) >= 5000):
                for found in gc.get_referrers(payload):
                    if isinstance(found, list) and found is not self.returned and found:
                        meddle(found)
            return super().read(n)

    result = outcome(lambda: SimpleImage._streamToImage(Meddling(build_png(rows, 3, filters, idat_sizes=(5000,)))))
    if result[0] == "ok":
        assert result[1][:5] == (97, 400, split_planes(rows, 3)[0], 3, None)
    else:
        assert result[0] in (zlib.error, ValueError, TypeError), result
