"""The README's guide, run statement by statement in an empty folder: every line
that prints shows what it prints in its comment, the command lines of the
README print what it shows, and its scripts for many files do what it says."""

import shlex
import subprocess
import sys

import pytest

from support.builders import build_bmp, build_png, random_rows
from support.readme_guide import console_sessions, guide_source, run_statements, scripts

pytest.importorskip("numpy")
pytest.importorskip("PIL")


@pytest.fixture(scope="module")
def guide_folder(tmp_path_factory):
    """An empty folder in which the whole guide has run, with what it printed."""
    folder = tmp_path_factory.mktemp("guide")
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(folder)
        printed = list(run_statements(guide_source(), {"__name__": "__readme__"}))
    return folder, printed


def test_the_guide_prints_what_its_comments_show(guide_folder):
    _, printed = guide_folder
    assert printed, "the guide printed nothing"
    for line, output, comment in printed:
        assert comment == output.replace("\n", " | "), line


def test_the_guide_leaves_the_files_it_names(guide_folder):
    folder, _ = guide_folder
    assert sorted(path.name for path in folder.iterdir()) == ["glass.png", "red-edited.png", "red.bmp", "red.png"]


@pytest.mark.parametrize("command, expected", console_sessions())
def test_the_command_lines_print_what_the_readme_shows(guide_folder, command, expected):
    folder, _ = guide_folder
    words = shlex.split(command)
    assert words[:3] == ["python", "-m", "Tavrune"]
    result = subprocess.run([sys.executable, *words[1:]], cwd=folder, capture_output=True, text=True)
    assert (result.stdout + result.stderr).rstrip("\n") == expected


@pytest.fixture
def photos(tmp_path):
    """A folder as the scripts take it: PNG and BMP files in subfolders, one the
    module refuses, one of another kind."""
    from PIL import Image
    (tmp_path / "photos" / "a" / "b").mkdir(parents=True)
    Image.linear_gradient("L").convert("RGB").resize((20, 10)).save(tmp_path / "photos" / "a" / "x.png")
    (tmp_path / "photos" / "a" / "b" / "y.png").write_bytes(build_png(random_rows(6, 5, 4), 4, filters=[0, 1, 2, 3, 4]))
    (tmp_path / "photos" / "z.BMP").write_bytes(build_bmp(random_rows(5, 5), xppm=3000))
    Image.linear_gradient("L").save(tmp_path / "photos" / "grey.png")
    (tmp_path / "photos" / "notes.txt").write_text("not an image")
    return tmp_path


def run_script(folder, name, *arguments):
    (folder / name).write_text(scripts()[name], encoding="utf-8")
    result = subprocess.run([sys.executable, name, *arguments], cwd=folder, capture_output=True, text=True,
                            timeout=300)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    return result.stdout.splitlines()


def test_the_process_pool_script_stamps_every_file_and_keeps_its_layout(photos):
    from Tavrune._layout import open_quietly
    assert run_script(photos, "stamp.py", "photos", "stamped") == [
        "photos/a/b/y.png -> stamped/a/b/y.png",
        "photos/a/x.png -> stamped/a/x.png",
        "photos/grey.png: refused: Only RGB/RGBA PNG images are supported",
        "photos/z.BMP -> stamped/z.BMP",
    ]
    for name in ("a/b/y.png", "a/x.png", "z.BMP"):
        before, after = open_quietly(str(photos / "photos" / name)), open_quietly(str(photos / "stamped" / name))
        assert after.getPixel((3, 3)) == (255, 0, 0) and after.getPixel((4, 4)) == before.getPixel((4, 4))
        assert (after._png_filters, after._bmp_header) == (before._png_filters, before._bmp_header)


def test_the_dask_script_counts_the_files_by_kind(photos):
    pytest.importorskip("dask.bag")
    assert run_script(photos, "kinds.py", "photos") == [
        "    1  BMP", "    1  PNG RGB", "    1  PNG RGBA", "    1  refused: Only RGB/RGBA PNG images are supported"]
