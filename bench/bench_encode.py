"""PNG writing time on photo-like 2048 x 2048 images, split into our share
(filtering, framing, writing) and deflate, against Pillow's PNG save in the same
run. Run with ``.venv/bin/python bench/bench_encode.py [rounds]``.

For each image and each set of row filter types:
  save     whole _writePng call, written to /dev/null
  deflate  zlib.compress of the same filtered stream at the default level
  ours     save - deflate, paired within each round: pixel/alpha join,
           filtering, chunk framing, writing
  Pillow   Image.save(BytesIO(), "PNG") with its defaults (its own row filters)
Medians of interleaved rounds. "rows = Pillow" says whether our filtered stream
is byte for byte the one inside Pillow's file. "Pillow's types" re-filters every row with the
type Pillow chose for it, as when an image read from a Pillow-made file is saved
again."""

import io
import statistics
import struct
import sys
import time
import zlib

from PIL import Image, ImageChops

from Tavrune.simpleImage_ext import _writePng

SIDE = 2048
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 7


def photo_like(mode_bands, seed_sigma):
    """Smooth gradients in every band plus Gaussian noise, like a photograph."""
    gradients = [Image.linear_gradient("L"), Image.radial_gradient("L"),
                 Image.linear_gradient("L").rotate(90), Image.radial_gradient("L").rotate(45)]
    bands = []
    for i in range(mode_bands):
        smooth = gradients[i].resize((SIDE, SIDE), Image.BICUBIC)
        noise = Image.effect_noise((SIDE, SIDE), seed_sigma + 2 * i)
        bands.append(ImageChops.add(smooth, noise, scale=1.0, offset=-128))
    return Image.merge("RGBA"[:mode_bands] if mode_bands == 4 else "RGB", bands)


def idat_stream(png):
    """The inflated image data of a PNG file."""
    pos, idat = 8, []
    while pos < len(png):
        (length,) = struct.unpack(">I", png[pos:pos + 4])
        if png[pos + 4:pos + 8] == b"IDAT":
            idat.append(png[pos + 8:pos + 8 + length])
        pos += 12 + length
    return zlib.decompress(b"".join(idat))


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    cases, pillow_cases = [], []
    for mode in ("RGB", "RGBA"):
        image = photo_like(len(mode), 12)
        pixels = bytearray(image.convert("RGB").tobytes())
        alpha = bytearray(image.getchannel("A").tobytes()) if mode == "RGBA" else None
        pillow_png = io.BytesIO()
        image.save(pillow_png, "PNG")
        stride = 1 + SIDE * len(mode)
        pillow_stream = idat_stream(pillow_png.getvalue())
        pillow_types = bytearray(pillow_stream[::stride])
        pillow_cases.append((mode, image, len(pillow_png.getvalue())))
        for label, types in (("type 0", None), ("Paeth", bytearray([4] * SIDE)), ("Pillow's types", pillow_types)):
            _writePng("/tmp/bench_encode.png", SIDE, SIDE, pixels, alpha, types)
            with open("/tmp/bench_encode.png", "rb") as written:
                png = written.read()
            args = ("/dev/null", SIDE, SIDE, pixels, alpha, types)
            stream = idat_stream(png)
            cases.append({"name": f"{mode} {label}", "mode": mode, "args": args, "stream": stream,
                          "size": len(png), "save": [], "deflate": [], "ours": [],
                          "same": "yes" if stream == pillow_stream else "no"})
    pillow_times = {mode: [] for mode, _, _ in pillow_cases}

    for _ in range(ROUNDS):  # interleaved: every measurement once per round
        for case in cases:
            case["save"].append(timed(lambda: _writePng(*case["args"])))
            case["deflate"].append(timed(lambda: zlib.compress(case["stream"])))
            case["ours"].append(case["save"][-1] - case["deflate"][-1])
        for mode, image, _ in pillow_cases:
            pillow_times[mode].append(timed(lambda: image.save(io.BytesIO(), "PNG")))

    pillow_ms = {mode: statistics.median(t) * 1e3 for mode, t in pillow_times.items()}
    pillow_size = {mode: size for mode, _, size in pillow_cases}
    print(f"{SIDE}x{SIDE} photo-like images, medians of {ROUNDS} interleaved rounds\n")
    header = f"{'image, row filters':22} {'ours ms':>8} {'deflate ms':>10} {'save ms':>8} {'Pillow ms':>9} " \
             f"{'save/Pillow':>11} {'ours/save':>9} {'size KiB':>9} {'Pillow KiB':>10} {'rows = Pillow':>13}"
    print(header)
    print("-" * len(header))
    for case in cases:
        save = statistics.median(case["save"]) * 1e3
        deflate = statistics.median(case["deflate"]) * 1e3
        ours = statistics.median(case["ours"]) * 1e3
        mode = case["mode"]
        print(f"{case['name']:22} {ours:8.1f} {deflate:10.1f} {save:8.1f} {pillow_ms[mode]:9.1f} "
              f"{save / pillow_ms[mode]:10.2f}x {ours / save:9.1%} {case['size'] / 1024:9.0f} "
              f"{pillow_size[mode] / 1024:10.0f} {case['same']:>13}")


if __name__ == "__main__":
    main()
