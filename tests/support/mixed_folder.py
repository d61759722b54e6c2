"""A folder of PNG and BMP files as a user's folder may hold them, for check and
the conversions of many files, with what check must say about each file.

Most files are written by Pillow (RGB and RGBA PNG at several compression
levels, some with text and resolution chunks; RGB BMP); the rest are kinds the
module refuses (grey, palette, 16-bit, interlaced PNG; BMP of other depths;
JPEG and GIF under a .png or .bmp name), corrupt files (cut short, a flipped
byte, image data that is no zlib stream) links to files that are gone, a FIFO and a link to /dev/zero.
Files are spread over nested folders; a few other files sit beside them."""

import io
import os
import random

from PIL import Image, PngImagePlugin

from support.builders import build_png, random_rows

# (share of the files, what check says: a result and the refusal's message)
VERIFIED, FAILED = ("verified", None), ("failed", None)
KINDS = {
    "png rgb": (30, VERIFIED),
    "png rgba": (20, VERIFIED),
    "png rgb text": (8, VERIFIED),
    "bmp rgb": (20, VERIFIED),
    "png grey": (3, ("unsupported", "Only RGB/RGBA PNG images are supported")),
    "png palette": (3, ("unsupported", "Only RGB/RGBA PNG images are supported")),
    "png 16-bit": (2, ("unsupported", "Only 8-bit PNG images are supported")),
    "png interlaced": (2, ("unsupported", "Unsupported PNG configuration (compression/filter/interlace)")),
    "bmp palette": (2, ("unsupported", "Only uncompressed 24-bit BMP files are supported")),
    "bmp rgba": (2, ("unsupported", "Only uncompressed 24-bit BMP files are supported")),
    "jpeg named png": (2, ("unsupported", "Unsupported image format")),
    "gif named bmp": (1, ("unsupported", "Unsupported image format")),
    "png cut short": (1, ("damaged", "Unexpected EOF while reading chunk data")),
    "png flipped byte": (1, ("damaged", "Corrupted PNG chunk detected")),
    "png no zlib": (1, ("damaged", "zlib.error: Error -3 while decompressing data: incorrect header check")),
    "bmp cut short": (1, ("damaged", "Incomplete BMP pixel data")),
}
DANGLING_LINKS = 2
OTHER_FILES = ("notes.txt", "thumbs.db", "README")


GRADIENTS = []


def picture(rng, mode):
    """A small photo-like picture: windows of smooth gradients with noise, of random size."""
    if not GRADIENTS:
        GRADIENTS.extend(Image.linear_gradient("L").rotate(angle, resample=Image.BILINEAR, expand=True)
                         .resize((400, 400)) for angle in range(0, 360, 40))
    width, height = rng.randrange(16, 161), rng.randrange(16, 161)
    noise = Image.effect_noise((width, height), rng.choice((4, 12, 30)))
    bands = []
    for _ in mode:
        left, top = rng.randrange(400 - width), rng.randrange(400 - height)
        window = rng.choice(GRADIENTS).crop((left, top, left + width, top + height))
        bands.append(Image.blend(window, noise, 0.3))
    return Image.merge(mode, bands)


def palette_picture(rng):
    """A palette picture with all 256 entries, so that Pillow writes 8 bits per pixel."""
    image = Image.frombytes("P", (24, 16), bytes(rng.randrange(256) for _ in range(24 * 16)))
    image.putpalette(bytes(range(256)) * 3)
    return image


def pillow(image, kind, **options):
    out = io.BytesIO()
    image.save(out, kind, **options)
    return out.getvalue()


def file_of(kind, rng):
    """(suffix, bytes) of one file of the given kind."""
    if kind == "png rgb":
        return ".png", pillow(picture(rng, "RGB"), "PNG", compress_level=rng.randrange(10))
    if kind == "png rgba":
        return ".png", pillow(picture(rng, "RGBA"), "PNG", compress_level=rng.randrange(10))
    if kind == "png rgb text":
        info = PngImagePlugin.PngInfo()
        info.add_text("Comment", f"file {rng.random()}")
        return ".png", pillow(picture(rng, "RGB"), "PNG", pnginfo=info, dpi=(rng.randrange(50, 600),) * 2)
    if kind == "bmp rgb":
        return ".bmp", pillow(picture(rng, "RGB"), "BMP")
    if kind == "png grey":
        return ".png", pillow(picture(rng, "L"), "PNG")
    if kind == "png palette":
        return ".png", pillow(palette_picture(rng), "PNG")
    if kind == "png 16-bit":
        return ".png", build_png(random_rows(5, 4, 6, seed=rng.randrange(1000)), channels=6, bit_depth=16)
    if kind == "png interlaced":
        return ".png", build_png(random_rows(5, 4, seed=rng.randrange(1000)), interlace=1)
    if kind == "bmp palette":
        return ".bmp", pillow(palette_picture(rng), "BMP")
    if kind == "bmp rgba":
        return ".bmp", pillow(picture(rng, "RGBA"), "BMP")
    if kind == "jpeg named png":
        return ".png", pillow(picture(rng, "RGB"), "JPEG")
    if kind == "gif named bmp":
        return ".bmp", pillow(picture(rng, "RGB"), "GIF")
    if kind == "png no zlib":
        return ".png", build_png(random_rows(5, 4, seed=rng.randrange(1000)), data=b"no zlib stream here")
    data = pillow(picture(rng, "RGB"), "PNG" if kind.startswith("png") else "BMP")
    if kind == "png flipped byte":
        at = data.index(b"IDAT") + 8  # inside the image data, whose CRC then fails
        return ".png", data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]
    if kind == "png cut short":
        return ".png", data[:data.index(b"IDAT") + 10]  # the image data ends early
    return ".bmp", data[:-7]  # bmp cut short: the last row is incomplete


def build(folder, count=2000, seed=0):
    """Fills folder with count files to check (and a few others) and returns
    {path: (result, message)} of what check must report for each: message is
    the module's for a file refused, None otherwise. The FIFO and the link to
    /dev/zero are not in it: check skips them."""
    rng = random.Random(seed)
    shares = sum(share for share, _ in KINDS.values())
    kinds = [kind for kind, (share, _) in list(KINDS.items())[1:]
             for _ in range(max(1, round(share * count / shares)))]
    kinds += ["png rgb"] * (count - DANGLING_LINKS - len(kinds))
    rng.shuffle(kinds)
    expected = {}
    for index, kind in enumerate(kinds):
        place = os.path.join(folder, f"set{index % 7}", f"part{index % 3}" if index % 2 else "")
        os.makedirs(place, exist_ok=True)
        suffix, data = file_of(kind, rng)
        suffix = suffix.upper() if index % 9 == 0 else suffix
        path = os.path.join(place, f"{index:04d}-{kind.replace(' ', '-')}{suffix}")
        with open(path, "wb") as out:
            out.write(data)
        expected[path] = KINDS[kind][1]
    for index in range(DANGLING_LINKS):
        path = os.path.join(folder, f"set{index}", f"gone-{index}.png")
        os.symlink(os.path.join(folder, "no such file.png"), path)
        expected[path] = ("failed", f"[Errno 2] No such file or directory: '{path}'")
    os.mkfifo(os.path.join(folder, "set2", "pipe.png"))
    os.symlink("/dev/zero", os.path.join(folder, "set3", "zero.bmp"))
    for name in OTHER_FILES:
        with open(os.path.join(folder, "set1", name), "w") as out:
            out.write("not an image\n")
    return expected
