"""The fast inflater against the host's zlib: damaged zlib streams in otherwise
valid PNGs open exactly as one bounded inflation by the host's zlib has them
(same planes, or same exception and message). make fuzz-inflate runs the same
check on a million streams."""

import functools
import random
import zlib

import pytest

from support.builders import build_png, scanlines
from support.damaged_zlib import HANDMADE_FAULTS, check, exact_outcome, handmade_deflate, image_data, module_outcome, \
    zlib_wrap


@pytest.mark.parametrize("fault, message", [
    ("block type 3", "invalid block type"),
    ("stored lengths disagree", "invalid stored block lengths"),
    ("reserved literal/length code", "invalid literal/length code"),
    ("reserved distance code", "invalid distance code"),
    ("distance too far back", "invalid distance too far back"),
    ("no end-of-block", "invalid code -- missing end-of-block"),
    ("too many symbols", "too many length or distance symbols"),
    ("bad repeat", "invalid bit length repeat"),
    ("over-subscribed code lengths", "invalid code lengths set"),
    (None, None),
])
def test_each_made_fault_is_the_one_the_host_refuses(fault, message):
    for seed in range(30):
        rng = random.Random(seed)
        *_, raw = image_data(rng)
        stream = zlib_wrap(handmade_deflate(raw, rng, fault), raw, rng)
        if fault is None:
            assert zlib.decompress(stream) == raw
        else:
            with pytest.raises(zlib.error) as info:
                zlib.decompress(stream)
            assert str(info.value) == f"Error -3 while decompressing data: {message}"
    assert set(HANDMADE_FAULTS) >= {fault}


@pytest.mark.parametrize("first", range(0, 4000, 500))
def test_damaged_streams_open_as_the_host_zlib_has_them(SimpleImage, first):
    differences = [found for seed in range(first, first + 500) if (found := check(SimpleImage, seed))]
    assert differences == []


@functools.lru_cache(maxsize=None)
def image_rows(width, height, channels):
    """Gradients with a little noise; three Paeth rows in every seven."""
    rng = random.Random(width)
    rows = [bytes((x * 3 + y * 5 + (x * y) // 64 + rng.randrange(4)) % 256 for x in range(width * channels))
            for y in range(height)]
    return scanlines(rows, channels, [4 if y % 7 < 3 else rng.randrange(5) for y in range(height)])


@pytest.mark.parametrize("width, height, channels", [(301, 300, 4), (1000, 100, 3), (70000, 3, 4)])
@pytest.mark.parametrize("damage", [None, "a bit flipped late in the stream", "a row short"])
def test_rows_across_pieces_of_output(SimpleImage, width, height, channels, damage):
    """Data that fills several pieces of the inflater's output (rows split
    across pieces, runs of Paeth rows crossing them, a row longer than a
    piece); damage found only after rows were made ends as the host has it."""
    raw = image_rows(width, height, channels)
    stream = bytearray(zlib.compress(raw[:-(width * channels + 1)] if damage == "a row short" else raw))
    if damage == "a bit flipped late in the stream":
        stream[len(stream) * 3 // 4] ^= 0x10
    data = build_png([], channels, width=width, height=height, data=bytes(stream), idat_sizes=(8192,) * 20)
    assert module_outcome(SimpleImage, data) == exact_outcome(width, height, channels, bytes(stream))
