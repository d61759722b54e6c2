"""The long differential run of the two inflaters: COUNT damaged zlib streams
of tests/support/damaged_zlib.py (seeds FIRST to FIRST + COUNT - 1), each in an
otherwise valid PNG, opened through the module and compared with what one
bounded inflation by the host's zlib gives. Prints every difference (the
stream in hex), the figures and a closing line.

usage: python inflate_differential.py COUNT [FIRST] [JOBS]
"""

import multiprocessing
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from support.damaged_zlib import check  # noqa: E402

BATCH = 10_000


def run_batch(first_and_count):
    from Tavrune.simpleImage_ext import SimpleImage
    first, count = first_and_count
    return count, [found for seed in range(first, first + count) if (found := check(SimpleImage, seed))]


def main(count, first, jobs):
    started = time.perf_counter()
    batches = [(start, min(BATCH, first + count - start)) for start in range(first, first + count, BATCH)]
    done, differences = 0, []
    with multiprocessing.Pool(jobs) as pool:
        for checked, found in pool.imap_unordered(run_batch, batches):
            done += checked
            differences += found
            for text in found:
                print(text, flush=True)
            if done % 100_000 < BATCH:
                print(f"{done} streams, {len(differences)} differences, {time.perf_counter() - started:.0f} s",
                      flush=True)
    seconds = time.perf_counter() - started
    print(f"{done} streams (seeds {first} to {first + count - 1}) in {seconds:.0f} s with {jobs} processes")
    print(f"fuzz-inflate: {done - len(differences)} passed, {len(differences)} failed")
    return 1 if differences else 0


if __name__ == "__main__":
    arguments = [int(a) for a in sys.argv[1:]]
    sys.exit(main(arguments[0], *(arguments[1:2] or [0]), *(arguments[2:3] or [os.cpu_count() or 1])))
