"""NumPy views: rgb_array and alpha_array write through to the image without a
copy and hold its buffer while they live; from_arrays builds an image that
saves with the chosen filter types; without NumPy the error says what to install."""

import subprocess
import sys

import pytest

import Tavrune
from support.builders import build_png, random_rows
from Tavrune.simpleImage_ext import SimpleImage

np = pytest.importorskip("numpy")


@pytest.mark.parametrize("width, height", [(1, 1), (5, 3), (3, 7)])
def test_views_write_through(width, height):
    image = SimpleImage(width, height, bytes(range(width * height * 3)), alpha=bytes(width * height))
    rgb, alpha = Tavrune.rgb_array(image), Tavrune.alpha_array(image)
    assert (rgb.shape, alpha.shape, rgb.dtype, rgb.flags.writeable) == ((height, width, 3), (height, width),
                                                                        np.uint8, True)
    assert tuple(rgb[height - 1, width - 1]) == image.getPixel((width - 1, height - 1))
    rgb[height - 1, 0] = (7, 8, 9)
    alpha[0, width - 1] = 200
    assert image.getPixel((0, height - 1)) == (7, 8, 9) and image._alpha[width - 1] == 200
    image.putPixel((width - 1, 0), (1, 2, 3))
    assert tuple(rgb[0, width - 1]) == (1, 2, 3)
    assert np.shares_memory(rgb, np.frombuffer(image._pixels, np.uint8))


def test_a_held_view_pins_the_buffer_and_a_new_buffer_leaves_it_behind():
    image = SimpleImage(2, 2, bytes(12))
    view = Tavrune.rgb_array(image)
    with pytest.raises(BufferError):
        image._pixels.extend(b"xyz")
    old = image._pixels
    image._pixels = bytearray(b"\xff" * 12)
    view[0, 0] = (5, 5, 5)
    assert image.getPixel((0, 0)) == (255, 255, 255) and old[:3] == b"\5\5\5"
    assert Tavrune.alpha_array(image) is None


@pytest.mark.parametrize("alpha, filters", [(None, None), ("plane", None), (None, [4, 3]), ("plane", [0, 1])])
def test_from_arrays_saves_what_it_was_given(tmp_path, alpha, filters):
    rgb = np.arange(2 * 3 * 3, dtype=np.int64).reshape(2, 3, 3) * 10
    plane = np.array([[0, 50, 100], [150, 200, 255]]) if alpha else None
    image = Tavrune.from_arrays(rgb, alpha=plane, filters=filters)
    path = str(tmp_path / "out.png")
    image.save(path)
    again = Tavrune.load(path)
    assert (again.size, bytes(again._pixels)) == ((3, 2), bytes(range(0, 180, 10)))
    assert again._alpha == (bytearray([0, 50, 100, 150, 200, 255]) if alpha else None)
    assert list(again._png_filters) == (filters or [0, 0])
    assert np.array_equal(Tavrune.rgb_array(again), rgb)


@pytest.mark.parametrize("arguments, message", [
    ((np.zeros((2, 3)),), "rgb must have the shape (height, width, 3), not (2, 3)"),
    ((np.zeros((2, 3, 4), np.uint8),), "rgb must have the shape"),
    ((np.full((1, 1, 3), 256),), "rgb must hold whole numbers from 0 to 255"),
    ((np.full((1, 1, 3), 0.5),), "rgb must hold whole numbers from 0 to 255"),
    ((np.zeros((2, 2, 3), np.uint8), np.zeros((2, 3))), "alpha must have the shape (2, 2), not (2, 3)"),
    ((np.zeros((2, 2, 3), np.uint8), None, [0, 5]), "filters must be 2 filter types from 0 to 4"),
    ((np.zeros((2, 2, 3), np.uint8), None, [0]), "filters must be 2 filter types from 0 to 4"),
])
def test_from_arrays_refuses_what_it_cannot_keep(arguments, message):
    with pytest.raises(ValueError) as error:
        Tavrune.from_arrays(*arguments)
    assert str(error.value).startswith(message)


def test_views_of_an_opened_file():
    image = Tavrune.load(build_png(random_rows(4, 2, 4), 4))
    assert Tavrune.rgb_array(image).shape == (2, 4, 3) and Tavrune.alpha_array(image).shape == (2, 4)


def test_without_numpy_the_error_says_what_to_install():
    code = ("import sys; sys.modules['numpy'] = None\n"
            "import Tavrune\nfrom Tavrune.simpleImage_ext import SimpleImage\n"
            "try:\n    Tavrune.rgb_array(SimpleImage(1, 1, b'abc'))\n"
            "except ImportError as error:\n    print(error)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.stdout == "Tavrune's array functions need NumPy: pip install numpy\n", result.stderr
