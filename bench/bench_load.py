"""Tavrune.load against SimpleImage.open (its printed line sent to a StringIO)
on the 2048x2048 photo-like PNG files of bench_table.py, from bytes and from a
file: the median of paired rounds. load takes the decoder's buffers as open
does, so the ratio should stay within a few per cent of 1.

    .venv/bin/python bench/bench_load.py [ROUNDS]
"""

import contextlib
import io
import os
import statistics
import sys
import tempfile
import time

import bench_table

import Tavrune
from Tavrune.simpleImage_ext import SimpleImage


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def quiet_open(source):
    with contextlib.redirect_stdout(io.StringIO()):
        SimpleImage.open(source)


def main(rounds):
    folder = tempfile.mkdtemp(prefix="tavrune-load-")
    print(f"{'photo 2048x2048':22} {'open ms':>8} {'load ms':>8} {'load/open':>10}")
    for mode in ("RGB", "RGBA"):
        data = bench_table.pillow_png(bench_table.photo(mode))
        path = os.path.join(folder, f"{mode}.png")
        with open(path, "wb") as stream:
            stream.write(data)
        for name, source in (("bytes", data), ("file", path)):
            opened, loaded = [], []
            for _ in range(rounds):
                opened.append(seconds(lambda source=source: quiet_open(source)))
                loaded.append(seconds(lambda source=source: Tavrune.load(source)))
            ratio = statistics.median(b / a for a, b in zip(opened, loaded))
            print(f"{mode + ', ' + name:22} {statistics.median(opened) * 1e3:8.1f} "
                  f"{statistics.median(loaded) * 1e3:8.1f} {ratio:10.3f}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 15)
