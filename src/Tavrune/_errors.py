"""What opening a file can raise for the file's content."""

import struct
import zlib
from typing import Tuple, Type

# Everything SimpleImage.open (and Tavrune.load) raises for what a file holds,
# as opposed to whether it can be read at all (OSError): catch this tuple to
# let one odd file not stop a batch.
#
# - ValueError: every refusal and most damage, with the module's message
# - zlib.error: image data that is no valid zlib stream
# - struct.error: a header or chunk cut short where a fixed-size record is read
# - OverflowError: a value past 32 bits, or a BMP whose pixel buffer would
#   reach 2^31 bytes ("value too large to convert to int")
# - MemoryError: an image too large for the memory there is
OPEN_ERRORS: Tuple[Type[Exception], ...] = (ValueError, zlib.error, struct.error, OverflowError, MemoryError)
