"""Many files at once: the inputs a command names, worker processes, progress.

Workers take file names and hand back plain data: an image holds no state that
could be pickled, and reading the file where it is decoded saves a copy."""

import multiprocessing
import multiprocessing.pool
import os
import signal
import stat
import sys
import time

SUFFIXES = (".png", ".bmp")


def default_jobs():
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def is_regular(path):
    """Whether path is a regular file, following symbolic links. A path that
    cannot be examined (a dangling link, no permission) counts as regular here,
    so that reading it reports why."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True


class Found:
    """What a list of command-line paths names: files (each a pair of its path
    and its path relative to the folder it was found in, or its base name),
    irregular (paths that are not regular files: passed over with a line),
    passed_over (how many other files inside folders were not taken) and
    unlisted (the error of each folder that could not be listed)."""

    def __init__(self):
        self.files, self.irregular, self.passed_over = [], [], 0
        self.unlisted = []  # OSError of each folder that could not be listed


def collect(paths):
    """The files a list of command-line paths names, as a Found.

    A file named on the command line is taken whatever its name; a folder is
    walked recursively (symbolic links to folders are not followed) for files
    named *.png or *.bmp in any case. Anything that is not a regular file (a
    FIFO, a device, also behind a symbolic link) is never read."""
    found = Found()

    def take(path, relative):
        if is_regular(path):
            found.files.append((path, relative))
        else:
            found.irregular.append(path)

    for path in paths:
        if not os.path.isdir(path):
            take(path, os.path.basename(path))
            continue
        inside = []
        for folder, subfolders, names in os.walk(path, onerror=found.unlisted.append):
            subfolders.sort()
            for name in names:
                if name.lower().endswith(SUFFIXES):
                    inside.append(os.path.join(folder, name))
                else:
                    found.passed_over += 1
        for file in sorted(inside):
            take(file, os.path.relpath(file, path))
    return found


def _ignore_interrupts():
    # Ctrl-C reaches every process of the terminal's foreground group: the
    # command itself stops the workers, so they must not die on their own with
    # a traceback each. SIGTERM ends a worker at once, whatever handler the
    # command had when the pool was made; a worker writing a file sets its own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _abandon(pool):
    """Stops the workers without the pool's own clean-up, which can wait for
    ever: it takes the lock of the task queue and then waits for each worker,
    while a worker may be waiting for that same lock. No new worker is
    started; each gets SIGTERM (one writing a file removes its temporary file
    first) and is killed if it has not ended within seconds; the pool's
    clean-up at exit is cancelled. Its threads are daemons and end with the
    process."""
    pool._worker_handler._state = multiprocessing.pool.TERMINATE
    pool._change_notifier.put(None)
    pool._worker_handler.join(5)
    workers = list(pool._pool)
    for worker in workers:
        if worker.exitcode is None:
            worker.terminate()
    deadline = time.monotonic() + 5
    for worker in workers:
        worker.join(max(0.0, deadline - time.monotonic()))
        if worker.exitcode is None:
            worker.kill()
            worker.join()
    pool._terminate.cancel()


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
        _abandon(pool)
        raise
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
