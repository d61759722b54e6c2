"""Reading chunks off a stream with their CRC checked, and building them."""

import struct
import zlib
from io import BytesIO

import pytest

from support.builders import RecordingStream, chunk

IEND = bytes.fromhex("0000000049454E44AE426082")
TEXT = chunk(b"tEXt", b"key\0value")


def host_error(call):
    with pytest.raises(Exception) as info:
        call()
    return info.type, str(info.value)


def test_stream_at_its_end_gives_the_end_marker_after_one_read(ext):
    stream = RecordingStream(b"")
    assert ext._readChunk(stream) == (b"", b"")
    assert stream.calls == [("read", 4)]


def test_iend_reads_back_and_leaves_the_stream_after_it(ext):
    stream = BytesIO(IEND + b"more")
    assert ext._readChunk(stream) == (b"IEND", b"")
    assert stream.tell() == 12


def test_consecutive_chunks_then_the_end_marker(ext):
    stream = BytesIO(TEXT + IEND)
    assert [ext._readChunk(stream) for _ in range(3)] == [(b"tEXt", b"key\0value"), (b"IEND", b""), (b"", b"")]


@pytest.mark.parametrize("cut, message", [
    (1, "Unexpected EOF while reading chunk length"),
    (3, "Unexpected EOF while reading chunk length"),
    (4, "Unexpected EOF while reading chunk type"),
    (7, "Unexpected EOF while reading chunk type"),
    (8, "Unexpected EOF while reading chunk data"),
    (16, "Unexpected EOF while reading chunk data"),
    (17, "Unexpected EOF while reading chunk CRC"),
    (20, "Unexpected EOF while reading chunk CRC"),
])
def test_truncated_chunk(ext, cut, message):
    with pytest.raises(ValueError) as info:
        ext._readChunk(BytesIO(TEXT[:cut]))
    assert str(info.value) == message


def test_length_read_returning_more_than_asked(ext):
    stream = RecordingStream(IEND, alter={0: lambda b: b + b"x"})
    with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk length$"):
        ext._readChunk(stream)


def test_largest_length_is_read_as_unsigned(ext):
    stream = RecordingStream(b"\xff\xff\xff\xffIDATshort")
    with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk data$"):
        ext._readChunk(stream)
    assert stream.calls[2] == ("read", 4294967295)


@pytest.mark.parametrize("position", range(4, len(TEXT)))
def test_any_changed_bit_in_type_data_or_crc_is_detected(ext, position):
    damaged = bytearray(TEXT)
    damaged[position] ^= 1 << (position % 8)
    stream = RecordingStream(bytes(damaged))
    with pytest.raises(ValueError, match="^Corrupted PNG chunk detected$"):
        ext._readChunk(stream)
    assert [n for _, n in stream.calls] == [4, 4, 9, 4]  # all four reads come before the check


@pytest.mark.parametrize("chunk_type", [b"\0\0\0\0", b"abcd", b"IDAT"])
def test_chunk_types_are_not_checked(ext, chunk_type):
    assert ext._readChunk(BytesIO(chunk(chunk_type, b"\x01\x02"))) == (chunk_type, b"\x01\x02")


def test_returns_the_objects_read_returned(ext):
    stream = RecordingStream(TEXT, alter={1: bytearray, 2: memoryview})
    chunk_type, data = ext._readChunk(stream)
    assert chunk_type is stream.returned[1] and data is stream.returned[2]


@pytest.mark.parametrize("index, change", [
    (0, lambda b: None),
    (0, lambda b: b.decode("latin-1")),
    (1, lambda b: 4),
    (3, lambda b: b.decode("latin-1")),
    (2, lambda b: b.decode("latin-1")),
])
def test_unusable_read_results_raise_the_hosts_errors(ext, index, change):
    # The same operations on the same value, done by the host directly.
    def host():
        fields = [change(piece) if i == index else piece
                  for i, piece in enumerate([TEXT[:4], TEXT[4:8], TEXT[8:-4], TEXT[-4:]])]
        for piece in fields:
            len(piece)
        struct.unpack(">I", fields[0])
        zlib.crc32(fields[2], zlib.crc32(fields[1]))
        struct.unpack(">I", fields[3])
    assert host_error(lambda: ext._readChunk(RecordingStream(TEXT, alter={index: change}))) == host_error(host)


def test_errors_of_read_itself_pass_through(ext):
    class Failing:
        def read(self, n):
            raise OSError("device gone")
    with pytest.raises(OSError, match="^device gone$"):
        ext._readChunk(Failing())


def test_make_chunk_iend(ext):
    assert ext._makeChunk(b"IEND", b"") == IEND


@pytest.mark.parametrize("chunk_type, data", [
    (b"IHDR", bytes(13)), (b"tEXt", b"x"), (b"abcd", bytes(range(256)) * 300), (b"\0\0\0\0", b""),
])
def test_make_chunk_reads_back(ext, chunk_type, data):
    built = ext._makeChunk(chunk_type, data)
    assert built == chunk(chunk_type, data)
    assert ext._readChunk(BytesIO(built)) == (chunk_type, data)


def test_make_chunk_keeps_a_short_type(ext):
    assert ext._makeChunk(b"abc", b"\x07")[:8] == b"\0\0\0\x01abc\x07"
    assert len(ext._makeChunk(b"abc", b"\x07")) == 12
