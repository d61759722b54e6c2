"""Pixel editing of PNG and BMP files that keeps the file's layout.

The extension, `Tavrune.simpleImage_ext`, opens 8-bit RGB/RGBA PNG and 24-bit
BMP files and saves them with every other byte of their layout kept. This
package adds a small Python API around it:

- `load(source)`: the image `SimpleImage.open` gives, without printing.
- `inspect(source)`: the layout of any PNG or BMP, damaged ones up to the damage.
- `diff(a, b)`: what differs between two files, chunk by chunk and pixel by pixel.
- `rgb_array(image)`, `alpha_array(image)`, `from_arrays(rgb, alpha, filters)`:
  NumPy views of an image's planes, and an image from arrays.
- `save_replacing(image, path)`: a save that never leaves a partial file.
- `OPEN_ERRORS`: every exception type opening a file raises for its content.

Importing the package is light: it imports neither the extension nor NumPy;
each name is loaded from its module on first use.
"""

# No import runs here at all: importing the package adds nothing but itself to
# sys.modules. Type checkers take the names from the block below.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from Tavrune._arrays import alpha_array as alpha_array, from_arrays as from_arrays, rgb_array as rgb_array
    from Tavrune._diff import Difference as Difference, diff as diff
    from Tavrune._errors import OPEN_ERRORS as OPEN_ERRORS
    from Tavrune._inspect import (BmpLayout as BmpLayout, Chunk as Chunk, IdatRun as IdatRun, Layout as Layout,
                                  PngHeader as PngHeader, PngLayout as PngLayout, Stop as Stop,
                                  UnknownLayout as UnknownLayout, inspect as inspect)
    from Tavrune._load import load as load
    from Tavrune._replace import save_replacing as save_replacing

# Public name -> the module that defines it.
_HOMES = {
    "load": "_load",
    "inspect": "_inspect", "Stop": "_inspect", "PngLayout": "_inspect", "BmpLayout": "_inspect",
    "UnknownLayout": "_inspect", "Chunk": "_inspect", "PngHeader": "_inspect", "IdatRun": "_inspect",
    "Layout": "_inspect",
    "diff": "_diff", "Difference": "_diff",
    "rgb_array": "_arrays", "alpha_array": "_arrays", "from_arrays": "_arrays",
    "save_replacing": "_replace",
    "OPEN_ERRORS": "_errors",
}

__all__ = sorted(_HOMES)


def __getattr__(name: "str") -> "object":
    # Only the public names: anything else (a submodule not imported yet, say)
    # must raise AttributeError, as the import system expects of a package.
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module
    value = getattr(import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> "list[str]":
    return sorted(set(globals()) | set(_HOMES))
