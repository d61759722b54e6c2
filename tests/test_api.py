"""The package's public API: importing it loads nothing else, each name is
loaded on first use, and every public function is documented with an example
that runs (here, with doctest, in an empty folder)."""

import doctest
import json
import subprocess
import sys

import pytest

import Tavrune

FUNCTIONS = ["load", "inspect", "diff", "rgb_array", "alpha_array", "from_arrays", "save_replacing"]


def run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_importing_the_package_adds_nothing_but_itself_to_sys_modules():
    before, after = json.loads(run_python(
        "import sys, json; before = set(sys.modules); import Tavrune; "
        "print(json.dumps([sorted(before), sorted(set(sys.modules) - before)]))"))
    assert after == ["Tavrune"]


@pytest.mark.parametrize("name, loads, leaves_out", [
    ("inspect", "Tavrune._inspect", ["Tavrune.simpleImage_ext", "numpy"]),
    ("load", "Tavrune.simpleImage_ext", ["numpy"]),
    ("rgb_array", "Tavrune._arrays", ["numpy", "Tavrune.simpleImage_ext"]),
])
def test_a_name_loads_its_module_on_first_use_and_no_more(name, loads, leaves_out):
    found = json.loads(run_python(
        f"import sys, json, Tavrune; Tavrune.{name}; "
        f"print(json.dumps([m in sys.modules for m in {[loads, *leaves_out]!r}]))"))
    assert found == [True] + [False] * len(leaves_out)


def test_the_extension_imports_as_before_and_unknown_names_raise_attribute_error():
    assert run_python("import Tavrune.simpleImage_ext as m; from Tavrune import simpleImage_ext as n; "
                      "print(m is n, m.SimpleImage.__name__)") == "True SimpleImage\n"
    with pytest.raises(AttributeError):
        Tavrune.no_such_name  # noqa: B018
    assert set(FUNCTIONS) <= set(dir(Tavrune)) and set(FUNCTIONS) <= set(Tavrune.__all__)


@pytest.mark.parametrize("name", FUNCTIONS + ["Stop", "PngLayout", "BmpLayout", "Difference"])
def test_every_public_name_is_documented(name):
    assert len(getattr(Tavrune, name).__doc__ or "") > 80


@pytest.mark.parametrize("name", FUNCTIONS + ["Stop"])
def test_the_docstring_examples_run(name, tmp_path, monkeypatch):
    pytest.importorskip("numpy")
    monkeypatch.chdir(tmp_path)
    tests = doctest.DocTestFinder().find(getattr(Tavrune, name), name, globs={name: getattr(Tavrune, name)})
    assert tests and any(test.examples for test in tests)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in tests:
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_the_console_script_is_installed():
    import shutil
    script = shutil.which("tavrune", path=str(__import__("pathlib").Path(sys.executable).parent))
    if script is None:
        pytest.skip("the package is not installed with its console script here")
    result = subprocess.run([script, "info", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "usage:" in result.stdout


def test_a_failed_load_of_the_extension_leaves_nothing_behind():
    code = (
        "import sys, Tavrune\n"
        "class Refuse:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'Tavrune.simpleImage_ext': raise ImportError('refused')\n"
        "sys.meta_path.insert(0, Refuse())\n"
        "try:\n    Tavrune.load\nexcept ImportError as error:\n    print(error)\n"
        "print(sorted(m for m in sys.modules if m.startswith('Tavrune')), 'load' in vars(Tavrune))\n"
        "sys.meta_path.pop(0)\n"
        "print(Tavrune.load.__module__, Tavrune.inspect.__module__)\n"
    )
    assert run_python(code).splitlines() == ["refused", "['Tavrune'] False", "Tavrune._load Tavrune._inspect"]
