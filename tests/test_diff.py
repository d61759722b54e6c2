"""Tavrune.diff and `diff A B` against edits whose differences are known: pixels
changed through the module, chunks added, removed, changed and moved, filter
types and IDAT sizes changed alone, header fields, BMP fields; exit statuses and
the picture of the change."""

import json
import struct
import subprocess
import sys

import pytest

import Tavrune
from support.builders import build_bmp, build_png, random_rows

ROWS = random_rows(6, 5, 4)
TEXT, PHYS, TIME = (b"tEXt", b"Title\0x"), (b"pHYs", struct.pack(">IIB", 1, 1, 0)), (b"tIME", bytes(7))
BASE = build_png(ROWS, 4, insert=[(1, *TEXT), (1, *PHYS), (-1, *TIME)])  # IHDR pHYs tEXt IDAT tIME IEND


def save_bytes(image, folder):
    image.save(str(folder / "saved.png"))
    return (folder / "saved.png").read_bytes()


@pytest.mark.parametrize("insert, expected", [
    ([(1, *TEXT), (1, *PHYS)], [("removed", "tIME")]),
    ([(1, *TEXT), (1, *PHYS), (-1, *TIME), (-1, b"gAMA", b"\0\0\xb1\x8f")], [("added", "gAMA")]),
    ([(1, b"tEXt", b"Title\0y"), (1, *PHYS), (-1, *TIME)], [("changed", "tEXt")]),
    ([(1, *TEXT), (-1, *PHYS), (-1, *TIME)], [("moved", "pHYs")]),
    ([(1, *PHYS), (1, *TEXT), (-1, *TIME)], [("moved", "tEXt")]),  # or pHYs: one of the two moved
])
def test_chunk_edits(insert, expected):
    found = Tavrune.diff(BASE, build_png(ROWS, 4, insert=insert))
    assert [(c.status, c.type) for c in found.chunks if c.status != "kept"] == expected
    assert found.counts()["kept"] == 6 - sum(status != "added" for status, _ in expected)
    assert found.pixels.changed == 0 and found.pixels.alpha_changed == 0


def test_filter_types_and_idat_sizes_changed_alone():
    found = Tavrune.diff(BASE, build_png(ROWS, 4, filters=[0, 2, 0, 4, 0], insert=[(1, *TEXT), (1, *PHYS),
                                                                                   (-1, *TIME)]))
    assert (found.filter_rows_changed, found.filter_rows) == (2, ((1, 0, 2), (3, 0, 4)))
    assert found.pixels.changed == 0
    resplit = Tavrune.diff(BASE, build_png(ROWS, 4, idat_sizes=(10, 10), insert=[(1, *TEXT), (1, *PHYS),
                                                                                 (-1, *TIME)]))
    assert [c.status for c in resplit.chunks] == ["kept"] * 6  # the same image data, cut otherwise
    assert (len(resplit.idat_sizes[0]), len(resplit.idat_sizes[1])) == (1, 3) and not resplit.identical


def test_headers_and_files_the_module_does_not_open():
    found = Tavrune.diff(build_png(random_rows(2, 2)), build_png(random_rows(2, 2), bit_depth=16))
    assert [(f.name, f.old, f.new) for f in found.header] == [("bit_depth", 8, 16)]
    assert found.pixels is None and found.pixel_note.startswith("the new file does not open: Only 8-bit")


def test_bmp_fields_and_sizes():
    found = Tavrune.diff(build_bmp(random_rows(3, 2)), build_bmp(random_rows(3, 2), xppm=3000))
    assert [(f.name, f.old, f.new) for f in found.header] == [("x_pixels_per_metre", 2835, 3000)]
    assert found.first_difference == 38 and found.pixels.changed == 0
    other = Tavrune.diff(build_bmp(random_rows(3, 2)), build_bmp(random_rows(2, 2)))
    assert not other.pixels.same_size and (other.pixels.old_size, other.pixels.new_size) == ((3, 2), (2, 2))


def test_identical_files():
    found = Tavrune.diff(BASE, bytearray(BASE))
    assert (found.identical, found.first_difference, found.counts()["kept"]) == (True, None, 6)
    json.dumps(found.to_dict())


# --- the command --------------------------------------------------------------------------------


def run(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "Tavrune", "diff", *map(str, arguments)], capture_output=True,
                          text=True, cwd=cwd)


@pytest.fixture
def files(tmp_path):
    image = Tavrune.load(BASE)
    image.putPixel((1, 1), (1, 2, 3))
    image._alpha[5] ^= 0xFF  # pixel (5, 0): alpha only
    (tmp_path / "a.png").write_bytes(BASE)
    image.save(str(tmp_path / "b.png"))
    (tmp_path / "c.png").write_bytes(BASE)
    return tmp_path


def test_exit_status_is_that_of_cmp(files):
    same, different, trouble = (run("a.png", "c.png", cwd=files), run("a.png", "b.png", cwd=files),
                                run("a.png", "missing.png", cwd=files))
    assert (same.returncode, same.stdout.splitlines()[-1]) == (0, "identical")
    assert different.returncode == 1 and "pixels: 1 of 30 changed, within x 1-1, y 1-1" in different.stdout
    assert "alpha: 1 of 30 changed, largest change" in different.stdout
    assert "  changed  IDAT  #3 -> #3" in different.stdout.splitlines()
    assert (trouble.returncode, trouble.stderr) == (2, "error: [Errno 2] No such file or directory: 'missing.png'\n")


def test_json_holds_the_whole_comparison(files):
    result = run("--json", "a.png", "b.png", cwd=files)
    record = json.loads(result.stdout)
    assert (result.returncode, record["old"], record["new"], record["chunk_counts"]["changed"]) == (
        1, "a.png", "b.png", 1)
    assert record["pixels"]["first"] == [[1, 1, list(Tavrune.load(BASE).getPixel((1, 1))), [1, 2, 3]]]


def test_the_picture_of_the_change(files):
    result = run("a.png", "b.png", "--image", "change.png", cwd=files)
    assert result.returncode == 1, result.stderr
    picture, new = Tavrune.load(str(files / "change.png")), Tavrune.load(str(files / "b.png"))
    assert picture._alpha is None and picture.size == new.size
    assert picture.getPixel((1, 1)) == (255, 0, 255) and picture.getPixel((5, 0)) == (0, 255, 255)
    assert picture.getPixel((3, 4)) == tuple(v // 3 for v in new.getPixel((3, 4)))
    (files / "small.bmp").write_bytes(build_bmp(random_rows(2, 2)))
    resized = run("a.png", "small.bmp", "--image", "none.png", cwd=files)
    assert (resized.returncode, "pixels: sizes differ: 6x5 -> 2x2" in resized.stdout) == (1, True)
    assert resized.stderr.startswith("no picture written to none.png") and not (files / "none.png").exists()


@pytest.mark.parametrize("other, picture", [(None, True), (build_bmp(random_rows(2, 2)), False)],
                         ids=["same size", "other size"])
def test_the_picture_comes_from_the_images_the_comparison_opened(files, monkeypatch, other, picture):
    import Tavrune._diff
    import Tavrune._load
    from Tavrune._cli_layout import diff_command
    calls = []
    for module, name in ((Tavrune._load, "load"), (Tavrune._diff, "read_source")):
        original = getattr(module, name)
        monkeypatch.setattr(module, name, lambda source, name=name, original=original: calls.append(name) or
                            original(source))
    if other is not None:
        (files / "b.png").write_bytes(other)
    assert diff_command(str(files / "a.png"), str(files / "b.png"), image=str(files / "change.png")) == 1
    assert (sorted(calls), (files / "change.png").exists()) == (["load"] * 2 + ["read_source"] * 2, picture)


@pytest.mark.parametrize("seed", range(8))
def test_pixels_changed_through_the_module_against_a_pixel_by_pixel_count(seed, tmp_path):
    import random
    rng = random.Random(seed)
    width, height = rng.randrange(1, 40), rng.randrange(1, 9)
    data = build_png(random_rows(width, height, 4, seed=seed), 4)
    image = Tavrune.load(data)
    for _ in range(rng.randrange(1, 30)):
        x, y = rng.randrange(width), rng.randrange(height)
        if rng.random() < 0.3:
            image._alpha[y * width + x] = rng.randrange(256)
        else:
            image.putPixel((x, y), [rng.randrange(256) for _ in range(3)])
    old, new = Tavrune.load(data), image
    difference = Tavrune.diff(data, save_bytes(image, tmp_path))
    assert [(c.status, c.type) for c in difference.chunks] == [("kept", "IHDR"), ("changed", "IDAT"), ("kept", "IEND")]
    assert difference.filter_rows_changed == 0 and not difference.header
    found = difference.pixels
    changed = [(x, y) for y in range(height) for x in range(width) if old.getPixel((x, y)) != new.getPixel((x, y))]
    alpha = [abs(p - q) for p, q in zip(old._alpha, new._alpha) if p != q]
    assert (found.changed, found.alpha_changed, found.largest_alpha) == (len(changed), len(alpha), max(alpha or [0]))
    assert [(x, y) for x, y, _, _ in found.first] == changed[:10]
    if changed:
        xs, ys = [x for x, _ in changed], [y for _, y in changed]
        assert found.box == (min(xs), min(ys), max(xs) + 1, max(ys) + 1)
        assert found.largest == tuple(max(abs(old.getPixel(p)[c] - new.getPixel(p)[c]) for p in changed)
                                      for c in range(3))
