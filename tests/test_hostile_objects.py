"""Faults the object-protocol fuzzer (fuzz/objects.py) found besides those of
test_hostile_callers.py: a field handed to the host while Python code run by
the host can replace it. Each case (support/hostile_cases.py) runs in a fresh
interpreter, where a crash or a sanitizer report fails one test."""

import pytest

from support.isolated import run_case

# Each case's JSON result (support/hostile_cases.py), by name.
EXPECTED = {
    "header_record_replaced_while_copied": [{"xppm": 1}, None],
    "pixel_buffer_replaced_by_the_index_arithmetic": 12,
}


@pytest.mark.parametrize("name", EXPECTED)
def test_field_replaced_mid_call(name):
    assert run_case(name) == EXPECTED[name]
