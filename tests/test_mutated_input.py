"""Thousands of seeded structural mutations of PNG and BMP files (support/mutations.py)
either open or raise a documented error (ValueError, TypeError, OverflowError,
struct.error, zlib.error); every image that opens is changed, written three
ways and reads back the same. Each seed runs in its own interpreter, so a
crash fails the test instead of ending the run."""

import subprocess
import sys

import pytest

from support.isolated import TESTS
from support.mutations import mutated_inputs, seeds


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_mutations_open_or_raise_documented_errors(tmp_path, seed):
    result = subprocess.run([sys.executable, "-m", "support.mutation_worker", "4000", str(seed), str(tmp_path)],
                            capture_output=True, text=True, timeout=300, cwd=TESTS)
    assert result.returncode == 0, result.stderr[-4000:]
    counts = eval(result.stdout.splitlines()[-1])  # {"opened": n, "refused": m}
    assert counts["opened"] + counts["refused"] == 4000
    assert counts["opened"] > 400 and counts["refused"] > 2000  # the mutations reach both ends


def test_mutations_are_reproducible():
    assert list(mutated_inputs(50, seed=7)) == list(mutated_inputs(50, seed=7))
    assert list(mutated_inputs(50, seed=7)) != list(mutated_inputs(50, seed=8))


@pytest.mark.parametrize("name, data", seeds())
def test_every_seed_opens(SimpleImage, name, data):
    assert SimpleImage.open(data).width >= 0

