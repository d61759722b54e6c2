"""Python code that runs in the middle of the module's calls (comparisons and
conversions that lie, __len__, garbage-collector callbacks, audit hooks,
daemon threads ended at exit), one function per case. The tests run each case
in a fresh interpreter, where a crash or a sanitizer report fails one test:

    python -m support.hostile_cases CASE [ARGUMENT...]    (in the tests directory)

A case prints its result as JSON on its last line, for the test to compare."""

import gc
import io
import json
import os
import struct
import sys
import threading
import time
import zlib

from Tavrune.simpleImage_ext import (PNG_SIGNATURE, SimpleImage, _makeChunk, _split_idat_payload, _writePng,
                                     _writePngWithChunks)

IHDR = (b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0), 13)
IEND = (b"IEND", b"", 0)

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def error(call):
    try:
        call()
    except Exception as caught:
        return [type(caught).__name__, str(caught)]
    return None


# --- callers that lie or change things mid-call ----------------------------------

@case
def lying_piece_sizes(path):
    """An entry whose comparisons and value disagree cuts empty pieces, never
    pieces past the data, whether cut directly or when saving."""
    class Zero(int):
        def __le__(self, other):
            return False

    class Huge(int):
        __le__ = __gt__ = lambda self, other: False

    records = [IHDR, (b"IDAT", None, Zero(0)), (b"IDAT", None, Huge(2**63 - 1)), (b"IDAT", None, 1), IEND]
    _writePngWithChunks(path, 4, 4, bytes(range(48)), None, records)
    SimpleImage(4, 4, bytes(range(48)), png_chunks=records).save(path + "2")
    reread = [bytes(SimpleImage.open(p)._pixels) == bytes(range(48)) for p in (path, path + "2")]
    print(json.dumps([[len(p) for p in _split_idat_payload(b"ab", [Zero(0)] * 64)] == [0] * 63 + [2],
                      [len(p) for p in _split_idat_payload(b"abcdef", [Huge(2**63 - 1), 2, 3])], reread]))


@case
def collection_during_getPixel(path):
    """A collection run by the allocation of the result replaces the buffer
    that is being read."""
    image = SimpleImage(2, 1, bytes(range(6)))

    def replace(phase, info):
        if phase == "start":
            image._pixels = bytearray(b"\xff" * 6)
    gc.callbacks.append(replace)
    gc.set_threshold(1)
    seen, kept = set(), []
    for _ in range(3000):
        image._pixels = bytearray(range(6))
        kept.append([])  # one more live object: the result's allocation then runs a collection
        seen.add(image.getPixel((1, 0)))
    gc.callbacks.clear()
    print(json.dumps(sorted(seen - {(3, 4, 5), (255, 255, 255)})))


@case
def constructor_keywords_emptied(path):
    """Keyword arguments live on when pixels.__len__ empties the caller's dict."""
    class Pixels(bytes):
        def __len__(self):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and referrer.get("pixels") is self:
                    referrer.clear()
            return 3
    image = SimpleImage(**{"width": 1, "height": 1, "pixels": Pixels(b"abc"), "alpha": bytearray(b"z"),
                           "png_filters": bytearray(b"\x04"), "bmp_header": {"xppm": 1}})
    print(json.dumps([bytes(image._pixels + image._alpha + image._png_filters).hex(), image._bmp_header]))


@case
def payloads_emptied_during_decode(path):
    """The decoder's list of image-data payloads cannot be found and emptied by
    a collection callback while the payloads are inflated."""
    rows = b"".join(b"\0" + os.urandom(128 * 3) for _ in range(128))
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


@case
def records_emptied_while_taken(path):
    """A collection that empties the kept records while the writer takes them
    (tuples of three drained, so that every new one is allocated)."""
    image = SimpleImage(4, 4, bytes(48))
    image._png_chunks = records = [IHDR, (b"IDAT", None, 25), IEND]
    drained = [tuple([i, i, i]) for i in range(5000)]
    gc.callbacks.append(lambda phase, info: phase == "start" and records.clear())
    save = image.save
    gc.set_threshold(1)
    save(path)
    gc.set_threshold(700)
    del drained  # held until the save is done
    print(json.dumps(records))


@case
def pieces_emptied_as_the_output_opens(path):
    """An audit hook run as the output opens empties every list that holds the
    signature: the writers' own list of file pieces cannot be found."""
    def empty(event, args):
        if event == "open" and "w" in str(args[1]):
            for referrer in gc.get_referrers(PNG_SIGNATURE):
                if type(referrer) is list:
                    referrer.clear()
    sys.addaudithook(empty)
    plain, kept = SimpleImage(4, 4, bytes(range(48))), SimpleImage(4, 4, bytes(range(48)))
    kept._png_chunks = [IHDR, (b"IDAT", None, 9), IEND]
    plain.save(path)
    kept.save(path + "2")
    print(json.dumps([bytes(SimpleImage.open(p)._pixels) == bytes(range(48)) for p in (path, path + "2")]))


@case
def long_chain_freed(path):
    """Freeing a million images, each held by the one before, is not a million
    nested calls."""
    head = SimpleImage(0, 0, b"")
    for _ in range(1_000_000):
        link = SimpleImage(0, 0, b"")
        link._alpha = head
        head = link
    del head, link
    print(json.dumps("freed"))


@case
def index_past_64_bits(path):
    """Dimensions set near 2^31 make an index beyond 64 bits: the buffer's own
    IndexError, as for any index past it."""
    image = SimpleImage(1, 1, b"abc")
    image.width = image.height = 2**31 - 1
    far, near = (2**31 - 2, 2**31 - 2), (2**31 - 2, 0)
    print(json.dumps([error(lambda: image.getPixel(far)), error(lambda: image.putPixel(far, (1, 2, 3))),
                      error(lambda: image.getPixel(near)), error(lambda: image.putPixel(near, (1, 2, 3))),
                      bytes(image._pixels).decode()]))


@case
def length_products_past_64_bits(path):
    """Length products beyond 64 bits match no buffer."""
    stretched = SimpleImage(0, 0, b"")
    stretched.width = stretched.height = -2**31
    print(json.dumps([error(lambda: SimpleImage(2**31 - 1, 2**31 - 1, b"")),
                      error(lambda: _writePng(path, -2**31, -2**31, b"")),
                      error(lambda: _writePngWithChunks(path, 2**31 - 1, 2**31 - 1, b"", None, [IHDR])),
                      error(stretched.copy)]))


# --- fields handed to the host while Python code run by the host replaces them ---

@case
def header_record_replaced_while_copied():
    """dict() of the header record calls its keys() and then its items; keys()
    drops the image's reference to the record in between."""
    image = SimpleImage(1, 1, b"abc")

    class Header:
        def keys(self):
            image._bmp_header = None
            return ["xppm"]

        def __getitem__(self, key):
            return 1
    image._bmp_header = Header()
    print(json.dumps([image.copy()._bmp_header, image._bmp_header]))


@case
def pixel_buffer_replaced_by_the_index_arithmetic():
    """A coordinate's own + computes each sample's index; it replaces the
    buffer the sample is stored into."""
    image = SimpleImage(2, 2, bytes(12))

    class Inside:
        adds = 0
        __ge__ = __lt__ = lambda self, other: True

        def __mul__(self, other):
            return self

        def __add__(self, other):
            Inside.adds += 1
            if Inside.adds > 1:
                image._pixels = bytearray(12)
            return self if Inside.adds == 1 else 0
    image.putPixel((Inside(), Inside()), (1, 2, 3))
    print(json.dumps(len(image._pixels)))


# --- the interpreter's exit ------------------------------------------------------

@case
def daemon_threads_at_exit(folder):
    """Daemon threads opening and saving when the interpreter exits: it ends
    them from inside the module's calls. Prints nothing."""
    sys.stdout = open(os.devnull, "w")
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


if __name__ == "__main__":
    CASES[sys.argv[1]](*sys.argv[2:])
