"""Coverage-guided fuzzing of opening, chunk reading and saving (fuzz/harness.py)
with atheris, the extension built with libFuzzer's coverage counters under
AddressSanitizer and UndefinedBehaviorSanitizer (make fuzz). The arguments are
libFuzzer's: corpus directories, -max_total_time=SECONDS, -runs=N, ..."""

import shutil
import sys

import atheris

import harness
import Tavrune.simpleImage_ext as ext

DIRECTORY = harness.scratch_directory()


def test_one_input(data):
    harness.run_one(ext, data, DIRECTORY)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    try:
        atheris.Fuzz()
    finally:
        shutil.rmtree(DIRECTORY, ignore_errors=True)
