"""Nanoseconds per getPixel/putPixel call, against Pillow's pixel access measured in
the same run. Run with ``make bench`` or ``.venv/bin/python bench/bench_pixels.py``."""

import statistics
import timeit

from Tavrune.simpleImage_ext import SimpleImage

try:
    from PIL import Image
except ImportError:  # Pillow is a benchmark-only dependency
    Image = None

WIDTH = HEIGHT = 256
CALLS = 200_000
ROUNDS = 7


def per_call_ns(statement: str, namespace: dict) -> float:
    """Median over interleaved-friendly rounds, minus nothing: the loop cost is
    included, as it is for every peer."""
    timer = timeit.Timer(statement, globals=namespace)
    samples = [timer.timeit(CALLS) / CALLS * 1e9 for _ in range(ROUNDS)]
    return statistics.median(samples)


def main() -> None:
    image = SimpleImage(WIDTH, HEIGHT, bytes(WIDTH * HEIGHT * 3))
    namespace = {"image": image, "xy": (17, 33), "value": (1, 2, 3)}
    rows = [
        ("SimpleImage.getPixel", "image.getPixel(xy)"),
        ("SimpleImage.putPixel", "image.putPixel(xy, value)"),
    ]
    if Image is not None:
        pil = Image.new("RGB", (WIDTH, HEIGHT))
        namespace.update(pil=pil, access=pil.load())
        rows += [
            ("Pillow Image.getpixel", "pil.getpixel(xy)"),
            ("Pillow Image.putpixel", "pil.putpixel(xy, value)"),
            ("Pillow load()[xy] read", "access[xy]"),
            ("Pillow load()[xy] = value", "access[xy] = value"),
        ]
    baseline = per_call_ns("xy", namespace)
    results = {name: per_call_ns(stmt, namespace) - baseline for name, stmt in rows}
    get_ns, put_ns = results["SimpleImage.getPixel"], results["SimpleImage.putPixel"]
    print(f"{'call':28} {'ns/call':>8} {'vs getPixel/putPixel':>22}")
    for name, ns in results.items():
        ours = put_ns if ("put" in name or "=" in name) else get_ns
        print(f"{name:28} {ns:8.1f} {ns / ours:21.2f}x")
    if Image is None:
        print("Pillow not installed: peers skipped")


if __name__ == "__main__":
    main()
