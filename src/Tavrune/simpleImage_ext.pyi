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
    def _streamToImage(stream: _SeekableReader) -> _Decoded: ...
    # Returns an instance of the class it is called on.
    @classmethod
    def open(cls, source: ImageInput) -> Self: ...
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]: ...
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None: ...
    # Always exactly a SimpleImage, also on a subclass.
    def copy(self) -> SimpleImage: ...
    def save(self, path: str) -> None: ...
    def saveBmp(self, path: str) -> None: ...
    @property
    def size(self) -> Tuple[int, int]: ...
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
