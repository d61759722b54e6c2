"""Faults the object-protocol fuzzer (fuzz/objects.py) found besides those of
test_hostile_callers.py: a field handed to the host while Python code run by
the host can replace it. Each case runs in a fresh interpreter, where a crash or
a sanitizer report fails one test."""

import pytest

from support.isolated import run_python

CASES = {
    # dict() of the header record calls its keys() and then its items; keys()
    # drops the image's reference to the record in between.
    "header record replaced while copied": ("""
image = SimpleImage(1, 1, b"abc")
class Header:
    def keys(self):
        image._bmp_header = None
        return ["xppm"]
    def __getitem__(self, key):
        return 1
image._bmp_header = Header()
print(json.dumps([image.copy()._bmp_header, image._bmp_header]))
""", [{"xppm": 1}, None]),
    # A coordinate's own + computes each sample's index; it replaces the
    # buffer the sample is stored into.
    "pixel buffer replaced by the index arithmetic": ("""
image = SimpleImage(2, 2, bytes(12))
class Inside:
    adds = 0
    __ge__ = __lt__ = lambda self, other: True
    __mul__ = lambda self, other: self
    def __add__(self, other):
        Inside.adds += 1
        if Inside.adds > 1:
            image._pixels = bytearray(12)
        return self if Inside.adds == 1 else 0
image.putPixel((Inside(), Inside()), (1, 2, 3))
print(json.dumps(len(image._pixels)))
""", 12),
}


@pytest.mark.parametrize("name", CASES)
def test_field_replaced_mid_call(name):
    code, expected = CASES[name]
    assert run_python("import json\nfrom Tavrune.simpleImage_ext import SimpleImage\n" + code) == expected
