"""The seeded mutation loop: count structural mutations of the seed files
(tests/support/mutations.py), each run through the fuzz harness; no coverage guidance,
so it needs no clang and runs with any build of the extension (make
fuzz-loop runs it under the sanitizers). Prints the figures and a closing
line; the first failing input is printed in hex and ends the loop.

usage: python mutation_loop.py COUNT [SEED]
"""

import os
import shutil
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import harness  # noqa: E402
from support.mutations import mutated_inputs  # noqa: E402


def main(count, seed):
    import Tavrune.simpleImage_ext as ext
    directory = harness.scratch_directory()
    started = time.perf_counter()
    done = 0
    try:
        for data in mutated_inputs(count, seed):
            try:
                harness.run_one(ext, data, directory)
            except Exception:
                print(f"input {done} of seed {seed}: {data.hex()}", file=sys.stderr)
                traceback.print_exc()
                print(f"fuzz-loop: {done} passed, 1 failed")
                return 1
            done += 1
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    seconds = time.perf_counter() - started
    print(f"{done} inputs in {seconds:.0f} s, {done / seconds:.0f} per second, seed {seed}")
    print(f"fuzz-loop: {done} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 0))
