"""Many threads opening, changing and saving different images at once write
the same bytes as the same work done one after another: the module keeps no
state between calls that one thread could see of another's. Switching between
threads is forced every microsecond; file writes, zlib and the host's I/O let
threads interleave between the module's steps."""

import os
import sys
import threading

import pytest

from support.builders import build_bmp, build_png, random_rows

INPUTS = ([build_png(random_rows(40 + i, 30, 3 + i % 2, seed=i), 3 + i % 2, [i % 5, (i + 2) % 5] * 15,
                     idat_sizes=(100 * (i % 3 + 1),)) for i in range(12)]
          + [build_bmp(random_rows(20 + i, 25, seed=i), top_down=i % 2 == 1) for i in range(6)])


def work(ext, index, directory, by_path):
    """Opens input index, changes some pixels and saves it three ways; returns
    what was read back and written."""
    source = INPUTS[index]
    if by_path:
        source = os.path.join(directory, f"{index}.in")
        with open(source, "wb") as f:
            f.write(INPUTS[index])
    image = ext.SimpleImage.open(source)
    for k in range(50):
        x, y = (k * 7 + index) % image.width, (k * 3) % image.height
        red, green, blue = image.getPixel((x, y))
        image.putPixel((x, y), (blue, red, (green + index) % 256))
    copy = image.copy()
    copy.putPixel((0, 0), (index, index, index))
    out = {}
    for name, write in (("kept", image.save), ("bmp", image.saveBmp), ("copy", copy.save),
                        ("plain", lambda p: ext._writePng(p, image.width, image.height, image._pixels,
                                                          image._alpha, image._png_filters))):
        path = os.path.join(directory, f"{index}.{name}")
        write(path)
        with open(path, "rb") as f:
            out[name] = f.read()
    out["pixel"] = image.getPixel((image.width - 1, image.height - 1))
    return out


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(count, target):
    errors = []

    def guarded(n):
        try:
            target(n)
        except BaseException as error:  # reported in the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors


@pytest.mark.parametrize("by_path", [False, True])
def test_threads_write_what_serial_work_writes(ext, tmp_path, capsys, fast_switching, by_path):
    serial_directory = tmp_path / "serial"
    serial_directory.mkdir()
    expected = [work(ext, i, str(serial_directory), by_path) for i in range(len(INPUTS))]
    threads, rounds = 6, 4
    results, events = {}, []

    def worker(n):
        directory = tmp_path / f"thread{n}"
        directory.mkdir()
        # Each thread takes every input, starting at a different one.
        for r in range(rounds):
            for k in range(len(INPUTS)):
                i = (k + n * 3) % len(INPUTS)
                events.append(n)
                results[n, r, i] = work(ext, i, str(directory), by_path)
                events.append(n)

    run_threads(threads, worker)
    capsys.readouterr()
    assert len(results) == threads * rounds * len(INPUTS)
    # The work really ran interleaved: some thread started an image while
    # another was inside one.
    inside, overlaps = set(), 0
    for n in events:
        overlaps += n not in inside and bool(inside)
        inside ^= {n}
    assert overlaps > 10
    for (n, r, i), written in results.items():
        assert written == expected[i], (n, r, i)


def test_threads_saving_one_image_write_the_same_file(ext, tmp_path, capsys, fast_switching):
    image = ext.SimpleImage.open(INPUTS[1])
    image.save(str(tmp_path / "serial"))
    expected = (tmp_path / "serial").read_bytes()

    def worker(n):
        for r in range(20):
            path = tmp_path / f"{n}-{r}"
            (image.save if r % 2 else image.saveBmp)(str(path))
            if r % 2:
                assert path.read_bytes() == expected

    run_threads(8, worker)
    capsys.readouterr()


# Image data over 64 KiB, so open inflates and reconstructs it with the
# interpreter lock released, and IDAT chunks over 5 KiB, whose CRCs are summed
# unlocked too; RGB and RGBA, every filter type.
LARGE = [build_png(random_rows(150 + 10 * i, 120, 3 + i % 2, seed=100 + i), 3 + i % 2,
                   [(y + i) % 5 for y in range(120)], idat_sizes=(6000 * (i % 3 + 1),)) for i in range(8)]


def open_and_save(ext, index, kind, directory):
    source = LARGE[index]
    if kind == "path":
        source = os.path.join(directory, f"{index}.in")
        with open(source, "wb") as f:
            f.write(LARGE[index])
    image = ext.SimpleImage.open(bytearray(source) if kind == "bytearray" else source)
    path = os.path.join(directory, f"{index}.png")
    image.save(path)
    with open(path, "rb") as f:
        return bytes(image._pixels), image._alpha, bytes(image._png_filters), f.read()


def test_eight_threads_open_and_save_while_others_change_other_images(ext, tmp_path, capsys, fast_switching):
    kinds = ("bytes", "bytearray", "path")
    expected = {i: open_and_save(ext, i, "bytes", str(tmp_path)) for i in range(len(LARGE))}
    stop, changes, errors, results = threading.Event(), [0, 0], [], {}

    def change(n):
        """Changes an image of its own in every way while the others work."""
        image = ext.SimpleImage.open(LARGE[n])
        k = 0
        while not stop.is_set():
            k += 1
            image.putPixel((k % image.width, k % image.height), (k % 256, n, 7))
            if k % 64 == 0:
                image._pixels = bytearray(image._pixels)
                image._png_filters = bytearray((y + k) % 5 for y in range(image.height))
                image.save(str(tmp_path / f"changed{n}.png"))
            changes[n] += 1

    def work(n):
        directory = tmp_path / f"thread{n}"
        directory.mkdir()
        for r in range(3):
            for k in range(len(LARGE)):
                i = (k + n) % len(LARGE)
                results[n, r, i] = open_and_save(ext, i, kinds[(n + r + k) % 3], str(directory))

    def guarded(target, n):
        try:
            target(n)
        except BaseException as error:  # reported in the main thread
            errors.append(error)

    changers = [threading.Thread(target=guarded, args=(change, n)) for n in range(2)]
    workers = [threading.Thread(target=guarded, args=(work, n)) for n in range(8)]
    for thread in changers + workers:
        thread.start()
    for thread in workers:
        thread.join()
    stop.set()
    for thread in changers:
        thread.join()
    capsys.readouterr()
    assert not errors, errors
    assert min(changes) > 0
    assert len(results) == 8 * 3 * len(LARGE)
    for (n, r, i), got in results.items():
        assert got == expected[i], (n, r, i)
