"""The stub and py.typed shipped with the module: stubtest finds no mismatch with
the built extension, and mypy --strict passes on the README's guide and on
typed_usage.py, which the tests also run."""

import contextlib
import importlib
import io
import pathlib
import subprocess
import sys

import pytest

import typed_usage
from support.readme_guide import guide_source, scripts

TESTS = pathlib.Path(__file__).resolve().parent


def test_the_stub_and_the_marker_sit_beside_the_module(ext):
    package = pathlib.Path(importlib.import_module("Tavrune").__file__).parent
    assert pathlib.Path(ext.__file__).parent == package
    assert (package / "py.typed").is_file()
    assert (package / "simpleImage_ext.pyi").is_file()


def test_typed_usage_runs(tmp_path):
    with contextlib.redirect_stdout(io.StringIO()):
        assert len(typed_usage.usage(tmp_path)) == 11


def mypy_tool(tool, *arguments, cwd):
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m", tool, *arguments], cwd=cwd, capture_output=True, text=True)


def test_stubtest_finds_no_mismatch(tmp_path):
    result = mypy_tool("mypy.stubtest", "Tavrune.simpleImage_ext", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def mypy_strict(folder, source):
    (folder / "checked.py").write_text(source, encoding="utf-8")
    return mypy_tool("mypy", "--strict", "--cache-dir", str(folder / "cache"), "checked.py", cwd=folder)


def test_mypy_strict_passes_on_the_typed_usage(tmp_path):
    result = mypy_strict(tmp_path, (TESTS / "typed_usage.py").read_text(encoding="utf-8"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_passes_on_the_guide(tmp_path):
    pytest.importorskip("numpy")
    pytest.importorskip("PIL")
    result = mypy_strict(tmp_path, guide_source())
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_passes_on_the_process_pool_script(tmp_path):
    result = mypy_strict(tmp_path, scripts()["stamp.py"])
    assert result.returncode == 0, result.stdout + result.stderr


# The package's Python API: typed modules, checked as installed. The command
# line's older modules are followed silently.
API_MODULES = ["Tavrune", "Tavrune._inspect", "Tavrune._diff", "Tavrune._arrays", "Tavrune._load", "Tavrune._files",
               "Tavrune._replace", "Tavrune._cli_layout"]


def test_mypy_strict_passes_on_the_package_api(tmp_path):
    pytest.importorskip("numpy")
    arguments = [argument for module in API_MODULES for argument in ("-m", module)]
    result = mypy_tool("mypy", "--strict", "--follow-imports=silent", "--cache-dir", str(tmp_path / "cache"),
                       *arguments, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_passes_on_code_using_the_api(tmp_path):
    pytest.importorskip("numpy")
    source = (
        "import Tavrune\n"
        "from typing import Optional, Tuple\n"
        "layout = Tavrune.inspect(b'')\n"
        "stop: Optional[Tavrune.Stop] = layout.stopped\n"
        "if isinstance(layout, Tavrune.PngLayout) and layout.header is not None:\n"
        "    width: int = layout.header.width\n"
        "image = Tavrune.load(b'')\n"
        "rgb = Tavrune.rgb_array(image)\n"
        "again = Tavrune.from_arrays(rgb, Tavrune.alpha_array(image), [0] * image.height)\n"
        "change: Tavrune.Difference = Tavrune.diff('a.png', 'b.png')\n"
        "Tavrune.save_replacing(again, 'c.png')\n"
    )
    result = mypy_strict(tmp_path, source)
    assert result.returncode == 0, result.stdout + result.stderr
