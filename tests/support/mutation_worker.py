"""Opens, changes and saves count seeded mutations of the seed files; run in a
subprocess by test_mutated_input.py, so that a crash ends only this
process. Prints the outcome counts; an undocumented exception or a file that
does not read back ends it with status 1 and the offending input in hex.

usage (from the tests directory): python -m support.mutation_worker COUNT SEED DIRECTORY
"""

import collections
import contextlib
import io
import sys
import traceback

from support.mutations import exercise, mutated_inputs


def main(count, seed, directory):
    import Tavrune.simpleImage_ext as ext
    outcomes = collections.Counter()
    for n, data in enumerate(mutated_inputs(count, seed)):
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                outcomes["opened" if exercise(ext, data, directory) else "refused"] += 1
        except BaseException:
            print(f"input {n} of seed {seed}: {data.hex()}", file=sys.stderr)
            traceback.print_exc()
            return 1
    print(dict(outcomes))
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]))
