"""inspect.signature and help() on every visible callable, built from the same
records that bind the arguments: real parameter names, None defaults and the
annotation strings the callables hold."""

import inspect
import pydoc

import pytest

# Unbound as found on the module or the class: methods list their receiver.
SIGNATURES = {
    "_readChunk": "(stream) -> 'Tuple[bytes, bytes]'",
    "_makeChunk": "(chunkType: 'bytes', data: 'bytes') -> 'bytes'",
    "_writePng": "(path, width, height, pixels, alpha=None, filter_types=None) -> 'None'",
    "_split_idat_payload": "(data, lengths)",
    "_writePngWithChunks": "(path, width, height, pixels, alpha, chunks, filter_types=None)",
    "_writeBmp": "(path, width, height, pixels, meta=None) -> 'None'",
    "SimpleImage": "(width, height, pixels, alpha=None, png_chunks=None, bmp_header=None, png_filters=None)",
    "SimpleImage._streamToImage": "(stream)",
    "SimpleImage.getPixel": "(self, coords: 'Tuple[int, int]') -> 'Tuple[int, int, int]'",
    "SimpleImage.putPixel": "(self, coords: 'Tuple[int, int]', value: 'Sequence[int]') -> 'None'",
    "SimpleImage.copy": "(self) -> \"'SimpleImage'\"",
    "SimpleImage.save": "(self, path: 'str') -> 'None'",
    "SimpleImage.saveBmp": "(self, path: 'str') -> 'None'",
}
# Looked up on an instance (or, for open, on the class): the receiver is bound.
BOUND = {
    "_streamToImage": "(stream)",
    "open": "(source: 'ImageInput') -> \"'SimpleImage'\"",
    "getPixel": "(coords: 'Tuple[int, int]') -> 'Tuple[int, int, int]'",
    "putPixel": "(coords: 'Tuple[int, int]', value: 'Sequence[int]') -> 'None'",
    "copy": "() -> \"'SimpleImage'\"",
    "save": "(path: 'str') -> 'None'",
    "saveBmp": "(path: 'str') -> 'None'",
}


def lookup(ext, dotted):
    owner, _, name = dotted.rpartition(".")
    return getattr(ext.SimpleImage if owner else ext, name)


def function_of(ext, name):
    """The module's own function object behind a name, unwrapped from staticmethod/classmethod."""
    if hasattr(ext, name):
        return getattr(ext, name)
    found = vars(ext.SimpleImage)[name]
    return found.__func__ if isinstance(found, (staticmethod, classmethod)) else found


@pytest.mark.parametrize("dotted", list(SIGNATURES))
def test_signature_of_every_callable(ext, dotted):
    assert str(inspect.signature(lookup(ext, dotted))) == SIGNATURES[dotted]


@pytest.mark.parametrize("name", list(BOUND))
def test_bound_methods_drop_the_receiver(ext, make_image, name):
    target = make_image(1, 1) if name != "open" else ext.SimpleImage
    assert str(inspect.signature(getattr(target, name))) == BOUND[name]
    if name == "open":  # also through an instance: the class is bound
        assert str(inspect.signature(make_image(1, 1).open)) == BOUND[name]


@pytest.mark.parametrize("name", [n.rpartition(".")[2] for n in SIGNATURES if n != "SimpleImage"] + ["open"])
def test_signature_agrees_with_the_attributes(ext, name):
    function = function_of(ext, name)
    signature = inspect.signature(function)
    annotations = {p.name: p.annotation for p in signature.parameters.values() if p.annotation is not p.empty}
    if signature.return_annotation is not signature.empty:
        annotations["return"] = signature.return_annotation
    assert annotations == function.__annotations__
    assert all(type(text) is str for text in annotations.values())
    defaults = tuple(p.default for p in signature.parameters.values() if p.default is not p.empty)
    assert defaults == (function.__defaults__ or ())
    assert {p.kind for p in signature.parameters.values()} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert function.__doc__ is None and function.__signature__ is function.__signature__


def test_signature_binds_the_calls_the_function_accepts(ext, make_image):
    image = make_image(2, 1)
    signature = inspect.signature(image.putPixel)
    bound = signature.bind((1, 0), value=(9, 8, 7))
    assert image.putPixel(*bound.args, **bound.kwargs) is None
    assert image.getPixel((1, 0)) == (9, 8, 7)
    with pytest.raises(TypeError):
        signature.bind((1, 0), (1, 2, 3), 4)


def test_subclass_signature(SimpleImage):
    Plain = type("Plain", (SimpleImage,), {})
    assert inspect.signature(Plain) == inspect.signature(SimpleImage)

    class Opaque(SimpleImage):  # an __init__ of its own is what inspect reads
        def __init__(self, width, height, pixels, alpha=None):
            pass

    assert str(inspect.signature(Opaque)) == "(width, height, pixels, alpha=None)"
    assert Opaque(1, 1, b"abc").getPixel((0, 0)) == (97, 98, 99)


def test_instances_carry_no_signature(make_image):
    image = make_image(1, 1)
    assert image.__signature__ is None
    with pytest.raises(TypeError):
        inspect.signature(image)  # not callable


def rendered(thing):
    """help()'s text for thing, on one line: newer versions of pydoc break long
    signatures over several lines."""
    text = " ".join(pydoc.render_doc(thing, renderer=pydoc.plaintext).replace(" |", " ").split())
    return text.replace("( ", "(").replace(" )", ")")


def test_help_on_the_class_shows_the_signatures(SimpleImage):
    text = rendered(SimpleImage)
    assert "A minimal RGB image helper." in text
    assert "SimpleImage(width, height, pixels, alpha=None, png_chunks=None, bmp_header=None, png_filters=None)" in text
    assert "getPixel(self, coords: 'Tuple[int, int]') -> 'Tuple[int, int, int]'" in text
    assert "open(source: 'ImageInput')" in text


def test_help_on_the_module(ext):
    text = rendered(ext)
    assert "class SimpleImage" in text and "save(self, path: 'str') -> 'None'" in text
    assert "PNG_SIGNATURE = b'\\x89PNG\\r\\n\\x1a\\n'" in text
    # the module functions are private by name and render once asked for
    assert "_writeBmp(path, width, height, pixels, meta=None)" in rendered(ext._writeBmp)
