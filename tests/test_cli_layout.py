"""`info` (alias `inspect`) on a folder of every kind of PNG and BMP, damaged ones
among them: a layout for each, the damage named, exit status 1 only for files
that could not be read or are neither PNG nor BMP; JSON lines; FIFOs skipped."""

import io
import json
import os
import struct
import subprocess
import sys
import zlib

import pytest

from support.builders import build_bmp, build_png, random_rows, scanlines
from Tavrune import _cli_layout

Image = pytest.importorskip("PIL.Image")


def pillow(mode):
    buffer = io.BytesIO()
    Image.linear_gradient("L").resize((9, 6)).convert(mode).save(buffer, "PNG")
    return buffer.getvalue()


def interlaced():
    # Seven passes of a 2x2 RGB image: pass 1 holds (0, 0), pass 6 (1, 0), pass 7 row 1.
    rows = random_rows(2, 2)
    data = scanlines([rows[0][:3]], 3) + scanlines([rows[0][3:]], 3, 1) + scanlines([rows[1]], 3, 2)
    return build_png(rows, data=zlib.compress(data), interlace=1)


GOOD = build_png(random_rows(8, 8), idat_sizes=(30,))
FOLDER = {
    "grey.png": (pillow("L"), "PNG 9x6, 8-bit grey, not interlaced"),
    "palette.png": (pillow("P"), "PNG 9x6, 8-bit palette, not interlaced"),
    "deep.png": (pillow("I;16"), "PNG 9x6, 16-bit grey, not interlaced"),
    "laced.png": (interlaced(), "PNG 2x2, 8-bit RGB, interlaced"),
    "cut.png": (GOOD[:100], "stopped: truncated in IDAT at byte 100 of 100"),
    "crc.png": (GOOD[:60] + bytes([GOOD[60] ^ 1]) + GOOD[61:], "stopped: CRC mismatch in IDAT at byte 33"),
    "v4.bmp": (build_bmp(random_rows(3, 2), dib_size=108, gap=bytes(68)), "header: BITMAPV4HEADER, 108 bytes"),
    "v5.bmp": (build_bmp(random_rows(3, 2), dib_size=124, gap=bytes(84)), "header: BITMAPV5HEADER, 124 bytes"),
}


def run(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "Tavrune", *arguments], capture_output=True, cwd=cwd)


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "images").mkdir()
    for name, (data, _) in FOLDER.items():
        (tmp_path / "images" / name).write_bytes(data)
    return tmp_path


@pytest.mark.parametrize("command", ["info", "inspect"])
def test_every_file_of_a_folder_is_laid_out(folder, command):
    result = run(command, "images", cwd=folder)
    assert (result.returncode, result.stderr) == (0, b"")
    text = result.stdout.decode()
    blocks = {block.split(":")[0]: block for block in ("\n" + text).split("\nimages/")[1:]}
    assert sorted(blocks) == sorted(FOLDER)
    for name, (_, expected) in FOLDER.items():
        assert expected in blocks[name], blocks[name]
    assert "  stopped:" not in blocks["grey.png"] + blocks["v5.bmp"]


def test_rows_of_each_pass_and_ancillary_values(folder):
    result = run("info", "--rows", "images/laced.png", cwd=folder)
    assert result.stdout.decode().splitlines()[-7:] == [
        "  filter types: 1 row None, 1 row Sub, 1 row Up",
        "  filter type per row, pass 1:", "    0", "  filter type per row, pass 6:", "    1",
        "  filter type per row, pass 7:", "    2"]
    (folder / "x.png").write_bytes(build_png(random_rows(2, 2), insert=[(1, b"pHYs", struct.pack(">IIB", 11811,
                                                                                                  11811, 1))]))
    assert "11811x11811 per metre (300x300 dpi)" in run("info", "x.png", cwd=folder).stdout.decode()


def test_exit_status_1_only_for_unreadable_and_unknown_files(folder):
    (folder / "images" / "notes.png").write_bytes(b"hello")
    result = run("info", "images/cut.png", "images/notes.png", "missing.bmp", cwd=folder)
    assert result.returncode == 1
    assert b"images/notes.png: not a PNG or BMP file (5 bytes, starting 68 65 6c 6c 6f)" in result.stdout
    assert result.stderr == b"error: [Errno 2] No such file or directory: 'missing.bmp'\n"


def test_json_lines_and_names_that_are_not_utf8(folder):
    odd = os.fsencode(str(folder / "images")) + b"/caf\xe9.png"
    with open(odd, "wb") as stream:
        stream.write(GOOD)
    result = run("info", "--json", "images", cwd=folder)
    records = [json.loads(line) for line in result.stdout.decode().splitlines()]
    by_name = {record["file"]: record for record in records}
    assert by_name["images/caf\\xe9.png"]["stopped"] is None
    assert by_name["images/cut.png"]["stopped"]["reason"] == "truncated"
    assert by_name["images/laced.png"]["passes"] == [[0], [], [], [], [], [1], [2]]
    assert by_name["images/v4.bmp"]["header_size"] == 108 and len(records) == len(FOLDER) + 1


def test_what_is_not_a_regular_file_is_skipped(folder):
    os.mkfifo(folder / "images" / "pipe.png")
    os.symlink("pipe.png", folder / "images" / "link.png")
    result = run("info", "images", cwd=folder)
    assert result.returncode == 0
    assert sorted(line for line in result.stdout.decode().splitlines() if "skipped" in line) == [
        "images/link.png: skipped: not a regular file", "images/pipe.png: skipped: not a regular file"]


def test_running_out_of_memory_on_one_file_fails_that_file_only(folder, monkeypatch, capsys):
    real = _cli_layout.inspect

    def inspect(path):
        if path.endswith("grey.png"):
            raise MemoryError
        return real(path)

    monkeypatch.setattr(_cli_layout, "inspect", inspect)
    monkeypatch.chdir(folder)
    assert _cli_layout.info(["images"]) == 1
    out, err = capsys.readouterr()
    assert err == "error: images/grey.png: MemoryError\n" and out.count("\nimages/") == len(FOLDER) - 2
