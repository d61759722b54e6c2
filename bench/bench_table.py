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

Then where open's time goes (inflation, the decoder's own work, the
constructor's copies) and the plain writer on images built in memory; the peak
memory added by open (by path and by bytes) and by save of a 4096x4096 photo,
beside Pillow and pyspng; last, open and save of 16 distinct photos on one
thread against a pool of two, beside the peers and the host's zlib, with the
machine's load average (other work on the machine takes CPUs the pool needs).

Sub-commands run one part alone: ``check [rounds]`` times ``python -m Tavrune
check -j 2`` against ``-j 1`` on the 2,000 mixed files the tests build;
``memory`` the peak memory rows; ``threads [rounds [open|save]]`` the thread
rows.
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


LARGE_SIDE = 4096

LARGE_MEMORY_PROBE = r"""
import contextlib, gc, io, json, os, sys, tracemalloc
which, how, path, out = sys.argv[1:5]


def peak_resident():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024


def idat_size(data):
    pos, total = 8, 0
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        total += length if data[pos + 4:pos + 8] == b"IDAT" else 0
        pos += 12 + length
    return total


if which == "ours":
    from Tavrune.simpleImage_ext import SimpleImage
elif which == "pyspng":
    import numpy, pyspng
else:
    from PIL import Image
data = None
if how == "bytes":
    with open(path, "rb") as f:
        data = f.read()
image = None
if how == "save":
    if which == "ours":
        with contextlib.redirect_stdout(io.StringIO()):
            image = SimpleImage.open(path)
    else:
        image = Image.open(path)
        image.load()
gc.collect()
before = peak_resident()
tracemalloc.start()
if how == "save":
    image.save(out) if which == "ours" else image.save(out, "PNG")
elif which == "ours":
    with contextlib.redirect_stdout(io.StringIO()):
        image = SimpleImage.open(data if how == "bytes" else path)
elif which == "pyspng":
    if data is None:
        with open(path, "rb") as f:
            image = pyspng.load(f.read())
    else:
        image = pyspng.load(data)
else:
    image = Image.open(io.BytesIO(data) if how == "bytes" else path)
    image.load()
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
after = peak_resident()
with open(path, "rb") as f:
    planes = os.path.getsize(path) * 0
    header = f.read(33)
width, height = int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")
planes = width * height * (4 if header[25] == 6 else 3)
compressed = 0
if how == "save":
    with open(out, "rb") as f:
        compressed = idat_size(f.read())
print(json.dumps({"traced": peak, "rss": after - before, "planes": planes, "compressed": compressed}))
"""


def large_memory(which, how, path):
    out = os.path.join(TMP, "large-out.png")
    text = subprocess.run([sys.executable, "-c", LARGE_MEMORY_PROBE, which, how, path, out], check=True,
                          capture_output=True, text=True).stdout
    return json.loads(text)


def print_large_memory_rows():
    """Peak memory added by open (by path and by bytes) and by save of a
    4096x4096 photo, in a fresh interpreter each, against the planes; for save
    beyond the compressed output it writes. Targets: open 1.10x, save 0.15x.
    Pillow's and pyspng's buffers are not all traced: their resident rise
    compares."""
    global SIDE
    side, SIDE = SIDE, LARGE_SIDE
    try:
        print(f"building a {LARGE_SIDE}x{LARGE_SIDE} photo ...", file=sys.stderr)
        data = pillow_png(photo("RGB"))
    finally:
        SIDE = side
    path = os.path.join(TMP, "large.png")
    with open(path, "wb") as f:
        f.write(data)
    print(f"\n{'peak memory, ' + str(LARGE_SIDE) + 'x' + str(LARGE_SIDE) + ' photo RGB':34} {'traced':>9} "
          f"{'rss rise':>9} {'target':>7} {'':7}  peers rss rise   (x planes; save: beyond the compressed output)")
    for how, target in (("path", 1.10), ("bytes", 1.10), ("save", 0.15)):
        ours = large_memory("ours", how, path)
        beyond = ours["compressed"]
        traced = (ours["traced"] - beyond) / ours["planes"]
        rss = (ours["rss"] - beyond) / ours["planes"]
        peers = []
        for peer in ("Pillow", "pyspng"):
            if peer == "pyspng" and (pyspng is None or how == "save"):
                continue
            theirs = large_memory(peer.lower() if peer == "pyspng" else "pillow", how, path)
            peers.append(f"{peer} {(theirs['rss'] - theirs['compressed']) / theirs['planes']:.2f}x")
        print(f"{'open by ' + how if how != 'save' else 'save':34} {traced:8.2f}x {rss:8.2f}x {target:6.2f}x "
              f"{verdict(max(traced, rss) <= target):7}  {'  '.join(peers)}")


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
        image = quiet(lambda data=data: SimpleImage.open(data))
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
    for case in cases:
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



# --- where open's time goes, and the plain writer (were bench_decode/bench_encode) ----------


def open_split_rows(cases):
    """Per case: inflation alone, the decoder (chunks with CRCs, inflation,
    unfiltering, the colour/alpha split) and the whole open (the decoder plus the
    constructor's copies), so that the decoder's own work and the copies show."""
    measures = {}
    for case, data in cases.items():
        idat = idat_of(data)
        measures[case, "inflate"] = lambda idat=idat: zlib.decompress(idat)
        measures[case, "decode"] = lambda data=data: SimpleImage._streamToImage(io.BytesIO(data))
        measures[case, "open"] = lambda data=data: quiet(lambda: SimpleImage.open(data))
    samples = run_rounds(measures)
    return [(case, ms(samples, (case, "inflate")), ms(samples, (case, "decode")), ms(samples, (case, "open")),
             paired_ratio(samples, (case, "decode"), (case, "inflate"))) for case in cases]


def plain_writer_rows():
    """_writePng on images built in memory (no layout kept), every row of one
    filter type, against deflate of the stream it writes; file size against
    Pillow's save of the same pixels with its own filter choice."""
    measures, sizes = {}, {}
    for mode in ("RGB", "RGBA"):
        image = photo(mode)
        rgb = bytearray(image.convert("RGB").tobytes())
        alpha = bytearray(image.getchannel("A").tobytes()) if mode == "RGBA" else None
        pillow_size = len(pillow_png(image))
        for name, filter_type in (("None", 0), ("Paeth", 4)):
            case = f"photo {mode}, every row {name}"
            arguments = (SIDE, SIDE, rgb, alpha, bytearray([filter_type] * SIDE))
            path = os.path.join(TMP, "plain.png")
            ext._writePng(path, *arguments)
            with open(path, "rb") as f:
                written = f.read()
            stream = zlib.decompress(idat_of(written))
            measures[case, "floor"] = lambda stream=stream: zlib.compress(stream, 6)
            measures[case, "ours"] = lambda arguments=arguments: ext._writePng(os.devnull, *arguments)
            sizes[case] = (len(written), pillow_size)
    samples = run_rounds(measures)
    return [(case, ms(samples, (case, "floor")), ms(samples, (case, "ours")),
             paired_ratio(samples, (case, "ours"), (case, "floor")), size, pillow_size)
            for case, (size, pillow_size) in sizes.items()]


def print_open_split_and_plain_writer(cases):
    print(f"\n{'open, where the time goes':34} {'inflate':>9} {'decode':>8} {'open':>8} {'decode/inflate':>15}"
          f" {'decoder own ms':>15} {'copies ms':>10}")
    for case, inflate, decode, whole, ratio in open_split_rows(cases):
        print(f"{case:34} {inflate:9.1f} {decode:8.1f} {whole:8.1f} {ratio:14.2f}x {decode - inflate:15.1f}"
              f" {whole - decode:10.1f}")
    print(f"\n{'plain writer, built in memory':34} {'floor ms':>9} {'ours ms':>8} {'ratio':>7} {'KiB':>8}"
          f" {'Pillow KiB':>11}")
    for case, floor, ours, ratio, size, pillow_size in plain_writer_rows():
        print(f"{case:34} {floor:9.1f} {ours:8.1f} {ratio:6.2f}x {size / 1024:8.0f} {pillow_size / 1024:11.0f}")


# --- check -j 2 against check -j 1 ------------------------------------------------------------


def check_scaling(rounds):
    """python -m Tavrune check on the 2,000 mixed files the tests build, with one
    worker process and with two, each run a fresh interpreter as a user starts
    it; rounds alternate which goes first, and the ratio is the median of the
    per-round ratios. The machine's load average is shown with every round."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    from support import mixed_folder
    import shutil

    folder = os.path.join(TMP, "mixed")
    print("building the 2,000 mixed files ...", file=sys.stderr)
    expected = mixed_folder.build(folder)
    failed = sum(result == "failed" for result, _ in expected.values())
    print(f"check on {len(expected)} mixed files, {rounds} rounds; load average (1 min) before: "
          f"{os.getloadavg()[0]:.2f}")
    print(f"{'round':>5} {'-j 1 s':>8} {'-j 2 s':>8} {'ratio':>7} {'load':>6}")
    ratios = []
    for round_ in range(rounds):
        seconds = {}
        for jobs in ((1, 2) if round_ % 2 == 0 else (2, 1)):
            start = time.perf_counter()
            result = subprocess.run([sys.executable, "-m", "Tavrune", "check", "-j", str(jobs), folder],
                                    capture_output=True, text=True)
            seconds[jobs] = time.perf_counter() - start
            assert result.returncode == (1 if failed else 0), result.stderr
            assert ["files", "checked", str(len(expected))] in [line.split() for line in result.stdout.splitlines()]
        ratios.append(seconds[2] / seconds[1])
        print(f"{round_ + 1:5} {seconds[1]:8.2f} {seconds[2]:8.2f} {ratios[-1]:6.2f}x {os.getloadavg()[0]:6.2f}")
    median = statistics.median(ratios)
    print(f"median ratio -j 2 / -j 1: {median:.2f}x (target under 0.60x: {verdict(median < 0.6)}); "
          f"{os.cpu_count()} CPUs")
    shutil.rmtree(folder)

# --- one thread against two ------------------------------------------------------------------

THREAD_FILES = 16


def distinct_photos(count):
    """count photo-like RGB images, each with noise of its own."""
    return [photo("RGB") for _ in range(count)]


def thread_pair(call, items):
    """Seconds for call over items on one thread, then on a pool of two."""
    import concurrent.futures

    start = time.perf_counter()
    for item in items:
        call(item)
    one = time.perf_counter() - start
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        start = time.perf_counter()
        list(pool.map(call, items))
        two = time.perf_counter() - start
    return one, two


def thread_rows(rounds, actions=("open", "save")):
    """Open and save of THREAD_FILES distinct photos on one thread against a
    pool of two, this module beside the peers and the host zlib, every library
    in every round; the ratio is the median of the per-round ratios 2T/1T.
    Target: 0.55x for open and for save."""
    print(f"building {THREAD_FILES} distinct {SIDE}x{SIDE} photos ...", file=sys.stderr)
    images = distinct_photos(THREAD_FILES)
    files = [pillow_png(image) for image in images]
    paths = []
    for i, data in enumerate(files):
        paths.append(os.path.join(TMP, f"thread-{i}.png"))
        with open(paths[-1], "wb") as f:
            f.write(data)
    idats = [idat_of(data) for data in files]
    opens = {
        "ours, bytes": (lambda data: SimpleImage.open(data), files),
        "ours, path": (lambda path: SimpleImage.open(path), paths),
        "Pillow": (lambda data: Image.open(io.BytesIO(data)).load(), files),
        "zlib.decompress": (zlib.decompress, idats),
    }
    if pyspng is not None:
        opens["pyspng"] = (pyspng.load, files)
    if cv2 is not None:
        opens["opencv"] = (lambda data: cv2.imdecode(numpy.frombuffer(data, numpy.uint8), cv2.IMREAD_UNCHANGED),
                           files)
    with contextlib.redirect_stdout(io.StringIO()):
        ours = [SimpleImage.open(data) for data in files]
    filtered = [zlib.decompress(idat) for idat in idats]
    saves = {
        "ours": (lambda k: ours[k].save(os.path.join(TMP, f"thread-save-{k}.png")), range(THREAD_FILES)),
        "Pillow": (lambda image: image.save(io.BytesIO(), "PNG"), images),
        "zlib.compress": (zlib.compress, filtered),
    }
    if cv2 is not None:
        arrays = [numpy.asarray(image)[:, :, ::-1].copy() for image in images]
        saves["opencv"] = (lambda array: cv2.imencode(".png", array), arrays)
    rows = []
    for action, calls in (("open", opens), ("save", saves)):
        if action not in actions:
            continue
        samples = {name: [] for name in calls}
        loads = []
        with contextlib.redirect_stdout(io.StringIO()):  # open prints a line per image
            for _ in range(rounds):
                for name, (call, items) in calls.items():
                    samples[name].append(thread_pair(call, list(items)))
                loads.append(os.getloadavg()[0])
        for name, pairs in samples.items():
            one = statistics.median(a for a, _ in pairs) * 1e3
            two = statistics.median(b for _, b in pairs) * 1e3
            ratio = statistics.median(b / a for a, b in pairs)
            rows.append((f"{action} {name}", one, two, ratio, min(loads), max(loads)))
    return rows


def print_thread_rows(rounds, actions=("open", "save")):
    print(f"\n{THREAD_FILES} distinct {SIDE}x{SIDE} photo RGB files, 1 thread against a pool of 2, {rounds} rounds;"
          f" {os.cpu_count()} CPUs")
    print(f"{'threads':34} {'1T ms':>9} {'2T ms':>8} {'2T/1T':>7} {'target':>7} {'':7}  load (1 min)")
    for name, one, two, ratio, low, high in thread_rows(rounds, actions):
        ours = name.startswith(("open ours", "save ours"))
        target = f"{0.55:6.2f}x {verdict(ratio <= 0.55):7}" if ours else f"{'':7} {'':7}"
        print(f"{name:34} {one:9.1f} {two:8.1f} {ratio:6.2f}x {target}  {low:.2f}-{high:.2f}")


def verdict(holds):
    return "holds" if holds else "MISSED"


def main():
    global ROUNDS
    if sys.argv[1:2] == ["check"]:  # bench_table.py check [rounds]: only the scaling of check
        return check_scaling(int(sys.argv[2]) if len(sys.argv) > 2 else 5)
    if sys.argv[1:2] == ["memory"]:  # bench_table.py memory: only the peak memory at 4096x4096
        return print_large_memory_rows()
    if sys.argv[1:2] == ["threads"]:  # bench_table.py threads [rounds [open|save]]: only 1 thread against 2
        return print_thread_rows(int(sys.argv[2]) if len(sys.argv) > 2 else ROUNDS, tuple(sys.argv[3:]) or
                                 ("open", "save"))
    if len(sys.argv) > 1:
        ROUNDS = int(sys.argv[1])
    print(f"building {SIDE}x{SIDE} test images ...", file=sys.stderr)
    cases = build_cases()
    for case, data in cases.items():  # the same pixels as Pillow reads
        ours = quiet(lambda data=data: SimpleImage.open(data))
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

    print_open_split_and_plain_writer(cases)
    print_large_memory_rows()
    print_thread_rows(ROUNDS)


if __name__ == "__main__":
    main()
