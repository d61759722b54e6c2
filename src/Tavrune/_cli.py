"""The command line's commands, its parser and how it ends: the module's message
and status 1 for input it refuses, status 0 and no word when the reader of the
output goes away, 130 on Ctrl-C."""

import argparse
import collections
import contextlib
import json
import os
import sys
import tempfile

from Tavrune import _batch, _cli_layout, _verdict
from Tavrune._demo import demo
from Tavrune._errors import OPEN_ERRORS
from Tavrune._files import NOT_REGULAR, NotRegularFileError, escape_output, message, read_source, shown, skipped_line
from Tavrune._layout import compare_bmp, compare_png, describe, lost_in_resave, open_quietly, read_chunks
from Tavrune._replace import replace_file, terminate_raises

# What the module raises for input it refuses or files it cannot read or write.
# Only the calls that read, open and write files are guarded by it: anything
# raised by this program's own code is a fault and keeps its traceback.
INPUT_ERRORS = (OSError, MemoryError) + OPEN_ERRORS


class FileError(Exception):
    """A file the module refuses, or that cannot be read or written: reported
    with the message alone and status 1."""


@contextlib.contextmanager
def files_reported():
    """Turns what reading, opening and writing files raises into FileError."""
    try:
        yield
    except INPUT_ERRORS as error:
        raise FileError(message(error)) from error


def reason(error):
    """The module's message; for errors that are not ValueError also their type,
    since zlib's messages do not say where they come from."""
    if isinstance(error, ValueError):
        return message(error)
    kind = type(error)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    return f"{name}: {error}" if str(error) else name


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


# --- one file ---------------------------------------------------------------------------


READ_BACK_DIFFERENT = "pixels read back: DIFFERENT"


def pixels_read_back(image, data, alpha=True):
    """Whether the file's bytes open to the pixels (and alpha) of image. A file
    that does not is a failed write: the command's status says so."""
    with files_reported():
        again = open_quietly(data)
    same = again._pixels == image._pixels and (not alpha or again._alpha == image._alpha)
    return "pixels read back: identical" if same else READ_BACK_DIFFERENT


def resave_report(source, target):
    with files_reported():
        old = read_source(source)
        image = open_quietly(old)
        new = read(replace_file(target, image.save))
    if image._png_chunks is not None:
        lines = [f"resaved {source} -> {target}: PNG {describe(image)}, {len(image._png_chunks)} chunks"]
        lines += compare_png(old, new)
    else:
        lines = [f"resaved {source} -> {target}: BMP {describe(image)}"] + compare_bmp(old, new)
        if target.lower().endswith(".png"):
            lines.append("note: an image read from a BMP is saved as a BMP, whatever the file name")
    return lines + [pixels_read_back(image, new)]


def to_bmp_report(source, target):
    with files_reported():
        image = open_quietly(read_source(source))
        new = read(replace_file(target, image.saveBmp))
    header = image._bmp_header or {}
    resolution = f"{header.get('xppm', 2835)}x{header.get('yppm', 2835)}"
    lines = [f"wrote {target}: BMP {image.width}x{image.height}, 24-bit, {resolution} pixels per metre"]
    if image._alpha is not None:
        lines.append("note: the alpha plane was dropped: a 24-bit BMP holds none")
    return lines + [pixels_read_back(image, new, alpha=False)]


REPORTS = {"resave": resave_report, "to-bmp": to_bmp_report}


def print_lines(lines):
    """Prints lines; status 1 when they report a file that did not read back."""
    for line in lines:
        print(line)
    return 1 if READ_BACK_DIFFERENT in lines else 0


# --- many files -------------------------------------------------------------------------


class UsageError(Exception):
    """Arguments that cannot all be honoured; nothing was done."""


def convert_one(command, source, target):
    """In a worker: (lines of the report, None), or ([], the error's message)."""
    try:
        with files_reported():
            os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        return REPORTS[command](source, target), None
    except FileError as error:
        return [], str(error)


def identities(path):
    """The names under which path is one file: its resolved path and, when it
    exists, its device and inode (which also see hard links)."""
    found = [os.path.normcase(os.path.realpath(path))]
    try:
        status = os.stat(path)
        found.append((status.st_dev, status.st_ino))
    except OSError:
        pass
    return found


def convert_many(command, sources, folder, jobs):
    """resave or to-bmp with -o: every input file, or every PNG and BMP in an
    input folder, written into folder (under its path relative to the input
    folder), each reported as one file is. Status 1 when any was not written or
    did not read back.

    Each file is written through a temporary file renamed onto it, so an input
    rewritten in place (-o naming its own folder) is either as it was or whole.
    A run in which one input's output would be another input is refused before
    anything is written: that input would be read after it was overwritten."""
    found = _batch.collect(sources)
    tasks, sources_of, inputs = [], {}, {}
    for source, _ in found.files:
        for identity in identities(source):
            inputs.setdefault(identity, source)
    for source, relative in found.files:
        if command == "to-bmp":
            relative = os.path.splitext(relative)[0] + ".bmp"
        target = os.path.join(folder, relative)
        key = os.path.normcase(os.path.abspath(target))
        if key in sources_of:
            raise UsageError(f"{sources_of[key]} and {source} would both be written to {target}")
        sources_of[key] = source
        own = identities(source)
        for identity in identities(target):
            other = inputs.get(identity)
            if other is not None and identity not in own:
                also = "" if other == target else f" ({other})"
                raise UsageError(f"{source} would be written to {target}, which is another input of this run{also}")
        tasks.append((command, source, target))
    for path in found.irregular:
        print(skipped_line(path))
    with files_reported():
        os.makedirs(folder, exist_ok=True)
    progress = _batch.Progress(len(tasks))
    to_terminal = sys.stdout.isatty()
    done = not_written = differ = 0

    def show(task, outcome):
        nonlocal done, not_written, differ
        lines, error = outcome
        done += 1
        if to_terminal or error is not None:
            progress.clear()
        if error is not None:
            not_written += 1
            print(f"error: {task[1]}: {error}", file=sys.stderr)
        if print_lines(lines):
            differ += 1
        progress.update(done)

    try:
        _batch.run(convert_one, tasks, jobs, show)
    finally:
        progress.clear()
    for error in found.unlisted:
        print(f"error: {message(error)}", file=sys.stderr)
    print(f"{len(tasks) - not_written} of {len(tasks)} files written to {folder}")
    return 1 if not_written or differ or found.unlisted else 0


def layout_of(data):
    """The file's layout as the independent reader sees it, or None when that
    reader itself fails: it only adds detail to what the module said."""
    try:
        import Tavrune
        return Tavrune.inspect(data)
    except Exception:  # a second opinion never decides the result on its own
        return None


def check_one(path, scratch, strict=False):
    """In a worker: what check reports of one file, as a dict (also its JSON).

    result is "verified" (opened, re-saved into scratch and everything kept;
    notes say what a save drops or rewrites), "unsupported" (a kind the module
    refuses by design), "damaged" (the file contradicts itself; where says
    where reading stopped) or "failed" (it could not be read, or its re-save
    lost something or failed). strict makes a verified file with notes failed."""
    record = {"file": path, "result": _verdict.FAILED, "message": None, "where": None, "notes": [],
              "format": None, "width": None, "height": None, "alpha": None}
    try:
        old = read_source(path)
    except NotRegularFileError:
        record.update(result="skipped", message=NOT_REGULAR)
        return record
    except (OSError, MemoryError) as error:
        record["message"] = reason(error) if isinstance(error, MemoryError) else message(error)
        return record
    try:
        image = open_quietly(old)
    except OPEN_ERRORS as error:
        layout = layout_of(old)
        result, text = _verdict.classify(error, layout)
        record.update(result=result, message=text or reason(error))
        if result == _verdict.DAMAGED:
            record["where"] = _verdict.where(layout)
        return record
    except Exception as error:  # anything else is a fault of the module, not a verdict on the file
        record["message"] = f"opening: {reason(error)}"
        return record
    record.update(format="BMP" if image._png_chunks is None else "PNG", width=image.width, height=image.height,
                  alpha=image._alpha is not None)
    target = os.path.join(scratch, str(os.getpid()))
    step = "saving"
    try:
        image.save(target)
        step = "reading back"
        new = read(target)
        # A new file each time: rewriting one in place makes ext4 write it out
        # to disk on close, ten times the cost of the whole check of a small file.
        os.unlink(target)
        again = open_quietly(new)
        step = "comparing"
        if image._png_chunks is None:
            lost = lost_in_resave(old, new, image, again)
            step = "noting"
            record["notes"] = _verdict.notes(old)
        else:
            old_chunks = read_chunks(old)  # once, for the comparison and the notes
            lost = lost_in_resave(old, new, image, again, old_chunks)
            step = "noting"
            record["notes"] = _verdict.notes(old, [kind for kind, _ in old_chunks[0]], old_chunks[1])
    except Exception as error:
        record["message"] = f"{step}: {reason(error)}"
        return record
    if lost:
        record["message"] = "; ".join(lost)
    elif strict and record["notes"]:
        record["message"] = "; ".join(record["notes"]) + " (a note fails the file under --strict)"
    else:
        record["result"] = _verdict.VERIFIED
    return record


def check_line(record):
    """The line check prints for a file, or None for a file verified without notes."""
    result, text = record["result"], record["message"]
    if result == _verdict.VERIFIED:
        return f"{record['file']}: verified, note: {'; '.join(record['notes'])}" if record["notes"] else None
    if result == _verdict.DAMAGED and record["where"]:
        text = f"{text}: {record['where']}"
    return f"{record['file']}: {result}: {text}"


def summary(results, unsupported, noted, found):
    """The table check ends with."""
    total = sum(results[result] for result in RESULTS)
    rows = [("verified", results[_verdict.VERIFIED])]
    if noted:
        rows.append(("  with notes on what a save drops or rewrites", noted))
    rows.append(("unsupported", results[_verdict.UNSUPPORTED]))
    rows += [(f"  {text}", count) for text, count in sorted(unsupported.items(), key=lambda item: (-item[1], item[0]))]
    rows += [("damaged", results[_verdict.DAMAGED]), ("failed", results[_verdict.FAILED]), ("files checked", total)]
    if results["skipped"]:
        rows.append(("not regular files, skipped", results["skipped"]))
    if found.passed_over:
        rows.append(("other files in the folders, passed over", found.passed_over))
    width = max(len(label) for label, _ in rows)
    digits = max(len(str(count)) for _, count in rows)
    return [f"{label:<{width}}  {count:>{digits}}" for label, count in rows]


def check(paths, jobs, as_json, strict=False, quiet=False):
    """Status 1 when any file is damaged or failed (a note too, with strict), 0 otherwise."""
    found = _batch.collect(paths)
    results = collections.Counter({result: 0 for result in (*RESULTS, "skipped")})
    unsupported, noted = collections.Counter(), 0
    progress = _batch.Progress(len(found.files))
    to_terminal = sys.stdout.isatty()

    def show_line(record):
        if to_terminal:
            progress.clear()
        print(json.dumps({**record, "file": shown(record["file"])}) if as_json else check_line(record))

    def show(task, record):
        nonlocal noted
        results[record["result"]] += 1
        if record["result"] == _verdict.UNSUPPORTED:
            unsupported[record["message"]] += 1
        noted += bool(record["notes"]) and record["result"] == _verdict.VERIFIED
        important = record["result"] in (_verdict.DAMAGED, _verdict.FAILED)
        if important or (not quiet and (as_json or check_line(record) is not None)):
            show_line(record)
        progress.update(sum(results[result] for result in RESULTS))

    if not quiet:
        for path in found.irregular:
            print(skipped_line(path, as_json))
    results["skipped"] += len(found.irregular)
    for error in found.unlisted:  # a folder that could not be listed: its files went unchecked
        show(None, {"file": error.filename, "result": _verdict.FAILED, "message": message(error), "where": None,
                    "notes": [], "format": None, "width": None, "height": None, "alpha": None})
    try:
        # SIGTERM ends the run through the with-block, so the scratch folder goes too.
        with terminate_raises(), tempfile.TemporaryDirectory(prefix="tavrune-check-") as scratch:
            _batch.run(check_one, [(path, scratch, strict) for path, _ in found.files], jobs, show)
    finally:
        progress.clear()
    if not as_json:
        print_lines(summary(results, unsupported, noted, found))
    return 1 if results[_verdict.DAMAGED] or results[_verdict.FAILED] else 0


RESULTS = (_verdict.VERIFIED, _verdict.UNSUPPORTED, _verdict.DAMAGED, _verdict.FAILED)


# --- the parser and the way out -----------------------------------------------------------


DESCRIPTION = """\
Open, inspect, check and rewrite 8-bit RGB/RGBA PNG and 24-bit BMP files with
Tavrune.simpleImage_ext. Input the module refuses is reported with its message
on standard error, with exit status 1. Output may be cut short (| head): the
command then stops quietly with status 0. Ctrl-C stops it with status 130."""


def job_count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def add_jobs(parser):
    parser.add_argument("-j", "--jobs", type=job_count, metavar="N", default=None,
                        help=f"worker processes (default: the number of CPUs, {_batch.default_jobs()} here)")


def add_conversion(commands, name, help_text, description):
    parser = commands.add_parser(
        name, help=help_text, description=description,
        usage="%(prog)s [-h] IN OUT\n       %(prog)s [-h] [-j N] -o DIR IN [IN ...]")
    parser.add_argument("paths", nargs="+", metavar="IN",
                        help="without -o: the file to open and the file to write (replaced if it exists); "
                             "with -o: files, and folders searched recursively for *.png and *.bmp")
    parser.add_argument("-o", "--output", metavar="DIR",
                        help="write every input into DIR, under its path relative to the folder it was found in")
    add_jobs(parser)
    parser.set_defaults(command_parser=parser, handler=run_conversion)


def program_name():
    """How the user called us: the console script or python -m."""
    return "tavrune" if os.path.basename(sys.argv[0]) == "tavrune" else "python -m Tavrune"


def build_parser():
    parser = argparse.ArgumentParser(prog=program_name(), description=DESCRIPTION,
                                     epilog=f"'{program_name()} COMMAND --help' describes one command.",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("demo", help="make a PNG, change pixels, save it and compare the layouts",
                        description="Make a PNG with extra chunks, change a row of pixels, save it and "
                                    "show that only the image data changed.").set_defaults(handler=lambda _: demo())
    _cli_layout.add_commands(commands)
    check_parser = commands.add_parser(
        "check", help="check which files the module opens and re-saves with their layout kept",
        description="Open every file, re-save it to a temporary file and verify what resave shows: for a "
                    "PNG every chunk but IDAT byte for byte and in order, each row's filter type and the IDAT "
                    "sizes as kept; for a BMP its resolution and colour-count fields; for both the pixels "
                    "read back. Each file is verified, unsupported (a kind the module refuses by design), "
                    "damaged (the file contradicts itself; the line says where reading stopped) or failed "
                    "(unreadable, or its re-save lost something). A verified file gets a note for what a save "
                    "drops or rewrites (bytes after IEND, a BMP colour table, top-down rows, the frames of an "
                    "animated PNG). Prints a line for each file that is not verified or has a note, then the "
                    "counts. Exit status 1 when any file is damaged or failed, 0 otherwise.")
    check_parser.add_argument("paths", nargs="+", metavar="PATH",
                              help="files, and folders searched recursively for *.png and *.bmp")
    add_jobs(check_parser)
    check_parser.set_defaults(handler=run_check)
    check_parser.add_argument("--json", action="store_true",
                              help="print one JSON object per file instead of the lines and the counts")
    check_parser.add_argument("--strict", action="store_true",
                              help="count a verified file with a note as failed")
    check_parser.add_argument("-q", "--quiet", action="store_true",
                              help="print only the damaged and failed files, and the counts")
    add_conversion(commands, "resave", "open files, save them again and report which chunks differ",
                   "Open IN and save it to OUT as the module saves it (a PNG keeps its chunks, the filter type "
                   "of every row and the sizes of its image-data chunks; a BMP stays a BMP with its "
                   "resolution fields), then report which chunks (PNG) or header fields (BMP) differ between "
                   "the two files. Only the image data is expected to differ. IN and OUT may be the same "
                   "file. With -o DIR, every input is saved into DIR under its own name.")
    add_conversion(commands, "to-bmp", "write PNG or BMP files as 24-bit BMP",
                   "Open IN and write it to OUT as a bottom-up 24-bit BMP. An alpha plane is dropped; the "
                   "resolution fields of a BMP input are kept, 2835 pixels per metre otherwise. With -o DIR, "
                   "every input is written into DIR, named with .bmp in place of its suffix.")
    return parser


def run_check(arguments):
    sys.stdout.reconfigure(line_buffering=True)  # each file's lines as soon as they are known
    return check(arguments.paths, arguments.jobs or _batch.default_jobs(), arguments.json, arguments.strict,
                 arguments.quiet)


def run_conversion(arguments):
    if arguments.output is None and len(arguments.paths) != 2:
        arguments.command_parser.error("give IN and OUT, or -o DIR and the inputs")
    sys.stdout.reconfigure(line_buffering=True)
    if arguments.output is None:
        return print_lines(REPORTS[arguments.command](*arguments.paths))
    return convert_many(arguments.command, arguments.paths, arguments.output,
                        arguments.jobs or _batch.default_jobs())


def run_command(argv):
    parser = build_parser()
    arguments = parser.parse_args(argv)
    try:
        return arguments.handler(arguments)
    except UsageError as error:
        parser.exit(2, f"error: {error}\n")
    except FileError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


def _output_closed():
    # Nothing more can be written, and the interpreter would still flush
    # standard output at exit and complain that it cannot.
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in (sys.stdout, sys.stderr):
        try:
            os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass
    return 0


def main(argv=None):
    """Runs the command line; returns the exit status.

    When the output's reader goes away (``| head -1``) the command stops, with
    its workers, quietly and with status 0: the reader has all it asked for, so
    the pipeline succeeds also under ``set -o pipefail``. Ctrl-C stops it with
    the status a shell gives a command interrupted so, 130."""
    escape_output()  # a run never stops over a file name the output's encoding cannot show
    try:
        try:
            return run_command(argv)
        finally:
            sys.stdout.flush()  # here rather than at exit, where a closed pipe is not handled
    except BrokenPipeError:
        return _output_closed()
    except KeyboardInterrupt:
        return 130
