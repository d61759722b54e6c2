"""check on a folder of one file per result: damage told from design refusals
and located, notes on what a save drops, the exit status, -q and --strict;
FIFOs, devices and names that are not UTF-8 never stop a command."""

import json
import os
import subprocess
import sys

import pytest

from support.builders import assemble, build_bmp, build_png, chunk, random_rows

TAVRUNE = [sys.executable, "-m", "Tavrune"]
PNG = build_png(random_rows(40, 30, 3), 3, filters=1, level=1)
IDAT_AT = PNG.index(b"IDAT") - 4

# name: (bytes, the line check prints for it: the start of it for damaged files, which go on with where)
FILES = {
    "ok.png": (PNG, None),
    "tail.png": (PNG + bytes(1000), "verified, note: 1000 bytes after IEND, which a save drops"),
    "table.bmp": (build_bmp(random_rows(3, 2), gap=bytes(1024), clr_used=256),
                  "verified, note: 1024 bytes between the header and the pixel rows (a colour table of 256 "
                  "entries), which a save drops"),
    "topdown.bmp": (build_bmp(random_rows(3, 2), top_down=True),
                    "verified, note: rows stored top-down, which a save writes bottom-up"),
    "grey.png": (build_png(random_rows(4, 4, 1), 1, color_type=0),
                 "unsupported: Only RGB/RGBA PNG images are supported"),
    "interlaced.png": (build_png(random_rows(4, 4), interlace=1),
                       "unsupported: Unsupported PNG configuration (compression/filter/interlace)"),
    "v5.bmp": (build_bmp(random_rows(3, 2), dib_size=124),
               "unsupported: Only BITMAPINFOHEADER BMP files are supported"),
    "depth3.png": (build_png(random_rows(4, 4), bit_depth=3), "damaged: Only 8-bit PNG images are supported"),
    "method1.png": (build_png(random_rows(4, 4), compression=1),
                    "damaged: Unsupported PNG configuration (compression/filter/interlace)"),
    "cut.png": (PNG[:IDAT_AT + 300], "damaged: Unexpected EOF while reading chunk data: truncated in IDAT at byte"),
    "crc.png": (PNG[:IDAT_AT + 20] + bytes([PNG[IDAT_AT + 20] ^ 1]) + PNG[IDAT_AT + 21:],
                "damaged: Corrupted PNG chunk detected: CRC mismatch in IDAT at byte"),
    "nozlib.png": (build_png(random_rows(4, 4), data=b"no zlib stream"),
                   "damaged: zlib.error: Error -3 while decompressing data: incorrect header check"),
    "noihdr.png": (assemble([chunk(b"IEND", b"")]), "damaged: Incomplete PNG header information"),
    "short.bmp": (build_bmp(random_rows(3, 2))[:-5], "damaged: Incomplete BMP pixel data"),
}


def run(*arguments, **options):
    return subprocess.run([*TAVRUNE, *map(str, arguments)], capture_output=True, text=True, timeout=60, **options)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    place = tmp_path_factory.mktemp("kinds")
    for name, (data, _) in FILES.items():
        (place / name).write_bytes(data)
    os.symlink("gone.png", place / "dangling.png")
    return place


def lines_by_file(stdout, folder):
    return {line.split(": ", 1)[0][len(str(folder)) + 1:]: line.split(": ", 1)[1]
            for line in stdout.splitlines() if line.startswith(str(folder))}


@pytest.mark.parametrize("quiet", [False, True])
def test_each_result_is_told_apart_and_located(folder, quiet):
    result = run("check", *(["-q"] if quiet else []), folder)
    assert result.returncode == 1 and result.stderr == ""
    shown = lines_by_file(result.stdout, folder)
    wanted = {name: line for name, (_, line) in FILES.items()
              if line is not None and (not quiet or line.startswith("damaged"))}
    wanted["dangling.png"] = f"failed: [Errno 2] No such file or directory: '{folder}/dangling.png'"
    assert shown.keys() == wanted.keys()
    for name, line in shown.items():
        assert line.startswith(wanted[name]), name
        assert not line.startswith("damaged") or " at byte " in line, line  # where reading stopped
    counts = dict(line.rsplit(None, 1) for line in result.stdout.splitlines() if not line.startswith(str(folder)))
    assert counts == {"verified": "4", "  with notes on what a save drops or rewrites": "3", "unsupported": "3",
                      "  Only BITMAPINFOHEADER BMP files are supported": "1",
                      "  Only RGB/RGBA PNG images are supported": "1",
                      "  Unsupported PNG configuration (compression/filter/interlace)": "1",
                      "damaged": "7", "failed": "1", "files checked": "15"}


def test_json_results_and_strict_notes(folder):
    records = {os.path.basename(record["file"]): record
               for record in map(json.loads, run("check", "--json", "--strict", folder).stdout.splitlines())}
    assert {name: record["result"] for name, record in records.items()} == {
        **{name: line.split(":")[0].split(",")[0] if line else "verified" for name, (_, line) in FILES.items()},
        "tail.png": "failed", "table.bmp": "failed", "topdown.bmp": "failed", "dangling.png": "failed"}
    assert records["tail.png"]["notes"] == ["1000 bytes after IEND, which a save drops"]
    assert records["cut.png"]["where"].startswith("truncated in IDAT at byte")


@pytest.mark.parametrize("data, line", [
    (b"BM", "damaged: Unsupported BMP header: truncated in the BMP file header at byte 2 of 2"),
    (build_bmp(random_rows(3, 2))[:13], "damaged: Unsupported BMP header: truncated in the BMP file header at byte 13"),
    (b"GIF89a" + bytes(20), "unsupported: Unsupported image format"),
], ids=["2 bytes", "13 bytes", "GIF"])
def test_a_bmp_cut_inside_its_file_header_is_damaged(tmp_path, data, line):
    from Tavrune._cli import check_line, check_one
    (tmp_path / "x.bmp").write_bytes(data)
    assert check_line(check_one(str(tmp_path / "x.bmp"), str(tmp_path))).startswith(f"{tmp_path / 'x.bmp'}: {line}")


def test_an_ok_folder_exits_0(tmp_path):
    (tmp_path / "a.png").write_bytes(PNG)
    (tmp_path / "b.png").write_bytes(FILES["grey.png"][0])
    assert run("check", tmp_path).returncode == 0


@pytest.mark.parametrize("command", [["check"], ["info"], ["resave", "-o", "{out}"], ["to-bmp", "-o", "{out}"]])
def test_fifos_and_devices_are_skipped(tmp_path, command):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.png").write_bytes(PNG)
    os.mkfifo(tmp_path / "in" / "pipe.png")
    os.symlink("/dev/zero", tmp_path / "in" / "zero.png")
    arguments = [part.format(out=tmp_path / "out") for part in command]
    names = [tmp_path / "in" / name for name in ("a.png", "pipe.png", "zero.png")] if command == ["info"] else \
        [tmp_path / "in"]
    result = run(*arguments, *names)
    for name in ("pipe.png", "zero.png"):
        assert f"{tmp_path}/in/{name}: skipped: not a regular file" in result.stdout
    assert result.returncode == 0, result.stdout + result.stderr
    if "-o" in command:
        assert [path.stem for path in (tmp_path / "out").iterdir()] == ["a"]


@pytest.mark.parametrize("command", [["check", "--json"], ["check"], ["resave", "-o", "{out}"]])
def test_names_that_are_not_utf8_are_printed_escaped(tmp_path, command):
    folder = tmp_path / "in"
    folder.mkdir()
    with open(os.path.join(os.fsencode(folder), b"caf\xe9.png"), "wb") as out:
        out.write(PNG + b"tail")  # a note, so that check prints the name
    arguments = [part.format(out=tmp_path / "out") for part in command]
    result = run(*arguments, folder, env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert result.returncode == 0 and result.stderr == ""
    if "--json" in command:
        assert json.loads(result.stdout)["file"] == f"{folder}/caf\\xe9.png"
    else:
        assert f"{folder}/caf\\xe9.png" in result.stdout


def test_a_sound_png_past_the_pixel_limit_is_unsupported(tmp_path):
    empty_stream = b"x\x9c\x03\x00\x00\x00\x00\x01"
    (tmp_path / "huge.png").write_bytes(build_png([], width=50_000, height=50_000, data=empty_stream))
    result = run("check", tmp_path)
    assert result.returncode == 0 and "huge.png: unsupported: image beyond the 2^31-byte pixel limit" in result.stdout


def test_a_folder_that_cannot_be_listed_fails_the_run(tmp_path, monkeypatch, capsys):
    from Tavrune import _batch, _cli

    def unlistable(path, onerror):
        onerror(PermissionError(13, "Permission denied", str(path)))
        return iter(())
    monkeypatch.setattr(_batch.os, "walk", unlistable)
    assert _cli.check([str(tmp_path)], 1, False) == 1
    assert f"{tmp_path}: failed: [Errno 13] Permission denied: '{tmp_path}'" in capsys.readouterr().out
