"""What one fuzz input goes through; fuzz_open.py runs it under libFuzzer.

Every input is opened from bytes; an image that opens is changed, written three
ways and read back (tests/support/mutations.py: exercise). A PNG input is opened a
second time with every whole chunk's CRC made right, so that mutations reach
the header checks, inflation and unfiltering. An input starting with "~" is
made into a PNG first: its next bytes choose the header, the rest is the
uncompressed image data. Every input is also opened by path, which must end as
opening the same bytes does, and read as a chunk sequence with _readChunk.
Anything but a documented error is raised to the caller.
"""

import contextlib
import io
import os
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from support.builders import PNG_SIGNATURE, chunk, ihdr  # noqa: E402
from support.mutations import DOCUMENTED, exercise, join_chunks, parse_chunks  # noqa: E402


def repair_crcs(data):
    """data with the CRC of every whole chunk after the signature corrected."""
    chunks, tail = parse_chunks(data)
    for c in chunks:
        c[3] = chunk(c[1], c[2])[-4:]
    return join_chunks(chunks, tail)


def synthesize(data):
    """A PNG from "~", width, height, flags and raw image data: flags bit 0
    chooses RGBA, bit 1 fits the data to the size the header implies, bit 2
    makes every filter byte valid; the top three bits choose the IDAT split."""
    if len(data) < 4:
        return data
    width, height, flags = data[1] % 17, data[2] % 17, data[3]
    channels = 4 if flags & 1 else 3
    raw = bytearray(data[4:])
    row = width * channels + 1
    if flags & 2:
        raw = (raw * (row * height // max(len(raw), 1) + 1))[:row * height]
    if flags & 4:
        for y in range(0, len(raw), row):
            raw[y] %= 5
    stream = zlib.compress(bytes(raw))
    pieces = max(1, flags >> 5)
    step = max(1, len(stream) // pieces)
    idat = [stream[i:i + step] for i in range(0, len(stream), step)] or [b""]
    return (PNG_SIGNATURE + chunk(b"IHDR", ihdr(width, height, color_type=6 if channels == 4 else 2))
            + b"".join(chunk(b"IDAT", p) for p in idat) + chunk(b"IEND", b""))


def _outcome(SimpleImage, source):
    try:
        image = SimpleImage.open(source)
    except DOCUMENTED as error:
        return type(error), str(error)
    return image.width, image.height, bytes(image._pixels), image._alpha, image._png_chunks, image._bmp_header


def read_chunks(ext, data):
    stream = io.BytesIO(data[8:] if data.startswith(PNG_SIGNATURE) else data)
    try:
        for _ in range(64):
            if ext._readChunk(stream) == (b"", b""):
                break
    except DOCUMENTED:
        pass


def run_one(ext, data, directory):
    """All that one input goes through; raises on anything undocumented."""
    with contextlib.redirect_stdout(io.StringIO()):
        if data[:1] == b"~":
            data = synthesize(data)
        exercise(ext, data, directory)
        if data.startswith(PNG_SIGNATURE):
            repaired = repair_crcs(data)
            if repaired != data:
                exercise(ext, repaired, directory)
                data = repaired
        path = os.path.join(directory, "input")
        with open(path, "wb") as f:
            f.write(data)
        by_path, by_bytes = _outcome(ext.SimpleImage, path), _outcome(ext.SimpleImage, data)
        assert by_path == by_bytes, (by_path[:2], by_bytes[:2])
    read_chunks(ext, data)


def scratch_directory():
    import tempfile
    return tempfile.mkdtemp(prefix="tavrune-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
