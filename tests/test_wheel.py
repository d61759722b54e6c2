"""The wheel holds the package's Python files, the extension, its stub and the
typing marker, with metadata and the licences (the package's and that of the
zlib-ng linked into the extension), and nothing else. make test and make
check-dist name the folder holding the wheel they installed in
TAVRUNE_WHEEL_DIR."""

import email
import importlib.machinery
import os
import pathlib
import sys
import zipfile

import pytest

WHEEL_DIR = os.environ.get("TAVRUNE_WHEEL_DIR")
INTERPRETER_TAG = f"-cp{sys.version_info[0]}{sys.version_info[1]}-"


@pytest.fixture(scope="module")
def wheel():
    if not WHEEL_DIR:
        pytest.skip("TAVRUNE_WHEEL_DIR names no folder with the wheel (make test sets it)")
    found = [path for path in pathlib.Path(WHEEL_DIR).glob("*.whl") if INTERPRETER_TAG in path.name]
    assert len(found) == 1, found
    with zipfile.ZipFile(found[0]) as archive:
        yield archive


def test_the_wheel_holds_only_the_package(wheel, ext):
    names = set(wheel.namelist())
    dist_info = {name.split("/")[0] for name in names if ".dist-info/" in name}
    assert len(dist_info) == 1
    (dist_info,) = dist_info
    assert dist_info.startswith("tavrune-")
    module = "Tavrune/simpleImage_ext" + importlib.machinery.EXTENSION_SUFFIXES[0]
    assert pathlib.Path(ext.__file__).name == pathlib.PurePath(module).name
    assert names == {
        "Tavrune/__init__.py", "Tavrune/__main__.py", "Tavrune/py.typed", "Tavrune/simpleImage_ext.pyi", module,
        f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD", f"{dist_info}/licenses/LICENSE",
        f"{dist_info}/licenses/third_party/zlib-ng/LICENSE.md",  # the vendored zlib-ng is linked in
    }


def test_the_wheel_metadata(wheel):
    (name,) = [name for name in wheel.namelist() if name.endswith(".dist-info/METADATA")]
    metadata = email.message_from_bytes(wheel.read(name))
    assert metadata["Name"] == "Tavrune"
    assert name.split("/")[0] == f"tavrune-{metadata['Version']}.dist-info"
    assert metadata["License-Expression"] == "MIT AND Zlib"
    assert metadata["Requires-Python"] == ">=3.9"
    assert metadata["Summary"] and "## Guide" in metadata.get_payload()
    classifiers = metadata.get_all("Classifier")
    assert {"Programming Language :: Python :: 3.9", "Typing :: Typed"} <= set(classifiers)
    # nothing is needed at run time: every requirement belongs to an extra
    assert all("; extra == " in requirement for requirement in metadata.get_all("Requires-Dist"))
