"""Opening an image without the line SimpleImage.open prints."""

from __future__ import annotations

import io
import pathlib
from typing import Union

# The extension first: a load of it that fails leaves no module of ours behind.
from Tavrune.simpleImage_ext import SimpleImage  # isort: skip
from Tavrune._files import open_regular  # isort: skip

LoadSource = Union[str, pathlib.Path, bytes, bytearray]


def load(source: LoadSource) -> SimpleImage:
    """The image `SimpleImage.open(source)` gives, without printing anything.

    source is a file name (str or pathlib.Path) or the whole file as bytes or
    bytearray, as for open, and the errors are open's: ValueError with the
    module's message (or zlib.error) for input it refuses, OSError for a file
    that cannot be read, TypeError for another kind of source. Unlike wrapping
    open in contextlib.redirect_stdout, load never touches sys.stdout, so it is
    safe in threads and notebooks. The decoder's buffers become the image's own,
    without a copy of the planes.

    >>> import Tavrune
    >>> from Tavrune.simpleImage_ext import SimpleImage
    >>> SimpleImage(2, 1, bytes([1, 2, 3, 4, 5, 6])).save("two.png")
    >>> image = Tavrune.load("two.png")
    >>> image.size, image.getPixel((1, 0))
    ((2, 1), (4, 5, 6))
    """
    # The same test open makes: a str or a Path (subclasses too) is a file name.
    if isinstance(source, (str, pathlib.Path)):
        # Only a regular file: a FIFO would wait for a writer for ever, a device never end.
        with open_regular(source) as stream:
            decoded = SimpleImage._streamToImage(stream)
    elif isinstance(source, (bytes, bytearray)):
        decoded = SimpleImage._streamToImage(io.BytesIO(source))
    else:
        raise TypeError("source must be a file path or raw bytes")
    width, height, pixels, _, alpha, chunks, bmp_header, filters = decoded
    # An empty image whose fields then take the decoder's objects: the setters
    # keep what they are given, where the constructor would copy the planes.
    image = SimpleImage(0, 0, b"")
    image._pixels = pixels
    image._alpha = alpha
    image._png_chunks = chunks
    image._png_filters = filters
    image._bmp_header = bmp_header
    image.width = width
    image.height = height
    return image
