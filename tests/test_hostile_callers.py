"""Python code that runs in the middle of a call (comparisons and conversions
that lie, __len__, garbage-collector callbacks, daemon threads ended at exit)
never makes the module touch freed or foreign memory. Each case runs in a
fresh interpreter, where a crash or a sanitizer report fails one test."""

import subprocess
import sys

import pytest

from support.isolated import run_python

SETUP = """
import gc, json, struct
from Tavrune.simpleImage_ext import SimpleImage, _split_idat_payload, _writePng, _writePngWithChunks
IHDR = (b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0), 13)
IEND = (b"IEND", b"", 0)

def error(call):
    try:
        call()
    except Exception as caught:
        return [type(caught).__name__, str(caught)]
    return None
"""

CASES = {
    # An entry whose comparisons and value disagree cuts empty pieces, never
    # pieces past the data, whether cut directly or when saving.
    "lying piece sizes": ("""
class Zero(int):
    __le__ = lambda self, other: False
class Huge(int):
    __le__ = __gt__ = lambda self, other: False
records = [IHDR, (b"IDAT", None, Zero(0)), (b"IDAT", None, Huge(2**63 - 1)), (b"IDAT", None, 1), IEND]
_writePngWithChunks(sys.argv[1], 4, 4, bytes(range(48)), None, records)
SimpleImage(4, 4, bytes(range(48)), png_chunks=records).save(sys.argv[1] + "2")
reread = [bytes(SimpleImage.open(p)._pixels) == bytes(range(48)) for p in (sys.argv[1], sys.argv[1] + "2")]
print(json.dumps([[len(p) for p in _split_idat_payload(b"ab", [Zero(0)] * 64)] == [0] * 63 + [2],
                  [len(p) for p in _split_idat_payload(b"abcdef", [Huge(2**63 - 1), 2, 3])], reread]))
""", [True, [6], [True, True]]),
    # A collection run by the allocation of the result replaces the buffer
    # that is being read.
    "collection during getPixel": ("""
image = SimpleImage(2, 1, bytes(range(6)))
def replace(phase, info):
    if phase == "start":
        image._pixels = bytearray(b"\\xff" * 6)
gc.callbacks.append(replace)
gc.set_threshold(1)
seen, kept = set(), []
for _ in range(3000):
    image._pixels = bytearray(range(6))
    kept.append([])  # one more live object: the result's allocation then runs a collection
    seen.add(image.getPixel((1, 0)))
gc.callbacks.clear()
print(json.dumps(sorted(seen - {(3, 4, 5), (255, 255, 255)})))
""", []),
    # Keyword arguments live on when pixels.__len__ empties the caller's dict.
    "constructor keywords emptied": ("""
class Pixels(bytes):
    def __len__(self):
        for referrer in gc.get_referrers(self):
            if isinstance(referrer, dict) and referrer.get("pixels") is self:
                referrer.clear()
        return 3
image = SimpleImage(**{"width": 1, "height": 1, "pixels": Pixels(b"abc"), "alpha": bytearray(b"z"),
                       "png_filters": bytearray(b"\\x04"), "bmp_header": {"xppm": 1}})
print(json.dumps([bytes(image._pixels + image._alpha + image._png_filters).hex(), image._bmp_header]))
""", ["6162637a04", {"xppm": 1}]),
    # The decoder's list of image-data payloads cannot be found and emptied by
    # a collection callback while the payloads are inflated.
    "payloads emptied during decode": ("""
import io, os, zlib
from Tavrune.simpleImage_ext import PNG_SIGNATURE, _makeChunk
rows = b"".join(b"\\0" + os.urandom(128 * 3) for _ in range(128))
idat = zlib.compress(rows)
png = (PNG_SIGNATURE + _makeChunk(b"IHDR", struct.pack(">IIBBBBB", 128, 128, 8, 2, 0, 0, 0))
       + _makeChunk(b"IDAT", idat) + _makeChunk(b"IEND", b""))
held = []
class Stream(io.BytesIO):
    def read(self, n=-1):
        data = super().read(n)
        if len(data) == len(idat):
            held.append(bytes(bytearray(data)))  # a payload of its own, held here alone
            return held[-1]
        return data
def empty(phase, info):
    if phase == "start" and held and stream.tell() == len(png):
        for referrer in gc.get_referrers(held[0]):
            if type(referrer) is list and referrer is not held:
                referrer.clear()
        held.clear()
stream = Stream(png)
gc.callbacks.append(empty)
gc.set_threshold(1)
result = SimpleImage._streamToImage(stream)
gc.callbacks.clear()
print(json.dumps(bytes(result[2]) == bytes(b for i, b in enumerate(rows) if i % 385)))
""", True),
    # A collection that empties the kept records while the writer takes them
    # (tuples of three drained, so that every new one is allocated).
    "records emptied while taken": ("""
image = SimpleImage(4, 4, bytes(48))
image._png_chunks = records = [IHDR, (b"IDAT", None, 25), IEND]
drained = [tuple([i, i, i]) for i in range(5000)]
gc.callbacks.append(lambda phase, info: phase == "start" and records.clear())
save, path = image.save, sys.argv[1]
gc.set_threshold(1)
save(path)
gc.set_threshold(700)
print(json.dumps(records))
""", []),
    # An audit hook run as the output opens empties every list that holds the
    # signature: the writers' own list of file pieces cannot be found.
    "pieces emptied as the output opens": ("""
from Tavrune.simpleImage_ext import PNG_SIGNATURE
def empty(event, args):
    if event == "open" and "w" in str(args[1]):
        for referrer in gc.get_referrers(PNG_SIGNATURE):
            if type(referrer) is list:
                referrer.clear()
sys.addaudithook(empty)
plain, kept = SimpleImage(4, 4, bytes(range(48))), SimpleImage(4, 4, bytes(range(48)))
kept._png_chunks = [IHDR, (b"IDAT", None, 9), IEND]
plain.save(sys.argv[1])
kept.save(sys.argv[1] + "2")
print(json.dumps([bytes(SimpleImage.open(p)._pixels) == bytes(range(48)) for p in (sys.argv[1], sys.argv[1] + "2")]))
""", [True, True]),
    # Freeing a million images, each held by the one before, is not a million
    # nested calls.
    "long chain freed": ("""
head = SimpleImage(0, 0, b"")
for _ in range(1_000_000):
    link = SimpleImage(0, 0, b"")
    link._alpha = head
    head = link
del head, link
print(json.dumps("freed"))
""", "freed"),
    # Dimensions set near 2^31 make an index beyond 64 bits: the buffer's own
    # IndexError, as for any index past it.
    "index past 64 bits": ("""
image = SimpleImage(1, 1, b"abc")
image.width = image.height = 2**31 - 1
far, near = (2**31 - 2, 2**31 - 2), (2**31 - 2, 0)
print(json.dumps([error(lambda: image.getPixel(far)), error(lambda: image.putPixel(far, (1, 2, 3))),
                  error(lambda: image.getPixel(near)), error(lambda: image.putPixel(near, (1, 2, 3))),
                  bytes(image._pixels).decode()]))
""", [["IndexError", "cannot fit 'int' into an index-sized integer"]] * 2
     + [["IndexError", "bytearray index out of range"]] * 2 + ["abc"]),
    # Length products beyond 64 bits match no buffer.
    "length products past 64 bits": ("""
stretched = SimpleImage(0, 0, b"")
stretched.width = stretched.height = -2**31
print(json.dumps([error(lambda: SimpleImage(2**31 - 1, 2**31 - 1, b"")),
                  error(lambda: _writePng(sys.argv[1], -2**31, -2**31, b"")),
                  error(lambda: _writePngWithChunks(sys.argv[1], 2**31 - 1, 2**31 - 1, b"", None, [IHDR])),
                  error(stretched.copy)]))
""", [["ValueError", "Pixel data length does not match image dimensions"]] * 4),
}


@pytest.mark.parametrize("name", CASES)
def test_hostile_code_mid_call(tmp_path, name):
    code, expected = CASES[name]
    assert run_python("import sys\n" + SETUP + code, tmp_path / "out.png") == expected


@pytest.mark.parametrize("coordinate", [0, 1])
def test_bounds_use_the_dimensions_as_they_are_after_each_comparison(SimpleImage, coordinate):
    image = SimpleImage(4, 4, bytes(48))

    class Shrinking(int):
        def __ge__(self, other):  # asked first for 0 <= self
            image.width = image.height = 1
            return True

    coords = [0, 0]
    coords[coordinate] = Shrinking(2)
    for call in (lambda: image.getPixel(tuple(coords)), lambda: image.putPixel(tuple(coords), (1, 2, 3))):
        image.width = image.height = 4
        with pytest.raises(ValueError, match="^Pixel coordinate out of bounds$"):
            call()
    assert image._pixels == bytes(48)


DAEMONS = """
import os, sys, threading, time
from Tavrune.simpleImage_ext import SimpleImage
sys.stdout = open(os.devnull, "w")
folder = sys.argv[1]
SimpleImage(300, 200, bytes(range(256)) * 703 + bytes(32)).save(folder + "/source.png")
data = open(folder + "/source.png", "rb").read()

def work(i):
    while True:
        image = SimpleImage.open(data)
        image.save(f"{folder}/{i}.png")
        image.saveBmp(f"{folder}/{i}.bmp")
        image.copy()

for i in range(4):
    threading.Thread(target=work, args=(i,), daemon=True).start()
time.sleep(0.05)
"""


def test_daemon_threads_inside_calls_at_exit(tmp_path):
    # The interpreter ends them from inside the module's calls; 40 runs catch a
    # fault that shows one time in ten with a chance of 98.5%.
    for run in range(40):
        result = subprocess.run([sys.executable, "-c", DAEMONS, str(tmp_path)], capture_output=True, text=True,
                                timeout=60)
        assert result.returncode == 0, (run, result.stderr[-3000:])
