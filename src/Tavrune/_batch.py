"""Many files at once: the inputs a command names, worker processes, progress.

Workers take file names and hand back plain data: an image holds no state that
could be pickled, and reading the file where it is decoded saves a copy."""

import multiprocessing
import os
import signal
import sys
import time

SUFFIXES = (".png", ".bmp")


def default_jobs():
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def collect(paths):
    """(files, skipped): the files a list of command-line paths names, and how
    many files inside folders were passed over.

    A file named on the command line is taken whatever its name; a folder is
    walked recursively (symbolic links to folders are not followed) for files
    named *.png or *.bmp in any case. Each item of files is (path, the path
    relative to the folder it was found in, or its base name)."""
    files, skipped = [], 0
    for path in paths:
        if not os.path.isdir(path):
            files.append((path, os.path.basename(path)))
            continue
        found = []
        for folder, subfolders, names in os.walk(path):
            subfolders.sort()
            for name in names:
                if name.lower().endswith(SUFFIXES):
                    found.append(os.path.join(folder, name))
                else:
                    skipped += 1
        files += [(file, os.path.relpath(file, path)) for file in sorted(found)]
    return files, skipped


def _ignore_interrupts():
    # Ctrl-C reaches every process of the terminal's foreground group: the
    # command itself stops the workers, so they must not die on their own with
    # a traceback each.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _call(job):
    work, arguments = job
    return work(*arguments)


def run(work, tasks, jobs, on_result):
    """Calls work(*task) for every task and on_result(task, result) in task order
    in this process. With jobs > 1 the calls run in that many worker processes;
    whatever ends this early (Ctrl-C, a closed output, an error in on_result)
    terminates them before it propagates."""
    jobs = min(jobs, len(tasks))
    if jobs <= 1:
        for task in tasks:
            on_result(task, work(*task))
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)  # inherited by the forked workers
    try:
        pool = multiprocessing.Pool(jobs, initializer=_ignore_interrupts)
    finally:
        signal.signal(signal.SIGINT, previous)
    try:
        chunk = max(1, min(16, len(tasks) // (jobs * 8)))
        results = pool.imap(_call, [(work, task) for task in tasks], chunk)
        for task, result in zip(tasks, results):
            on_result(task, result)
        pool.close()
    except BaseException:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        pool.terminate()
        raise
    finally:
        pool.join()


def _duration(seconds):
    seconds = int(seconds + 0.5)
    return f"{seconds} s" if seconds < 60 else f"{seconds // 60} min {seconds % 60:02d} s"


class Progress:
    """Files done, files per second and the time left, on one line of standard
    error that is rewritten at most ten times a second; only on a terminal."""

    def __init__(self, total, stream=None):
        self.stream = stream or sys.stderr
        self.total = total
        self.active = total > 1 and self.stream.isatty()
        self.shown = False
        self.started = self.drawn = time.monotonic()

    def update(self, done):
        now = time.monotonic()
        if not self.active or (now - self.drawn < 0.1 and done < self.total):
            return
        self.drawn = now
        rate = done / max(now - self.started, 1e-9)
        left = _duration((self.total - done) / rate) if rate else "?"
        self.stream.write(f"\r{done}/{self.total} files, {rate:.0f} per second, {left} left\x1b[K")
        self.stream.flush()
        self.shown = True

    def clear(self):
        """Takes the line away, before other output or at the end."""
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False
