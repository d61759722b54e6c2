"""Checks that third_party/zlib-ng is the pinned release as third_party/zlib-ng.md
describes it: the sdist named there, downloaded with pip and checked against the
recorded sha256, holds byte for byte every file of the vendored tree, and the
vendored tree lacks only what the "Left out" entry lists. Exit status 1 and one
line per difference otherwise."""

import hashlib
import pathlib
import re
import subprocess
import sys
import tarfile
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
RECORD = ROOT / "third_party" / "zlib-ng.md"
VENDORED = ROOT / "third_party" / "zlib-ng"


def read_record(text: str) -> tuple[str, str, str, list[str]]:
    """The sdist's version, its sha256, the directory taken from it, and the left-out paths."""
    version = re.search(r"`zlib_ng-([0-9][^`]*)\.tar\.gz`", text)
    digest = re.search(r"sha256\s*`([0-9a-f]{64})`", text)
    directory = re.search(r"directory\s*`([^`]+)`", text)
    left_out = re.search(r"- \*\*Left out\*\*:(.*?)(?=\n- \*\*|\Z)", text, re.S)
    if not (version and digest and directory and left_out):
        sys.exit(f"{RECORD}: cannot find the version, sha256, directory or left-out list")
    return version.group(1), digest.group(1), directory.group(1), re.findall(r"`([^`]+)`", left_out.group(1))


def files_under(top: pathlib.Path) -> dict[str, pathlib.Path]:
    return {path.relative_to(top).as_posix(): path for path in top.rglob("*") if path.is_file() or path.is_symlink()}


def is_left_out(name: str, left_out: list[str]) -> bool:
    return any(name == entry.rstrip("/") or (entry.endswith("/") and name.startswith(entry)) for entry in left_out)


def main() -> int:
    version, digest, directory, left_out = read_record(RECORD.read_text(encoding="utf-8"))
    with tempfile.TemporaryDirectory() as scratch:
        download = pathlib.Path(scratch, "download")
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary", ":all:",
                        "-d", str(download), f"zlib-ng=={version}"], check=True)
        archives = list(download.glob("*.tar.gz"))
        if len(archives) != 1:
            sys.exit(f"expected one sdist of zlib-ng {version}, pip gave {[a.name for a in archives]}")
        actual = hashlib.sha256(archives[0].read_bytes()).hexdigest()
        if actual != digest:
            sys.exit(f"{archives[0].name}: sha256 {actual}, the record says {digest}")
        unpacked = pathlib.Path(scratch, "unpacked")
        with tarfile.open(archives[0]) as archive:
            if hasattr(tarfile, "data_filter"):
                archive.extractall(unpacked, filter="data")
            else:
                archive.extractall(unpacked)
        tops = [p for p in unpacked.iterdir() if p.is_dir()]
        if len(tops) != 1:
            sys.exit(f"{archives[0].name}: expected one top directory")
        released = files_under(tops[0] / directory)
        vendored = files_under(VENDORED)
        problems = []
        for name in sorted(vendored.keys() - released.keys()):
            problems.append(f"added: {name}")
        for name in sorted(released.keys() - vendored.keys()):
            if not is_left_out(name, left_out):
                problems.append(f"missing, and not listed as left out: {name}")
        for name in sorted(vendored.keys() & released.keys()):
            if is_left_out(name, left_out):
                problems.append(f"listed as left out but present: {name}")
            elif vendored[name].read_bytes() != released[name].read_bytes():
                problems.append(f"changed: {name}")
    for line in problems:
        print(f"third_party/zlib-ng: {line}")
    print(f"third_party/zlib-ng against zlib_ng-{version}.tar.gz ({directory}): "
          f"{len(vendored)} files, {len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
