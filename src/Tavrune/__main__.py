"""Command line of the package.

``python -m Tavrune demo`` makes a PNG with ancillary chunks around and between
several image-data chunks, changes some pixels, saves it and shows that only the
pixels changed. ``python -m Tavrune info FILE...`` prints the layout of any PNG or
BMP, damaged ones up to the damage; ``python -m Tavrune diff A B`` compares two.
``python -m Tavrune check PATH...`` opens every PNG and BMP under the paths,
re-saves each to a temporary file and verifies that its layout and pixels were
kept. ``python -m Tavrune resave IN OUT`` opens a file, saves it again and
reports what differs between the two files; ``python -m Tavrune to-bmp IN OUT``
writes a 24-bit BMP; both take ``-o DIR`` and many inputs. The commands live in
``Tavrune._cli`` and ``Tavrune._cli_layout``; ``tavrune`` is the same command line.
"""

import sys

from Tavrune._cli import main

if __name__ == "__main__":
    sys.exit(main())
