"""The object-protocol fuzzer: seeded cases that call every callable and
property of the module with hostile arguments (hostile.py), beside the
byte-level fuzzing of fuzz_open.py and mutation_loop.py.

A case is a short piece of Python source built from random.Random("SEED:INDEX"):
a few images, then hostile objects (lying ints and numbers, buffers and
sequences whose len() lies or changes things, streams that misbehave mid-decode,
chunk records that change between walks, header records, path-like objects,
subclasses with their own decoder, the module's own names replaced), perhaps
an interpreter event (GC callbacks at threshold 1, finalisers in cyclic
garbage, a thread switching every microsecond, a signal handler, drained free
lists, failing allocations), then calls. A theme of its own opens and saves
images large enough that their long steps run with the interpreter lock
released while a thread replaces the fields of the image being saved and
changes the bytearray being opened. Hooks replace, resize and clear the
images' buffers, clear the lists and dicts the module works on (found with
gc.get_referrers) and call the module again. Every call must end in a return
or an exception; a crash, a sanitizer report or a hang is a failure. Some
cases are checked as well: pixel access and _split_idat_payload run once in
the module and once in plain Python (the same comparisons in the same order on
the fields as they are then) and must agree, and honest images written every
way must read back the same. A theme weights each case towards one kind of
hazard (THEMES). The cases of one theme run each in an interpreter of its own,
since they import the module first: loads that fail part-way (an import or an
allocation refused, a host name missing or blocked; what Python code could
reach of them is called afterwards), then the load with struct and zlib
functions replaced by stand-ins that differ in type alone, perhaps with an
audit hook as files open; every save such a case reports successful must read
back, by Pillow, as the pixels that were saved.

Batches of cases run in child processes, so a crash ends one batch and is
reported with its seed and case index, the case's source and a command that
replays it. The cases are written by object_cases.py; this file runs them,
checks them against the model and reports.

usage: python objects.py [--calls N] [--seed S] [--batch CASES] [--jobs J] [--keep-going]
       python objects.py --case SEED:INDEX      replays one case here
       python objects.py --show SEED:INDEX      prints its source
       python objects.py --source FILE          runs cases written in a file (separated by ---)
"""

import argparse
import collections
import faulthandler
import io
import json
import operator
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from object_cases import FILES, LARGE, case_source  # noqa: E402
from support.builders import PNG_SIGNATURE  # noqa: E402


# --- the model of pixel access and cutting ------------------------------------------

class Real:
    """The module's own calls, outcomes recorded."""

    def __init__(self, record):
        self.record = record

    def get(self, image, coords):
        self.record(lambda: image.getPixel(coords))

    def put(self, image, coords, value):
        self.record(lambda: image.putPixel(coords, value))

    def split(self, data, lengths):
        self.record(lambda: SIMPLE_EXT._split_idat_payload(data, lengths))


def _unpack(value, count):
    if type(value) in (tuple, list):
        items = list(value)
    else:
        items = []
        iterator = iter(value)
        for item in iterator:
            items.append(item)
            if len(items) > count:
                break
    if len(items) > count:
        raise ValueError(f"too many values to unpack (expected {count})")
    if len(items) < count:
        raise ValueError(f"need more than {len(items)} value{'' if len(items) == 1 else 's'} to unpack")
    return items


class Model(Real):
    """Pixel access and cutting as plain Python, field values read when each
    step reads them."""

    def _index(self, image, coords):
        if type(coords) is not tuple:
            raise TypeError(f"Argument 'coords' has incorrect type (expected tuple, got {type(coords).__name__})")
        x, y = _unpack(coords, 2)
        if not (0 <= x and x < image.width and 0 <= y and y < image.height):
            raise ValueError("Pixel coordinate out of bounds")
        return (y * image.width + x) * 3

    def get(self, image, coords):
        def run():
            index = self._index(image, coords)
            pixels = image._pixels
            return tuple(pixels[index + c] for c in range(3))
        self.record(run)

    def put(self, image, coords, value):
        def run():
            index = self._index(image, coords)
            samples = _unpack(value, 3)
            for c in range(3):
                byte = int(samples[c]) & 0xFF
                pixels = image._pixels  # the buffer as it is once the sample is converted
                pixels[index + c] = byte
        self.record(run)

    def split(self, data, lengths):
        def run():
            parts, offset, total, count = [], 0, len(data), len(lengths)
            for idx in range(count):
                length = lengths[idx]
                if offset >= total:
                    break
                if length <= 0:
                    continue
                rest = total - offset
                take = rest if idx == count - 1 or rest < length else operator.index(length)
                if not -2 ** 63 <= take < 2 ** 63:
                    raise OverflowError(f"cannot fit '{type(length).__name__}' into an index-sized integer")
                parts.append(data[offset:offset + take])
                offset += take
            if offset < total:
                parts.append(data[offset:])
            return parts
        self.record(run)


def roundtrip(image, path):
    """An image opened from a valid PNG, written back with its records given
    as a list, a tuple, an iterator, a generator and as lists, and by save():
    the files must be the same, and read back they must give the image's
    planes. Without IDAT records (the data then goes before IEND) and as a
    BMP, the pixels must still read back. AssertionError when they do not."""
    ext = SIMPLE_EXT
    records = image._png_chunks
    fields = (image.width, image.height, image._pixels, image._alpha)

    def written(chunks, name):
        ext._writePngWithChunks(path + name, *fields, chunks, image._png_filters)
        with open(path + name, "rb") as f:
            return f.read()
    first = written(records, "list")
    for how in ("tuple", "iter", "gen", "lists"):
        assert written(hostile_records(records, how), how) == first, f"records as {how} give another file"
    image.save(path + "save")
    with open(path + "save", "rb") as f:
        assert f.read() == first, "save() gives another file than _writePngWithChunks"
    back = ext.SimpleImage.open(first)
    assert (back._pixels, back._alpha, back._png_filters) == (image._pixels, image._alpha, image._png_filters), \
        "the file written does not read back as the image"
    without = [r for r in records if r[0] != b"IDAT"]
    if any(r[0] == b"IHDR" for r in without):
        back = ext.SimpleImage.open(written(without, "noidat"))
        assert back._pixels == image._pixels, "records without IDAT: the image data is lost"
    ext._writeBmp(path + "bmp", image.width, image.height, image._pixels)
    assert ext.SimpleImage.open(path + "bmp")._pixels == image._pixels, "the BMP written does not read back"


def hostile_records(records, how):
    import hostile
    return hostile.records(records, how)


def outcome(call):
    try:
        return ("value", repr(call()))
    except Exception as error:
        return ("error", type(error).__name__, str(error))


def snapshot(namespace):
    """The images of a case as comparable values."""
    out = []
    for name in sorted(namespace):
        value = namespace[name]
        if isinstance(value, SIMPLE_EXT.SimpleImage):
            pixels = value._pixels
            shown = bytes(pixels) if isinstance(pixels, bytearray) else repr(pixels)
            out.append((name, value.width, value.height, shown))
    return out


# --- running cases --------------------------------------------------------------------

SIMPLE_EXT = None


class Worker:
    def __init__(self, scratch):
        import array
        import gc

        import hostile
        global SIMPLE_EXT
        import Tavrune.simpleImage_ext as ext
        SIMPLE_EXT = ext
        self.hostile = hostile
        self.scratch = scratch
        self.base = {"__builtins__": __builtins__, "ext": ext, "SimpleImage": ext.SimpleImage, "FILES": FILES,
                     "LARGE": LARGE,
                     "gc": gc, "array": array, "P": self.path, "put_file": self.put_file, "px": px,
                     "subclass": subclass, "HostilePath": hostile_path, "Pair": Pair, "io": io,
                     "PNG_SIG": PNG_SIGNATURE, "roundtrip": roundtrip,
                     "ORIGINAL": hostile.protect({name: getattr(ext, name)
                                                  for name in ("_writePng", "_writePngWithChunks", "_writeBmp")})}
        self.base["PX"] = Real(outcome)  # checked cases run alone: the module's calls only
        # The module functions by their own names, so that a case that replaced
        # one in the module can still call it.
        for name in ("_readChunk", "_makeChunk", "_split_idat_payload", "_writePngWithChunks", "_writePng",
                     "_writeBmp"):
            self.base[name] = getattr(ext, name)
        for name in dir(hostile):
            if not name.startswith("_"):
                self.base.setdefault(name, getattr(hostile, name))
        self.classes = collections.Counter()
        self.cases = 0
        self.saves_checked = 0

    def path(self, name):
        return os.path.join(self.scratch, name)

    def put_file(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def execute(self, source, px_impl=None):
        namespace = dict(self.base)
        self.hostile.protect(namespace)
        if px_impl is not None:
            namespace["PX"] = px_impl
        code = compile(source, "<case>", "exec")
        try:
            exec(code, namespace)
        finally:
            self.hostile.teardown()
        return namespace

    def run(self, seed, index):
        """One case; raises AssertionError when the model disagrees."""
        source, classes, oracle, fresh = case_source(seed, index)
        self.classes.update(classes)
        self.cases += 1
        if fresh:
            self.run_fresh(seed, index)
            return
        if not oracle:
            namespace = self.execute(source)
            namespace.clear()
            return
        results = []
        for impl in (Real, Model):
            outcomes = []
            namespace = self.execute(source, impl(lambda call, outcomes=outcomes: outcomes.append(outcome(call))))
            results.append((outcomes, snapshot(namespace)))
            namespace.clear()
        if results[0] != results[1]:
            raise AssertionError(f"the module and the model disagree:\n  module: {results[0]}\n  model:  {results[1]}")

    def run_fresh(self, seed, index):
        """A case that loads the module itself, in a new interpreter with this
        one's environment (the sanitizers' too); its failure report is passed on."""
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--fresh", f"{seed}:{index}"],
                               capture_output=True, text=True, timeout=300)
        if child.returncode != 0 or not child.stdout.strip():
            sys.stderr.write(child.stderr)
            raise AssertionError(f"the case in a fresh interpreter ended with exit status {child.returncode}")
        counts = json.loads(child.stdout.strip().splitlines()[-1])
        self.hostile.CALLS[0] += counts["calls"][0]
        self.hostile.CALLS[1] += counts["calls"][1]
        self.saves_checked += counts["saves checked"]


def fresh_main(seed, index):
    """Runs one case of a fresh interpreter here, the module not imported
    before; prints its counts."""
    import gc
    import importlib

    import hostile
    for name in ("unittest.mock", "PIL.Image"):  # imported now, not while a case blocks imports
        importlib.import_module(name)
    source, _, _, fresh = case_source(seed, index)
    assert fresh, "not a case of a fresh interpreter"
    scratch = tempfile.mkdtemp(prefix="tavrune-objfuzz-fresh-")
    out, sys.stdout = sys.stdout, open(os.devnull, "w")
    namespace = {"__builtins__": __builtins__, "FILES": FILES, "gc": gc, "px": px,
                 "P": lambda name: os.path.join(scratch, name)}
    namespace.update((name, getattr(hostile, name)) for name in dir(hostile) if not name.startswith("_"))
    hostile.protect(namespace)
    try:
        exec(compile(source, "<case>", "exec"), namespace)
    finally:
        hostile.teardown()
        shutil.rmtree(scratch, ignore_errors=True)
    out.write(json.dumps({"calls": hostile.CALLS, "saves checked": hostile.SAVES_CHECKED[1]}) + "\n")
    out.flush()
    os._exit(0)  # the audit hooks stay: end without running them on the way out


def px(n):
    """n bytes of a pattern, distinct per position."""
    return bytes((i * 7 + 1) & 0xFF for i in range(n))


def subclass(decoder):
    """A subclass of SimpleImage whose _streamToImage is decoder."""
    return type("Sub", (SIMPLE_EXT.SimpleImage,), {"_streamToImage": staticmethod(decoder)})


def hostile_path(path, hook):
    """A pathlib.Path subclass whose __fspath__ fires hook."""
    import pathlib

    class HostilePath(type(pathlib.Path())):
        def __fspath__(self):
            hook(self)
            return str(path)
    return HostilePath(path)


class Pair(tuple):
    pass


def worker_main(args):
    scratch = tempfile.mkdtemp(prefix="tavrune-objfuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    out = os.fdopen(os.dup(1), "w")
    devnull = open(os.devnull, "w")
    sys.stdout = devnull  # open() prints a line per image
    progress = os.open(args.progress, os.O_WRONLY | os.O_CREAT, 0o644) if args.progress else None
    worker = Worker(scratch)
    hostile = worker.hostile
    started = time.perf_counter()
    try:
        for index in range(args.start, args.start + args.cases):
            if progress is not None:
                os.pwrite(progress, b"%20d\n" % index, 0)
            faulthandler.dump_traceback_later(args.case_timeout, exit=True)
            worker.run(args.seed, index)
            faulthandler.cancel_dump_traceback_later()
    except BaseException:
        faulthandler.cancel_dump_traceback_later()
        import traceback
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(3)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    json.dump({"calls": hostile.CALLS[0], "hook calls": hostile.CALLS[1], "cases": worker.cases,
               "classes": worker.classes,
               "saves checked": worker.saves_checked, "seconds": time.perf_counter() - started}, out)
    out.write("\n")
    out.flush()
    # Objects with finalisers may still be alive: leave without running them.
    os._exit(0)


# --- the driver -------------------------------------------------------------------------

MARKERS = ("ERROR: AddressSanitizer", "runtime error:", "Fatal Python error", "SUMMARY: ", "Traceback",
           "AssertionError", "Timeout")


def report_lines(stderr, limit=40):
    """The first lines of a sanitizer report or traceback in stderr."""
    lines = stderr.splitlines()
    for i, line in enumerate(lines):
        if any(marker in line for marker in MARKERS[:3]) or line.startswith("Traceback") or "Timeout" in line:
            return lines[i:i + limit]
    return lines[-limit:]


def signature(lines):
    """What and where a failure is, for telling failures apart: the kind of
    report and the first frame in the module's sources, or the first line of
    a disagreement or traceback."""
    import re
    text = "\n".join(lines)
    kind = re.search(r"AddressSanitizer: ([\w-]+)|runtime error: ([^:0-9]+)|(disagree)|(Timeout)"
                     r"|(Fatal Python error)", text)
    kind = next((g for g in kind.groups() if g), "") if kind else ""
    for line in lines:
        if "/src/ext/" in line and re.search(r"#\d+ 0x[0-9a-f]+ in ", line):
            where = re.search(r"/src/ext/(\S+?):(\d+)", line)
            function = line.split(" in ", 1)[1].split(" /")[0] if " in " in line else ""
            if where:
                return f"{kind} in {function.split('(')[0]} {where.group(1)}:{where.group(2)}".strip()
    for line in lines:
        if "Error" in line and not line.lstrip().startswith("File"):
            return f"{kind} {line.strip()[:100]}".strip()
    return kind or "unknown"


class Driver:
    def __init__(self, args):
        self.args = args
        self.calls = self.hook_calls = self.cases = self.saves_checked = 0
        self.classes = collections.Counter()
        self.failures = collections.OrderedDict()
        self.scratch = tempfile.mkdtemp(prefix="tavrune-objfuzz-driver-")

    def spawn(self, start, cases, slot):
        progress = os.path.join(self.scratch, f"progress{slot}")
        with open(progress, "w") as f:
            f.write(f"{start}\n")
        command = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(self.args.seed),
                   "--start", str(start), "--cases", str(cases), "--progress", progress,
                   "--case-timeout", str(self.args.case_timeout)]
        stderr = open(os.path.join(self.scratch, f"stderr{slot}"), "w+")
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, text=True)
        return process, start, cases, progress, stderr

    def finish(self, job):
        process, start, cases, progress, stderr = job
        out, _ = process.communicate()
        stderr.seek(0)
        errors = stderr.read()
        stderr.close()
        if process.returncode == 0 and out.strip():
            summary = json.loads(out.strip().splitlines()[-1])
            self.calls += summary["calls"]
            self.hook_calls += summary["hook calls"]
            self.cases += summary["cases"]
            self.classes.update(summary["classes"])
            self.saves_checked += summary["saves checked"]
            return None
        with open(progress) as f:
            index = int(f.read().split()[0])
        self.cases += index - start
        lines = report_lines(errors)
        key = signature(lines)
        return index, key, lines, process.returncode, start

    def describe(self, index, key, lines, returncode, start):
        seed = self.args.seed
        source, classes, _, _ = case_source(seed, index)
        alone = subprocess.run([sys.executable, os.path.abspath(__file__), "--case", f"{seed}:{index}"],
                               capture_output=True, text=True, timeout=self.args.case_timeout * 4)
        reproduces = alone.returncode != 0
        print(f"FAILURE in case {seed}:{index} (exit status {returncode}): {key}")
        print("\n".join("    " + line for line in lines[:30]))
        print(f"  classes: {', '.join(sorted(classes))}")
        print("  the case's source:")
        print("\n".join("    " + line for line in source.splitlines()))
        if reproduces:
            print(f"  reproduce: python fuzz/objects.py --case {seed}:{index}   (under the sanitizer environment)")
        else:
            print(f"  alone it passed; reproduce with the cases before it: "
                  f"python fuzz/objects.py --worker --seed {seed} --start {start} --cases {index - start + 1}")
        sys.stdout.flush()

    def run(self):
        args = self.args
        started = time.perf_counter()
        next_start = args.first
        running = []
        slots = list(range(args.jobs))
        stop = False
        try:
            while running or (not stop and self.calls < args.calls):
                while not stop and slots and self.calls + len(running) * args.batch * 3 < args.calls:
                    slot = slots.pop()
                    running.append((self.spawn(next_start, args.batch, slot), slot))
                    next_start += args.batch
                if not running:
                    break
                job, slot = running.pop(0)
                failure = self.finish(job)
                slots.append(slot)
                if failure:
                    index, key, lines, returncode, _ = failure
                    if key not in self.failures:
                        self.failures[key] = index
                        self.describe(*failure)
                    if args.keep_going:
                        running.append((self.spawn(index + 1, job[1] + job[2] - index - 1, slots.pop()), slot))
                    else:
                        stop = True
                if args.verbose:
                    print(f"  {self.calls} calls, {self.cases} cases, {time.perf_counter() - started:.0f} s",
                          flush=True)
        finally:
            for (process, *_), _slot in running:
                process.kill()
            shutil.rmtree(self.scratch, ignore_errors=True)
        seconds = time.perf_counter() - started
        print(f"{self.calls} calls in {self.cases} cases, {seconds:.0f} s, {self.calls / max(seconds, 1e-9):.0f} "
              f"calls per second, seed {args.seed}; {self.hook_calls} more calls made by hooks in the middle of "
              f"calls and interpreter events")
        print(f"{self.saves_checked} saves reported successful in a fresh interpreter, each read back")
        print("classes of objects generated (cases):")
        for name, count in sorted(self.classes.items(), key=lambda item: -item[1]):
            print(f"  {count:9d}  {name}")
        if self.failures:
            print("distinct failures:")
            for key, index in self.failures.items():
                print(f"  {args.seed}:{index}  {key}")
        print(f"fuzz-objects: {self.calls} calls, {len(self.failures)} failed")
        return 1 if self.failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100000, help="stop after this many calls")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--first", type=int, default=0, help="index of the first case")
    parser.add_argument("--batch", type=int, default=2000, help="cases per child process")
    parser.add_argument("--jobs", type=int, default=1, help="child processes at a time")
    parser.add_argument("--case-timeout", type=int, default=60, help="seconds one case may take")
    parser.add_argument("--keep-going", action="store_true", help="go on after a failure, reporting each kind once")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--case", help="SEED:INDEX: run that one case here")
    parser.add_argument("--show", help="SEED:INDEX: print that case's source")
    parser.add_argument("--source", help="run the cases in this file (separated by lines of ---) here")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--fresh", help=argparse.SUPPRESS)  # SEED:INDEX of a case run alone here
    parser.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--cases", type=int, default=1, help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.fresh:
        fresh_main(*map(int, args.fresh.split(":")))
    if args.show:
        seed, index = map(int, args.show.split(":"))
        print(case_source(seed, index)[0], end="")
        return 0
    if args.source:
        worker = Worker(tempfile.mkdtemp(prefix="tavrune-objfuzz-"))
        sys.stdout = open(os.devnull, "w")
        with open(args.source) as f:
            for number, source in enumerate(f.read().split("\n---\n")):
                if os.environ.get("OBJFUZZ_TRACE"):  # which case, and whether the interpreter is sound after it
                    print(f"case {number}", file=sys.stderr, flush=True)
                worker.execute(source).clear()
                if os.environ.get("OBJFUZZ_TRACE"):
                    import gc
                    gc.collect()
                    worker.hostile.Num(index=(1,)).__index__()
        sys.stdout = sys.__stdout__
        print(f"{worker.hostile.CALLS[0]} calls, {worker.hostile.CALLS[1]} by hooks")
        return 0
    if args.case:
        args.seed, args.start = map(int, args.case.split(":"))
        args.cases, args.progress, args.worker = 1, None, True
    if args.worker:
        worker_main(args)
        return 0
    return Driver(args).run()


if __name__ == "__main__":
    sys.exit(main())
