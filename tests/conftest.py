"""Shared fixtures and input builders for the pytest suite."""

import importlib

import pytest

MODULE_NAME = "Tavrune.simpleImage_ext"


# --- the extension module ----------------------------------------------------

@pytest.fixture(scope="session")
def ext():
    return importlib.import_module(MODULE_NAME)


@pytest.fixture(scope="session")
def SimpleImage(ext):
    return ext.SimpleImage


# --- images built in memory ----------------------------------------------------

def pixel_bytes(width, height):
    """Distinct-looking RGB samples: byte i of the buffer holds i % 256."""
    return bytes(i % 256 for i in range(width * height * 3))


@pytest.fixture
def make_image(SimpleImage):
    """make_image(w, h, alpha=False, **kw): an image whose byte i is i % 256.

    alpha=True adds an alpha plane of 0x80 bytes; other keywords go to the
    constructor unchanged.
    """
    def build(width, height, alpha=False, **kwargs):
        plane = bytes([0x80]) * (width * height) if alpha else None
        return SimpleImage(width, height, pixel_bytes(width, height), plane, **kwargs)
    return build
