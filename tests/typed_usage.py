"""Typed use of the module, checked with mypy --strict against the shipped stub
(test_typing.py) and run by the tests as well. The calls in refused() are ones the
stub must reject: each carries the ignore it needs, and --strict reports an
ignore that was not needed, so a stub that lets one through fails the check."""

import io
import pathlib
from typing import Dict, List, Optional, Tuple

from Tavrune import simpleImage_ext as ext
from Tavrune.simpleImage_ext import ImageInput, SimpleImage


class Tinted(SimpleImage):
    pass


def usage(folder: pathlib.Path) -> List[object]:
    image = SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]))
    image.putPixel((1, 0), (0, 128, 0))
    image.putPixel((0, 0), [1, 2, 3])
    colour: Tuple[int, int, int] = image.getPixel((1, 0))
    size: Tuple[int, int] = image.size
    png = str(folder / "typed.png")
    image.save(png)
    image.saveBmp(str(folder / "typed.bmp"))

    source: ImageInput = pathlib.Path(png)
    opened: SimpleImage = SimpleImage.open(source)
    tinted: Tinted = Tinted.open(pathlib.Path(png).read_bytes())
    copied: SimpleImage = tinted.copy()
    chunks: Optional[List[Tuple[bytes, Optional[bytes], int]]] = opened._png_chunks
    filters: Optional[bytearray] = opened._png_filters
    header: Optional[Dict[str, int]] = SimpleImage.open(str(folder / "typed.bmp"))._bmp_header
    pixels: bytearray = opened._pixels
    opened.width = 2
    opened._alpha = bytearray(2)

    with_alpha = SimpleImage(1.9, True, memoryview(b"abc"), alpha=[7], png_chunks=None,
                             bmp_header={"xppm": 1000}, png_filters=bytearray(1))
    decoded = SimpleImage._streamToImage(io.BytesIO(pathlib.Path(png).read_bytes()))
    width: int = decoded[0]

    stream = io.BytesIO(pathlib.Path(png).read_bytes()[len(ext.PNG_SIGNATURE):])
    first: Tuple[bytes, bytes] = ext._readChunk(stream)
    made: bytes = ext._makeChunk(b"tEXt", b"k\x00v")
    pieces: List[bytes] = ext._split_idat_payload(b"abcdef", [2, 2])
    ext._writePng(str(folder / "plain.png"), 1, 1, b"abc", bytearray(b"\xff"), None)
    ext._writePngWithChunks(folder / "kept.png", 1, 1, b"abc", None, chunks, filter_types=None)
    ext._writeBmp(str(folder / "plain.bmp"), 1, 1, bytearray(3), meta={"xppm": 1})
    return [colour, size, copied, filters, header, pixels, with_alpha, width, first, made, pieces]


def refused(image: SimpleImage, folder: pathlib.Path) -> None:
    image.save(folder / "a.png")  # type: ignore[arg-type]
    image.saveBmp(b"a.bmp")  # type: ignore[arg-type]
    image.getPixel([0, 0])  # type: ignore[arg-type]
    image.getPixel((0, 0, 0))  # type: ignore[arg-type]
    image.putPixel((0, 0))  # type: ignore[call-arg]
    SimpleImage.open(io.BytesIO(b""))  # type: ignore[arg-type]
    SimpleImage(1, 1)  # type: ignore[call-arg]
    SimpleImage("1", 1, b"abc")  # type: ignore[arg-type]
    ext._makeChunk(b"tEXt", bytearray())  # type: ignore[arg-type]
    image.size = (1, 1)  # type: ignore[misc]
    image.copy(1)  # type: ignore[call-arg]
    uncopied: Tinted = image.copy()  # type: ignore[assignment]  # noqa: F841
    image.save(path="x.png", mode="wb")  # type: ignore[call-arg]
