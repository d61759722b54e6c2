"""Command line: ``python -m Tavrune demo``."""

import argparse
import sys

from Tavrune.simpleImage_ext import SimpleImage


def demo() -> int:
    """Builds a small image, changes some pixels and reads them back."""
    width, height = 4, 3
    image = SimpleImage(width, height, bytes(width * height * 3))
    print(f"built a {image.width}x{image.height} image, pixel (3, 2) = {image.getPixel((3, 2))}")
    for x in range(width):
        image.putPixel((x, x % height), (60 * x, 255 - 60 * x, 300))
    for y in range(height):
        print(f"row {y}: " + " ".join(str(image.getPixel((x, y))) for x in range(width)))
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m Tavrune")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="build an image, change and read pixels")
    arguments = parser.parse_args(argv)
    if arguments.command == "demo":
        return demo()
    return 2


if __name__ == "__main__":
    sys.exit(main())
