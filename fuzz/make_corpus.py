"""Writes the seed corpus: the seed files of tests/support/mutations.py, files
written by the module's own writers, and inputs for the "~" form of the harness.

usage: python make_corpus.py DIRECTORY
"""

import contextlib
import io
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from support.builders import random_rows, split_planes  # noqa: E402
from support.mutations import seeds  # noqa: E402


def written_by_the_module(ext):
    """[(name, bytes)]: a plain PNG (RGB, RGBA), a PNG saved with kept chunks,
    and a BMP, as the module writes them."""
    out = []
    with tempfile.TemporaryDirectory() as directory, contextlib.redirect_stdout(io.StringIO()):
        path = os.path.join(directory, "out")

        def read_back():
            with open(path, "rb") as f:
                return f.read()

        for channels in (3, 4):
            pixels, alpha = split_planes(random_rows(3, 3, channels, seed=channels), channels)
            ext._writePng(path, 3, 3, bytearray(pixels), None if alpha is None else bytearray(alpha),
                          bytearray([0, 2, 4]))
            out.append((f"written_plain_{'rgba' if alpha else 'rgb'}.png", read_back()))
        kept = dict(seeds())["png_rgba_4x4_ancillary"]
        image = ext.SimpleImage.open(kept)
        image.putPixel((1, 1), (9, 9, 9))
        image.save(path)
        out.append(("written_kept_chunks.png", read_back()))
        image.saveBmp(path)
        out.append(("written.bmp", read_back()))
    return out


def synthesized():
    """Inputs of the "~" form: width, height, flags, raw image data."""
    raw = bytes(range(256)) * 2
    return [(f"synth_{w}x{h}_{flags:02x}", b"~" + bytes([w, h, flags]) + raw[:(w * 4 + 1) * h])
            for w, h, flags in ((1, 1, 0x06), (3, 2, 0x07), (4, 4, 0x66), (2, 5, 0x02), (5, 3, 0x00))]


def main(directory):
    import Tavrune.simpleImage_ext as ext
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds() + written_by_the_module(ext) + synthesized():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
