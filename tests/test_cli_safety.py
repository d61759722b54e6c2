"""The writing commands never lose an input: a write that fails (a file size
limit, a full file system) or a Ctrl-C at any moment leaves every file either
as it was or wholly rewritten, and no temporary file behind; an output that
is another input of the same run is refused before anything is written."""

import os
import random
import resource
import signal
import stat
import subprocess
import sys
import time

import pytest

from support.builders import build_png, random_rows
from Tavrune._replace import is_temporary

TAVRUNE = [sys.executable, "-m", "Tavrune"]


def default_sigint():
    # The suite may itself run as a background job, whose children start with
    # SIGINT ignored; the interrupted command must see it as a terminal sends it.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run(*arguments, **options):
    return subprocess.run([*TAVRUNE, *map(str, arguments)], capture_output=True, text=True, **options)


def folder_of_pngs(folder, count, size=96):
    """count PNG files whose re-save differs from them (compressed at level 1,
    the module writes zlib's default level); {name: bytes}."""
    folder.mkdir(parents=True, exist_ok=True)
    files = {}
    for index in range(count):
        rows = random_rows(size, size, 3, seed=index)
        data = build_png(rows, 3, filters=[index % 5] * size, level=1, idat_sizes=(5000,))
        (folder / f"{index:03d}.png").write_bytes(data)
        files[f"{index:03d}.png"] = data
    return files


def leftovers(folder):
    return [name for _, _, names in os.walk(folder) for name in names if is_temporary(name)]


@pytest.fixture(scope="module")
def originals_and_resaved(tmp_path_factory):
    """({name: bytes}, {name: bytes of its re-save}) for 24 files."""
    folder = tmp_path_factory.mktemp("reference") / "in"
    originals = folder_of_pngs(folder, 24)
    assert run("resave", "-o", folder, folder, "-j", "1").returncode == 0
    return originals, {name: (folder / name).read_bytes() for name in originals}


def limited(size):
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return apply


@pytest.mark.parametrize("arguments", [["{file}", "{file}"], ["-o", "{folder}", "{folder}", "-j", "1"],
                                       ["-o", "{folder}", "{folder}", "-j", "2"]])
def test_a_write_cut_short_by_a_file_size_limit_keeps_the_input(tmp_path, arguments):
    folder = tmp_path / "in"
    rows = random_rows(200, 200, 3, seed=1)
    data = build_png(rows, 3, level=1)
    (folder).mkdir()
    (folder / "big.png").write_bytes(data)
    names = [part.format(file=folder / "big.png", folder=folder) for part in arguments]
    result = run("resave", *names, preexec_fn=limited(len(data) // 2))
    assert result.returncode == 1 and "File too large" in result.stderr
    assert (folder / "big.png").read_bytes() == data
    assert leftovers(folder) == []


def test_a_full_file_system_keeps_the_input(tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                                           capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    try:
        data = build_png(random_rows(220, 220, 3, seed=2), 3, level=1)
        (mount / "big.png").write_bytes(data)
        assert len(data) > 128 * 1024  # no room for a second copy
        result = run("resave", mount / "big.png", mount / "big.png")
        assert result.returncode == 1 and "No space left on device" in result.stderr
        assert (mount / "big.png").read_bytes() == data and leftovers(mount) == []
    finally:
        subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_at_any_moment_loses_no_input(tmp_path, originals_and_resaved, jobs):
    originals, resaved = originals_and_resaved
    rng = random.Random(f"interrupt-{jobs}")
    folder_of_pngs(tmp_path / "timing", len(originals))
    started = time.monotonic()
    assert run("resave", "-o", tmp_path / "timing", tmp_path / "timing", "-j", jobs).returncode == 0
    duration = time.monotonic() - started
    outcomes = set()
    for attempt in range(16):
        folder = tmp_path / f"run{attempt}"
        folder_of_pngs(folder, len(originals))
        process = subprocess.Popen([*TAVRUNE, "resave", "-o", str(folder), str(folder), "-j", jobs],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
                                   preexec_fn=default_sigint)
        time.sleep(rng.uniform(0.05, duration))
        os.killpg(process.pid, signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode in (0, 130, -signal.SIGINT), stderr  # -SIGINT: before Python started
        states = {name: ("kept" if (folder / name).read_bytes() == originals[name] else
                         "rewritten" if (folder / name).read_bytes() == resaved[name] else "LOST")
                  for name in originals}
        assert "LOST" not in states.values(), states
        assert leftovers(folder) == []
        outcomes.update(states.values())
    assert outcomes == {"kept", "rewritten"}  # the interrupts fell in the middle of runs


def test_an_output_that_is_another_input_is_refused_before_writing(tmp_path):
    folder = tmp_path / "in"
    files = folder_of_pngs(folder, 2)
    (folder / "z").mkdir()
    (folder / "z" / "000.png").write_bytes(files["001.png"])  # another picture under the output's name
    before = {path: path.read_bytes() for path in folder.rglob("*.png")}
    result = run("resave", "-o", folder / "z", folder)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == (f"error: {folder}/000.png would be written to {folder}/z/000.png, which is another "
                             "input of this run\n")
    assert {path: path.read_bytes() for path in folder.rglob("*.png")} == before


def test_in_place_keeps_the_permission_bits_and_follows_links(tmp_path):
    (tmp_path / "a.png").write_bytes(build_png(random_rows(4, 4), 3, level=1))
    os.chmod(tmp_path / "a.png", 0o640)
    os.symlink("a.png", tmp_path / "link.png")
    assert run("resave", tmp_path / "link.png", tmp_path / "link.png").returncode == 0
    assert os.path.islink(tmp_path / "link.png")
    assert os.stat(tmp_path / "a.png").st_mode & 0o777 == 0o640
    assert leftovers(tmp_path) == []


def test_nothing_but_a_regular_file_is_ever_replaced(tmp_path):
    (tmp_path / "a.png").write_bytes(build_png(random_rows(4, 4), 3))
    os.mkfifo(tmp_path / "pipe.png")
    (tmp_path / "file").write_bytes(b"not a folder")
    for arguments in (["resave", tmp_path / "a.png", tmp_path / "pipe.png"],
                      ["diff", tmp_path / "a.png", tmp_path / "a.png", "--image", tmp_path / "a.png"],
                      ["resave", "-o", tmp_path / "file", tmp_path / "a.png"]):
        result = run(*arguments, timeout=30)
        assert result.returncode in (1, 2) and "Traceback" not in result.stderr, result.stderr
    assert stat.S_ISFIFO(os.stat(tmp_path / "pipe.png").st_mode)
    assert (tmp_path / "a.png").read_bytes() == build_png(random_rows(4, 4), 3)
    assert (tmp_path / "file").read_bytes() == b"not a folder" and leftovers(tmp_path) == []
    from Tavrune import load
    from Tavrune._files import NotRegularFileError
    with pytest.raises(NotRegularFileError):
        load(str(tmp_path / "pipe.png"))


@pytest.mark.parametrize("length", [200, 251])
def test_a_name_as_long_as_the_file_system_allows_is_rewritten_in_place(tmp_path, length):
    path = tmp_path / ("x" * (length - 4) + ".png")
    path.write_bytes(build_png(random_rows(4, 4), 3, level=1))
    result = run("resave", path, path)
    assert result.returncode == 0, result.stderr
    assert path.read_bytes() != build_png(random_rows(4, 4), 3, level=1) and leftovers(tmp_path) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can give a file to another owner")
def test_in_place_keeps_the_owner_and_group(tmp_path):
    path = tmp_path / "a.png"
    path.write_bytes(build_png(random_rows(4, 4), 3, level=1))
    os.chown(path, 4242, 4343)
    os.chmod(path, 0o4751)  # a change of owner clears set-user-ID: the mode is set after it
    assert run("resave", path, path).returncode == 0
    status = os.stat(path)
    assert (status.st_uid, status.st_gid, status.st_mode & 0o7777) == (4242, 4343, 0o4751)


def test_check_ended_by_sigterm_leaves_no_scratch_folder(tmp_path):
    folder_of_pngs(tmp_path / "in", 60, size=256)
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    for jobs in ("1", "2"):
        child = subprocess.Popen([*TAVRUNE, "check", "--json", "-j", jobs, tmp_path / "in"], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env={**os.environ, "TMPDIR": str(scratch)})
        child.stdout.readline()  # the first file is checked: the scratch folder exists
        child.send_signal(signal.SIGTERM)
        _, errors = child.communicate(timeout=60)
        assert child.returncode == 128 + signal.SIGTERM and b"Traceback" not in errors, errors
        assert list(scratch.iterdir()) == []
