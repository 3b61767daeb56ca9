"""QZR pictures through QImageReader, as Qt programs read them, with this
build's plugin: qzrdec's pixels exactly, by name, by content and from
memory, the size before the pixels; a failure, never a crash, where qzrdec
fails, with the library's message."""
import io
import os
import random
import struct
import subprocess
from dataclasses import dataclass

import pytest
from support import SAMPLES, damaged_forms, need, picture_files, run_qzrdec

Image = need("PIL.Image")


def reader() -> str:
    path = os.environ.get("QZR_QT_READER", "")
    if not os.access(path, os.X_OK) or not os.environ.get("QT_PLUGIN_PATH"):
        pytest.fail("set QZR_QT_READER (build/qt/qzr_qt5_reader or ..._qt6_reader) and QT_PLUGIN_PATH "
                    "(build/qt/qt5 or build/qt/qt6); ctest does")
    return path


@dataclass
class Read:
    status: int
    size: tuple
    format: str
    pixels: bytes  # RGB rows, or None
    failure: str   # the reader's errorString
    warnings: str


def read(how: str, path, tmp_path) -> Read:
    """The picture read through QImageReader (reader.cc tells the ways)."""
    out = tmp_path / "out.ppm"
    out.unlink(missing_ok=True)
    p = subprocess.run([reader(), "read", how, str(path), str(out)], capture_output=True, timeout=60,
                       input=path.read_bytes() if how == "stdin" else b"")
    assert p.returncode in (0, 1), f"{how} {path.name}: status {p.returncode}, {p.stdout!r} {p.stderr!r}"
    told = dict(line.split(" ", 1) if " " in line else (line, "") for line in p.stdout.decode().splitlines())
    size = tuple(int(n) for n in told["size"].split("x"))
    pixels = None
    if p.returncode == 0:
        magic, dimensions, _, pixels = out.read_bytes().split(b"\n", 3)
        assert magic == b"P6" and dimensions.split() == [str(n).encode() for n in size]
    return Read(p.returncode, size, told["format"], pixels, told.get("failed:", ""), p.stderr.decode())


def bmp_rows(bmp: bytes):
    with Image.open(io.BytesIO(bmp)) as im:
        return im.size, im.convert("RGB").tobytes()


def test_qt_lists_the_format_and_its_mime_type():
    p = subprocess.run([reader(), "formats"], capture_output=True, text=True, check=True, timeout=60)
    lines = p.stdout.splitlines()
    assert "format qzr" in lines and "mime image/x-qzr" in lines, p.stdout


@pytest.mark.parametrize("path", picture_files(), ids=lambda p: p.name)
def test_pixels_are_qzrdecs(path, tmp_path):
    data = path.read_bytes()
    status, text, bmp = run_qzrdec(data, tmp_path)
    assert status == 0, text
    size, expected = bmp_rows(bmp)
    # By name; by content under no extension, an unknown one and a wrong
    # one; from memory by content and by the format's name; from a pipe.
    ways = []
    for name in ("picture.qzr", "picture", "picture.dat", "picture.png"):
        (tmp_path / name).write_bytes(data)
        ways.append(("name", tmp_path / name))
    ways += [("buffer", path), ("buffer-qzr", path), ("stdin", path)]
    for how, source in ways:
        r = read(how, source, tmp_path)
        assert r.status == 0, f"{how} {source.name}: {r.failure} {r.warnings}"
        assert r.size == size and r.format == "qzr" and r.pixels == expected, f"{how} {source.name}"
        assert not r.warnings, r.warnings


def library_message(r: Read) -> str:
    """The library's message in the plugin's warning."""
    prefix = "qzr: "
    assert r.warnings.startswith(prefix), r.warnings
    return r.warnings[len(prefix):].split(": ", 1)[1].strip()


def assert_read_as_qzrdec(damaged: bytes, what: str, tmp_path):
    """Read by name and from a pipe: qzrdec's pixels where qzrdec decodes;
    where it fails, a failed read, with qzrdec's message when the data are
    ours by content (otherwise Qt finds no reader for them)."""
    status, text, bmp = run_qzrdec(damaged, tmp_path)
    path = tmp_path / "damaged.qzr"
    path.write_bytes(damaged)
    for how in ("name", "stdin"):
        r = read(how, path, tmp_path)
        if bmp is not None:
            assert r.status == 0 and r.pixels == bmp_rows(bmp)[1], f"{what} ({how}): {r.warnings}"
            continue
        assert r.status == 1 and r.pixels is None, f"{what} ({how})"
        if damaged.startswith(b"vkQZ"):
            message = library_message(r)
            assert message and message in text, f"{what} ({how}): {r.warnings!r}, qzrdec: {text!r}"


@pytest.mark.parametrize("sample", ["coffee.qzr", "astronaut.qzr"])
def test_damaged_files_fail_as_qzrdec_does(sample, tmp_path):
    data = (SAMPLES / sample).read_bytes()
    for what, damaged in damaged_forms(data, random.Random("qt" + sample)):
        assert_read_as_qzrdec(damaged, what, tmp_path)


def with_header(data: bytes, width=None, height=None, payload=None) -> bytes:
    b = bytearray(data)
    if width is not None:
        b[8:10] = struct.pack("<H", width)
    if height is not None:
        b[10:12] = struct.pack("<H", height)
    if payload is not None:
        b[32:36] = struct.pack("<I", payload)
    return bytes(b)


def test_hostile_headers(tmp_path):
    data = (SAMPLES / "coffee.qzr").read_bytes()
    # Headers qzrdec refuses or decodes, with a file appended to or cut.
    for what, damaged in [("no columns", with_header(data, width=0)), ("no rows", with_header(data, height=0)),
                          ("4000 x 3000", with_header(data, 4000, 3000)),
                          ("a gigabyte of payload, 5000 bytes of file", with_header(data, payload=1 << 30)[:5000]),
                          ("300000 bytes appended", data + bytes(300000))]:
        assert_read_as_qzrdec(damaged, what, tmp_path)
    # Beyond the library's default limits: refused from the header alone,
    # the size unknown, though qzrdec itself sets no limit.
    path = tmp_path / "hostile.qzr"
    for what, hostile in [("65535 x 65535", with_header(data, 65535, 65535)),
                          ("a payload of 4 GiB", with_header(data, payload=0xFFFFFFFF))]:
        path.write_bytes(hostile)
        for how in ("name", "buffer", "stdin"):
            r = read(how, path, tmp_path)
            assert r.status == 1 and r.size == (-1, -1), f"{what} ({how})"
            assert "limit" in library_message(r), f"{what} ({how}): {r.warnings!r}"
