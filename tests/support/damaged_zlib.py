"""A seeded corpus of damaged zlib streams wrapped in otherwise valid PNGs, and
what opening each must give: exactly what inflating the joined IDAT data in
one bounded call of the host's zlib gives (test_inflate_differential.py runs a
slice, fuzz/inflate_differential.py the long run).

Streams come from the host's zlib at every level and strategy, damaged by bit
flips, byte changes, cuts and splices, or from a small deflate writer here
that makes faults no compressor makes: block type 3, stored lengths that
disagree, reserved literal/length and distance codes, distances too far back,
over-subscribed and incomplete Huffman codes, missing end-of-block codes, too
many symbols, bad repeat codes, bad zlib headers, bad Adler-32.
"""

import contextlib
import io
import random
import zlib

from support.builders import assemble, scanlines

LENGTH_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131,
               163, 195, 227, 258]
LENGTH_EXTRA = [0] * 8 + [1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0]
DIST_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049,
             3073, 4097, 6145, 8193, 12289, 16385, 24577]
DIST_EXTRA = [0, 0, 0, 0] + [n // 2 for n in range(2, 28)]
CODE_LENGTH_ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
FIXED_LITERALS = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
FIXED_DISTANCES = [5] * 32


class Bits:
    """Deflate's bit order: fields from the least significant bit up, Huffman
    codes from their most significant bit."""

    def __init__(self):
        self.out, self.acc, self.count = bytearray(), 0, 0

    def put(self, value, count):
        self.acc |= (value & ((1 << count) - 1)) << self.count
        self.count += count
        while self.count >= 8:
            self.out.append(self.acc & 255)
            self.acc >>= 8
            self.count -= 8

    def code(self, codes, symbol):
        code, length = codes[symbol]
        self.put(int(format(code, f"0{length}b")[::-1], 2) if length else 0, length)

    def align(self):
        if self.count:
            self.put(0, 8 - self.count)


def canonical(lengths):
    """{symbol: (code, length)} for the symbols of nonzero length; codes of an
    over-subscribed set run past their width and are cut to it."""
    codes, code = {}, 0
    for length in range(1, 16):
        for symbol, used in enumerate(lengths):
            if used == length:
                codes[symbol] = (code & ((1 << length) - 1), length)
                code += 1
        code <<= 1
    return codes


def tokens(data, rng):
    """Greedy LZ77: literals as ints, matches as (length, distance)."""
    out, last, i = [], {}, 0
    while i < len(data):
        j = last.get(data[i:i + 3])
        last[data[i:i + 3]] = i
        if j is not None and i + 3 <= len(data) and rng.random() < 0.9:
            length = 3
            while length < 258 and i + length < len(data) and data[j + length] == data[i + length]:
                length += 1
            out.append((length, i - j))
            i += length
        else:
            out.append(data[i])
            i += 1
    return out


def put_token(bits, token, literals, distances):
    if isinstance(token, int):
        bits.code(literals, token)
        return
    length, distance = token
    index = length_symbol(length) - 257
    bits.code(literals, 257 + index)
    bits.put(length - LENGTH_BASE[index], LENGTH_EXTRA[index])
    index = distance_symbol(distance)
    bits.code(distances, index)
    bits.put(distance - DIST_BASE[index], DIST_EXTRA[index])


def code_lengths_for(symbols, count, rng, limit=15):
    """A complete set of code lengths (Kraft sum 1) over count symbols, none
    longer than limit, that gives every symbol used a code."""
    used = sorted(set(symbols))
    while len(used) < 2:
        used.append(next(s for s in range(count) if s not in used))
    leaves = [1, 1]  # the lengths of a complete code, split at random
    while len(leaves) < len(used):
        k = rng.randrange(len(leaves))
        if leaves[k] < limit:
            leaves[k:k + 1] = [leaves[k] + 1] * 2
    lengths = [0] * count
    for symbol, length in zip(used, leaves):
        lengths[symbol] = length
    return lengths


def length_symbol(length):
    return 257 + max(k for k, base in enumerate(LENGTH_BASE) if base <= length)


def distance_symbol(distance):
    return max(k for k, base in enumerate(DIST_BASE) if base <= distance)


def encodable(token, literals, distances):
    if isinstance(token, int):
        return token in literals
    return length_symbol(token[0]) in literals and distance_symbol(token[1]) in distances


def dynamic_block(bits, items, rng, fault):
    symbols = [t if isinstance(t, int) else length_symbol(t[0]) for t in items] + [256]
    dists = [distance_symbol(t[1]) for t in items if not isinstance(t, int)]
    literal_lengths = code_lengths_for(symbols, 286, rng)
    distance_lengths = code_lengths_for(dists, 30, rng) if dists else [0] * 30
    if not dists and rng.random() < 0.5:
        distance_lengths[rng.randrange(30)] = 1  # one distance code of one bit: allowed
    target = rng.choice([literal_lengths, distance_lengths])
    if fault == "over-subscribed":
        unused = [s for s in range(len(target)) if target[s] == 0]
        target[rng.choice(unused) if unused else 0] = 1
    elif fault == "incomplete":
        target[rng.choice([s for s in range(len(target)) if target[s]] or [0])] = 0
    elif fault == "no end-of-block":
        literal_lengths[256] = 0
    hlit = max(257, max(s for s in range(286) if literal_lengths[s]) + 1)
    hdist = max(1, max([s + 1 for s in range(30) if distance_lengths[s]] or [1]))
    if fault == "too many symbols":
        hlit, hdist = rng.choice([(287, hdist), (288, hdist), (hlit, 31), (hlit, 32)])
    lengths = (literal_lengths + [0, 0])[:hlit] + (distance_lengths + [0, 0])[:hdist]
    # Code-length symbols: plain lengths, runs of zeros (17, 18), repeats (16).
    sequence, i = [], 0
    while i < len(lengths):
        run = 1
        while i + run < len(lengths) and lengths[i + run] == lengths[i]:
            run += 1
        if lengths[i] == 0 and run >= 11:
            sequence.append((18, min(run, 138) - 11, 7))
            i += min(run, 138)
        elif lengths[i] == 0 and run >= 3:
            sequence.append((17, min(run, 10) - 3, 3))
            i += min(run, 10)
        elif i > 0 and run >= 3 and lengths[i - 1] == lengths[i]:
            sequence.append((16, min(run, 6) - 3, 2))
            i += min(run, 6)
        else:
            sequence.append((lengths[i], 0, 0))
            i += 1
    if fault == "bad repeat":
        if rng.random() < 0.5:
            sequence.insert(0, (16, rng.randrange(4), 2))  # a repeat with nothing before it
        else:
            sequence.insert(len(sequence) - 1, (18, 127, 7))  # a run past the end of the lengths
    length_codes = code_lengths_for([s for s, _, _ in sequence], 19, rng, limit=7)
    if fault == "over-subscribed code lengths":
        length_codes[rng.choice([k for k in range(19) if length_codes[k] == 0] or [0])] = 1
    hclen = max(4, max(k for k in range(19) if length_codes[CODE_LENGTH_ORDER[k]]) + 1)
    bits.put(2, 2)
    bits.put(hlit - 257, 5)
    bits.put(hdist - 1, 5)
    bits.put(hclen - 4, 4)
    for k in range(hclen):
        bits.put(length_codes[CODE_LENGTH_ORDER[k]], 3)
    length_table = canonical(length_codes)
    for symbol, extra, width in sequence:
        if symbol in length_table:
            bits.code(length_table, symbol)
        bits.put(extra, width)
    literals, distances = canonical(literal_lengths), canonical(distance_lengths)
    for item in items:
        if encodable(item, literals, distances):
            put_token(bits, item, literals, distances)
    if 256 in literals:
        bits.code(literals, 256)


BLOCK_FAULTS = {"block type 3": "none", "stored lengths disagree": "stored",
                "reserved literal/length code": "fixed", "reserved distance code": "fixed",
                "over-subscribed": "dynamic", "incomplete": "dynamic", "no end-of-block": "dynamic",
                "too many symbols": "dynamic", "bad repeat": "dynamic", "over-subscribed code lengths": "dynamic"}


def handmade_deflate(data, rng, fault):
    """Raw deflate data of data in stored, fixed and dynamic blocks, with one
    fault of the named kind (or none)."""
    items, bits = tokens(data, rng), Bits()
    fixed_literals, fixed_distances = canonical(FIXED_LITERALS), canonical(FIXED_DISTANCES)
    if fault == "distance too far back":
        distance = min(32768, len(data) + rng.randrange(1, 300))
        items.insert(rng.randrange(len(items) + 1), (rng.randrange(3, 20), distance))
    cuts = sorted(rng.sample(range(len(items) + 1), min(len(items) + 1, rng.randrange(1, 4))))
    blocks = [items[a:b] for a, b in zip([0] + cuts, cuts + [len(items)])]
    faulty_block = rng.randrange(len(blocks))
    position = 0
    for n, block in enumerate(blocks):
        here = fault if n == faulty_block and fault in BLOCK_FAULTS else None
        kinds = ["fixed", "dynamic"] if fault == "distance too far back" else ["stored", "fixed", "dynamic"]
        kind = BLOCK_FAULTS[here] if here else rng.choice(kinds)
        bits.put(int(n == len(blocks) - 1 and fault != "no final block"), 1)
        if kind == "none":
            bits.put(3, 2)
            bits.put(rng.getrandbits(16), 16)
        elif kind == "fixed":
            bits.put(1, 2)
            for item in block:
                put_token(bits, item, fixed_literals, fixed_distances)
            if here == "reserved literal/length code":
                bits.code(fixed_literals, rng.choice([286, 287]))
            elif here == "reserved distance code":
                bits.code(fixed_literals, 257)
                bits.code(fixed_distances, rng.choice([30, 31]))
            bits.code(fixed_literals, 256)
        elif kind == "stored":
            raw = expand(data, block, position)
            bits.put(0, 2)
            bits.align()
            bits.put(len(raw), 16)
            bits.put(~len(raw) ^ (rng.randrange(1, 65536) if here else 0), 16)
            for byte in raw:
                bits.put(byte, 8)
        else:
            dynamic_block(bits, block, rng, here)
        position += sum(1 if isinstance(t, int) else t[0] for t in block)
    bits.align()
    return bytes(bits.out)


def expand(data, block, position):
    """The bytes a block's tokens stand for (data from position on)."""
    size = sum(1 if isinstance(t, int) else t[0] for t in block)
    return data[position:position + size]


HANDMADE_FAULTS = [None, None, "distance too far back", "no final block", *BLOCK_FAULTS]
ZLIB_DAMAGE = ["bit flips", "byte changes", "cut", "splice", "bad adler", "bad header", "trailing bytes"]


def zlib_wrap(deflate_data, data, rng, header_fault=False):
    header = bytearray(b"\x78\x9c")
    if header_fault:
        header = bytearray(rng.choice([b"\x79\x9c", b"\x88\x98", b"\x78\xbb", b"\x78\x9d", b"\x08\x1d",
                                       bytes([0x78, rng.randrange(256)])]))
    return bytes(header) + deflate_data + zlib.adler32(data).to_bytes(4, "big")


def image_data(rng):
    """(width, height, channels, raw scanlines): a small image in random
    filter types, now and then one above 4, now and then a size off by a bit."""
    width, height, channels = rng.randrange(1, 13), rng.randrange(1, 9), rng.choice([3, 4])
    smooth = rng.random() < 0.6
    rows = [bytes((x * 7 + y * 3 + (rng.randrange(3) if smooth else rng.randrange(256))) % 256
                  for x in range(width * channels)) for y in range(height)]
    filters = [rng.randrange(5) if rng.random() > 0.02 else rng.randrange(5, 256) for _ in range(height)]
    raw = scanlines(rows, channels, filters)
    if rng.random() < 0.05:
        raw = raw[:rng.randrange(len(raw))] if rng.random() < 0.5 else raw + bytes(rng.randrange(1, 9))
    return width, height, channels, raw


def damaged_stream(rng):
    """(kind, width, height, channels, zlib stream)."""
    width, height, channels, raw = image_data(rng)
    if rng.random() < 0.5:
        fault = rng.choice(HANDMADE_FAULTS)
        stream = zlib_wrap(handmade_deflate(raw, rng, fault), raw, rng)
        return f"handmade: {fault}", width, height, channels, stream
    damage = rng.choice(ZLIB_DAMAGE)
    level, strategy = rng.randrange(0, 10), rng.choice([zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED,
                                                         zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED])
    compressor = zlib.compressobj(level, zlib.DEFLATED, 15, 9, strategy)
    stream = bytearray(compressor.compress(raw) + compressor.flush())
    if damage == "bit flips":
        for _ in range(rng.randrange(1, 4)):
            stream[rng.randrange(len(stream))] ^= 1 << rng.randrange(8)
    elif damage == "byte changes":
        for _ in range(rng.randrange(1, 3)):
            stream[rng.randrange(len(stream))] = rng.randrange(256)
    elif damage == "cut":
        del stream[rng.randrange(len(stream)):]
    elif damage == "splice":
        a, b = sorted(rng.randrange(len(stream) + 1) for _ in range(2))
        stream[a:b] = rng.randbytes(rng.randrange(0, 6)) if rng.random() < 0.5 else stream[b:a:-1]
    elif damage == "bad adler":
        stream[-rng.randrange(1, 5)] ^= 1 << rng.randrange(8)
    elif damage == "bad header":
        stream[:2] = zlib_wrap(b"", b"", rng, header_fault=True)[:2]
    else:
        stream += rng.randbytes(rng.randrange(1, 20))
    return f"zlib level {level} strategy {strategy}: {damage}", width, height, channels, bytes(stream)


def png_of(width, height, channels, stream, rng):
    """An otherwise valid PNG whose IDAT data is stream, cut at random points."""
    cuts = sorted(rng.randrange(len(stream) + 1) for _ in range(rng.randrange(0, 4)))
    pieces = [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]
    header = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes([8, 2 if channels == 3 else 6, 0, 0, 0])
    return assemble([(b"IHDR", header)] + [(b"IDAT", piece) for piece in pieces] + [(b"IEND", b"")])


def exact_inflation(idat, expected):
    """The image data as one bounded inflation of the joined payloads by the
    host's zlib makes it, raising what that raises."""
    inflater = zlib.decompressobj()
    out = inflater.decompress(idat, expected + 1)
    if len(out) > expected:
        raise ValueError("Malformed PNG image data")
    if not inflater.eof:
        out = zlib.decompress(idat)
    if len(out) != expected:
        raise ValueError("Malformed PNG image data")
    return out


def exact_outcome(width, height, channels, stream):
    """What the module must give: the error of one bounded inflation of the
    joined data by the host's zlib, else of the first filter type above 4,
    else the planes (decoded by Pillow from the same rows compressed cleanly)
    and the filter types."""
    from PIL import Image
    stride = width * channels + 1
    try:
        raw = exact_inflation(stream, stride * height)
    except Exception as error:  # noqa: BLE001 - the exception itself is what is compared
        return type(error), str(error)
    filters = raw[::stride]
    for value in filters:
        if value > 4:
            return ValueError, f"Unsupported PNG filter: {value}"
    clean = png_of(width, height, channels, zlib.compress(raw), random.Random(0))
    pixels = Image.open(io.BytesIO(clean)).tobytes()
    if channels == 3:
        return "ok", (pixels, None, filters)
    rgb = bytearray(len(pixels) // 4 * 3)
    for k in range(3):
        rgb[k::3] = pixels[k::4]
    return "ok", (bytes(rgb), pixels[3::4], filters)


def module_outcome(SimpleImage, data):
    try:
        result = SimpleImage._streamToImage(io.BytesIO(data))
    except Exception as error:  # noqa: BLE001
        return type(error), str(error)
    alpha = None if result[4] is None else bytes(result[4])
    return "ok", (bytes(result[2]), alpha, bytes(result[7]))


def open_outcome(SimpleImage, data):
    """module_outcome through SimpleImage.open(data), which walks the bytes of
    the file in place instead of reading a stream."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            image = SimpleImage.open(data)
    except Exception as error:  # noqa: BLE001
        return type(error), str(error)
    alpha = None if image._alpha is None else bytes(image._alpha)
    return "ok", (bytes(image._pixels), alpha, bytes(image._png_filters))


def check(SimpleImage, seed):
    """None when stream number seed opens, from a stream and from the file's
    bytes, as the exact path alone would have it; else a description of the
    difference."""
    rng = random.Random(seed)
    kind, width, height, channels, stream = damaged_stream(rng)
    data = png_of(width, height, channels, stream, rng)
    ours, exact = module_outcome(SimpleImage, data), exact_outcome(width, height, channels, stream)
    walked = open_outcome(SimpleImage, data)
    if ours == exact == walked:
        return None
    return (f"stream {seed} ({kind}, {width}x{height}x{channels}): {stream.hex()}\n  ours  {ours}\n"
            f"  bytes {walked}\n  exact {exact}")
