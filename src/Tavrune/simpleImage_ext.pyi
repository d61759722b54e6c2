# Types of the native module Tavrune.simpleImage_ext.
#
# Names, parameter order, parameter kinds and defaults are those of the module
# itself (the tests run stubtest against the built extension). Where the module
# annotates a parameter, the same type is given here; where it does not, the type
# says what the callable accepts. The module also holds the names its body
# imports (struct, zlib, BytesIO, Path, List, Sequence, Tuple, Union); they are
# not part of what it offers and are left out.

from inspect import Signature
from pathlib import Path
from typing import (
    ClassVar,
    Dict,
    Iterable,
    List,
    Mapping,
    Optional,
    Protocol,
    Sequence,
    SupportsIndex,
    SupportsInt,
    Tuple,
    Union,
)

from _typeshed import ReadableBuffer, StrOrBytesPath
from typing_extensions import Self, TypeAlias, disjoint_base

PNG_SIGNATURE: bytes
ImageInput: TypeAlias = Union[str, Path, bytes, bytearray]

# Anything the constructor and the writers turn into a bytearray: bytes,
# bytearray, memoryview, array.array('B'), a NumPy uint8 array, a list of ints.
_Bytes: TypeAlias = Union[ReadableBuffer, Iterable[SupportsIndex]]
# One record of the chunk list: type, payload (None for IDAT) and the payload size
# the chunk had in the file.
_ChunkRecord: TypeAlias = Tuple[bytes, Optional[bytes], int]
# The BMP resolution and colour-count fields: "xppm", "yppm", "clrUsed", "clrImportant".
_BmpHeader: TypeAlias = Dict[str, int]
# What the decoders return: width, height, pixels, channel count, alpha plane,
# chunk records, BMP header record, filter types.
_Decoded: TypeAlias = Tuple[
    int,
    int,
    bytearray,
    int,
    Optional[bytearray],
    Optional[List[_ChunkRecord]],
    Optional[_BmpHeader],
    Optional[bytearray],
]

class _Reader(Protocol):
    def read(self, size: int, /) -> bytes: ...

class _SeekableReader(_Reader, Protocol):
    def seek(self, offset: int, /) -> object: ...

def _readChunk(stream: _Reader) -> Tuple[bytes, bytes]: ...
def _makeChunk(chunkType: bytes, data: bytes) -> bytes: ...
def _writePng(
    path: StrOrBytesPath,
    width: SupportsInt,
    height: SupportsInt,
    pixels: _Bytes,
    alpha: Optional[bytearray] = None,
    filter_types: Optional[bytearray] = None,
) -> None: ...
def _split_idat_payload(data: bytes, lengths: List[int]) -> List[bytes]: ...
def _writePngWithChunks(
    path: StrOrBytesPath,
    width: SupportsInt,
    height: SupportsInt,
    pixels: _Bytes,
    alpha: Optional[bytearray],
    chunks: Optional[Sequence[_ChunkRecord]],
    filter_types: Optional[bytearray] = None,
) -> None: ...
def _writeBmp(
    path: StrOrBytesPath,
    width: SupportsInt,
    height: SupportsInt,
    pixels: _Bytes,
    meta: Optional[Mapping[str, int]] = None,
) -> None: ...

# A native type with fields of its own: it cannot be a base together with another
# such type.
@disjoint_base
class SimpleImage:
    """An RGB image with an optional alpha plane, and the layout records of the
    file it was read from, which save writes back.

    SimpleImage(width, height, pixels, alpha=None, png_chunks=None,
    bmp_header=None, png_filters=None) builds one: pixels holds width * height * 3
    bytes (red, green, blue per pixel, rows from the top), alpha width * height
    bytes, png_filters one PNG filter type (0 to 4) per row. The image keeps
    copies. SimpleImage.open reads a PNG or BMP file; Tavrune.load does the same
    without printing.

    >>> image = SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]))
    >>> image.getPixel((1, 0))
    (0, 0, 255)
    """

    # The constructor's arguments are all consumed while the instance is made:
    # the class has no __init__ of its own.
    def __new__(
        cls,
        width: SupportsInt,
        height: SupportsInt,
        pixels: _Bytes,
        alpha: Optional[_Bytes] = None,
        png_chunks: Optional[Iterable[_ChunkRecord]] = None,
        bmp_header: Optional[Union[Mapping[str, int], Iterable[Tuple[str, int]]]] = None,
        png_filters: Optional[_Bytes] = None,
    ) -> Self: ...
    @staticmethod
    def _streamToImage(stream: _SeekableReader) -> _Decoded:
        """Decodes the PNG or BMP file a stream holds, without printing: (width,
        height, pixels, channels, alpha, chunk records, BMP header record, filter
        types). The stream must be readable and seekable."""
    # Returns an instance of the class it is called on.
    @classmethod
    def open(cls, source: ImageInput) -> Self:
        """Reads an image from a file name (str or pathlib.Path) or the whole file
        as bytes or bytearray, telling PNG from BMP by the first bytes, and prints
        one line ("[SimpleImage] Opened image: WxH, channels=N"). Input the module
        does not take raises ValueError with a fixed message (or zlib.error);
        Tavrune.load gives the same image without printing."""
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]:
        """The (red, green, blue) of the pixel at coords, a tuple (x, y) counted
        from the top left. ValueError outside the image."""
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None:
        """Sets the pixel at coords, a tuple (x, y), to value, three integers
        each stored modulo 256. The alpha plane is not touched."""
    # Always exactly a SimpleImage, also on a subclass.
    def copy(self) -> SimpleImage:
        """An independent image with copies of the pixels, the alpha plane and
        the layout records."""
    def save(self, path: str) -> None:
        """Writes the image in the form it was read in: a PNG with every kept
        chunk in order, each row filtered with its kept filter type and the image
        data cut at the kept IDAT sizes; an image read from a BMP as a BMP with
        its resolution fields; a new image as a plain PNG (RGBA with an alpha
        plane). Tavrune.save_replacing writes through a temporary file."""
    def saveBmp(self, path: str) -> None:
        """Writes a bottom-up 24-bit BMP; the alpha plane and PNG chunks are left
        out, the resolution fields kept from a BMP (2835 pixels per metre else)."""
    @property
    def size(self) -> Tuple[int, int]:
        """(width, height)."""
    width: int
    height: int
    # The image's own objects, not copies. _pixels reads None only after None was
    # assigned to it, which leaves the image unusable until a buffer is put back.
    _pixels: bytearray
    _alpha: Optional[bytearray]
    _png_chunks: Optional[List[_ChunkRecord]]
    _png_filters: Optional[bytearray]
    _bmp_header: Optional[_BmpHeader]
    # What inspect.signature(SimpleImage) reads: the constructor's parameters.
    __signature__: ClassVar[Signature]
