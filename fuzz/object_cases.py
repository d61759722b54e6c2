"""The case generators of the object-protocol fuzzer (objects.py runs the
cases): the inputs the cases share, the themes and Case, which writes the
source of case SEED:INDEX from random.Random("SEED:INDEX") alone, so that a
seed and an index give the same case in every process and every run."""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from support.builders import build_bmp, build_png, random_rows, read_chunks  # noqa: E402
from support.mutations import mutate, seeds  # noqa: E402

# --- inputs the cases share ---------------------------------------------------------


def _files():
    """Valid and mutated PNG and BMP files, the same in every process."""
    files = [data for _, data in seeds()]
    for channels in (3, 4):
        rows = random_rows(40, 40, channels, seed=channels)
        files.append(build_png(rows, channels, [y % 5 for y in range(40)], idat_sizes=(100, 7, 900)))
    files.append(build_png([bytes(range(90))] * 200, 3, 4, level=0))  # image data of several 16 KiB slices
    files.append(build_bmp(random_rows(33, 9, 3, seed=5)))
    rng = random.Random("files")
    files += [mutate(files[i % len(files)], rng) for i in range(24)]
    return tuple(files)  # a hook clearing what refers to a file cannot empty a tuple


FILES = _files()
VALID = len(FILES) - 24  # the files before this index are not mutated


def _large_files():
    """PNG files whose image data is over 64 KiB and whose IDAT chunks are over
    5 KiB: open inflates, reconstructs and sums their CRCs with the
    interpreter lock released."""
    return tuple(build_png(random_rows(w, h, channels, seed=channels), channels, [y % 5 for y in range(h)],
                           idat_sizes=(6000, 20000)) for channels, w, h in ((3, 160, 140), (4, 130, 130)))


LARGE = _large_files()
RECORD_IDAT = "[(b'IDAT', None, 5)]"


def _records(data):
    """The chunk records the decoder keeps for a PNG file (None for others)."""
    try:
        return [(t, None if t == b"IDAT" else d, len(d)) for t, d in read_chunks(data)]
    except Exception:
        return None


RECORDS = [_records(data) for data in FILES]
PNGS = [i for i in range(VALID) if RECORDS[i]]


def _writable(data):
    """Whether the writers take back the filter types of a PNG (a file may
    keep a type above 4 on rows of no pixels)."""
    import struct
    import zlib
    chunks = read_chunks(data)
    width, height, _, color = struct.unpack(">IIBB", dict(chunks)[b"IHDR"][:10])
    raw = zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT"))
    stride = 1 + width * (4 if color == 6 else 3)
    return all(raw[y * stride] <= 4 for y in range(height))


ROUND_TRIP = [i for i in PNGS if _writable(FILES[i])]


def _has_pixels(data):
    import struct
    return min(struct.unpack(">II", dict(read_chunks(data))[b"IHDR"][:8])) > 0


# Files opened by the cases of a fresh interpreter, whose saves are read back by
# Pillow: PNGs that write back with at least one pixel, and the BMP.
FRESH_SOURCES = [i for i in ROUND_TRIP if _has_pixels(FILES[i])] + [VALID - 1]

INTS = (0, 1, 2, 3, 4, 5, 7, 8, -1, -2, -3, 2 ** 31 - 1, 2 ** 31 - 2, -2 ** 31, 2 ** 31, 2 ** 32, 2 ** 32 + 1,
        2 ** 63 - 1, -2 ** 63, 2 ** 63, 2 ** 64, 10 ** 30, 46341, 715827883, 1431655765)
ANSWERS = (True, False, None, 0, 1, "x")  # "x": a comparison that returns a non-bool object

# --- case generation ----------------------------------------------------------------


# Themes: what a case concentrates on, with its weight. Every theme still
# draws from all the classes of objects; the theme raises the odds of the
# combinations that reach one kind of hazard.
THEMES = (
    ("mixed", 30),
    ("interpreter events", 14),  # collections, finalisers and threads that replace what a call reads
    ("call dicts", 8),  # keyword calls whose arguments empty the dicts and lists holding them
    ("geometry", 8),  # dimensions at the ends of int32 and coordinates next to them
    ("cutting", 8),  # piece sizes that lie, for _split_idat_payload and the chunk writer
    ("streams", 10),  # decoders reading streams that misbehave and clear what they handed out
    ("records", 8),  # chunk records that change between the writer's walks
    ("oracle", 14),  # pixel access and cutting checked against the model
    ("module names", 6),  # the names the module looks up at call time, replaced
    ("no memory", 6),  # allocations failing in the middle of calls
    ("round trip", 4),  # honest images written every way must read back the same
    ("first import", 1),  # host modules patched, loads failing part-way: in a fresh interpreter
    ("unlocked steps", 5),  # a thread changes what open and save use while their long steps run unlocked
)

# Hook actions, with their weight in each theme (default: "mixed").
ACTION_WEIGHTS = {
    "mixed": {"pixels": 3, "field": 3, "dims": 2, "resize": 2, "list": 2, "self": 2, "field refs": 1, "given": 1,
              "collect": 1, "reenter": 2, "pair": 1, "huge": 1},
    "interpreter events": {"pixels": 6, "field": 4, "resize": 3, "dims": 2, "reenter": 2, "field refs": 2,
                           "given": 2},
    "call dicts": {"self": 8, "field refs": 2, "field": 2, "pixels": 1},
    "geometry": {"huge": 5, "dims": 3, "pixels": 1},
    "cutting": {"list": 3, "self": 2, "pixels": 1, "field": 1, "reenter": 1},
    "streams": {"given": 6, "pixels": 2, "collect": 1, "self": 1},
    "records": {"list": 6, "self": 2, "field": 1, "reenter": 1},
    "module names": {"pixels": 2, "field": 2, "dims": 1, "reenter": 2, "self": 1, "list": 1},
}

HUGE = (2 ** 31 - 1, 2 ** 31 - 2, 46341, 46340, 65536, 1 << 30, 715827882, 715827883, 1431655765, -2 ** 31, -1)


class Case:
    """Source lines of one case and the classes of objects it generated."""

    def __init__(self, seed, index, theme=None):
        self.rng = random.Random(f"{seed}:{index}")
        names = [name for name, _ in THEMES]
        self.theme = theme or self.rng.choices(names, [weight for _, weight in THEMES])[0]
        self.fresh = self.theme == "first import"  # run alone in an interpreter of its own
        self.lines = []
        self.classes = set()
        self.images, self.arrays, self.lists, self.streams = [], [], [], []
        self.counter = 0

    @property
    def oracle(self):
        return self.theme == "oracle"

    # helpers

    def pick(self, *choices):
        return self.rng.choice(choices)

    def chance(self, p):
        return self.rng.random() < p

    def emit(self, line):
        self.lines.append(line)

    def new(self, prefix, expr):
        self.counter += 1
        name = f"{prefix}{self.counter}"
        self.emit(f"{name} = {expr}")
        return name

    def small(self):
        return self.rng.choice((0, 1, 1, 2, 2, 3, 4, 5))

    def int_literal(self):
        return repr(self.pick(*INTS))

    def answers(self):
        return repr(tuple(self.pick(*ANSWERS) for _ in range(self.rng.randint(1, 4))))

    def image(self):
        return self.pick(*self.images) if self.images else "SimpleImage(1, 1, b'abc')"

    # actions that hooks run on the object o that fires them

    def action(self, depth=0):
        rng = self.rng
        weights = ACTION_WEIGHTS.get(self.theme, ACTION_WEIGHTS["mixed"])
        kind = rng.choices(list(weights), list(weights.values()))[0]
        im = self.image()
        if kind == "pixels":
            self.classes.add("buffer-replacing hook")
            return f"S({im}, '_pixels', {self.pick('bytearray(0)', 'None', f'bytearray({rng.randrange(64)})')})"
        if kind == "field":
            self.classes.add("buffer-replacing hook")
            field = self.pick("_alpha", "_png_filters", "_png_chunks", "_bmp_header")
            value = self.pick("None", f"bytearray({rng.randrange(32)})", "[]", "{}", im, "b''",
                              "[(b'IDAT', None, 1)]", "{'xppm': 1}")
            return f"S({im}, {field!r}, {value})"
        if kind == "dims":
            self.classes.add("dimension-changing hook")
            return f"S({im}, {self.pick('width', 'height')!r}, {self.pick('0', '1', '2', '3', '-1', '100')})"
        if kind == "huge":
            self.classes.add("dimension-changing hook")
            return f"(S({im}, 'width', {self.pick(*HUGE)}), S({im}, 'height', {self.pick(*HUGE)}))"
        if kind == "resize":
            self.classes.add("resizing hook")
            target = f"G({im}, {self.pick('_pixels', '_alpha', '_png_filters')!r})"
            if self.arrays and self.chance(0.4):
                target = self.pick(*self.arrays)
            return self.pick(f"{target}.clear()", f"{target}.extend(bytes({rng.randrange(1, 999)}))",
                             f"{target}.__delitem__(slice(1, None))")
        if kind == "list":
            self.classes.add("list-changing hook")
            target = self.pick(*self.lists) if self.lists and self.chance(0.7) else f"G({im}, '_png_chunks')"
            return self.pick(f"{target}.clear()", f"{target}.append((b'IDAT', None, 5))", f"{target}.pop()",
                             f"{target}.insert(0, 7)", f"{target}.reverse()", f"{target}.append({im})")
        if kind == "self":
            self.classes.add("referrer-clearing hook")
            return "clear_referrers(o)"
        if kind == "field refs":
            self.classes.add("referrer-clearing hook")
            return f"clear_referrers(G({im}, {self.pick('_pixels', '_png_chunks', '_alpha', '_bmp_header')!r}))"
        if kind == "given" and self.streams:
            self.classes.add("referrer-clearing hook")
            stream = self.pick(*self.streams)
            return f"clear_given({stream})"
        if kind == "collect":
            return "gc.collect()"
        if kind == "reenter":
            self.classes.add("re-entrant call")
            return self.pick(f"C({im}.copy)", f"C({im}.getPixel, (0, 0))", f"C({im}.putPixel, (0, 0), (1, 2, 3))",
                             f"C({im}.save, P('r.png'))", f"C({im}.saveBmp, P('r.bmp'))", f"G({im}, 'size')")
        if kind == "pair" and depth == 0:
            return f"({self.action(1)}, {self.action(1)})"
        return self.action(depth + 1) if depth < 3 else "None"

    def hook(self, repeated=False):
        rng = self.rng
        if repeated:  # for events that come often: act on many of them
            start, every, times = rng.choice((0, 1, 2, 3, 5)), rng.choice((1, 1, 2)), 1 << 20
        else:
            start, every = rng.choice((0, 0, 0, 1, 2, 3, 5, 8)), rng.choice((1, 1, 1, 2, 3))
            times = rng.choice((1, 1, 2, 3, 1 << 20))
        return f"Do(lambda o: {self.action()}, {start}, {every}, {times})"

    def maybe_hook(self, p=0.5):
        return self.hook() if self.chance(p) else "None"

    # values

    def number(self, near=None):
        """An int-like value: plain, float, lying int or scripted number."""
        rng = self.rng
        kind = rng.randrange(12)
        if kind < 4:
            if self.theme == "geometry" and self.chance(0.5):
                value = self.pick(*HUGE)
                return repr(value + self.pick(0, 0, -1, -2, 1) if value > 0 else value)
            if near is not None and rng.random() < 0.7:
                return repr(rng.randrange(max(near, 1) + 1) - (1 if rng.random() < 0.1 else 0))
            return self.int_literal()
        if kind == 4:
            self.classes.add("bool or float")
            return self.pick("True", "False", "1.9", "-0.5", "1e300", "float('nan')", "2.0**31")
        if kind in (5, 6, 7, 8):
            self.classes.add("lying int")
            if self.theme == "cutting" and self.chance(0.6):
                value = repr(self.pick(0, 0, -1, -7, 2 ** 63 - 1, 2 ** 31, 1))
            elif near is not None and rng.random() < 0.6:
                value = repr(rng.randrange(max(near, 1)))
            else:
                value = self.int_literal()
            args = [value]
            for op in ("le", "lt", "ge", "gt", "eq"):
                if self.chance(0.35) or (self.theme == "cutting" and op == "le"):
                    args.append(f"{op}={self.answers()}")
            if self.chance(0.3):
                self.classes.add("int with disagreeing int()")
                args.append(f"conv=({self.int_literal()},)")
            if self.chance(0.3):
                self.classes.add("mutating comparison")
                args.append(f"hook={self.hook()}")
            return f"LInt({', '.join(args)})"
        if kind in (9, 10):
            self.classes.add("scripted number")
            args = []
            for op in ("le", "lt", "ge", "gt", "eq"):
                if self.chance(0.6):
                    args.append(f"{op}={self.answers()}")
            if self.chance(0.7):
                args.append(f"index=({self.int_literal()}, {self.int_literal()})")
            if self.chance(0.5):
                self.classes.add("number with own arithmetic")
                args.append(f"arith=('self', {self.pick('0', 'self')!r}, {self.int_literal()}, 'self')")
            if self.chance(0.4):
                self.classes.add("mutating comparison")
                args.append(f"hook={self.hook()}")
            return f"Num({', '.join(args)})"
        self.classes.add("wrong type")
        return self.pick("None", "'1'", "b'1'", "[]", "object()", "1j")

    def buffer(self, n):
        """Something given where a byte buffer of n bytes belongs."""
        rng = self.rng
        size = n if rng.random() < 0.7 else max(0, n + rng.choice((-1, 1, 3, -3)))
        kind = rng.randrange(16)
        if self.theme == "call dicts" and kind < 6:
            kind = rng.choice((6, 9, 10))  # something whose protocol runs a hook
        if kind < 5:
            return self.pick(f"px({size})", f"bytearray(px({size}))", f"bytes({size})")
        if kind == 5:
            self.classes.add("buffer view")
            return self.pick(f"memoryview(px({size}))", f"memoryview(bytearray({size * 2}))[::2]",
                             f"array.array('B', px({size}))", f"array.array('H', bytes({size * 2}))",
                             f"memoryview(bytearray({size})).cast('B', (1, {size}))" if size else "memoryview(b'')")
        if kind in (6, 7):
            self.classes.add("lying-len bytearray")
            real = max(0, size + rng.choice((0, -1, -size, 5, 100)))
            return f"LBA(px({real}), length=({n}, {self.pick(n, real, 0, -1, 2 ** 31)}), hook={self.maybe_hook(0.7)})"
        if kind == 8:
            self.classes.add("lying-len bytes")
            return f"LBytes(px({max(0, size - 1)}), length=({n},), hook={self.maybe_hook()})"
        if kind in (9, 10):
            self.classes.add("mutating-len sequence")
            return f"Seq(list(px({size})), length={self.pick('None', f'({n},)', f'({n}, 0)')}, hook={self.hook()})"
        if kind == 11 and self.arrays:
            self.classes.add("buffer exporter")
            return f"Exporter(lambda: {self.pick(*self.arrays)}, hook={self.maybe_hook()})"
        if kind == 12:
            self.classes.add("image in a buffer's place")
            return self.image()
        if kind == 13:
            self.classes.add("wrong type")
            return self.pick("None", "'abc'", "5", "1.5", "object()", "iter(px(3))", "[300]")
        if kind == 14 and self.arrays:
            return self.pick(*self.arrays)
        return f"px({size})"

    def header(self):
        rng = self.rng
        kind = rng.randrange(6)
        if kind == 0:
            return "None"
        items = {k: self.number() if self.chance(0.3) else repr(rng.choice((0, 2835, -1, 2 ** 32, 3780)))
                 for k in ("xppm", "yppm", "clrUsed", "clrImportant") if self.chance(0.8)}
        body = "{" + ", ".join(f"{k!r}: {v}" for k, v in items.items()) + "}"
        if kind <= 2:
            return body
        self.classes.add("hostile header record")
        if kind == 3:
            return f"Mapping({body}, hook={self.hook()})"
        if kind == 4:
            return f"list({body}.items())"
        return self.pick("5", "'xppm'", "[1, 2]", self.image())

    def record_items(self):
        """A list expression of chunk records, mostly from a real PNG."""
        rng = self.rng
        base = RECORDS[rng.choice(PNGS)]
        out = []
        lie = 0.35 if self.theme in ("cutting", "records") else 0.12
        for kind, data, length in base:
            if self.chance(0.08):
                continue
            t, d, n = repr(kind), "None" if data is None else repr(data), repr(length)
            if self.chance(lie):
                self.classes.add("lying chunk type")
                t = f"LBytes({t}, eq={self.answers()}, hook={self.maybe_hook(0.7 if self.theme == 'records' else 0.4)})"
            if self.chance(lie):
                n = self.number(near=length)
            if self.chance(0.08):
                self.classes.add("hostile chunk payload")
                raw = repr(data or b"ab")
                d = self.pick("None", f"bytearray({raw})", f"LBytes({raw}, length=(1, 0), hook={self.maybe_hook()})",
                              "memoryview(b'abc')", "5", "'text'", self.buffer(3))
            rec = f"({t}, {d}, {n})"
            if self.chance(0.05):
                self.classes.add("malformed record")
                rec = self.pick(f"[{t}, {d}, {n}]", f"({t}, {d})", f"({t}, {d}, {n}, 0)", "None",
                                f"Seq([{t}, {d}, {n}], hook={self.hook()})", f"iter(({t}, {d}, {n}))")
            out.append(rec)
        if self.theme == "cutting":
            for _ in range(rng.choice((0, 4, 16, 64))):
                out.insert(rng.randrange(min(1, len(out)), len(out) + 1), f"(b'IDAT', None, {self.number(near=2)})")
        if self.chance(0.1):
            self.classes.add("malformed record")
            out.insert(rng.randrange(len(out) + 1), self.pick("(b'IDAT', None, 0)", "(b'IEND', b'', 0)",
                                                              "(b'IDAT', None, -5)", "(b'tEXt', b'k\\x00v', 99)"))
        return "[" + ", ".join(out) + "]"

    def chunk_records(self):
        how = self.rng.choice(("list", "list", "list", "tuple", "iter", "gen", "seq", "lists"))
        items = self.record_items()
        if how == "list":
            name = self.new("rc", items)
            self.lists.append(name)
            return name
        self.classes.add("records walked by protocol")
        return f"records({items}, {how!r}, hook={self.maybe_hook()})"

    def lengths(self, honest=False):
        """A list of piece sizes for _split_idat_payload."""
        rng = self.rng
        count = rng.choice((0, 1, 2, 3, 5, 8, 64))
        if not honest and self.theme == "cutting" and self.chance(0.5):
            self.classes.add("one lying entry many times")
            name = self.new("ln", f"[{self.number(near=1)}] * {count} + [{self.number(near=3)}]")
            self.lists.append(name)
            return name
        items = []
        for _ in range(count):
            if honest:
                items.append(self.pick(repr(rng.randrange(-3, 40)), "True", "False", "2**70", "-2**70",
                                       f"LInt({rng.randrange(0, 30)})"))
            else:
                items.append(self.number(near=rng.randrange(40)))
        name = self.new("ln", "[" + ", ".join(items) + "]")
        self.lists.append(name)
        return name

    def stream(self):
        rng = self.rng
        data = f"FILES[{rng.randrange(len(FILES))}]"
        plan = {}
        for _ in range(rng.choice((0, 0, 1, 1, 2, 3))):
            plan[rng.randrange(12)] = self.pick('"none"', '"str"', '"int"', '"list"', '"bytearray"', '"memoryview"',
                                                '"short"', '"long"', '"lie"', '"raise"', self.hook(), self.hook())
        self.classes.add("hostile stream")
        seek = self.pick("None", "None", "'x'", "-1")
        name = self.new("st", f"Stream({data}, {{{', '.join(f'{k}: {v}' for k, v in plan.items())}}}, {seek})")
        self.streams.append(name)
        return name

    def path(self):
        self.counter += 1
        base = f"P('f{self.counter % 4}.{self.pick('png', 'bmp')}')"
        if self.chance(0.1):
            self.classes.add("path-like hook")
            return f"HPath({base}, hook={self.hook()})"
        return base

    def coords(self):
        if self.chance(0.05):
            self.classes.add("wrong type")
            return self.pick("[0, 0]", "(0,)", "(0, 0, 0)", "None", "Pair((0, 0))")
        if self.theme == "geometry" and self.chance(0.7):
            edge = [self.pick(*HUGE) for _ in range(2)]
            return f"({max(edge[0] - self.pick(1, 2, 3), 0)}, {max(edge[1] - self.pick(1, 2, 3), 0)})"
        if self.theme == "interpreter events" and self.chance(0.7):
            return f"({self.rng.randrange(3)}, {self.rng.randrange(3)})"  # exact ints: the in-place path
        if self.chance(0.15):
            return f"({self.inside()}, {self.inside()})"
        return f"({self.number(near=3)}, {self.number(near=3)})"

    def inside(self):
        """A coordinate that passes every bounds test and whose index arithmetic
        yields itself, or an int, firing a hook."""
        self.classes.add("number with own arithmetic")
        return (f"Num(le=(True,), lt=(True,), ge=(True,), gt=(True,), index=({self.rng.randrange(3)},), "
                f"arith=('self', 'self', {self.rng.randrange(3)}), hook={self.hook()})")

    def pixel_value(self):
        if self.chance(0.6):
            return f"({self.number()}, {self.number()}, {self.number()})"
        self.classes.add("mutating-len sequence")
        return self.pick(f"[{self.number()}, 2, 3]", f"Seq([1, {self.number()}, 3], hook={self.hook()})",
                         "(1, 2)", "(1, 2, 3, 4)", "iter((1, 2, 3))", "'abc'", "None", "(1, '7', 300)")

    # setup

    def make_image(self):
        rng = self.rng
        if self.chance(0.35):
            name = self.new("im", f"SimpleImage.open(FILES[{rng.randrange(VALID)}])")
            self.emit(f"if not isinstance({name}, SimpleImage): {name} = SimpleImage(2, 1, px(6))")
        else:
            w, h = self.small(), self.small()
            args = [str(w), str(h), f"px({w * h * 3})"]
            if self.chance(0.4):
                args.append(f"px({w * h})")
            name = self.new("im", f"SimpleImage({', '.join(args)})")
            if self.chance(0.3):
                self.emit(f"S({name}, '_png_chunks', {self.record_items()})")
            if self.chance(0.3):
                types = ", ".join(str(rng.randrange(5)) for _ in range(h))
                self.emit(f"S({name}, '_png_filters', bytearray([{types}]))")
            if self.chance(0.2):
                self.emit(f"S({name}, '_bmp_header', {{'xppm': 1}})")
        self.images.append(name)
        return name

    # calls

    CALLS = {  # weight of each kind of call per theme
        "mixed": {"getPixel": 5, "putPixel": 4, "constructor": 2, "property": 3, "copy": 1, "save": 1, "open": 1,
                  "streamToImage": 1, "readChunk": 1, "makeChunk": 1, "split": 1, "withChunks": 3, "writePng": 2,
                  "writeBmp": 2, "pickling": 1, "subclass": 1},
        "interpreter events": {"getPixel": 6, "putPixel": 3, "copy": 2, "save": 2, "withChunks": 2, "writePng": 1,
                               "writeBmp": 1, "open": 1, "streamToImage": 1, "constructor": 1},
        "call dicts": {"constructor": 6, "withChunks": 2, "writePng": 1, "writeBmp": 1, "split": 1, "getPixel": 1,
                       "putPixel": 1, "open": 1},
        "geometry": {"getPixel": 4, "putPixel": 4, "property": 2, "constructor": 2, "writePng": 1, "writeBmp": 1,
                     "withChunks": 1, "copy": 1, "save": 1},
        "cutting": {"split": 5, "withChunks": 3, "save": 2},
        "streams": {"streamToImage": 4, "readChunk": 3, "open": 1, "subclass": 1},
        "records": {"withChunks": 4, "save": 2, "copy": 1, "constructor": 1},
        "module names": {"open": 3, "save": 3, "streamToImage": 2, "withChunks": 2, "writePng": 1,
                         "subclass": 1},
    }

    def call(self):
        weights = self.CALLS.get(self.theme, self.CALLS["mixed"])
        kind = self.rng.choices(list(weights), list(weights.values()))[0]
        im = self.pick(*self.images)
        keywords = self.theme == "call dicts" and self.chance(0.8)
        if keywords:
            self.classes.add("keyword arguments")
        getattr(self, "call_" + kind)(im, keywords)

    def emit_call(self, function, names, values, keywords):
        """function(*values), or by keyword: from the first keyword on, the
        arguments go in one dict (the form that gives the callee a dict)."""
        if keywords:
            # Called in a lambda so that the call's dict is the only owner of
            # the values, as in a call written out in the source.
            cut = self.rng.randrange(len(values) + 1) if self.chance(0.3) else 0
            keywords = ", ".join(f"{n!r}: {v}" for n, v in zip(names[cut:], values[cut:]))
            given = ", ".join(values[:cut] + [f"**{{{keywords}}}"])
            self.emit(f"C(lambda: {function}({given}))")
        else:
            given = ", ".join(values)
            self.emit(f"C({function}{', ' if given else ''}{given})")

    def call_getPixel(self, im, keywords):
        self.emit_call(f"{im}.getPixel", ["coords"], [self.coords()], keywords)

    def call_putPixel(self, im, keywords):
        self.emit_call(f"{im}.putPixel", ["coords", "value"], [self.coords(), self.pixel_value()], keywords)

    def call_constructor(self, im, keywords):
        rng = self.rng
        if self.theme == "geometry":
            w, h = self.pick(*HUGE), self.pick(*HUGE)
            values = [repr(w), repr(h), self.buffer(rng.randrange(12))]
        else:
            w, h = rng.choice((0, 1, 2, 3)), rng.choice((0, 1, 2, 3))
            values = [self.number(near=3) if self.chance(0.3) else str(w),
                      self.number(near=3) if self.chance(0.3) else str(h), self.buffer(w * h * 3)]
        names = ["width", "height", "pixels", "alpha", "png_chunks", "bmp_header", "png_filters"]
        extra = [lambda: self.buffer(max(w * h, 0) if self.theme != "geometry" else 3), self.chunk_records,
                 self.header, lambda: self.buffer(max(h, 0) if self.theme != "geometry" else 3)]
        count = 3 + max((i + 1 for i in range(4) if self.chance(0.5 if keywords else 0.35)), default=0)
        values += [make() for make in extra[:count - 3]]
        self.emit_call("SimpleImage", names[:count], values, keywords)

    def call_property(self, im, keywords):
        rng = self.rng
        name = self.pick("width", "height", "size", "_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header")
        op = rng.randrange(4)
        if op == 0:
            self.emit(f"G({im}, {name!r})")
        elif op == 3:
            self.emit(f"D({im}, {name!r})")
        elif name in ("width", "height", "size"):
            self.emit(f"S({im}, {name!r}, {self.number(near=4)})")
        else:
            value = self.pick(self.buffer(rng.randrange(12)), "None",
                              self.chunk_records() if name == "_png_chunks" else "[]",
                              self.header() if name == "_bmp_header" else "bytearray(2)", self.image())
            self.emit(f"S({im}, {name!r}, {value})")

    def call_copy(self, im, keywords):
        self.emit(f"C({im}.copy)")

    def call_save(self, im, keywords):
        self.emit_call(f"{im}.{self.pick('save', 'saveBmp')}", ["path"], [f"P('s.{self.pick('png', 'bmp')}')"],
                       keywords)

    def call_open(self, im, keywords):
        k = self.rng.randrange(len(FILES))
        source = self.pick(f"FILES[{k}]", f"bytearray(FILES[{k}])", f"LBytes(FILES[{k}], length=(1,))",
                           f"put_file('o{k}', FILES[{k}])", f"HostilePath(put_file('o{k}', FILES[{k}]), {self.hook()})",
                           f"memoryview(FILES[{k}])", "None")
        if "Hostile" in source:
            self.classes.add("path-like hook")
        self.emit_call("SimpleImage.open", ["source"], [source], keywords)

    def call_streamToImage(self, im, keywords):
        stream = self.stream()
        if self.theme == "streams" and self.chance(0.5):
            self.classes.add("referrer-clearing hook")
            self.environment(f"Do(lambda o: clear_given({stream}), {self.rng.randrange(6)}, 1, 1, "
                             f"when=lambda: {stream}.drained)")
        self.emit_call("SimpleImage._streamToImage", ["stream"], [stream], keywords)

    def call_readChunk(self, im, keywords):
        stream = self.stream()
        self.emit(f"[C(_readChunk, {stream}) for _ in range({self.rng.randrange(1, 6)})]")

    def call_makeChunk(self, im, keywords):
        kind = self.pick("b'IDAT'", "LBytes(b'IEND')", "bytearray(b'IEND')")
        self.emit_call("_makeChunk", ["chunkType", "data"], [kind, self.pick("b''", "px(9)", "None")], keywords)

    def call_split(self, im, keywords):
        data = self.pick("b''", "px(1)", "px(2)", "px(3)", "px(25)", "px(220)", "None", "LBytes(px(9))")
        self.emit_call("_split_idat_payload", ["data", "lengths"], [data, self.lengths()], keywords)

    def call_withChunks(self, im, keywords):
        if self.chance(0.3):
            self.emit(f"S({im}, '_png_chunks', {self.chunk_records()})")
            self.emit(f"C({im}.save, P('c.{self.pick('png', 'bmp')}'))")
            return
        w, h = self.dims(im)
        filters = self.pick("None", f"G({im}, '_png_filters')", self.buffer(3))
        names = ["path", "width", "height", "pixels", "alpha", "chunks", "filter_types"]
        values = [self.path(), w, h, self.pick(f"G({im}, '_pixels')", self.buffer(9)),
                  self.pick(f"G({im}, '_alpha')", "None", self.buffer(3)), self.chunk_records(), filters]
        self.emit_call("_writePngWithChunks", names, values, keywords)

    def call_writePng(self, im, keywords):
        w, h = self.dims(im)
        names = ["path", "width", "height", "pixels", "alpha", "filter_types"]
        values = [self.path(), w, h, self.pick(f"G({im}, '_pixels')", self.buffer(9)),
                  self.pick("None", f"G({im}, '_alpha')", self.buffer(3)),
                  self.pick("None", "bytearray(3)", f"G({im}, '_png_filters')", self.buffer(3))]
        self.emit_call("_writePng", names, values, keywords)

    def call_writeBmp(self, im, keywords):
        w, h = self.dims(im)
        names = ["path", "width", "height", "pixels", "meta"]
        values = [self.path(), w, h, self.pick(f"G({im}, '_pixels')", self.buffer(9)), self.header()]
        self.emit_call("_writeBmp", names, values, keywords)

    def call_pickling(self, im, keywords):
        method = self.pick("SimpleImage.__reduce__", "SimpleImage.__setstate__")
        self.emit(f"C({method}, {im}{self.pick('', ', None')})")

    def call_subclass(self, im, keywords):
        self.classes.add("subclass with its own decoder")
        values = [self.number(near=3), self.number(near=3), self.buffer(9), "3", self.pick("None", self.buffer(3)),
                  self.pick("None", self.chunk_records()), self.pick("None", self.header()),
                  self.pick("None", self.buffer(3))]
        result = self.pick(f"({', '.join(values)})", f"[{', '.join(values)}]",
                           f"Seq([{', '.join(values)}], hook={self.hook()})", f"({', '.join(values[:7])})")
        self.emit(f"Sub = subclass(lambda stream: {result})")
        self.emit(f"C(Sub.open, FILES[{self.rng.randrange(len(FILES))}])")

    def dims(self, im):
        if self.theme == "geometry" and self.chance(0.6):
            return repr(self.pick(*HUGE)), repr(self.pick(*HUGE))
        if self.chance(0.5):
            return f"G({im}, 'width')", f"G({im}, 'height')"
        return self.number(near=4), self.number(near=4)

    # events

    def environment(self, hook=None):
        """An interpreter event firing hook (or a new repeated one)."""
        rng = self.rng
        hook = hook or self.hook(repeated=True)
        if self.chance(0.5):
            self.classes.add("drained free lists")
            self.emit("drain_free_lists()")
        kind = rng.randrange(11)
        if kind < 4:
            self.classes.add("GC callback")
            self.emit(f"gc_hostile({hook})")
        elif kind < 8:
            self.classes.add("finaliser in cyclic garbage")
            self.emit(f"collect_hostile(); litter({hook}, {rng.choice((3, 30, 300))})")
        elif kind < 10:
            self.classes.add("thread switching every microsecond")
            self.emit(f"thread_hostile({hook})")
        else:
            self.classes.add("signal handler")
            self.emit(f"signal_hostile({hook}, {self.pick(1e-3, 1e-4)})")

    def chain(self):
        self.classes.add("deep chain")
        length = self.pick(10 ** 5, 10 ** 5, 3 * 10 ** 5, 10 ** 6)
        field = self.pick("_alpha", "_png_chunks", "_bmp_header", "_png_filters")
        self.emit(f"CH = chain(SimpleImage, {length}, {field!r})")
        self.emit(self.pick("CH = None", "C(CH.copy); CH = None", "C(CH.save, P('ch.png')); CH = None"))

    def build(self):
        rng = self.rng
        if self.oracle:
            return self.build_oracle()
        if self.theme == "round trip":
            return self.build_round_trip()
        if self.fresh:
            return self.build_first_import()
        if self.theme == "unlocked steps":
            return self.build_unlocked()
        for _ in range(rng.choice((1, 1, 2, 3))):
            self.make_image()
        for _ in range(rng.choice((0, 0, 1, 2))):
            self.arrays.append(self.new("ba", f"bytearray(px({rng.randrange(64)}))"))
        if rng.random() < 0.002:
            self.chain()
            return self.source()
        if self.theme == "interpreter events" or (self.theme == "mixed" and self.chance(0.15)):
            self.environment()
        if self.theme == "geometry" and self.chance(0.7):
            for im in self.images:
                self.emit(f"S({im}, 'width', {self.pick(*HUGE)}); S({im}, 'height', {self.pick(*HUGE)})")
        if self.theme == "module names":
            for _ in range(rng.choice((1, 1, 2))):
                self.module_name()
        first = len(self.lines)
        for _ in range(rng.randint(1, 6)):
            self.call()
        if self.theme == "no memory":
            self.classes.add("failing allocations")
            for i in range(first, len(self.lines)):
                if self.lines[i].startswith("C("):
                    start, count = rng.randrange(300), rng.choice((1, 1, 2, 5))
                    self.lines[i] = f"nomemory({start}, {count}, C, " + self.lines[i][2:]
        return self.source()

    def module_name(self):
        """Replaces a name the module looks up when it is called."""
        self.classes.add("module name replaced")
        name = self.pick("PNG_SIGNATURE", "Path", "BytesIO", "_writePng", "_writePngWithChunks", "_writeBmp")
        if name == "PNG_SIGNATURE":
            value = self.pick("LBytes(PNG_SIG, eq=" + self.answers() + f", hook={self.hook()})", "bytearray(PNG_SIG)",
                              "b''", "'\\x89PNG'", "None", f"Num(eq={self.answers()}, hook={self.hook()})",
                              "memoryview(PNG_SIG)", "PNG_SIG[:4]")
        elif name == "Path":
            value = self.pick(f"path_type({self.answers()}, {self.hook()})", "None", "str", "bytes", "5")
        elif name == "BytesIO":
            data_plan = f"{{{self.rng.randrange(10)}: {self.hook()}}}"
            value = self.pick(f"lambda data: Stream(data, {data_plan})", f"wrapping(io.BytesIO, {self.hook()})",
                              "None", "lambda data: 5", "bytearray")
        else:
            value = self.pick(f"wrapping(ORIGINAL[{name!r}], {self.hook()})", "None", "lambda *a: 1 / 0",
                              f"{self.image()}.getPixel", "print")
        if self.chance(0.15):
            value = "DELETE"
        self.emit(f"replace_name(ext, {name!r}, {value})")

    def build_round_trip(self):
        """An image opened from a valid PNG, changed honestly, then written
        every way and read back (roundtrip)."""
        rng = self.rng
        self.classes.add("checked by writing and reading back")
        name = self.new("im", f"SimpleImage.open(FILES[{rng.choice(ROUND_TRIP)}])")
        for _ in range(rng.randrange(4)):
            self.emit(f"if {name}.width and {name}.height: {name}.putPixel(({rng.randrange(40)} % {name}.width, "
                      f"{rng.randrange(40)} % {name}.height), ({rng.randrange(256)}, {rng.randrange(256)}, 7))")
        if self.chance(0.3):
            self.emit(f"{name}._png_filters = bytearray(i % 5 for i in range({name}.height))")
        self.emit(f"roundtrip({name}, P('rt'))")
        return self.source()

    # Host functions the module binds when it is first imported, and stand-ins
    # that differ from them in type alone (hostile.drop_in).
    HOST_FUNCTIONS = {
        "struct.pack": ("mock", "raise", "honest", "bytearray", "memoryview", "subclass", "list"),
        "struct.unpack": ("mock", "raise", "honest", "list", "subclass", "short", "long"),
        "zlib.compressobj": ("mock", "raise", "honest", "bytearray", "memoryview", "subclass", "list"),
        "zlib.decompress": ("mock", "raise", "honest", "bytearray", "memoryview", "subclass"),
        "zlib.decompressobj": ("mock", "raise", "honest", "bytearray", "memoryview", "subclass"),
        "zlib.crc32": ("mock", "raise", "honest"),
    }
    FAILED_LOADS = (("import", range(1, 9)), ("allocation", range(1, 260)),
                    ("missing", ("struct.unpack", "zlib.decompressobj", "zlib.error", "io.FileIO", "typing.Union")),
                    ("blocked", ("zlib", "pathlib", "typing")))
    SAVES = ("save", "saveBmp", "writePng", "writeBmp", "records list", "records iter", "records gen", "records none")

    def build_first_import(self):
        """Loads that fail part-way, then the first load with host functions
        patched, in an interpreter of its own (the module loads once per
        process); then opens, and saves whose files must read back."""
        rng = self.rng
        def hook():
            return f"Do(lambda o: {self.fresh_action()}, {rng.randrange(4)}, {rng.choice((1, 2))})"
        if self.chance(0.3):
            self.classes.add("GC callback during a load")
            self.emit(f"gc_hostile({hook()})")
        if self.chance(0.3):
            self.classes.add("audit hook as the output opens")
            self.emit(f"audit_hostile({hook()})")
        self.emit("FAILED = []")
        for _ in range(rng.choice((0, 1, 1, 2, 3))):
            self.classes.add("a load that fails part-way")
            how, steps = rng.choice(self.FAILED_LOADS)
            self.emit(f"C(failed_load, {how!r}, {rng.choice(steps)!r}, FAILED)")
        patches = []
        for target in rng.sample(sorted(self.HOST_FUNCTIONS), rng.choice((1, 1, 2, 3))):
            self.classes.add("host modules patched before the first import")
            kind = rng.choice(self.HOST_FUNCTIONS[target])
            patches.append(f"({target!r}, drop_in({target!r}, {kind!r}, {hook() if self.chance(0.3) else 'None'}))")
        self.emit(f"ext = load_patched([{', '.join(patches)}])")
        self.emit(f"poke(FAILED, FILES[{rng.choice(PNGS)}], P('poked.png'))")
        self.classes.add("checked by reading back what was written")
        for _ in range(rng.randint(1, 3)):
            w, h = rng.randint(1, 5), rng.randint(1, 5)
            alpha = f", px({w * h})" if self.chance(0.4) else ""
            fallback = f"lambda: ext.SimpleImage({w}, {h}, px({w * h * 3}){alpha})"
            source = rng.choice(FRESH_SOURCES)
            name = self.new("im", f"opened(ext, FILES[{source}], {fallback})")
            if self.chance(0.3):
                self.emit(f"C(ext.SimpleImage.open, FILES[{rng.randrange(len(FILES))}])")
            for _ in range(rng.randint(1, 4)):
                how = rng.choice(self.SAVES)
                self.emit(f"checked_save(ext, {name}, {how!r}, P({'s.bmp' if 'Bmp' in how else 's.png'!r}))")
        return self.source()

    def fresh_action(self):
        """What a hook does in a fresh interpreter's case: nothing that changes
        what a checked save writes."""
        return self.pick("gc.collect()", "clear_referrers(o)", "clear_referrers(ext.PNG_SIGNATURE)",
                         "C(ext.SimpleImage.open, FILES[0])", "C(ext._makeChunk, b'IDAT', b'')",
                         "[clear_referrers(m) for m in FAILED if m is not None]")

    def build_unlocked(self):
        """Open and save of images large enough that their long steps run with
        the interpreter lock released, while a thread switching every
        microsecond replaces and resizes the fields of the image being saved
        and changes the bytearray being opened. An image no hook touches is
        checked by writing and reading back meanwhile."""
        rng = self.rng
        self.classes.add("GIL-released steps")
        self.classes.add("thread switching every microsecond")
        im = self.new("im", f"SimpleImage.open(LARGE[{rng.randrange(len(LARGE))}])")
        self.images.append(im)
        src = self.new("src", f"bytearray(LARGE[{rng.randrange(len(LARGE))}])")
        side = rng.choice((0, 1, 130, 140, 160))
        actions = [
            f"C({im}.putPixel, ({rng.randrange(200)}, {rng.randrange(200)}), (1, 2, 3))",
            f"S({im}, '_pixels', bytearray(px({self.pick(0, 9, side * side * 3, 160 * 140 * 3)})))",
            f"S({im}, '_alpha', {self.pick('None', f'bytearray({side * side})', 'bytearray(3)')})",
            f"S({im}, '_png_filters', {self.pick('None', f'bytearray([7] * {side})', f'bytearray({side})')})",
            f"C(G({im}, '_png_filters').__setitem__, {rng.randrange(140)}, {rng.randrange(9)})",
            f"C(G({im}, '_pixels').extend, b'123')",
            f"S({im}, {self.pick('width', 'height')!r}, {self.pick(0, 1, 130, 160, 2 ** 31 - 1)})",
            f"S({im}, '_png_chunks', {self.pick('None', '[]', RECORD_IDAT)})",
            f"{src}.extend(b'x' * {rng.randrange(1, 99)})",
            f"C({src}.__setitem__, slice({rng.randrange(200)}, {rng.randrange(200, 90000)}), b'')",
            f"{src}.clear()",
        ]
        chosen = rng.sample(actions, rng.randint(1, 4))
        self.emit(f"thread_hostile(Do(lambda o: ({', '.join(chosen)}), {rng.randrange(4)}, 1, 1 << 20))")
        for _ in range(rng.randint(1, 4)):
            k = rng.randrange(len(LARGE))
            self.emit(self.pick(f"C(SimpleImage.open, {src})", f"C(SimpleImage.open, LARGE[{k}])",
                                f"C(SimpleImage.open, put_file('large{k}', LARGE[{k}]))", f"C({im}.save, P('u.png'))",
                                f"C(_writePng, P('w.png'), G({im}, 'width'), G({im}, 'height'), G({im}, '_pixels'), "
                                f"G({im}, '_alpha'), G({im}, '_png_filters'))", f"C({im}.copy)"))
        if self.chance(0.3):
            self.classes.add("checked by writing and reading back")
            self.emit(f"roundtrip(SimpleImage.open(LARGE[{rng.randrange(len(LARGE))}]), P('rt'))")
        return self.source()

    def build_oracle(self):
        """Pixel access and _split_idat_payload through PX, with no interpreter
        events, so that both runs see the same sequence of answers."""
        rng = self.rng
        self.classes.add("checked against the model")
        for _ in range(rng.choice((1, 1, 2))):
            w, h = self.small(), self.small()
            self.images.append(self.new("im", f"SimpleImage({w}, {h}, px({w * h * 3}))"))
        for _ in range(rng.randint(1, 5)):
            im = self.pick(*self.images)
            kind = rng.randrange(5)
            if kind < 2:
                self.emit(f"PX.get({im}, {self.oracle_coords()})")
            elif kind < 4:
                self.emit(f"PX.put({im}, {self.oracle_coords()}, {self.oracle_value()})")
            else:
                data = self.pick("b''", "px(25)", "px(220)", "px(1)")
                self.emit(f"PX.split({data}, {self.lengths(honest=True)})")
        return self.source()

    def oracle_coords(self):
        return f"({self.oracle_number()}, {self.oracle_number()})"

    def oracle_number(self):
        """Coordinates whose answers, however wrong, are a fixed sequence, and
        whose hooks change only what the model reads the same way."""
        rng = self.rng
        kind = rng.randrange(6)
        if kind < 2:
            return repr(rng.choice((0, 1, 2, 3, 4, -1, 2 ** 31 - 1, 2 ** 40, True)))
        hook = "None"
        if self.chance(0.5):
            self.classes.add("dimension-changing hook")
            im = self.pick(*self.images)
            act = self.pick(f"S({im}, 'width', {rng.choice((0, 1, 2, 3, 100))})",
                            f"S({im}, 'height', {rng.choice((0, 1, 2, 3, 100))})",
                            f"S({im}, '_pixels', bytearray(px({rng.randrange(40)})))")
            hook = f"Do(lambda o: {act}, {rng.randrange(3)}, 1, 1)"
        if kind < 5:
            self.classes.add("lying int")
            lies = [f"{op}={self.answers()}" for op in ("le", "lt", "ge", "gt") if self.chance(0.4)]
            return f"LInt({rng.randrange(-1, 5)}, {', '.join(lies + [f'hook={hook}'])})"
        self.classes.add("scripted number")
        return (f"Num(le={self.answers()}, lt={self.answers()}, ge={self.answers()}, gt={self.answers()}, "
                f"arith=('self', {rng.randrange(4)}), hook={hook})")

    def oracle_value(self):
        return self.pick("(1, 2, 3)", "(256, -1, 300)", "[9, 8, 7]", "(1, 2)", "(1, 2, 3, 4)", "(12.9, 0, 0)",
                         "(1, 'x', 3)", "iter((4, 5, 6))", "(LInt(7), LInt(8, conv=(300,)), 9)")

    def source(self):
        return "\n".join(self.lines) + "\n"


def case_source(seed, index):
    """The case's source, its classes of objects, whether it is checked
    against the model and whether it runs in an interpreter of its own."""
    case = Case(seed, index)
    return case.build(), case.classes, case.oracle, case.fresh
