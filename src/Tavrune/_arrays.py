"""NumPy views of an image's planes, and an image made from arrays.

NumPy is optional: it is imported when one of these functions is called, and
its absence is an ImportError that says what to install.

A view returned here is the image's own buffer, not a copy: writing through it
changes the image. While a view (or anything made from it without a copy, such
as a slice) is alive, the image's bytearray cannot change size: resizing it
raises BufferError. Assigning the image's `_pixels` or `_alpha` a new object
leaves an existing view on the old buffer, which then no longer belongs to the
image; take a new view after such an assignment.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    import numpy
    import numpy.typing

    from Tavrune.simpleImage_ext import SimpleImage

    UInt8Array = numpy.typing.NDArray[numpy.uint8]


def _numpy() -> Any:
    try:
        return importlib.import_module("numpy")
    except ImportError as error:
        raise ImportError("Tavrune's array functions need NumPy: pip install numpy") from error


def rgb_array(image: SimpleImage) -> UInt8Array:
    """An (height, width, 3) uint8 view of the image's pixel buffer: writable,
    no copy; changes through it are the image's changes. While the view lives
    the buffer cannot be resized (BufferError); after image._pixels is given a
    new object, the view still shows the old one.

    >>> import Tavrune
    >>> from Tavrune.simpleImage_ext import SimpleImage
    >>> image = SimpleImage(3, 2, bytes(18))
    >>> pixels = Tavrune.rgb_array(image)
    >>> pixels.shape
    (2, 3, 3)
    >>> pixels[1, 2] = (10, 20, 30)
    >>> image.getPixel((2, 1))
    (10, 20, 30)
    """
    np = _numpy()
    view = np.frombuffer(image._pixels, dtype=np.uint8)
    return view.reshape(image.height, image.width, 3)  # type: ignore[no-any-return]


def alpha_array(image: SimpleImage) -> Optional[UInt8Array]:
    """An (height, width) uint8 view of the image's alpha plane (writable, no
    copy), or None for an image without one.

    >>> import Tavrune
    >>> from Tavrune.simpleImage_ext import SimpleImage
    >>> image = SimpleImage(2, 2, bytes(12), alpha=bytes(4))
    >>> Tavrune.alpha_array(image)[0, 1] = 255
    >>> list(image._alpha)
    [0, 255, 0, 0]
    >>> Tavrune.alpha_array(SimpleImage(1, 1, bytes(3))) is None
    True
    """
    if image._alpha is None:
        return None
    np = _numpy()
    view = np.frombuffer(image._alpha, dtype=np.uint8)
    return view.reshape(image.height, image.width)  # type: ignore[no-any-return]


def from_arrays(rgb: Any, alpha: Optional[Any] = None, filters: Optional[Any] = None) -> SimpleImage:
    """A new image from an (height, width, 3) array of red, green and blue
    samples, with an optional (height, width) alpha plane and an optional filter
    type (0 to 4) per row for the PNG that save writes. Any array NumPy turns
    into uint8 samples from 0 to 255 is taken (a float or negative value is a
    ValueError, not wrapped); the image holds a copy.

    >>> import numpy as np, Tavrune
    >>> rgb = np.zeros((2, 3, 3), np.uint8)
    >>> rgb[0, 0] = (255, 128, 0)
    >>> image = Tavrune.from_arrays(rgb, alpha=np.full((2, 3), 200), filters=[0, 4])
    >>> image.size, image.getPixel((0, 0)), image._alpha[0], list(image._png_filters)
    ((3, 2), (255, 128, 0), 200, [0, 4])
    """
    np = _numpy()
    samples = np.asarray(rgb)
    if samples.ndim != 3 or samples.shape[2] != 3:
        raise ValueError(f"rgb must have the shape (height, width, 3), not {samples.shape}")
    height, width = samples.shape[:2]
    samples = _as_bytes(np, samples, "rgb")
    plane = None
    if alpha is not None:
        plane = np.asarray(alpha)
        if plane.shape != (height, width):
            raise ValueError(f"alpha must have the shape {(height, width)}, not {plane.shape}")
        plane = _as_bytes(np, plane, "alpha").tobytes()
    kinds = None
    if filters is not None:
        kinds = np.asarray(filters)
        if kinds.shape != (height,) or kinds.dtype.kind not in "iu" or kinds.size and (
                kinds.min() < 0 or kinds.max() > 4):
            raise ValueError(f"filters must be {height} filter types from 0 to 4")
        kinds = kinds.astype(np.uint8).tobytes()
    from Tavrune.simpleImage_ext import SimpleImage
    return SimpleImage(width, height, samples.tobytes(), alpha=plane, png_filters=kinds)


def _as_bytes(np: Any, array: Any, name: str) -> Any:
    if array.dtype == np.uint8:
        return array
    if array.dtype.kind not in "iub" or array.size and (array.min() < 0 or array.max() > 255):
        raise ValueError(f"{name} must hold whole numbers from 0 to 255")
    return array.astype(np.uint8)
