"""The wheel holds the package's Python files, the extension, its stub and the
typing marker, with metadata and the licences (the package's and that of the
zlib-ng linked into the extension), and nothing else; it is tagged with the
oldest manylinux policy that auditwheel finds it within. make test and make
check-dist name the folder holding the wheel they installed in
TAVRUNE_WHEEL_DIR."""

import email
import importlib.machinery
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

WHEEL_DIR = os.environ.get("TAVRUNE_WHEEL_DIR")
INTERPRETER_TAG = f"-cp{sys.version_info[0]}{sys.version_info[1]}-"


@pytest.fixture(scope="module")
def wheel_path():
    if not WHEEL_DIR:
        pytest.skip("TAVRUNE_WHEEL_DIR names no folder with the wheel (make test sets it)")
    found = [path for path in pathlib.Path(WHEEL_DIR).glob("*.whl") if INTERPRETER_TAG in path.name]
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="module")
def wheel(wheel_path):
    with zipfile.ZipFile(wheel_path) as archive:
        yield archive


def test_the_wheel_holds_only_the_package(wheel, ext):
    names = {name for name in wheel.namelist() if not name.endswith("/")}  # auditwheel adds folder entries
    dist_info = {name.split("/")[0] for name in names if ".dist-info/" in name}
    assert len(dist_info) == 1
    (dist_info,) = dist_info
    assert dist_info.startswith("tavrune-")
    module = "Tavrune/simpleImage_ext" + importlib.machinery.EXTENSION_SUFFIXES[0]
    assert pathlib.Path(ext.__file__).name == pathlib.PurePath(module).name
    assert names == {
        "Tavrune/__init__.py", "Tavrune/__main__.py", "Tavrune/_batch.py", "Tavrune/_cli.py", "Tavrune/_demo.py",
        "Tavrune/_layout.py", "Tavrune/_replace.py", "Tavrune/_arrays.py", "Tavrune/_cli_layout.py",
        "Tavrune/_diff.py", "Tavrune/_errors.py", "Tavrune/_files.py", "Tavrune/_inspect.py", "Tavrune/_load.py",
        "Tavrune/_verdict.py",
        "Tavrune/py.typed", "Tavrune/simpleImage_ext.pyi", module, f"{dist_info}/entry_points.txt",
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


def glibc_of(platform_tag):
    """(major, minor) of the glibc a manylinux platform tag stands for (the legacy
    names are aliases of three of them), None for another tag."""
    legacy = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
    found = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", platform_tag)
    return (int(found[1]), int(found[2])) if found else legacy.get(platform_tag.split("_")[0])


def test_auditwheel_finds_the_wheel_within_the_manylinux_policy_it_is_tagged_with(wheel_path):
    pytest.importorskip("auditwheel")
    result = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel_path)], capture_output=True,
                            text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    report = " ".join(result.stdout.split())
    (policy,) = re.findall(r'is consistent with the following platform tag: "([^"]+)"', report)
    # A library outside the manylinux policies, or a symbol version newer than
    # they allow, leaves only linux_<arch>.
    assert policy.startswith("manylinux_"), report
    platform_tags = wheel_path.name[:-len(".whl")].split("-")[-1].split(".")
    assert {glibc_of(tag) for tag in platform_tags} == {glibc_of(policy)}, report
