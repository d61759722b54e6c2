"""Runs every input file of the given directories once through the fuzz
harness (no fuzzer): to replay a corpus or a failing input, and to measure
the source coverage of a corpus (make fuzz-coverage).

usage: python replay.py DIRECTORY_OR_FILE...
"""

import os
import shutil
import sys
import traceback

import harness


def main(paths):
    import Tavrune.simpleImage_ext as ext
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += sorted(os.path.join(path, name) for name in os.listdir(path))
        else:
            files.append(path)
    directory = harness.scratch_directory()
    failed = 0
    try:
        for name in files:
            with open(name, "rb") as f:
                data = f.read()
            try:
                harness.run_one(ext, data, directory)
            except Exception:
                failed += 1
                print(name, file=sys.stderr)
                traceback.print_exc()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print(f"replay: {len(files) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
