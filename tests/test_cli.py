"""The command line: the read-change-save demonstration and the layout printer."""

import subprocess
import sys

import pytest

from Tavrune.simpleImage_ext import SimpleImage


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "Tavrune", *arguments], capture_output=True, text=True)


def test_demo_shows_only_the_pixels_changed():
    result = run("demo")
    assert result.returncode == 0, result.stderr
    assert "every chunk but IDAT kept byte for byte and in order: True" in result.stdout
    assert "before" in result.stdout and "after save" in result.stdout


@pytest.mark.parametrize("suffix, first_line", [(".png", "PNG 3x2 RGBA"), (".bmp", "BMP 3x2 RGB")])
def test_info_prints_the_layout(tmp_path, suffix, first_line):
    path = str(tmp_path / f"image{suffix}")
    image = SimpleImage(3, 2, bytes(18), alpha=bytes(6), png_filters=b"\x01\x04")
    image.save(path) if suffix == ".png" else image.saveBmp(path)
    result = run("info", path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == first_line
    if suffix == ".png":
        assert [line.split()[1] for line in lines[2:5]] == ["IHDR", "IDAT", "IEND"]
        assert lines[-1].strip() == "14"


@pytest.mark.parametrize("content", [b"", b"not an image"])
def test_info_reports_bad_input_without_a_traceback(tmp_path, content):
    path = tmp_path / "bad.png"
    path.write_bytes(content)
    result = run("info", str(path))
    assert result.returncode == 1
    assert result.stderr == "error: Unsupported image format\n"
