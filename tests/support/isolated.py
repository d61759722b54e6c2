"""Runs code in a fresh interpreter, the same one with the same environment (so
under make sanitize the child runs under the sanitizers too): a crash or a
runaway allocation then fails one test instead of ending the run."""

import json
import os
import subprocess
import sys

# The tests directory: children run there, where `support` is importable.
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Under make sanitize the runtime is preloaded into every child as well. Its
# allocator holds freed memory in a quarantine (256 MiB) and gives every
# allocation shadow memory of an eighth of its size, so resident sizes measure
# the sanitizer there, not the module.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

# Prepended to the child's code: measurement helpers.
PRELUDE = r'''
import contextlib, io, json, resource, sys, time

def peak_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

def status_kib(field):
    """A field of /proc/self/status in KiB: VmPeak (address space), VmRSS (resident now)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])

def outcome(call):
    """["opened"] or the exception's qualified type name and message."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            call()
        return ["opened"]
    except Exception as error:
        return [type(error).__module__.replace("builtins", "") + "." + type(error).__qualname__, str(error)]
'''


def run_python(code, *args, timeout=120):
    """The JSON value that code prints on its last line; fails with the child's
    stderr when it does not exit normally."""
    return _run(["-c", PRELUDE + code], args, timeout)


def run_case(name, *args, timeout=120):
    """The same for a case of support/hostile_cases.py, run by its name."""
    return _run(["-m", "support.hostile_cases", name], args, timeout)


def _run(command, args, timeout):
    result = subprocess.run([sys.executable, *command, *map(str, args)], capture_output=True, text=True,
                            timeout=timeout, cwd=TESTS)
    assert result.returncode == 0, result.stderr[-4000:]
    return json.loads(result.stdout.splitlines()[-1])
