"""Seed files and seeded structural mutations of them, for the robustness tests
and the fuzz corpus.

A mutation works on the file's structure where random bytes would stop at the
first check: PNG chunk lengths (the CRC left as it was), payloads and IHDR
fields with the CRC corrected, the filter bytes and the zlib stream of the image
data, whole chunks moved or dropped, BMP header fields; plus plain byte flips
and truncation. The same seed and count always give the same files.
"""

import random
import struct
import zlib

from support.builders import PNG_SIGNATURE, build_bmp, build_png, chunk, ihdr, random_rows

# Documented outcomes of opening any input, besides success.
DOCUMENTED = (ValueError, TypeError, OverflowError, struct.error, zlib.error)

# Field values at the edges of the sizes the formats and the module use.
EDGES = (0, 1, 2, 3, 4, 5, 7, 8, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0x10000, 46340, 46341, 23170,
         536870911, 536870912, 715827882, 715827883, 2 ** 31 - 2, 2 ** 31 - 1, 2 ** 31, 2 ** 31 + 1,
         2 ** 32 - 2, 2 ** 32 - 1)


def seeds():
    """[(name, bytes)]: small PNG and BMP files built by the test builders."""
    out = []
    for channels in (3, 4):
        for width, height in ((1, 1), (2, 3), (5, 2), (3, 5)):
            rows = random_rows(width, height, channels, seed=width * 7 + height)
            kind = "rgb" if channels == 3 else "rgba"
            out.append((f"png_{kind}_{width}x{height}_mixed",
                        build_png(rows, channels, [i % 5 for i in range(height)])))
        rows = random_rows(4, 4, channels, seed=channels)
        out.append((f"png_{kind}_4x4_split", build_png(rows, channels, 4, idat_sizes=(3, 5, 1))))
        out.append((f"png_{kind}_4x4_ancillary",
                    build_png(rows, channels, 1, insert=((1, b"tEXt", b"k\0v"), (-1, b"zzZz", b"\0" * 9)))))
    out.append(("png_width0", build_png([], width=0, height=3, data=zlib.compress(b"\0\7\0"))))
    out.append(("png_height0", build_png([], width=3, height=0, data=zlib.compress(b""))))
    rows = random_rows(2, 2, 3, seed=9)
    out.append(("png_no_iend", build_png(rows)[:-12]))
    out.append(("png_ihdr_last", build_png(rows, insert=((3, b"IHDR", ihdr(2, 2)),))))
    out.append(("png_stored_deflate", build_png(rows, 3, 2, level=0)))
    for width in range(1, 6):
        rows = random_rows(width, 2, 3, seed=width)
        out.append((f"bmp_{width}x2", build_bmp(rows)))
        out.append((f"bmp_{width}x2_top_down", build_bmp(rows, top_down=True)))
    out.append(("bmp_gap", build_bmp(random_rows(3, 3, 3, seed=3), gap=b"\1" * 10, trailing=b"\2" * 5)))
    out.append(("bmp_empty", build_bmp([], width=4)))
    return out


def parse_chunks(data):
    """[[length field, type, payload, crc field], ...] after the signature, and
    the bytes that do not make a whole chunk."""
    chunks, pos = [], 8
    while pos + 12 <= len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        if pos + 12 + length > len(data):
            break
        chunks.append([data[pos:pos + 4], data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length],
                       data[pos + 8 + length:pos + 12 + length]])
        pos += 12 + length
    return chunks, data[pos:]


def join_chunks(chunks, tail=b""):
    return PNG_SIGNATURE + b"".join(b"".join(c) for c in chunks) + tail


def fixed(chunk_type, payload):
    """The four fields of a chunk with its true length and CRC."""
    whole = chunk(chunk_type, payload)
    return [whole[:4], chunk_type, payload, whole[-4:]]


def _edge(rng, bits=32):
    value = rng.choice(EDGES) if rng.random() < 0.7 else rng.getrandbits(bits)
    return value & ((1 << bits) - 1)


def _flip(rng, data, count=None):
    if not data:
        return data
    out = bytearray(data)
    for _ in range(count or rng.randint(1, 4)):
        out[rng.randrange(len(out))] = rng.getrandbits(8)
    return bytes(out)


def _mutate_png(data, rng):
    chunks, tail = parse_chunks(data)
    if not chunks:
        return _flip(rng, data)
    i = rng.randrange(len(chunks))
    c = chunks[i]
    idat = [k for k, ch in enumerate(chunks) if ch[1] == b"IDAT"]
    op = rng.randrange(9)
    if op == 0:    # a length field that no longer matches, CRC as it was
        c[0] = struct.pack(">I", _edge(rng))
        if rng.random() < 0.5:
            return join_chunks(chunks[:i + 1])  # nothing after the lying chunk
    elif op == 1:  # payload bytes changed, CRC corrected
        chunks[i] = fixed(c[1], _flip(rng, c[2]) if c[2] else bytes([rng.getrandbits(8)]))
    elif op == 2:  # one IHDR field set to an edge value, CRC corrected
        for k, ch in enumerate(chunks):
            if ch[1] == b"IHDR" and len(ch[2]) == 13:
                fields = list(struct.unpack(">IIBBBBB", ch[2]))
                f = rng.randrange(7)
                fields[f] = _edge(rng, 32 if f < 2 else 8)
                chunks[k] = fixed(b"IHDR", struct.pack(">IIBBBBB", *fields))
    elif op in (3, 4) and idat:  # the image data: filter bytes, or the zlib stream itself
        stream = b"".join(chunks[k][2] for k in idat)
        try:
            raw = bytearray(zlib.decompress(stream))
        except zlib.error:
            raw = bytearray()
        if op == 3 and raw:
            for _ in range(rng.randint(1, 3)):
                raw[rng.randrange(len(raw))] = rng.choice((0, 1, 2, 3, 4, 5, 0x80, 0xFF))
            stream = zlib.compress(bytes(raw), rng.choice((0, 1, 6, 9)))
        else:
            stream = rng.choice((
                lambda: stream[:rng.randrange(len(stream) + 1)],
                lambda: _flip(rng, stream),
                lambda: stream + bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 8))),
                lambda: zlib.compress(bytes(raw) + b"\0" * rng.randint(1, 64)),
                lambda: zlib.compress(bytes(raw[:rng.randrange(len(raw) + 1)])),
            ))()
        pieces = [stream] if rng.random() < 0.5 else [stream[:len(stream) // 2], stream[len(stream) // 2:]]
        chunks = ([ch for k, ch in enumerate(chunks) if k < idat[0] and ch[1] != b"IDAT"]
                  + [fixed(b"IDAT", p) for p in pieces]
                  + [ch for k, ch in enumerate(chunks) if k > idat[0] and ch[1] != b"IDAT"])
    elif op == 5:  # chunks moved, dropped or repeated
        j = rng.randrange(len(chunks))
        action = rng.randrange(3)
        if action == 0:
            chunks[i], chunks[j] = chunks[j], chunks[i]
        elif action == 1:
            del chunks[i]
        else:
            chunks.insert(j, list(c))
    elif op == 6:  # a new chunk of any type, CRC correct
        chunk_type = rng.choice((b"IHDR", b"IDAT", b"IEND", b"tEXt", bytes(rng.getrandbits(8) for _ in range(4))))
        chunks.insert(i, fixed(chunk_type, bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 20)))))
    elif op == 7:  # cut anywhere
        whole = join_chunks(chunks, tail)
        return whole[:rng.randrange(len(whole))]
    else:          # raw bytes, CRCs not corrected
        return _flip(rng, join_chunks(chunks, tail))
    return join_chunks(chunks, tail)


# Offset, struct format and signedness of every BMP header field after "BM".
BMP_FIELDS = ((2, "<I"), (6, "<H"), (8, "<H"), (10, "<I"), (14, "<I"), (18, "<i"), (22, "<i"), (26, "<H"),
              (28, "<H"), (30, "<I"), (34, "<I"), (38, "<i"), (42, "<i"), (46, "<I"), (50, "<I"))


def _mutate_bmp(data, rng):
    op = rng.randrange(4)
    if op <= 1 and len(data) >= 54:
        offset, fmt = rng.choice(BMP_FIELDS)
        size = struct.calcsize(fmt)
        value = _edge(rng, size * 8)
        if rng.random() < 0.3:
            value = -value & ((1 << size * 8) - 1)  # the negative of an edge, as the field stores it
        return data[:offset] + struct.pack(fmt.upper() if fmt[1] == "i" else fmt, value) + data[offset + size:]
    if op == 2:
        return data[:rng.randrange(len(data) + 1)]
    return _flip(rng, data)


def mutate(data, rng):
    """One to three structural mutations of a PNG or BMP file."""
    for _ in range(rng.randint(1, 3)):
        data = _mutate_png(data, rng) if data.startswith(PNG_SIGNATURE) else _mutate_bmp(data, rng)
    return data


def mutated_inputs(count, seed=0):
    """count mutated files, reproducible by seed, taken round robin from seeds()."""
    rng = random.Random(seed)
    bases = [data for _, data in seeds()]
    for n in range(count):
        yield mutate(bases[n % len(bases)], rng)


def _reopened(SimpleImage, path):
    image = SimpleImage.open(path)
    return image.width, image.height, bytes(image._pixels), image._alpha


# Images whose PNG image data would be longer are opened but not written: a
# header of a few bytes can describe them (a BMP of width 0 and height 2**31-1
# has no pixels, but its PNG has a filter byte for each of its rows).
WRITE_LIMIT = 1 << 24


def exercise(ext, data, directory):
    """Opens data; an image that opens has a pixel read and changed, is written
    as a plain PNG (_writePng), with its kept layout (save) and as a BMP
    (saveBmp), and each file that is written must open to the same pixels.
    Returns whether data opened; documented errors of opening and of each
    writer are let through as outcomes, anything else raises."""
    SimpleImage = ext.SimpleImage
    try:
        image = SimpleImage.open(data)
    except DOCUMENTED:
        return False
    width, height = image.width, image.height
    if width > 0 and height > 0:
        red, green, blue = image.getPixel((width - 1, height - 1))
        image.putPixel((0, 0), (blue, red ^ 0x5A, green))
    if (abs(width) * 4 + 1) * height > WRITE_LIMIT:
        return True
    pixels, alpha = bytes(image._pixels), image._alpha
    writes = (
        ("plain.png", lambda path: ext._writePng(path, width, height, image._pixels, image._alpha,
                                                 image._png_filters), alpha),
        ("kept" + (".png" if image._png_chunks is not None else ".bmp"), image.save, alpha),
        ("plain.bmp", image.saveBmp, None),
    )
    for name, write, kept_alpha in writes:
        path = f"{directory}/{name}"
        try:
            write(path)
        except DOCUMENTED:
            continue
        try:
            again = _reopened(SimpleImage, path)
        except DOCUMENTED:
            # An image without pixels may still have rows longer than the
            # decoder takes (a width near 2**31): it is written but refused.
            if width * height == 0:
                continue
            raise
        assert again == (width, height, pixels, kept_alpha), (name, again[:2], (width, height))
    return True
