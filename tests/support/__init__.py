"""Tooling shared by the tests, the fuzzers and the benchmarks: file builders,
seeded mutations, damaged zlib streams, the mixed folder, the README reader
and the runner of code in a fresh interpreter. Put the tests directory on
sys.path and import from here: `from support.builders import build_png`."""
