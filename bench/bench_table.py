"""Every speed target in one run: ratios against the zlib floors and against the
peers, pixel access, peak memory of open, and BMP. Run with ``make bench`` or
``.venv/bin/python bench/bench_table.py [rounds]``.

Images are 2048x2048, built in memory: photo-like content (smooth gradients with
Gaussian noise) and flat synthetic content (flat tiles, a grid of lines, text-like marks), RGB and
RGBA, written by Pillow's default PNG save (its own per-row filters, mostly Sub
and Up); the photo images are also re-written with every row Paeth-filtered.

Each round runs every timed call once, interleaved, and a row's ratio is the
median over rounds of the ratio within each round, so a drift in machine load
moves both sides of a ratio together. Floors:

  open   zlib.decompress of the joined IDAT payloads of the same file
  save   zlib.compress(filtered, 6) of the filtered stream the save writes;
         next to it, one plain copy of the image's planes, the least memory
         traffic any writer adds to deflate (reading the planes, writing a
         stream of their size)

Peak memory of open is measured in a fresh interpreter per case: tracemalloc's
peak (every Python-heap allocation: bytes, bytearrays, the extension's
buffers) and the rise of the process's maximum resident size, both against the
final colour plane plus alpha plane. Pillow's buffers are not on the Python
heap, so only the resident-size rise compares with it.

Peers (Pillow, pyspng, opencv-python-headless) are used only as black boxes; a
peer that is not installed is skipped with a note.
"""

import contextlib
import io
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import zlib

# numpy comes in with the peers; its BLAS thread pool would only compete for the
# cores the timed calls use.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from PIL import Image, ImageChops, ImageDraw  # noqa: E402

import Tavrune.simpleImage_ext as ext  # noqa: E402
from Tavrune.simpleImage_ext import SimpleImage  # noqa: E402

try:
    import numpy
    import pyspng
except ImportError:
    pyspng = None
try:
    import cv2
    import numpy
except ImportError:
    cv2 = None
try:
    from zlib_ng import zlib_ng
except ImportError:
    zlib_ng = None

SIDE = 2048
ROUNDS = 7  # main() takes another count from the command line
TMP = tempfile.mkdtemp(prefix="tavrune-bench-")


# --- test images ------------------------------------------------------------------


def photo(mode):
    """Gradients in every band with Gaussian noise of sigma 6 on top."""
    gradients = [Image.linear_gradient("L"), Image.radial_gradient("L"),
                 Image.linear_gradient("L").rotate(90), Image.radial_gradient("L").rotate(45)]
    bands = []
    for i in range(len(mode)):
        smooth = gradients[i].resize((SIDE, SIDE), Image.BICUBIC)
        noise = Image.effect_noise((SIDE, SIDE), 6)
        bands.append(ImageChops.add(smooth, noise, scale=1.0, offset=-128))
    return Image.merge(mode, bands)


def flat(mode):
    """A screen-like picture: flat tiles of many colours, a grid of one-pixel-wide
    lines and rows of small marks like text, on a light background."""
    image = Image.new(mode, (SIDE, SIDE), (240, 240, 240, 255)[:len(mode)])
    draw = ImageDraw.Draw(image)
    tile = 128
    for ty in range(SIDE // tile):
        for tx in range(SIDE // tile):
            if (tx * 7 + ty * 3) % 5 == 0:
                colour = ((tx * 37) % 256, (ty * 59) % 256, ((tx + ty) * 23) % 256, 128 + (tx * ty) % 128)
                draw.rectangle([tx * tile + 4, ty * tile + 4, tx * tile + tile - 5, ty * tile + tile - 5],
                               fill=colour[:len(mode)])
    ink = (20, 20, 20, 255)[:len(mode)]
    for k in range(0, SIDE, 97):
        draw.line([(0, k), (SIDE - 1, k)], fill=ink, width=2)
        draw.line([(k, 0), (k, SIDE - 1)], fill=ink, width=2)
    for y in range(40, SIDE, 160):
        for x in range(20, SIDE - 200, 300):
            for j in range(12):
                draw.rectangle([x + j * 12, y, x + j * 12 + 7, y + 9], fill=(0, 0, 80, 255)[:len(mode)])
    return image


def pillow_png(image):
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()


def chunks_of(data):
    pos, found = 8, []
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        found.append((data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]))
        pos += 12 + length
    return found


def idat_of(data):
    return b"".join(payload for kind, payload in chunks_of(data) if kind == b"IDAT")


def quiet(call):
    with contextlib.redirect_stdout(io.StringIO()):
        return call()


def all_paeth_png(image):
    """The same pixels written again with every row Paeth-filtered."""
    rgb = bytearray(image.convert("RGB").tobytes())
    alpha = bytearray(image.getchannel("A").tobytes()) if image.mode == "RGBA" else None
    path = os.path.join(TMP, "paeth.png")
    ext._writePng(path, SIDE, SIDE, rgb, alpha, bytearray([4] * SIDE))
    with open(path, "rb") as f:
        return f.read()


def build_cases():
    cases = {}
    for mode in ("RGB", "RGBA"):
        image = photo(mode)
        cases[f"photo {mode}"] = pillow_png(image)
        cases[f"photo {mode} all-Paeth"] = all_paeth_png(image)
        cases[f"flat {mode}"] = pillow_png(flat(mode))
    return cases


def filter_mix(data, channels):
    raw = zlib.decompress(idat_of(data))
    types = raw[::SIDE * channels + 1]
    return "/".join(f"{'NSUAP'[t]}{types.count(t) * 100 // len(types)}" for t in range(5) if types.count(t))


# --- timing -------------------------------------------------------------------------


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def run_rounds(measures):
    """measures: {key: callable}. Returns {key: [seconds per round]}."""
    samples = {key: [] for key in measures}
    for _ in range(ROUNDS):
        for key, call in measures.items():
            samples[key].append(timed(call))
    return samples


def paired_ratio(samples, key, floor_key):
    return statistics.median(a / b for a, b in zip(samples[key], samples[floor_key]))


def ms(samples, key):
    return statistics.median(samples[key]) * 1e3


# --- peak memory in a fresh interpreter ----------------------------------------------

MEMORY_PROBE = r"""
import contextlib, gc, io, json, sys, tracemalloc
which, path = sys.argv[1], sys.argv[2]


def peak_resident():
    # VmHWM belongs to this process image; ru_maxrss would carry the parent's
    # peak across fork and exec.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024



with open(path, "rb") as f:
    data = f.read()
if which == "ours":
    from Tavrune.simpleImage_ext import SimpleImage
else:
    from PIL import Image
gc.collect()
before = peak_resident()
tracemalloc.start()
if which == "ours":
    with contextlib.redirect_stdout(io.StringIO()):
        image = SimpleImage.open(data)
    final = len(image._pixels) + (len(image._alpha) if image._alpha is not None else 0)
else:
    image = Image.open(io.BytesIO(data))
    image.load()
    final = image.width * image.height * (4 if image.mode == "RGBA" else 3)
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
after = peak_resident()
print(json.dumps({"traced": peak, "rss": after - before, "final": final}))
"""


def peak_memory(which, data):
    path = os.path.join(TMP, "probe.png")
    with open(path, "wb") as f:
        f.write(data)
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, which, path], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


# --- the rows ------------------------------------------------------------------------


def peers_open():
    peers = {"Pillow": lambda data: Image.open(io.BytesIO(data)).load()}
    if pyspng is not None:
        peers["pyspng"] = lambda data: pyspng.load(data)
    if cv2 is not None:
        peers["opencv"] = lambda data: cv2.imdecode(numpy.frombuffer(data, numpy.uint8), cv2.IMREAD_UNCHANGED)
    return peers


def open_rows(cases):
    """Targets: photo (Sub/Up) 0.85x the floor, all-Paeth 1.00x, flat 0.25x;
    photo and all-Paeth also 0.85x pyspng's ratio. zlib-ng: its own inflate
    of the same IDAT data (the zlib-ng package), for scale."""
    peers = peers_open()
    measures, idats = {}, {}
    for case, data in cases.items():
        idat = idat_of(data)
        idats[case] = idat
        measures[case, "floor"] = lambda idat=idat: zlib.decompress(idat)
        measures[case, "ours"] = lambda data=data: quiet(lambda: SimpleImage.open(data))
        if zlib_ng is not None:
            measures[case, "zlib-ng"] = lambda idat=idat: zlib_ng.decompress(idat)
        for name, call in peers.items():
            measures[case, name] = lambda call=call, data=data: call(data)
    samples = run_rounds(measures)
    rows = []
    for case in cases:
        target = 0.25 if "flat" in case else 1.00 if "Paeth" in case else 0.85
        if pyspng is not None and "flat" not in case:
            target = min(target, 0.85 * paired_ratio(samples, (case, "pyspng"), (case, "floor")))
        ratio = paired_ratio(samples, (case, "ours"), (case, "floor"))
        peer_text = "  ".join(f"{name} {paired_ratio(samples, (case, name), (case, 'floor')):.2f}x"
                              for name in ["zlib-ng"] * (zlib_ng is not None) + list(peers))
        rows.append((f"open {case}", ms(samples, (case, "floor")), ms(samples, (case, "ours")), ratio, target,
                     peer_text))
    return rows


def save_rows(cases):
    measures, opened = {}, {}
    out_path = os.path.join(TMP, "saved.png")
    for case, data in cases.items():
        image = quiet(lambda: SimpleImage.open(data))
        opened[case] = image
        image.save(out_path)
        with open(out_path, "rb") as f:
            written = f.read()
        filtered = zlib.decompress(idat_of(written))
        assert filtered == zlib.decompress(idat_of(data)), case  # the kept filters, the same rows
        measures[case, "floor"] = lambda filtered=filtered: zlib.compress(filtered, 6)
        measures[case, "ours"] = lambda image=image: image.save(out_path)
        # What any writer must at least do besides deflate: read the planes and
        # write a stream of their size, here as one plain copy of them.
        planes = [image._pixels] + ([image._alpha] if image._alpha is not None else [])
        measures[case, "copy"] = lambda planes=planes: [bytes(plane) for plane in planes]
        pil = Image.open(io.BytesIO(data))
        pil.load()
        measures[case, "Pillow"] = lambda pil=pil: pil.save(io.BytesIO(), "PNG")
        if cv2 is not None:
            array = cv2.imdecode(numpy.frombuffer(data, numpy.uint8), cv2.IMREAD_UNCHANGED)
            measures[case, "opencv"] = lambda array=array: cv2.imencode(".png", array)
    samples = run_rounds(measures)
    rows = []
    for case, data in cases.items():
        target = 1.10 if "Paeth" in case else 1.05
        ratio = paired_ratio(samples, (case, "ours"), (case, "floor"))
        peers = ["Pillow"] + (["opencv"] if cv2 is not None else [])
        peer_text = "  ".join(f"{name} {paired_ratio(samples, (case, name), (case, 'floor')):.2f}x" for name in peers)
        copy_share = paired_ratio(samples, (case, "copy"), (case, "floor"))
        peer_text += f"  | one copy of the planes: +{copy_share:.1%} of floor"
        rows.append((f"save {case}", ms(samples, (case, "floor")), ms(samples, (case, "ours")), ratio, target,
                     peer_text))
    return rows


def pixel_rows():
    image = SimpleImage(256, 256, bytes(256 * 256 * 3))
    pil = Image.new("RGB", (256, 256))
    namespace = {"image": image, "xy": (17, 33), "value": (1, 2, 3), "pil": pil, "access": pil.load()}
    statements = {
        "getPixel": "image.getPixel(xy)",
        "putPixel": "image.putPixel(xy, value)",
        "Pillow getpixel": "pil.getpixel(xy)",
        "Pillow putpixel": "pil.putpixel(xy, value)",
        "Pillow access read": "access[xy]",
        "Pillow access write": "access[xy] = value",
        "loop": "xy",
    }
    calls = 200_000
    timers = {name: timeit.Timer(stmt, globals=namespace) for name, stmt in statements.items()}
    samples = {name: [] for name in statements}
    for _ in range(ROUNDS):
        for name, timer in timers.items():
            samples[name].append(timer.timeit(calls) / calls * 1e9)
    ns = {name: statistics.median(s) - statistics.median(samples["loop"]) for name, s in samples.items()}
    rows = []
    for ours, peers in (("getPixel", ("Pillow getpixel", "Pillow access read")),
                        ("putPixel", ("Pillow putpixel", "Pillow access write"))):
        peer_text = "  ".join(f"{name} {ns[name]:.0f} ns" for name in peers)
        rows.append((ours, ns[ours], peer_text))
    return rows


def bmp_rows():
    image = photo("RGB")
    out = io.BytesIO()
    image.save(out, "BMP")
    data = out.getvalue()
    ours = quiet(lambda: SimpleImage.open(data))
    pil = Image.open(io.BytesIO(data))
    pil.load()
    path = os.path.join(TMP, "saved.bmp")
    measures = {
        "open": lambda: quiet(lambda: SimpleImage.open(data)),
        "Pillow open": lambda: Image.open(io.BytesIO(data)).load(),
        "saveBmp": lambda: ours.saveBmp(path),
        "Pillow save": lambda: pil.save(path, "BMP"),
    }
    samples = run_rounds(measures)
    return [("BMP open", ms(samples, "open"), ms(samples, "Pillow open"),
             paired_ratio(samples, "open", "Pillow open")),
            ("BMP saveBmp", ms(samples, "saveBmp"), ms(samples, "Pillow save"),
             paired_ratio(samples, "saveBmp", "Pillow save"))]


def verdict(holds):
    return "holds" if holds else "MISSED"


def main():
    global ROUNDS
    if len(sys.argv) > 1:
        ROUNDS = int(sys.argv[1])
    print(f"building {SIDE}x{SIDE} test images ...", file=sys.stderr)
    cases = build_cases()
    for case, data in cases.items():  # the same pixels as Pillow reads
        ours = quiet(lambda: SimpleImage.open(data))
        assert ours._pixels == Image.open(io.BytesIO(data)).convert("RGB").tobytes(), case
    if pyspng is None:
        print("note: pyspng is not installed; its column is skipped")
    if cv2 is None:
        print("note: opencv-python-headless is not installed; its column is skipped")

    print(f"\n{SIDE}x{SIDE}, {ROUNDS} interleaved rounds; ratio = median of per-round ratios to the floor")
    print("\nimage files (filter types in %: N None, S Sub, U Up, A Average, P Paeth)")
    for case, data in cases.items():
        print(f"  {case:24} {len(data):>9} bytes  {filter_mix(data, 4 if 'RGBA' in case else 3)}")

    header = f"\n{'row':34} {'floor ms':>9} {'ours ms':>8} {'ratio':>7} {'target':>7} {'':7}  peers (x floor)"
    print(header)
    print("-" * (len(header) + 20))
    for name, floor, ours, ratio, target, peer_text in open_rows(cases) + save_rows(cases):
        print(f"{name:34} {floor:9.1f} {ours:8.1f} {ratio:6.2f}x {target:6.2f}x {verdict(ratio <= target):7}  "
              f"{peer_text}")

    print(f"\n{'pixel access':34} {'ns/call':>9} {'target':>8} {'':7}  peers")
    for name, ns, peer_text in pixel_rows():
        print(f"{name:34} {ns:9.1f} {40:8} {verdict(ns <= 40):7}  {peer_text}")

    print(f"\n{'peak memory added by open':34} {'traced':>9} {'rss rise':>9} {'target':>7} {'':7}  Pillow rss rise"
          "   (x final RGB + alpha)")
    for case, data in cases.items():
        ours = peak_memory("ours", data)
        theirs = peak_memory("pillow", data)
        worst = max(ours["traced"], ours["rss"]) / ours["final"]
        print(f"{case:34} {ours['traced'] / ours['final']:8.2f}x {ours['rss'] / ours['final']:8.2f}x {2.0:6.2f}x "
              f"{verdict(worst <= 2.0):7}  {theirs['rss'] / theirs['final']:.2f}x")

    print(f"\n{'BMP, photo RGB':34} {'ours ms':>9} {'Pillow ms':>9} {'ratio':>7}")
    for name, ours_ms, pillow_ms, ratio in bmp_rows():
        print(f"{name:34} {ours_ms:9.1f} {pillow_ms:9.1f} {ratio:6.2f}x {verdict(ratio < 1.0):7}")


if __name__ == "__main__":
    main()
