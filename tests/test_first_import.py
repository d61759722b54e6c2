"""What the module's first import binds, and a first import that fails.

The module keeps struct's and zlib's functions as they are bound when it is
first imported, so a mock patched over one then stays the module's own: every
result is checked before it is read, and none makes a call crash, raise
SystemError or report a file written that does not read back. A load that
fails at any step leaves nothing of itself on SimpleImage, and a retried load
builds everything again. Each case runs in a fresh interpreter."""

import sys

import pytest

from support.isolated import run_python

# Opens a PNG read by the streamed inflater, one that only the host's zlib
# reads (its stream is cut short) and a BMP; saves an image every way; each
# file reported written is read back by Pillow. argv: folder, target, patch.
PATCHED_AT_IMPORT = """
import os, struct, zlib
from unittest import mock
from PIL import Image
from support.builders import build_bmp, build_png, random_rows, scanlines
folder, target, how = sys.argv[1:4]
module, name = target.split(".")
real = getattr(sys.modules[module], name)
drop_in = {"mock": mock.MagicMock(), "bytearray": lambda *a: bytearray(real(*a)), "list": lambda *a: list(real(*a)),
           "short": lambda *a: real(*a)[:-1]}[how]
with mock.patch(target, drop_in):
    from Tavrune.simpleImage_ext import SimpleImage, _writePngWithChunks
rows = random_rows(8, 6)
files = [build_png(rows), build_png(rows, data=zlib.compress(scanlines(rows, 3))[:-5]), build_bmp(rows)]
pixels = b"".join(rows)
outcomes, unread = [outcome(lambda: SimpleImage.open(data)) for data in files], []
image = SimpleImage(8, 6, pixels)
kept = SimpleImage(8, 6, pixels, png_chunks=[(b"IHDR", files[0][16:29], 13), (b"IDAT", None, 9), (b"IEND", b"", 0)])
for writer, path in ((image.save, "plain.png"), (kept.save, "kept.png"), (image.saveBmp, "image.bmp")):
    path = os.path.join(folder, path)
    outcomes.append(outcome(lambda: writer(path)))
    if outcomes[-1] == ["opened"]:
        try:
            assert Image.open(path).convert("RGB").tobytes() == pixels
        except Exception as error:
            unread.append([path, repr(error)])
print(json.dumps([outcomes, unread]))
"""

TUPLE = "struct.unpack returned {}, expected tuple"


@pytest.mark.parametrize("target, how, message", [
    ("struct.unpack", "mock", TUPLE.format("MagicMock")),
    ("struct.unpack", "list", TUPLE.format("list")),
    ("struct.unpack", "short", "struct.unpack returned a tuple of 6 items, expected 7"),
    ("struct.pack", "mock", "struct.pack returned MagicMock, expected bytes"),
    ("struct.pack", "bytearray", "struct.pack returned bytearray, expected bytes"),
    ("zlib.compressobj", "mock", "zlib.compressobj().compress returned MagicMock, expected bytes"),
    ("zlib.decompress", "mock", "zlib.decompress returned MagicMock, expected bytes"),
    ("zlib.decompressobj", "mock", "zlib.decompressobj().decompress returned MagicMock, expected bytes"),
    ("zlib.crc32", "mock", None),
])
def test_host_function_patched_at_first_import(tmp_path, target, how, message):
    outcomes, unread = run_python(PATCHED_AT_IMPORT, tmp_path, target, how)
    assert unread == []
    assert not [o for o in outcomes if o[0] == ".SystemError"]
    if message:
        assert [".TypeError", message] in outcomes


# Refuses one step of the load (argv: how), the first, then the second and so
# on until a load gets through; after every refused load SimpleImage has none
# of the load's callables, or all of them and they work. The load that got
# through then opens and saves every format. Allocations are refused in the
# module's own body alone: from its first allocation on, or after a load that
# failed late has built what is built once per process, so that each step
# lands one allocation further into the rest.
FAILING_LOAD = """
import builtins, importlib.util, os, struct, typing, zlib, pathlib
import Tavrune
from support.builders import build_bmp, build_png, random_rows
png, bmp = build_png(random_rows(3, 2)), build_bmp(random_rows(3, 2))
NAME = "Tavrune.simpleImage_ext"
NAMES = {"_streamToImage", "open", "getPixel", "putPixel", "copy", "save", "saveBmp", "__reduce__",
         "__setstate__", "__signature__"}
real_import = builtins.__import__

def refusing(step, refused=None):
    count = [0]
    def refuse(name, *args, **kwargs):
        count[0] += 1
        if count[0] == step or name == refused:
            raise ImportError("refused")
        return real_import(name, *args, **kwargs)
    builtins.__import__ = refuse
    try:
        importlib.import_module(NAME)
    finally:
        builtins.__import__ = real_import

def failing_allocation(step):
    import _testcapi
    spec = importlib.util.find_spec(NAME)
    module = importlib.util.module_from_spec(spec)
    _testcapi.set_nomemory(step, step + 1)
    try:
        spec.loader.exec_module(module)
    finally:
        _testcapi.remove_mem_hooks()

if sys.argv[1] == "allocation after a late failure":
    try:
        refusing(0, "typing")
    except ImportError:
        pass
load = refusing if sys.argv[1] == "import" else failing_allocation
for step in range(1, 100000):
    try:
        load(step)
        break
    except Exception:
        pass
    kind = next((t for t in object.__subclasses__() if t.__name__ == "SimpleImage"), None)
    present = NAMES & set(vars(kind)) if kind else set()
    assert present in (set(), NAMES), (step, sorted(present))
    if present:
        with contextlib.redirect_stdout(io.StringIO()):
            kind.open(png)
ext = importlib.import_module(NAME)
read_back = []
with contextlib.redirect_stdout(io.StringIO()):
    for data in (png, bmp):
        image = ext.SimpleImage.open(data)
        image.putPixel((1, 1), (1, 2, 3))
        for save, name in ((image.save, "out.png"), (image.saveBmp, "out.bmp")):
            save(os.path.join(sys.argv[2], name))
            read_back.append(ext.SimpleImage.open(os.path.join(sys.argv[2], name))._pixels == image._pixels)
print(json.dumps([step, read_back]))
"""


def _testcapi_fails_allocations():
    try:
        import _testcapi
    except ImportError:
        return False
    # From 3.12 on the interpreter itself crashes later after a refused allocation.
    return hasattr(_testcapi, "set_nomemory") and sys.version_info < (3, 12)


NOMEMORY = pytest.mark.skipif(not _testcapi_fails_allocations(), reason="needs _testcapi.set_nomemory before 3.12")


@pytest.mark.parametrize("how", ["import", pytest.param("allocation", marks=NOMEMORY),
                                 pytest.param("allocation after a late failure", marks=NOMEMORY)])
def test_load_that_fails_part_way(tmp_path, how):
    steps, read_back = run_python(FAILING_LOAD, how, tmp_path, timeout=600)
    assert steps > 1 and read_back == [True] * 4
