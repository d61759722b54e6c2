"""Milliseconds to open 2048x2048 PNGs, split into inflation and the rest, against
Pillow's open + load in the same run. Run with
``.venv/bin/python bench/bench_decode.py`` (Pillow required).

Inputs are built in memory: photo-like images (smooth gradients plus noise)
written by Pillow with its own filter choice, and the same pixels with every
row Paeth-filtered by the plain-Python filter below. Each round times every
measurement once, interleaved; the table shows medians.

  inflate   zlib.decompress of the joined IDAT payloads
  decode    SimpleImage._streamToImage: chunks with CRCs, inflation,
            unfiltering, the colour/alpha split
  rest      decode - inflate: what the decoder adds to inflation
  open      SimpleImage.open(bytes): decode plus the constructor's copies
  Pillow    Image.open(BytesIO(data)).load()
"""

import contextlib
import io
import os
import statistics
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from builders import assemble, filter_row, read_chunks  # noqa: E402
from PIL import Image, ImageChops  # noqa: E402
from Tavrune.simpleImage_ext import SimpleImage  # noqa: E402

SIZE = 2048
ROUNDS = 7


def photo(mode):
    """Gradients in every channel with Gaussian noise of sigma 6 on top."""
    def channel(gradient, angle, seed_sigma):
        base = Image.linear_gradient("L").resize((SIZE, SIZE)).rotate(angle)
        if gradient == "radial":
            base = Image.radial_gradient("L").resize((SIZE, SIZE))
        noise = Image.effect_noise((SIZE, SIZE), seed_sigma)
        return ImageChops.add(base, noise, scale=1.0, offset=-128)
    bands = [channel("linear", 0, 6), channel("radial", 0, 6), channel("linear", 90, 6),
             channel("linear", 45, 6)][:len(mode)]
    return Image.merge(mode, bands)


def paeth_rows(raw_rows, bytes_per_pixel):
    """Filters every row with Paeth (type 4): the image data before compression."""
    out = bytearray()
    prev = bytes(len(raw_rows[0]))
    for row in raw_rows:
        out.append(4)
        a_row = bytes(bytes_per_pixel) + row[:-bytes_per_pixel]
        c_row = bytes(bytes_per_pixel) + prev[:-bytes_per_pixel]
        filtered = bytearray(len(row))
        for i, (x, a, b, c) in enumerate(zip(row, a_row, prev, c_row)):
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - c - c)
            filtered[i] = (x - (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out += filtered
        prev = row
    return bytes(out)


def all_paeth_png(image):
    bpp = len(image.mode)
    raw = image.tobytes()
    stride = SIZE * bpp
    rows = [raw[y * stride:(y + 1) * stride] for y in range(SIZE)]
    sample = rows[1][:64 * bpp]
    assert paeth_rows([rows[0][:64 * bpp], sample], bpp)[1 + 64 * bpp + 1:] == filter_row(
        4, sample, rows[0][:64 * bpp], bpp)
    header = SIZE.to_bytes(4, "big") * 2 + bytes([8, 2 if bpp == 3 else 6, 0, 0, 0])
    return assemble([(b"IHDR", header), (b"IDAT", zlib.compress(paeth_rows(rows, bpp))), (b"IEND", b"")])


def pillow_png(image):
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()


def timed(function):
    started = time.perf_counter()
    function()
    return (time.perf_counter() - started) * 1000


def main():
    cases = {}
    for mode in ("RGB", "RGBA"):
        image = photo(mode)
        cases[f"{mode} Pillow-filtered"] = pillow_png(image)
        print(f"building the all-Paeth {mode} file ...", file=sys.stderr)
        cases[f"{mode} all Paeth"] = all_paeth_png(image)

    sink = io.StringIO()
    measures = {
        "inflate": lambda data, idat: zlib.decompress(idat),
        "decode": lambda data, idat: SimpleImage._streamToImage(io.BytesIO(data)),
        "open": lambda data, idat: SimpleImage.open(data),
        "Pillow": lambda data, idat: Image.open(io.BytesIO(data)).load(),
    }
    samples = {(case, name): [] for case in cases for name in measures}
    idats = {case: b"".join(d for t, d in read_chunks(data) if t == b"IDAT") for case, data in cases.items()}
    for case, data in cases.items():  # same pixels from both
        with contextlib.redirect_stdout(sink):
            ours = SimpleImage.open(data)
        theirs = Image.open(io.BytesIO(data))
        assert ours._pixels == theirs.convert("RGB").tobytes()
    for _ in range(ROUNDS):
        for case, data in cases.items():
            for name, measure in measures.items():
                with contextlib.redirect_stdout(sink):
                    samples[case, name].append(timed(lambda: measure(data, idats[case])))

    print(f"{SIZE}x{SIZE}, median of {ROUNDS} interleaved rounds, ms")
    print(f"{'image':20} {'bytes':>9} {'inflate':>8} {'decode':>8} {'rest':>7} {'open':>8} {'Pillow':>8}"
          f" {'open/Pillow':>12} {'decode/Pillow':>14}")
    for case, data in cases.items():
        m = {name: statistics.median(samples[case, name]) for name in measures}
        print(f"{case:20} {len(data):9d} {m['inflate']:8.1f} {m['decode']:8.1f} {m['decode'] - m['inflate']:7.1f}"
              f" {m['open']:8.1f} {m['Pillow']:8.1f} {m['open'] / m['Pillow']:11.2f}x"
              f" {m['decode'] / m['Pillow']:13.2f}x")


if __name__ == "__main__":
    main()
