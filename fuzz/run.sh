#!/usr/bin/env bash
# Runs fuzz_open.py under libFuzzer for the given number of seconds from the
# committed corpus (new inputs go to build/fuzz-corpus, failing ones to
# build/fuzz-artifacts, the log to FUZZ_LOG or build/fuzz.log), then prints
# the run's figures and a closing line.
# usage: fuzz/run.sh PYTHON RUNTIME SECONDS [libFuzzer options...]
set -uo pipefail
python="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")" runtime=$2 seconds=$3
shift 3
cd "$(dirname "$0")"
mkdir -p ../build/fuzz-corpus ../build/fuzz-artifacts
log=${FUZZ_LOG:-../build/fuzz.log}
# No leak detection (the interpreter itself is not instrumented and keeps what
# it allocates); any sanitizer report ends the run. A single allocation over
# 2 GiB is reported: no buffer of the module reaches 2**31 bytes.
LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:handle_abort=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$python" fuzz_open.py -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -malloc_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=../build/fuzz-artifacts/ "$@" ../build/fuzz-corpus corpus 2>&1 \
    | grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE)' > "$log"
status=${PIPESTATUS[0]}
grep -E '^INFO: Loaded|^#[0-9]+[[:space:]]+(INITED|DONE)|^Done|^stat::|ERROR|Sanitizer|runtime error|Traceback|Error' "$log" | head -40
runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log")
if [ "$status" -eq 0 ] && [ -n "$runs" ]; then
    echo "fuzz: $runs passed, 0 failed"
else
    tail -60 "$log"
    echo "fuzz: 0 passed, 1 failed"
    exit 1
fi
