"""The module as the host sees it: loading, names, constants, callable metadata."""

import importlib
import os
import tempfile
import io
import pathlib
import struct
import sys
import typing
import zlib
from pathlib import Path
from typing import Union

import pytest

MODULE_NAME = "Tavrune.simpleImage_ext"
FUNCTIONS = ["_readChunk", "_makeChunk", "_writePng", "_split_idat_payload",
             "_writePngWithChunks", "_writeBmp"]
PROPERTIES = ["size", "width", "height", "_pixels", "_alpha", "_png_chunks",
              "_png_filters", "_bmp_header"]

# name -> (__annotations__, __defaults__); functions first, then methods in table order
SIGNATURES = {
    "_readChunk": ({"return": "Tuple[bytes, bytes]"}, None),
    "_makeChunk": ({"chunkType": "bytes", "data": "bytes", "return": "bytes"}, None),
    "_writePng": ({"return": "None"}, (None, None)),
    "_split_idat_payload": ({}, None),
    "_writePngWithChunks": ({}, (None,)),
    "_writeBmp": ({"return": "None"}, (None,)),
    "_streamToImage": ({}, None),
    "open": ({"source": "ImageInput", "return": "'SimpleImage'"}, None),
    "getPixel": ({"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}, None),
    "putPixel": ({"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}, None),
    "copy": ({"return": "'SimpleImage'"}, None),
    "save": ({"path": "str", "return": "None"}, None),
    "saveBmp": ({"path": "str", "return": "None"}, None),
}
METHODS = list(SIGNATURES)[len(FUNCTIONS):]


def test_repeated_import_gives_the_same_module(ext):
    import Tavrune.simpleImage_ext as again
    assert again is ext and importlib.import_module(MODULE_NAME) is ext
    assert ext.__name__ == MODULE_NAME and ext.__doc__ is None


def test_import_after_removal_from_registry_gives_the_same_module(ext):
    members = {name: getattr(ext, name) for name in FUNCTIONS + ["SimpleImage"]}
    saved = sys.modules.pop(MODULE_NAME)
    try:
        assert importlib.import_module(MODULE_NAME) is ext
    finally:
        sys.modules[MODULE_NAME] = saved
    # the body did not run again: every name still holds its original object
    assert all(getattr(ext, name) is obj for name, obj in members.items())


def test_module_attributes_in_definition_order(ext):
    expected = ["SimpleImage", "struct", "zlib", "BytesIO", "Path", "List", "Sequence",
                "Tuple", "Union", "PNG_SIGNATURE", "ImageInput"] + FUNCTIONS
    assert [name for name in vars(ext) if name in expected] == expected
    assert (ext.struct, ext.zlib, ext.BytesIO, ext.Path) == (struct, zlib, io.BytesIO, pathlib.Path)
    assert all(getattr(ext, name) is getattr(typing, name)
               for name in ["List", "Sequence", "Tuple", "Union"])
    assert not any(hasattr(ext, name) for name in ["_loadPng", "_loadBmp", "_write_png_bytes"])


def test_constants(ext):
    assert type(ext.PNG_SIGNATURE) is bytes
    assert ext.PNG_SIGNATURE == bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])
    assert ext.ImageInput == Union[str, Path, bytes, bytearray]


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_callable_metadata(ext, name):
    if name in FUNCTIONS:
        func, qualname = vars(ext)[name], name
        assert func.__module__ == MODULE_NAME
    else:
        func, qualname = vars(ext.SimpleImage)[name], "SimpleImage." + name
        if isinstance(func, (staticmethod, classmethod)):
            func = func.__func__
    annotations, defaults = SIGNATURES[name]
    assert (func.__name__, func.__qualname__) == (name, qualname)
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__doc__ is None


def test_return_annotation_is_the_quoted_class_name(SimpleImage):
    assert len(SimpleImage.open.__annotations__["return"]) == 13


def test_class_names_and_docstring(SimpleImage):
    assert (SimpleImage.__name__, SimpleImage.__qualname__) == ("SimpleImage", "SimpleImage")
    assert SimpleImage.__module__ == MODULE_NAME
    doc = SimpleImage.__doc__.strip()
    assert "minimal rgb image helper" in doc.lower()
    assert doc.endswith(".") and ". " not in doc  # one sentence


def test_method_and_property_tables_in_order(SimpleImage):
    methods = METHODS + ["__reduce__", "__setstate__"]
    assert [name for name in vars(SimpleImage) if name in methods] == methods
    assert [name for name in vars(SimpleImage) if name in PROPERTIES] == PROPERTIES
    assert all(vars(SimpleImage)[name].__doc__ is None for name in PROPERTIES)


def test_stream_to_image_is_a_static_method(SimpleImage, make_image):
    wrapper = vars(SimpleImage)["_streamToImage"]
    assert isinstance(wrapper, staticmethod)
    for target in (SimpleImage, make_image(1, 1)):
        assert target._streamToImage is wrapper.__func__
        with pytest.raises(TypeError) as info:  # no instance is inserted before the stream
            target._streamToImage()
        assert str(info.value) == "_streamToImage() takes exactly 1 positional argument (0 given)"


def test_open_is_a_class_method(SimpleImage, make_image):
    assert isinstance(vars(SimpleImage)["open"], classmethod)
    Sub = type("Sub", (SimpleImage,), {})
    assert Sub.open.__self__ is Sub
    for target in (SimpleImage, make_image(1, 1)):
        assert target.open.__self__ is SimpleImage
        with pytest.raises(TypeError) as info:  # the class is bound, not counted
            target.open()
        assert str(info.value) == "open() takes exactly 1 positional argument (0 given)"


def test_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreter runner in this build")
    with tempfile.TemporaryDirectory() as folder:
        report = os.path.join(folder, "report.txt")
        code = (
            "try:\n"
            "    import Tavrune.simpleImage_ext\n"
            "    outcome = 'imported'\n"
            "except ImportError as error:\n"
            "    outcome = str(error)\n"
            f"open({report!r}, 'w').write(outcome)\n"
        )
        assert testcapi.run_in_subinterp(code) == 0
        with open(report) as stream:
            assert stream.read() == (
                "Interpreter change detected - this module can only be loaded into one interpreter per process."
            )
