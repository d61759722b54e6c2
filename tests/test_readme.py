"""The README's guide, run statement by statement in an empty folder: every line
that prints shows what it prints in its comment, and the command lines of the
README print what it shows."""

import shlex
import subprocess
import sys

import pytest

from readme_guide import console_sessions, guide_source, run_statements

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
    assert sorted(path.name for path in folder.iterdir()) == ["glass.png", "red.bmp", "red.png"]


@pytest.mark.parametrize("command, expected", console_sessions())
def test_the_command_lines_print_what_the_readme_shows(guide_folder, command, expected):
    folder, _ = guide_folder
    words = shlex.split(command)
    assert words[:3] == ["python", "-m", "Tavrune"]
    result = subprocess.run([sys.executable, *words[1:]], cwd=folder, capture_output=True, text=True)
    assert (result.stdout + result.stderr).rstrip("\n") == expected
