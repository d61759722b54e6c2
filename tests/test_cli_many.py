"""The command line on many files: check on a folder of 2,000 mixed files, the
verification it relies on, resave and to-bmp into a folder, a reader that stops
reading (| head -1), Ctrl-C and the progress line on a terminal."""

import collections
import json
import os
import pty
import re
import signal
import subprocess
import sys

import pytest

from support.builders import build_bmp, build_png, random_rows, read_chunks
from Tavrune._layout import cut_sizes, lost_in_resave, open_quietly

pytest.importorskip("PIL")
from support import mixed_folder  # noqa: E402  (needs Pillow)

TAVRUNE = [sys.executable, "-m", "Tavrune"]


def run(*arguments, **options):
    return subprocess.run([*TAVRUNE, *arguments], capture_output=True, text=True, **options)


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """(folder, {path: (result, message)}) of the 2,000 mixed files."""
    folder = str(tmp_path_factory.mktemp("mixed"))
    return folder, mixed_folder.build(folder)


def table(stdout):
    """{label: count} of check's closing table."""
    return {match[1]: int(match[2]) for match in re.finditer(r"^(.+?) {2,}(\d+)$", stdout, re.MULTILINE)}


def line_of(path, outcome, text):
    return f"{path}: {outcome}: {text}"


def test_check_reports_every_file_not_verified_and_the_counts(mixed):
    folder, expected = mixed
    result = run("check", folder, "-j", "2")
    assert result.returncode == 1 and result.stderr == ""  # damaged files, and two links lead nowhere
    lines = result.stdout.splitlines()
    skipped = [f"{folder}/set2/pipe.png: skipped: not a regular file",
               f"{folder}/set3/zero.bmp: skipped: not a regular file"]
    assert lines[:2] == skipped
    reported = [line for line in lines[2:] if line.startswith(folder)]
    wanted = {path: line_of(path, outcome, text) for path, (outcome, text) in expected.items()
              if outcome != "verified"}
    assert len(reported) == len(wanted)
    for line in reported:
        path = line.split(": ")[0]
        # A damaged file's line goes on with where reading stopped.
        assert line == wanted[path] or expected[path][0] == "damaged" and line.startswith(wanted[path] + ": ")
    reasons = collections.Counter(text for outcome, text in expected.values() if outcome == "unsupported")
    assert table(result.stdout) == {
        "verified": 1576, "unsupported": 342, "damaged": 80, "failed": 2, "files checked": 2000,
        "not regular files, skipped": 2, "other files in the folders, passed over": 3,
        **{f"  {text}": count for text, count in reasons.items()}}
    assert reasons == {
        "Only RGB/RGBA PNG images are supported": 122, "Only uncompressed 24-bit BMP files are supported": 80,
        "Unsupported image format": 60, "Only 8-bit PNG images are supported": 40,
        "Unsupported PNG configuration (compression/filter/interlace)": 40}


def test_check_json_gives_one_object_per_file_in_one_process(mixed):
    folder, expected = mixed
    result = run("check", "--json", "-j", "1", folder)
    assert result.returncode == 1 and result.stderr == ""
    records = [json.loads(line) for line in result.stdout.splitlines()]
    checked = [record for record in records if record["result"] != "skipped"]
    assert {record["file"]: (record["result"], record["message"]) for record in checked} == expected
    assert len(checked) == len(expected) and len(records) == len(expected) + 2
    kinds = {(record["format"], record["alpha"]) for record in records if record["result"] == "verified"}
    assert kinds == {("PNG", False), ("PNG", True), ("BMP", False)}
    assert all(record["where"] for record in records if record["result"] == "damaged")


def test_unsupported_files_are_no_failure_and_quiet_prints_only_trouble(mixed):
    folder, expected = mixed
    parts = [os.path.join(folder, "set4"), os.path.join(folder, "set5")]
    inside = {path: outcome for path, (outcome, _) in expected.items() if path.startswith(tuple(parts))}
    result = run("check", "-q", *parts)
    assert result.returncode == (1 if "damaged" in inside.values() else 0), result.stdout
    lines = [line for line in result.stdout.splitlines() if line.startswith(folder)]
    assert len(lines) == sum(outcome in ("damaged", "failed") for outcome in inside.values())
    assert table(result.stdout)["unsupported"] == sum(outcome == "unsupported" for outcome in inside.values()) > 0


# --- what check verifies ------------------------------------------------------------------

@pytest.mark.parametrize("total, kept, sizes", [
    (220, [100, 100, 30], [100, 100, 20]), (240, [100, 100, 30], [100, 100, 40]),
    (150, [100, 100, 30], [100, 50]), (25, [10, 0], [10, 15]), (25, [0, 10], [25]), (25, [], [25]), (0, [5], []),
])
def test_the_idat_sizes_a_resave_must_give(total, kept, sizes):
    assert cut_sizes(total, kept) == sizes


ROWS = random_rows(6, 4, 4)
TEXT, TIME = (b"tEXt", b"Comment\x00kept"), (b"tIME", b"1234567")


def png(rows=ROWS, filters=(0, 1, 2, 4), sizes=(20, 30), chunks=((1,) + TEXT, (-1,) + TIME)):
    return build_png(rows, 4, filters=list(filters), idat_sizes=sizes, insert=chunks)


PNG = png()
LAST_IDAT = [len(payload) for kind, payload in read_chunks(PNG) if kind == b"IDAT"][-1]


@pytest.mark.parametrize("new, lost", [
    (png(), []),
    (png(chunks=((1,) + TIME, (-1,) + TEXT)), ["chunks other than IDAT not kept byte for byte and in order: tIME"]),
    (png(chunks=((1, b"tEXt", b"Comment\x00changed"), (-1,) + TIME)),
     ["chunks other than IDAT not kept byte for byte and in order: tEXt"]),
    (png(chunks=((1,) + TEXT,)), ["chunks other than IDAT not kept byte for byte and in order: tIME"]),
    (png(filters=(0, 1, 3, 3)), ["row filter types not kept (2 of 4 rows differ)"]),
    (png(sizes=(30, 20)), [f"IDAT sizes [30, 20, {LAST_IDAT}] are not the kept sizes [20, 30, {LAST_IDAT}] cut to "
                           "the new data"]),
    (png(rows=[ROWS[0], ROWS[1], bytes(24), ROWS[3]]), ["pixels read back differ", "alpha plane read back differs"]),
    (build_bmp([bytes(b for i, b in enumerate(row) if i % 4 != 3) for row in ROWS]),
     ["not saved as a PNG", "alpha plane read back differs"]),
])
def test_a_resave_that_lost_something_is_named(new, lost):
    assert lost_in_resave(PNG, new, open_quietly(PNG), open_quietly(new)) == lost


@pytest.mark.parametrize("new, lost", [
    (build_bmp(random_rows(3, 2), xppm=1000), []),
    (build_bmp(random_rows(3, 2), xppm=1001), ["BMP header fields not kept: {'xppm': 1000, 'yppm': 2835, "
                                              "'clrUsed': 0, 'clrImportant': 0} -> {'xppm': 1001, 'yppm': 2835, "
                                              "'clrUsed': 0, 'clrImportant': 0}"]),
    (build_bmp(random_rows(3, 3), xppm=1000), ["size 3x2 RGB read back as 3x3 RGB"]),
    (build_png(random_rows(3, 2)), ["not saved as a BMP"]),
])
def test_a_bmp_resave_that_lost_something_is_named(new, lost):
    old = build_bmp(random_rows(3, 2), xppm=1000)
    assert lost_in_resave(old, new, open_quietly(old), open_quietly(new)) == lost


@pytest.mark.parametrize("tail, notes", [(b"", []), (bytes(7), ["7 bytes after IEND, which a save drops"])])
def test_check_reads_the_chunks_of_a_png_once(tmp_path, monkeypatch, tail, notes):
    import Tavrune._cli as cli
    import Tavrune._layout as layout
    reads, original = [], layout.read_chunks
    counted = lambda data: reads.append(data) or original(data)  # noqa: E731
    monkeypatch.setattr(layout, "read_chunks", counted)
    monkeypatch.setattr(cli, "read_chunks", counted)
    (tmp_path / "a.png").write_bytes(PNG + tail)
    record = cli.check_one(str(tmp_path / "a.png"), str(tmp_path))
    assert (record["result"], record["notes"], len(reads)) == ("verified", notes, 2)  # the old file's, the new one's


# --- resave and to-bmp into a folder --------------------------------------------------------

@pytest.mark.parametrize("command, suffix", [("resave", ".png"), ("to-bmp", ".bmp")])
def test_many_inputs_are_written_into_one_folder(tmp_path, command, suffix):
    folder, out = tmp_path / "in", tmp_path / "out"
    (folder / "sub").mkdir(parents=True)
    (folder / "a.png").write_bytes(build_png(random_rows(4, 3, 4), 4, filters=[1, 2, 4]))
    (folder / "sub" / "b.bmp").write_bytes(build_bmp(random_rows(3, 2), xppm=1000))
    (folder / "sub" / "bad.png").write_bytes(b"not an image")
    (folder / "notes.txt").write_text("passed over")
    (tmp_path / "c.PNG").write_bytes(build_png(random_rows(2, 2)))
    result = run(command, str(folder), str(tmp_path / "c.PNG"), "-o", str(out), "-j", "2")
    assert result.returncode == 1
    assert result.stderr == f"error: {folder}/sub/bad.png: Unsupported image format\n"
    lines = result.stdout.splitlines()
    assert lines[-1] == f"3 of 4 files written to {out}"
    assert lines[-2] == "pixels read back: identical"
    written = sorted(str(path.relative_to(out)) for path in out.rglob("*") if path.is_file())
    if command == "resave":
        assert written == ["a.png", "c.PNG", "sub/b.bmp"]
        assert lines[0] == f"resaved {folder}/a.png -> {out}/a.png: PNG 4x3 RGBA, 3 chunks"
        assert (out / "a.png").read_bytes() == (folder / "a.png").read_bytes()  # written at zlib's default level
    else:
        assert written == ["a.bmp", "c.bmp", "sub/b.bmp"]
        assert lines[0] == f"wrote {out}/a.bmp: BMP 4x3, 24-bit, 2835x2835 pixels per metre"
        assert (out / "sub" / "b.bmp").read_bytes() == (folder / "sub" / "b.bmp").read_bytes()


def test_two_inputs_for_one_output_are_refused_before_anything_is_written(tmp_path):
    for name in ("x.png", "x.bmp"):
        (tmp_path / name).write_bytes(b"")
    out = tmp_path / "out"
    result = run("to-bmp", str(tmp_path / "x.png"), str(tmp_path / "x.bmp"), "-o", str(out))
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"error: {tmp_path}/x.png and {tmp_path}/x.bmp would both be written to {out}/x.bmp\n"
    assert not out.exists()


# --- a reader that stops early, Ctrl-C, progress ---------------------------------------------

@pytest.fixture(scope="module")
def many_small(tmp_path_factory):
    """A folder of 1,500 small PNG files: more than a pipe holds of any report on them."""
    folder = tmp_path_factory.mktemp("small")
    from Tavrune.simpleImage_ext import SimpleImage
    for index in range(1500):
        SimpleImage(8, 8, bytes(range(index % 50, index % 50 + 192))).save(str(folder / f"{index:04d}.png"))
    SimpleImage(1, 200_000, bytes(600_000)).save(str(folder.parent / "tall.png"))
    return folder


@pytest.mark.parametrize("arguments", [
    "demo", "--help", "info --rows {tall}", "check --json {many}", "check -j 1 --json {many}",
    "resave -o {out} {many}", "to-bmp -j 1 -o {out} {many}",
])
def test_a_reader_that_stops_early_ends_the_command_quietly_with_status_0(many_small, tmp_path, arguments):
    command = " ".join([*TAVRUNE, arguments.format(many=many_small, tall=many_small.parent / "tall.png",
                                                   out=tmp_path / "out")])
    result = subprocess.run(["bash", "-o", "pipefail", "-c", f"{command} | head -1"], capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stderr, len(result.stdout.splitlines())) == (0, "", 1)


def default_sigint():
    # A suite run as a background job starts its children with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def children(pid):
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return found


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_stops_the_workers_and_exits_with_130(mixed, jobs):
    process = subprocess.Popen([*TAVRUNE, "check", "--json", "-j", jobs, mixed[0]], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True, preexec_fn=default_sigint)
    while json.loads(process.stdout.readline())["result"] == "skipped":  # printed before the work starts
        pass
    workers = children(process.pid)
    assert len(workers) >= int(jobs) - (jobs == "1")
    os.killpg(process.pid, signal.SIGINT)  # as a terminal does on Ctrl-C: to its whole foreground group
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (130, b"")
    assert [pid for pid in workers if os.path.exists(f"/proc/{pid}")] == []


def test_progress_is_shown_on_a_terminal(mixed):
    folder, expected = mixed
    part = os.path.join(folder, "set3")
    total = sum(path.startswith(part + os.sep) for path in expected)
    trouble = any(outcome in ("damaged", "failed") for path, (outcome, _) in expected.items()
                  if path.startswith(part + os.sep))
    terminal, their_end = pty.openpty()
    process = subprocess.Popen([*TAVRUNE, "check", part], stdout=subprocess.DEVNULL, stderr=their_end)
    os.close(their_end)
    shown = b""
    while True:
        try:
            data = os.read(terminal, 4096)
        except OSError:  # the other end is closed
            break
        if not data:
            break
        shown += data
    os.close(terminal)
    assert process.wait() == (1 if trouble else 0)
    assert re.search(rf"\r{total}/{total} files, \d+ per second, 0 s left\x1b\[K\r\x1b\[K$", shown.decode())
