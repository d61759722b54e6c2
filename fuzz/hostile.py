"""The hostile objects that objects.py builds its calls from, and the helpers
its generated cases use. A case is plain Python source made of these names
(printed as the reproducer of a failure), so everything here is small and
deterministic: an object that lies answers from a fixed sequence, in turn, and
a hook fires on fixed call numbers.

Hooks take the object that fires them (None for a GC callback, a thread or
a finaliser) and run an action whose exceptions are swallowed, so that the
module's call goes on past the point where its state was changed under it.
"""

import gc
import os
import sys
import threading

CALLS = [0, 0]  # module calls made by the case itself, and by hooks (C, G, S and D count)
_in_hook = [0]
KEPT = []  # what the calls returned, kept to the end of the case so nothing is reused
_PROTECTED = set()  # ids of containers that clear_referrers leaves alone
_teardown = []


def protect(obj):
    """obj (a namespace or list of the fuzzer's own) is never cleared."""
    _PROTECTED.add(id(obj))
    return obj


def _count():
    CALLS[1 if _in_hook[0] else 0] += 1


def C(function, *args, **kwargs):
    """One call of a callable of the module; any exception is an outcome."""
    _count()
    try:
        result = function(*args, **kwargs)
    except Exception as error:
        return error
    KEPT.append(result)
    return result


def G(obj, name):
    _count()
    try:
        return getattr(obj, name)
    except Exception as error:
        return error


def S(obj, name, value):
    _count()
    try:
        setattr(obj, name, value)
    except Exception as error:
        return error


def D(obj, name):
    _count()
    try:
        delattr(obj, name)
    except Exception as error:
        return error


class Do:
    """A hook: action(obj) on the calls numbered start, start + every, ...,
    at most times in all; with when, only calls while when() is true count."""

    def __init__(self, action, start=0, every=1, times=1 << 30, when=None):
        self.action, self.start, self.every, self.times, self.when = action, start, every, times, when
        self.calls = self.fired = 0

    def __call__(self, obj=None):
        # Hooks that call back into a call that fires them again would make a
        # tree of calls as deep as the recursion limit: three levels suffice.
        if _in_hook[0] >= 3 or (self.when is not None and not self.when()):
            return
        n = self.calls
        self.calls += 1
        if n < self.start or (n - self.start) % self.every or self.fired >= self.times:
            return
        self.fired += 1
        _in_hook[0] += 1
        try:
            self.action(obj)
        except Exception:
            pass
        finally:
            _in_hook[0] -= 1


def _fire(hook, obj):
    if hook is not None:
        hook(obj)


class Answers:
    """Answers from a fixed sequence in turn, repeating it; None in the
    sequence means the honest answer."""

    def __init__(self, seq):
        self.seq, self.n = tuple(seq), 0

    def next(self, honest):
        answer = self.seq[self.n % len(self.seq)]
        self.n += 1
        return honest() if answer is None else answer


def _answers(seq):
    return None if seq is None else Answers(seq)


class LInt(int):
    """An int whose comparisons answer from scripts (le, lt, ge, gt, eq: tuples
    of answers, None honest) and whose int() answers from conv; hook fires on
    every comparison and conversion. Its own value is what C code that takes
    an int by value reads."""

    def __new__(cls, value, le=None, lt=None, ge=None, gt=None, eq=None, conv=None, hook=None):
        self = int.__new__(cls, value)
        self._le, self._lt, self._ge, self._gt, self._eq = map(_answers, (le, lt, ge, gt, eq))
        self._conv, self._hook = _answers(conv), hook
        return self

    def _cmp(self, script, honest):
        _fire(self._hook, self)
        return honest() if script is None else script.next(honest)

    def __le__(self, other):
        return self._cmp(self._le, lambda: int.__le__(self, other))

    def __lt__(self, other):
        return self._cmp(self._lt, lambda: int.__lt__(self, other))

    def __ge__(self, other):
        return self._cmp(self._ge, lambda: int.__ge__(self, other))

    def __gt__(self, other):
        return self._cmp(self._gt, lambda: int.__gt__(self, other))

    def __eq__(self, other):
        return self._cmp(self._eq, lambda: int.__eq__(self, other))

    def __int__(self):
        return self._cmp(self._conv, lambda: int(int.__index__(self)))

    __index__ = __int__  # read by no C code for an int subclass; int() reads __int__
    __hash__ = int.__hash__


class Num:
    """Not an int: comparisons, int()/index() and arithmetic all answer from
    scripts (arith: answers for +, -, *, where "self" means this object);
    what nothing scripts raises TypeError as an object without it would."""

    def __init__(self, le=None, lt=None, ge=None, gt=None, eq=None, index=None, arith=None, hook=None):
        self._le, self._lt, self._ge, self._gt, self._eq = map(_answers, (le, lt, ge, gt, eq))
        self._index, self._arith, self._hook = _answers(index), _answers(arith), hook

    def _ask(self, script):
        _fire(self._hook, self)
        if script is None:
            return NotImplemented
        answer = script.next(lambda: NotImplemented)
        return self if answer == "self" else answer

    def __le__(self, other):
        return self._ask(self._le)

    def __lt__(self, other):
        return self._ask(self._lt)

    def __ge__(self, other):
        return self._ask(self._ge)

    def __gt__(self, other):
        return self._ask(self._gt)

    def __eq__(self, other):
        return self._ask(self._eq)

    __hash__ = object.__hash__

    def __index__(self):
        answer = self._ask(self._index)
        if answer is NotImplemented:
            raise TypeError("no index")
        return answer

    __int__ = __index__

    def _op(self, other):
        return self._ask(self._arith)

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _op


class LBA(bytearray):
    """A bytearray whose len() answers from length (None: honest), firing hook."""

    def __init__(self, data=b"", length=None, hook=None):
        super().__init__(data)
        self._length, self._hook = _answers(length), hook

    def __len__(self):
        _fire(self._hook, self)
        return bytearray.__len__(self) if self._length is None else self._length.next(
            lambda: bytearray.__len__(self))


class LBytes(bytes):
    """bytes whose len() and == answer from length and eq, firing hook."""

    def __new__(cls, data=b"", length=None, eq=None, hook=None):
        self = bytes.__new__(cls, data)
        self._length, self._eq, self._hook = _answers(length), _answers(eq), hook
        return self

    def __eq__(self, other):
        _fire(self._hook, self)
        def honest():
            return bytes.__eq__(self, other)
        return honest() if self._eq is None else self._eq.next(honest)

    __hash__ = bytes.__hash__

    def __len__(self):
        _fire(self._hook, self)
        return bytes.__len__(self) if self._length is None else self._length.next(lambda: bytes.__len__(self))


class Seq:
    """A sequence-like object: len() from length, iteration over items (a new
    list each time from the items callable when it is one), item access; every
    protocol fires hook."""

    def __init__(self, items, length=None, hook=None):
        self._items, self._length, self._hook = items, _answers(length), hook

    def _now(self):
        return list(self._items() if callable(self._items) else self._items)

    def __len__(self):
        _fire(self._hook, self)
        return len(self._now()) if self._length is None else self._length.next(lambda: len(self._now()))

    def __iter__(self):
        _fire(self._hook, self)
        return iter(self._now())

    def __getitem__(self, key):
        _fire(self._hook, self)
        return self._now()[key]

    def __bool__(self):
        _fire(self._hook, self)
        return bool(self._now())


class Mapping:
    """A header record: keys() and [] over a dict, get() too; hooks fire."""

    def __init__(self, items, hook=None):
        self._items, self._hook = dict(items), hook

    def keys(self):
        _fire(self._hook, self)
        return list(self._items)

    def __getitem__(self, key):
        _fire(self._hook, self)
        return self._items[key]

    def get(self, key, default=None):
        _fire(self._hook, self)
        return self._items.get(key, default)


if sys.version_info >= (3, 12):
    class Exporter:
        """An object exporting the buffer of target() through __buffer__ (3.12+),
        firing hook on export and release."""

        def __init__(self, target, hook=None):
            self._target, self._hook = target, hook

        def __buffer__(self, flags):
            _fire(self._hook, self)
            return memoryview(self._target())

        def __release_buffer__(self, view):
            _fire(self._hook, self)
            view.release()

        def __len__(self):
            _fire(self._hook, self)
            return len(memoryview(self._target()))
else:
    def Exporter(target, hook=None):
        """Before 3.12 no Python class exports a buffer: a plain memoryview."""
        return memoryview(target())


class Stream:
    """A stream over data whose calls misbehave by plan: plan maps a call
    number (reads and seeks counted together) to what that call does instead:
    "none", "str", "int", "list", "bytearray", "memoryview", "short", "long",
    "lie" (bytes reporting another length), "raise", or a hook to fire before
    the honest answer. Everything read hands out is kept in given, so hooks can
    find the containers the module put it in."""

    def __init__(self, data, plan=None, seek=None):
        self._data, self._pos, self._plan, self._seek = bytes(data), 0, dict(plan or {}), seek
        self.calls = 0
        self.given = []

    def _step(self):
        n = self.calls
        self.calls += 1
        return self._plan.get(n)

    def read(self, n=-1):
        how = self._step()
        if callable(how):
            _fire(how, self)
            how = None
        n = len(self._data) if n is None or n < 0 else int(n)
        out = self._data[self._pos:self._pos + n]
        self._pos += len(out)
        if how == "none":
            out = None
        elif how == "str":
            out = out.decode("latin-1")
        elif how == "int":
            out = len(out)
        elif how == "list":
            out = list(out)
        elif how == "bytearray":
            out = bytearray(out)
        elif how == "memoryview":
            out = memoryview(bytearray(out))
        elif how == "short":
            out = out[:-1]
        elif how == "long":
            out = out + b"\0"
        elif how == "lie":
            out = LBytes(out, length=(len(out) + 1, len(out)))
        elif how == "raise":
            raise OSError("read failed")
        else:
            out = bytes(bytearray(out))  # a new object of the stream's own, even when empty
        self.given.append(out)
        return out

    def seek(self, position, whence=0):
        how = self._step()
        if callable(how):
            _fire(how, self)
        elif how == "raise":
            raise OSError("seek failed")
        self._pos = int(position)
        return self._seek if self._seek is not None else self._pos

    def tell(self):
        return self._pos

    @property
    def drained(self):
        """Whether everything has been read: a decoder works on what it read."""
        return self._pos >= len(self._data)


class HPath(os.PathLike):
    """A path-like object naming path, firing hook when the path is asked for."""

    def __init__(self, path, hook=None):
        self._path, self._hook = path, hook

    def __fspath__(self):
        _fire(self._hook, self)
        return self._path


def records(items, how="list", hook=None):
    """Chunk records in the container how names: "list", "tuple", "iter"
    (walked once), "gen" (a generator firing hook per record), "seq" (a Seq
    whose every protocol fires hook), "lists" (records as lists, not tuples)."""
    items = list(items)
    if how == "tuple":
        return tuple(items)
    if how == "iter":
        return iter(items)
    if how == "gen":
        def walk():
            for item in items:
                _fire(hook, None)
                yield item
        return walk()
    if how == "seq":
        return Seq(items, hook=hook)
    if how == "lists":
        return [list(item) if isinstance(item, tuple) else item for item in items]
    return items


# --- actions for hooks ----------------------------------------------------------

def _shared(obj):
    """Objects the interpreter shares everywhere (None, small ints, interned
    strings, b''): clearing what refers to them would wreck the interpreter
    itself, not the module."""
    return obj is None or type(obj) in (bool, int, float, str) or (type(obj) is bytes and len(obj) < 2)


def _ours_to_clear(container):
    """Lists, and dicts that are no namespace or class dict (no dunder key):
    the dicts of a call and the attribute dicts of hostile objects."""
    if id(container) in _PROTECTED:
        return False
    if type(container) is list:
        return True
    return type(container) is dict and not any(type(k) is not str or k.startswith("__") for k in container)


def clear_referrers(obj):
    """Empties every list and dict that refers to obj (see _ours_to_clear): the
    module's own working lists and the dicts of a call are found this way, as
    gc.get_referrers finds them."""
    if _shared(obj):
        return
    for r in gc.get_referrers(obj):
        if _ours_to_clear(r):
            r.clear()


def clear_given(stream):
    """clear_referrers for everything the stream handed out, then forgets it:
    whatever the module still holds of it is its only reference."""
    for obj in list(stream.given):
        clear_referrers(obj)
    stream.given.clear()


def litter(action, count=1):
    """Cyclic garbage whose finaliser runs action(None) and leaves new garbage
    behind, count times in all: whichever collection comes next, inside a
    call of the module or not, finds some."""
    budget = [count]

    class Finaliser:
        def __init__(self):
            self.me = self

        def __del__(self):
            if budget[0] <= 0:
                return
            budget[0] -= 1
            try:
                action(None)
            except Exception:
                pass
            Finaliser()
    Finaliser()
    _teardown.append(lambda: budget.__setitem__(0, 0))


def gc_hostile(hook, threshold=1):
    """hook(None) at the start of every collection, collections as often as
    threshold allows; undone by teardown()."""
    def callback(phase, info):
        if phase == "start":
            hook(None)
    old = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(threshold)
    _teardown.append(lambda: (gc.callbacks.remove(callback), gc.set_threshold(*old)))


def thread_hostile(hook, interval=1e-6):
    """A thread calling hook(None) in a loop, switching every interval seconds,
    until teardown()."""
    old = sys.getswitchinterval()
    stop = threading.Event()

    def run():
        while not stop.is_set():
            hook(None)
    thread = threading.Thread(target=run, daemon=True)
    sys.setswitchinterval(interval)
    thread.start()
    _teardown.append(lambda: (stop.set(), thread.join(10), sys.setswitchinterval(old)))


def collect_hostile(threshold=1):
    """Collections as often as threshold allows, without callbacks."""
    old = gc.get_threshold()
    gc.set_threshold(threshold)
    _teardown.append(lambda: gc.set_threshold(*old))


def signal_hostile(hook, interval=1e-4):
    """hook(None) from a signal handler every interval seconds: the handler
    runs wherever the interpreter next checks for signals; undone by
    teardown()."""
    import signal
    running = [False]

    def handler(signum, frame):
        if running[0]:  # a handler slower than the interval is not entered again
            return
        running[0] = True
        try:
            hook(None)
        finally:
            running[0] = False
    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, interval, interval)
    _teardown.append(lambda: (signal.setitimer(signal.ITIMER_REAL, 0), signal.signal(signal.SIGALRM, signal.SIG_IGN),
                              signal.signal(signal.SIGALRM, old)))


def replace_name(module, name, value):
    """Binds name in module to value (deletes it for the value DELETE) until
    teardown(): the module looks some of its names up at call time."""
    missing = object()
    old = module.__dict__.get(name, missing)
    if value is DELETE:
        module.__dict__.pop(name, None)
    else:
        module.__dict__[name] = value
    _teardown.append(lambda: module.__dict__.__setitem__(name, old) if old is not missing
                     else module.__dict__.pop(name, None))


DELETE = object()


def wrapping(function, hook):
    """A stand-in for a function of the module: fires hook, then calls it."""
    def wrapper(*args, **kwargs):
        _fire(hook, None)
        return function(*args, **kwargs)
    return wrapper


class Meta(type):
    """A metaclass whose isinstance() answers from answers, firing hook."""

    def __instancecheck__(cls, obj):
        _fire(cls.hook, obj)
        return cls.answers.next(lambda: type.__instancecheck__(cls, obj))


def path_type(answers, hook=None):
    """A class standing in for Path: isinstance() lies and fires hook."""
    return Meta("Path", (), {"answers": Answers(answers), "hook": hook})


def nomemory(start, count, function, *args):
    """function(*args) with the interpreter's allocations numbered start to
    start + count - 1 failing (MemoryError, or what the caller makes of it)."""
    try:
        import _testcapi
    except ImportError:  # an interpreter built without its test modules
        return function(*args)
    if sys.version_info >= (3, 12):
        # From 3.12 on the interpreter itself crashes later after a failed
        # allocation while it makes a function object (without this module).
        return function(*args)
    _testcapi.set_nomemory(start, start + count)
    try:
        return function(*args)
    except Exception as error:
        return error
    finally:
        _testcapi.remove_mem_hooks()


def drain_free_lists():
    """Holds enough small tuples, lists and dicts that the interpreter's free
    lists are empty: every new one is an allocation, where a collection can
    start (3.9-3.11)."""
    held = [[(i,) * size for i in range(2100)] for size in range(1, 5)]
    held.append([[i] for i in range(100)])
    held.append([{i: i} for i in range(100)])
    _teardown.append(held.clear)


def teardown():
    """Undoes what the case installed, newest first, and lets go of results."""
    while _teardown:
        _teardown.pop()()
    KEPT.clear()


def chain(SimpleImage, length, field):
    """length images, each stored in the previous one's field ("_alpha",
    "_png_chunks" as a one-item list, "_bmp_header", "_png_filters"); the head."""
    head = SimpleImage(0, 0, b"")
    for _ in range(length - 1):
        image = SimpleImage(0, 0, b"")
        setattr(image, field, [head] if field == "_png_chunks" else head)
        head = image
    return head


# --- first imports: cases that run alone in a fresh interpreter ------------------

MODULE = "Tavrune.simpleImage_ext"


class _Inflater:
    """A decompressobj or compressobj whose results pass through convert."""

    def __init__(self, inner, convert):
        self._inner, self._convert = inner, convert

    def decompress(self, *args):
        return self._convert(self._inner.decompress(*args))

    def compress(self, *args):
        return self._convert(self._inner.compress(*args))

    def flush(self, *args):
        return self._convert(self._inner.flush(*args))

    def __getattr__(self, name):
        return getattr(self._inner, name)


def drop_in(target, kind, hook=None):
    """A stand-in for the host function target ("zlib.decompress"): kind "mock"
    (a MagicMock), "raise", or the real result after hook fired: "honest"
    as it is, or in another type of the same content: "bytearray",
    "memoryview", "subclass" (of bytes or tuple), "list"; or, for a tuple,
    "short" or "long" by one item. The results of a decompressobj's
    decompress and of a compressobj's compress and flush are converted alike.
    Never other content in the right type: the module may
    write whatever the host's functions return as such."""
    import importlib
    from unittest import mock
    module, name = target.split(".")
    real = getattr(importlib.import_module(module), name)
    if kind == "mock":
        return mock.MagicMock()

    class BytesSub(bytes):
        pass

    class TupleSub(tuple):
        pass

    def convert(result):
        if type(result) is bytes:
            return {"bytearray": bytearray, "memoryview": memoryview, "subclass": BytesSub,
                    "list": list}.get(kind, lambda r: r)(result)
        if type(result) is tuple:
            return {"subclass": TupleSub, "list": list, "short": lambda r: r[:-1],
                    "long": lambda r: r + (0,)}.get(kind, lambda r: r)(result)
        if type(result).__name__ in ("Decompress", "Compress"):
            return _Inflater(result, convert)
        return result

    def stand_in(*args, **kwargs):
        _fire(hook, None)
        if kind == "raise":
            raise ValueError("refused by the stand-in")
        return convert(real(*args, **kwargs))
    return stand_in


def load_patched(patches):
    """The module's first successful import, with each (target, stand-in) of
    patches bound in place of the host function while it loads."""
    import importlib
    undo = []
    try:
        for target, value in patches:
            owner = importlib.import_module(target.split(".")[0])
            name = target.split(".")[1]
            undo.append((owner, name, getattr(owner, name)))
            setattr(owner, name, value)
        return importlib.import_module(MODULE)
    finally:
        for owner, name, value in reversed(undo):
            setattr(owner, name, value)


def failed_load(how, step, kept):
    """An import of the module that fails part-way: how "import" refuses the
    step-th import it makes, "allocation" the step-th allocation of its body
    (3.9-3.11, with _testcapi; else "import"), "missing" loads with the host
    attribute step ("zlib.decompressobj") deleted, "blocked" with
    sys.modules[step] set to None. Every module object of the load that
    Python code can reach meanwhile is appended to kept. The exception, or
    None when the load got through after all."""
    import builtins
    import importlib
    import importlib.util
    real_import, count, undo = builtins.__import__, [0], []

    def watching(name, *args, **kwargs):
        count[0] += 1
        kept.append(sys.modules.get(MODULE))
        if how == "import" and count[0] == step:
            raise ImportError("refused")
        return real_import(name, *args, **kwargs)
    try:
        builtins.__import__ = watching
        if how == "missing":
            owner = importlib.import_module(step.split(".")[0])
            attribute = step.split(".")[1]
            kept = getattr(owner, attribute)
            undo.append(lambda owner=owner, attribute=attribute, kept=kept: setattr(owner, attribute, kept))
            delattr(owner, step.split(".")[1])
        elif how == "blocked":
            missing = object()
            value = sys.modules.get(step, missing)
            undo.append(lambda: sys.modules.pop(step) if value is missing else sys.modules.__setitem__(step, value))
            sys.modules[step] = None
        if how == "allocation":
            try:
                import _testcapi
                _testcapi.set_nomemory  # noqa: B018  (an AttributeError where it is missing)
            except (ImportError, AttributeError):
                _testcapi = None
            if _testcapi is None or sys.version_info >= (3, 12):
                how, step = "import", 1 + step % 8  # a step that falls inside the load
            else:
                spec = importlib.util.find_spec(MODULE)
                module = importlib.util.module_from_spec(spec)
                kept.append(module)
                _testcapi.set_nomemory(step, step + 1)
                try:
                    spec.loader.exec_module(module)
                finally:
                    _testcapi.remove_mem_hooks()
                return None
        importlib.import_module(MODULE)
        return None
    except Exception as error:
        return error
    finally:
        builtins.__import__ = real_import
        for action in reversed(undo):
            action()


def poke(modules, data, path):
    """Calls what each module object kept from a failed load still holds."""
    for module in modules:
        if module is None:
            continue
        kind = getattr(module, "SimpleImage", None)
        C(getattr(kind, "open", None), data)
        C(getattr(kind, "_streamToImage", None), None)
        C(getattr(module, "_writePng", None), path, 1, 1, b"abc")
        C(getattr(module, "_writePngWithChunks", None), path, 1, 1, b"abc", None, [(b"IEND", b"", 0)])
        C(getattr(module, "_makeChunk", None), b"IDAT", b"x")


def audit_hostile(hook):
    """hook(args) whenever a file is opened, from an audit hook: it runs as the
    writers open their output. It cannot be removed: cases that install it run
    in an interpreter of their own."""
    sys.addaudithook(lambda event, args: hook(args) if event == "open" else None)


def opened(ext, data, fallback):
    """SimpleImage.open(data), or fallback() when it fails (the host
    functions may be stand-ins that refuse)."""
    image = C(ext.SimpleImage.open, data)
    return image if isinstance(image, ext.SimpleImage) else fallback()


SAVES_CHECKED = [0, 0]  # saves reported successful, and of them read back


def checked_save(ext, image, how, path):
    """Writes image how ("save", "saveBmp", "writePng", "writeBmp", or
    "records list" / "records iter" / "records gen" / "records none" through
    _writePngWithChunks), exceptions being outcomes. A write reported
    successful must read back, by Pillow, as the image's pixels as they were
    before the call: AssertionError otherwise."""
    fields = (image.width, image.height, image._pixels, image._alpha)
    expected = bytes(image._pixels)
    records = list(image._png_chunks or [])
    calls = {
        "save": lambda: image.save(path), "saveBmp": lambda: image.saveBmp(path),
        "writePng": lambda: ext._writePng(path, *fields, image._png_filters),
        "writeBmp": lambda: ext._writeBmp(path, *fields[:3], image._bmp_header),
        "records list": lambda: ext._writePngWithChunks(path, *fields, records, image._png_filters),
        "records iter": lambda: ext._writePngWithChunks(path, *fields, iter(records), image._png_filters),
        "records gen": lambda: ext._writePngWithChunks(path, *fields, (r for r in records), image._png_filters),
        "records none": lambda: ext._writePngWithChunks(path, *fields, iter(()), image._png_filters),
    }
    if os.path.exists(path):
        os.remove(path)
    if isinstance(C(calls[how]), Exception):
        return
    SAVES_CHECKED[0] += 1
    from PIL import Image
    try:
        with Image.open(path) as read:
            pixels = read.convert("RGB").tobytes()
    except Exception as error:
        raise AssertionError(f"{how} reported {path} written, but it does not read back: {error!r}") from None
    assert pixels == expected, f"{how} reported {path} written, but it reads back as other pixels"
    SAVES_CHECKED[1] += 1
