"""The command line, run as a user runs it: the read-change-save demonstration,
the layout printer, resave, to-bmp, help and the errors."""

import json
import re
import struct
import subprocess
import sys
import zlib

import pytest

from support.builders import assemble, build_bmp, build_png, random_rows, scanlines
from Tavrune.simpleImage_ext import SimpleImage


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "Tavrune", *arguments], capture_output=True, text=True)


EXTRA_CHUNKS = ((1, b"tEXt", b"Comment\x00kept"), (-1, b"tIME", b"\x07\xea\x0c\x08\x0c\x00\x00"))


def write(path, data):
    path.write_bytes(data)
    return str(path)


def test_demo_shows_only_the_pixels_changed():
    result = run("demo")
    assert result.returncode == 0, result.stderr
    assert "every chunk but IDAT kept byte for byte and in order: True" in result.stdout
    assert "before" in result.stdout and "after save" in result.stdout


@pytest.mark.parametrize("rows", [False, True])
@pytest.mark.parametrize("suffix, first_line", [(".png", "PNG 3x2, 8-bit RGBA, not interlaced, 71 bytes"),
                                                (".bmp", "BMP 3x2, 24-bit, bottom-up, 78 bytes")])
def test_info_prints_the_layout(tmp_path, suffix, first_line, rows):
    path = str(tmp_path / f"image{suffix}")
    image = SimpleImage(3, 2, bytes(18), alpha=bytes(6), png_filters=b"\x01\x04")
    image.save(path) if suffix == ".png" else image.saveBmp(path)
    result = run("info", path, *(["--rows"] if rows else []))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"{path}: {first_line}"
    if suffix == ".png":
        assert [line.split()[:5] for line in lines[2:5]] == [
            ["8", "0", "IHDR", "13", "ok"], ["33", "1", "IDAT", "14", "ok"], ["59", "2", "IEND", "0", "ok"]]
        assert lines[6] == "  filter types: 1 row Sub, 1 row Paeth"
        assert lines[7:] == (["  filter type per row:", "    14"] if rows else [])
    else:
        assert "  x_pixels_per_metre  2835" in lines and "  pixel rows: at byte 54, 24 bytes (2 rows of 12)" in lines


@pytest.mark.parametrize("sizes, table", [
    ((100,) * 5, ["0 IHDR 13", "1-6 IDAT ×6 100 each, last {rest}", "7 IEND 0"]),
    ((100,) * 5 + (7, 7), ["0 IHDR 13", "1-5 IDAT ×5 100 each", "6-8 IDAT ×3 7 each, last {rest}", "9 IEND 0"]),
    ((97, 211), ["0 IHDR 13", "1 IDAT 97", "2 IDAT 211", "3 IDAT {rest}", "4 IEND 0"]),
])
def test_info_puts_a_run_of_equal_idat_chunks_on_one_line(tmp_path, sizes, table):
    rows = random_rows(40, 30)
    rest = len(zlib.compress(scanlines(rows, 3))) - sum(sizes)
    result = run("info", write(tmp_path / "in.png", build_png(rows, idat_sizes=sizes)))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    # index, type, length and value: the columns but offset, CRC and flags
    cells = [re.split(r"\s{2,}", line.strip()) for line in lines[2:2 + len(table)]]
    assert [" ".join(row[1:4] + row[6:]) for row in cells] == [line.format(rest=rest) for line in table]
    assert lines[-1] == "  filter types: 30 rows None"


def test_info_json_holds_every_chunk_and_row(tmp_path):
    source = write(tmp_path / "in.png", build_png(random_rows(4, 3, 4), 4, filters=[0, 4, 4], idat_sizes=(9,),
                                                  insert=EXTRA_CHUNKS))
    result = run("info", "--json", source)
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert [(chunk["type"], chunk["length"]) for chunk in record["chunks"]][:3] == [
        ("IHDR", 13), ("tEXt", 12), ("IDAT", 9)]
    assert (record["file"], record["format"], record["header"]["colour_type"], record["filters"]) == (
        source, "PNG", 6, [0, 4, 4])
    bmp = write(tmp_path / "in.bmp", build_bmp(random_rows(2, 2), xppm=1000))
    record = json.loads(run("info", "--json", bmp).stdout)
    assert (record["file"], record["format"], record["width"], record["fields"]["x_pixels_per_metre"]) == (
        bmp, "BMP", 2, 1000)


@pytest.mark.parametrize("content", [b"", b"not an image"])
def test_info_reports_bad_input_without_a_traceback(tmp_path, content):
    path = tmp_path / "bad.png"
    path.write_bytes(content)
    result = run("info", str(path))
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout.startswith(f"{path}: not a PNG or BMP file ({len(content)} bytes")


# --- help, resave and to-bmp ---------------------------------------------------------

def test_help_lists_every_command():
    result = run("--help")
    assert result.returncode == 0 and result.stderr == ""
    for command in ("demo", "info", "check", "resave", "to-bmp"):
        assert f"    {command} " in result.stdout


@pytest.mark.parametrize("command, usage", [
    ("info", "[--rows] [--json] FILE [FILE ...]"),
    ("check", "[-j N] [--json] [--strict] [-q]\n                               PATH [PATH ...]"),
    ("resave", "IN OUT\n       python -m Tavrune resave [-h] [-j N] -o DIR IN [IN ...]"),
    ("to-bmp", "IN OUT\n       python -m Tavrune to-bmp [-h] [-j N] -o DIR IN [IN ...]"),
])
def test_help_of_each_command(command, usage):
    result = run(command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: python -m Tavrune {command} [-h] {usage}\n")


@pytest.mark.parametrize("arguments, complaint", [
    ((), "the following arguments are required: COMMAND"),
    (("resave", "only-one"), "give IN and OUT, or -o DIR and the inputs"),
    (("to-bmp", "a", "b", "c"), "give IN and OUT, or -o DIR and the inputs"),
    (("convert", "a", "b"), "invalid choice: 'convert'"),
    (("check",), "the following arguments are required: PATH"),
    (("check", "-j", "0", "."), "argument -j/--jobs: must be at least 1: 0"),
    (("to-bmp", "-j", "two", "-o", "out", "a"), "argument -j/--jobs: not a whole number: 'two'"),
])
def test_wrong_usage_exits_with_status_2(arguments, complaint):
    result = run(*arguments)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("usage: python -m Tavrune")
    assert complaint in result.stderr.splitlines()[-1]


@pytest.mark.parametrize("channels", [3, 4])
def test_resave_of_a_file_written_at_the_default_level_differs_nowhere(tmp_path, channels):
    source = write(tmp_path / "in.png", build_png(random_rows(5, 4, channels), channels, filters=[0, 1, 2, 4],
                                                  idat_sizes=(9, 17), insert=EXTRA_CHUNKS))
    target = str(tmp_path / "out.png")
    result = run("resave", source, target)
    assert result.returncode == 0, result.stderr
    kind = "RGB" if channels == 3 else "RGBA"
    assert result.stdout.splitlines() == [
        f"resaved {source} -> {target}: PNG 5x4 {kind}, 7 chunks",
        "chunks that differ: none",
        "pixels read back: identical",
    ]
    assert (tmp_path / "out.png").read_bytes() == (tmp_path / "in.png").read_bytes()


def test_resave_names_the_image_data_and_a_moved_chunk(tmp_path):
    rows = random_rows(6, 5, 4)
    source = write(tmp_path / "in.png", build_png(rows, 4, filters=3, idat_sizes=(20, 30), level=9,
                                                  insert=((3, b"tvRn", b"private"),)))
    result = run("resave", source, source)  # in place
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1] == "chunks that differ: IDAT, tvRn"
    assert lines[2].startswith("  IDAT  compressed again (3 chunks of 20, 30, ")
    assert lines[2].endswith("the scanlines inside are identical")
    assert lines[3] == "  tvRn  payload kept; stood among the image data, now after it"
    assert lines[4] == "pixels read back: identical"


def test_resave_names_bytes_after_the_end_chunk(tmp_path):
    source = write(tmp_path / "in.png", build_png(random_rows(2, 2)) + b"after")
    result = run("resave", source, str(tmp_path / "out.png"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [
        "chunks that differ: IEND",
        "  IEND  followed by 5 bytes in the input, 0 in the output",
        "pixels read back: identical",
    ]


@pytest.mark.parametrize("top_down, differ", [(False, "none"), (True, "height")])
def test_resave_of_a_bmp_reports_header_fields(tmp_path, top_down, differ):
    source = write(tmp_path / "in.bmp", build_bmp(random_rows(3, 2), top_down=top_down, xppm=1000))
    target = str(tmp_path / "out.png")
    result = run("resave", source, target)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"resaved {source} -> {target}: BMP 3x2 RGB"
    assert lines[1] == f"header fields that differ: {differ}"
    assert "note: an image read from a BMP is saved as a BMP, whatever the file name" in lines
    assert lines[-1] == "pixels read back: identical"
    assert (tmp_path / "out.png").read_bytes()[:2] == b"BM"


@pytest.mark.parametrize("source_kind", ["rgb.png", "rgba.png", "in.bmp"])
def test_to_bmp(tmp_path, source_kind):
    rows = random_rows(4, 3, 4 if source_kind == "rgba.png" else 3)
    if source_kind == "in.bmp":
        data = build_bmp(rows, xppm=1000, yppm=2000)
    else:
        data = build_png(rows, 4 if source_kind == "rgba.png" else 3)
    source, target = write(tmp_path / source_kind, data), str(tmp_path / "out.bmp")
    result = run("to-bmp", source, target)
    assert result.returncode == 0, result.stderr
    resolution = "1000x2000" if source_kind == "in.bmp" else "2835x2835"
    expected = [f"wrote {target}: BMP 4x3, 24-bit, {resolution} pixels per metre"]
    if source_kind == "rgba.png":
        expected.append("note: the alpha plane was dropped: a 24-bit BMP holds none")
    assert result.stdout.splitlines() == expected + ["pixels read back: identical"]
    header = (tmp_path / "out.bmp").read_bytes()[:54]
    assert header[:2] == b"BM" and struct.unpack_from("<H", header, 28) == (24,)


def _png_with(**header):
    return build_png(random_rows(2, 2), **header)


BAD_INPUTS = {
    "empty": (b"", "Unsupported image format"),
    "text": (b"not an image", "Unsupported image format"),
    "truncated": (_png_with()[:30], "Unexpected EOF while reading chunk CRC"),
    "bad crc": (_png_with()[:-1] + b"\x00", "Corrupted PNG chunk detected"),
    "16-bit": (_png_with(bit_depth=16), "Only 8-bit PNG images are supported"),
    "palette": (_png_with(color_type=3), "Only RGB/RGBA PNG images are supported"),
    "interlaced": (_png_with(interlace=1), "Unsupported PNG configuration (compression/filter/interlace)"),
    "no header": (assemble([(b"IEND", b"")]), "Incomplete PNG header information"),
    "32-bit bmp": (build_bmp(random_rows(2, 2), bit_count=32), "Only uncompressed 24-bit BMP files are supported"),
    "short bmp": (build_bmp(random_rows(2, 2))[:60], "Incomplete BMP pixel data"),
}


@pytest.mark.parametrize("command", ["resave", "to-bmp"])  # info reads them all: test_cli_layout.py
@pytest.mark.parametrize("case", list(BAD_INPUTS))
def test_bad_input_prints_the_message_and_exits_with_1(tmp_path, command, case):
    content, message = BAD_INPUTS[case]
    source = write(tmp_path / "bad", content)
    arguments = [source] if command == "info" else [source, str(tmp_path / "out")]
    result = run(command, *arguments)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"error: {message}\n")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", ["info", "resave", "to-bmp"])
def test_a_missing_file_is_reported_without_a_traceback(tmp_path, command):
    missing = str(tmp_path / "missing.png")
    result = run(command, missing, *([] if command == "info" else [str(tmp_path / "out.png")]))
    assert result.returncode == 1
    assert result.stderr == f"error: [Errno 2] No such file or directory: '{missing}'\n"


@pytest.mark.parametrize("command", ["resave", "to-bmp"])
def test_an_unwritable_target_is_reported_without_a_traceback(tmp_path, command):
    source = write(tmp_path / "in.png", _png_with())
    target = str(tmp_path / "no such folder" / "out")
    result = run(command, source, target)
    assert result.returncode == 1
    assert result.stderr == f"error: [Errno 2] No such file or directory: '{target}'\n"


def test_a_fault_of_the_command_itself_keeps_its_traceback(tmp_path, monkeypatch):
    from Tavrune import _cli
    path = write(tmp_path / "a.png", build_png(random_rows(2, 2)))

    def broken(old, new):
        raise ValueError("a bug in the comparison")
    monkeypatch.setattr(_cli, "compare_png", broken)
    with pytest.raises(ValueError, match="a bug in the comparison"):
        _cli.run_command(["resave", path, path])
    assert _cli.run_command(["resave", str(tmp_path / "missing.png"), path]) == 1  # a file's trouble: a message


@pytest.mark.parametrize("arguments", [["resave", "IN", "OUT"], ["to-bmp", "IN", "OUT"], ["resave", "-o", "DIR", "IN"]])
def test_a_file_that_does_not_read_back_fails_the_command(tmp_path, monkeypatch, capsys, arguments):
    from Tavrune import _cli
    source = write(tmp_path / "in.png", build_png(random_rows(2, 2)))
    opened = []

    def open_altered(data):  # the read-back (every second open) finds other pixels
        image = _cli.open_quietly.__wrapped__(data)
        opened.append(image)
        if len(opened) % 2 == 0:
            image._pixels[0] ^= 1
        return image
    open_altered.__wrapped__ = _cli.open_quietly
    monkeypatch.setattr(_cli, "open_quietly", open_altered)
    names = {"IN": source, "OUT": str(tmp_path / "out.png"), "DIR": str(tmp_path / "out")}
    assert _cli.run_command([names.get(a, a) for a in arguments] + (["-j", "1"] if "-o" in arguments else [])) == 1
    assert "pixels read back: DIFFERENT" in capsys.readouterr().out
