"""Headers at and past the signed 32-bit limits, decompression bombs and lying
chunk lengths: refused quickly with the documented errors, at bounded memory.
Each case runs in its own interpreter, whose peak resident size
(getrusage) and peak address space (VmPeak) are compared before and after."""

import struct
import zlib

import pytest

from support.builders import PNG_SIGNATURE, build_bmp, build_png, chunk, ihdr
from support.isolated import SANITIZED, run_python

MEASURE = r'''
source = sys.argv[1] if sys.argv[2] == "path" else open(sys.argv[1], "rb").read()
import Tavrune.simpleImage_ext as ext
rss, vm = peak_rss_kib(), status_kib("VmPeak")
started = time.perf_counter()
result = outcome(lambda: ext.SimpleImage.open(source))
print(json.dumps({"outcome": result, "seconds": time.perf_counter() - started,
                  "rss_mib": (peak_rss_kib() - rss) / 1024, "vm_mib": (status_kib("VmPeak") - vm) / 1024}))
'''

MALFORMED = [".ValueError", "Malformed PNG image data"]
TOO_LARGE = [".OverflowError", "value too large to convert to int"]


def measure(tmp_path, data, how):
    path = tmp_path / "input"
    path.write_bytes(data)
    return run_python(MEASURE, path, how)


ZEROS = zlib.compress(b"\0" * 100)


def tiny_png(width, height, channels=3, data=ZEROS):
    return build_png([], channels, width=width, height=height, data=data)


@pytest.mark.parametrize("how", ["bytes", "path"])
@pytest.mark.parametrize("width, height, channels, expected", [
    (2 ** 31 - 1, 1, 3, MALFORMED),
    (2 ** 31, 1, 3, TOO_LARGE),
    (2 ** 32 - 1, 1, 4, TOO_LARGE),
    (1, 2 ** 31 - 1, 3, MALFORMED),
    (1, 2 ** 31, 3, TOO_LARGE),
    (1, 2 ** 32 - 1, 3, TOO_LARGE),
    (2 ** 31 - 1, 2 ** 31 - 1, 4, MALFORMED),
    (65536, 65536, 3, MALFORMED),          # the pixel count alone wraps 32 bits
    (46341, 46341, 3, MALFORMED),          # the pixel count fits, the buffer does not
    (715827882, 1, 3, MALFORMED),          # every size just fits: refused by the data's size
    (0, 2 ** 31 - 1, 3, MALFORMED),
    (2 ** 31 - 1, 0, 3, MALFORMED),
])
def test_png_dimensions_at_the_limits(tmp_path, how, width, height, channels, expected):
    result = measure(tmp_path, tiny_png(width, height, channels), how)
    assert result["outcome"] == expected
    assert result["seconds"] < 1
    assert result["rss_mib"] < 32 and result["vm_mib"] < 64


NEGATIVE = [".ValueError", "negative count"]
INCOMPLETE = [".ValueError", "Incomplete BMP pixel data"]


@pytest.mark.parametrize("how", ["bytes", "path"])
@pytest.mark.parametrize("width, height, expected", [
    (2 ** 31 - 1, 1, TOO_LARGE),
    (1, -2 ** 31, TOO_LARGE),
    (2 ** 31 - 1, 2 ** 31 - 1, TOO_LARGE),
    (-2 ** 31, -2 ** 31, [".OverflowError", "cannot fit 'int' into an index-sized integer"]),
    (65536, 65536, TOO_LARGE),
    (-2 ** 31, 1, NEGATIVE),
    (-1, 2 ** 31 - 1, NEGATIVE),
    (26754, -26754, INCOMPLETE),           # a pixel buffer just under 2**31 bytes, and no rows
    (715827882, 1, INCOMPLETE),            # one row of just under 2**31 bytes, missing
    (0, 2 ** 31 - 1, ["opened"]),          # rows of 0 bytes: no pixels, nothing to read
    (0, -2 ** 31 + 1, ["opened"]),
])
def test_bmp_dimensions_at_the_limits(tmp_path, how, width, height, expected):
    result = measure(tmp_path, build_bmp([], width=width, height=height), how)
    assert result["outcome"] == expected
    assert result["seconds"] < 1
    assert result["rss_mib"] < 32 and result["vm_mib"] < 64


@pytest.mark.parametrize("how", ["bytes", "path"])
def test_bmp_buffer_is_made_once_a_row_has_arrived(tmp_path, how):
    # 2**28 rows claimed, one present: the buffer of 768 MiB is made, and none
    # of it but the row becomes resident (but for the sanitizer's shadow of it).
    result = measure(tmp_path, build_bmp([b"\1\2\3"], height=-2 ** 28), how)
    assert result["outcome"] == INCOMPLETE
    assert result["seconds"] < 1
    assert result["vm_mib"] > 700
    assert result["rss_mib"] < 32 + (768 / 8 if SANITIZED else 0)


def zeros_stream(size_mib):
    """A zlib stream of size_mib MiB of zero bytes, about a thousandth of that
    long, made from one compressed MiB repeated (each MiB ends in a full flush,
    which makes every MiB after the first compress alike)."""
    packer = zlib.compressobj(9)
    first = packer.compress(bytes(1 << 20)) + packer.flush(zlib.Z_FULL_FLUSH)
    again = packer.compress(bytes(1 << 20)) + packer.flush(zlib.Z_FULL_FLUSH)
    end = packer.flush()[:-4]
    return first + again * (size_mib - 1) + end + struct.pack(">I", ((size_mib << 20) % 65521) << 16 | 1)


def test_zeros_stream_is_what_it_says():
    assert zlib.decompress(zeros_stream(5)) == bytes(5 << 20)


@pytest.mark.parametrize("how", ["bytes", "path"])
@pytest.mark.parametrize("width, height", [(1, 1), (1024, 1024)])
def test_a_gigabyte_bomb_is_malformed_at_bounded_memory(tmp_path, how, width, height):
    result = measure(tmp_path, tiny_png(width, height, data=zeros_stream(1024)), how)
    assert result["outcome"] == MALFORMED
    assert result["seconds"] < 2
    claimed_mib = (width * 3 + 1) * height / (1 << 20)
    assert result["rss_mib"] < 3 * claimed_mib + 32


@pytest.mark.parametrize("how", ["bytes", "path"])
@pytest.mark.parametrize("length", [2 ** 24 + 1, 2 ** 31, 2 ** 32 - 1])
@pytest.mark.parametrize("after", [b"", b"\0" * 100])
def test_a_chunk_claiming_gigabytes_reserves_no_memory_for_them(tmp_path, how, length, after):
    data = PNG_SIGNATURE + chunk(b"IHDR", ihdr(1, 1)) + struct.pack(">I", length) + b"IDAT" + after
    result = measure(tmp_path, data, how)
    assert result["outcome"] == [".ValueError", "Unexpected EOF while reading chunk data"]
    assert result["seconds"] < 1
    assert result["rss_mib"] < 32 and result["vm_mib"] < 64


@pytest.mark.parametrize("kind", ["png", "bmp"])
def test_long_reads_from_a_file_give_what_bytes_give(SimpleImage, tmp_path, capsys, kind):
    # A 20 MiB chunk, and a BMP row of 18 MiB, come from a file in pieces.
    if kind == "png":
        data = build_png([b"\1\2\3\4"], 4, insert=((1, b"zzZz", bytes(range(256)) * 81920),))
    else:
        data = build_bmp([bytes(range(255)) * 70000])
    path = tmp_path / "long"
    path.write_bytes(data)
    by_path, by_bytes = SimpleImage.open(str(path)), SimpleImage.open(data)
    capsys.readouterr()
    for field in ("size", "_pixels", "_alpha", "_png_chunks", "_bmp_header"):
        assert getattr(by_path, field) == getattr(by_bytes, field)


def test_other_streams_get_one_read_of_the_claimed_length(ext, tmp_path):
    # Only the reader that open(path) makes is read in pieces; a file object
    # whose read is replaced, or a BytesIO subclass, sees the length as claimed.
    import io
    data = struct.pack(">I", 2 ** 31) + b"IDAT" + b"\0" * 10
    path = tmp_path / "chunk"
    path.write_bytes(data)
    counts = []
    with open(path, "rb") as f:
        read = f.read
        f.read = lambda n: counts.append(n) or read(min(n, 1 << 20))
        with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk data$"):
            ext._readChunk(f)

    class Stream(io.BytesIO):
        def read(self, n):
            counts.append(n)
            return super().read(n)

    with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk data$"):
        ext._readChunk(Stream(data))
    assert counts == [4, 4, 2 ** 31] * 2
