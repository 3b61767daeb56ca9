"""QZR pictures through libvips' own programs, as users and services run
them: vips copy, vipsheader and vipsthumbnail give qzrdec's pixels exactly,
the size before any decoding, and qzrdec's message for a damaged file."""
import io
import random
import struct
import subprocess

import pytest
from support import SAMPLES, damaged_forms, need, picture_files, run_qzrdec

Image = need("PIL.Image")
ImageStat = need("PIL.ImageStat")


def run(*words, stdin=None):
    return subprocess.run([str(w) for w in words], input=stdin, capture_output=True, timeout=60)


def bmp_picture(bmp: bytes):
    """(width, height), RGB rows; a BMP of no pixels gives its size alone."""
    width, height = struct.unpack_from("<ii", bmp, 18)
    if width == 0 or height == 0:
        return (width, abs(height)), b""
    with Image.open(io.BytesIO(bmp)) as im:
        return im.size, im.convert("RGB").tobytes()


def ppm_picture(path):
    with Image.open(path) as im:
        assert im.mode == "RGB"
        return im.size, im.tobytes()


def v_picture(path):
    """A .v file of uchar pixels: a 64-byte header, then the rows."""
    data = path.read_bytes()
    width, height, bands = struct.unpack_from("<iii", data, 4)
    assert bands == 3
    return (width, height), data[64: 64 + 3 * width * height]


def refusal(p) -> str:
    """The message of a failed vips program, from its "qzrload: " on."""
    assert p.returncode != 0
    said = p.stderr.decode("latin-1")
    assert "qzrload: " in said, said
    # The error's line: the last (a failed decode is also a warning before it).
    return said.rsplit("qzrload: ", 1)[1].rstrip("\n")


def test_the_loaders_are_registered():
    listed = run("vips", "-l", "foreign").stdout.decode()
    for nickname in ("qzrload", "qzrload_buffer", "qzrload_source"):
        assert f"({nickname}), load QZR wavelet image" in listed and ".qzr" in listed


@pytest.mark.parametrize("path", picture_files(), ids=lambda p: p.name)
def test_pixels_are_qzrdecs(path, tmp_path):
    data = path.read_bytes()
    status, text, bmp = run_qzrdec(data, tmp_path)
    assert status == 0, text
    size, expected = bmp_picture(bmp)
    named, bare = tmp_path / "picture.qzr", tmp_path / "picture"
    named.write_bytes(data)
    bare.write_bytes(data)  # known by content alone
    header = run("vipsheader", named).stdout.decode()
    assert header == f"{named}: {size[0]}x{size[1]} uchar, 3 bands, srgb, qzrload\n"
    got = {}
    for name, source, out, stdin in (("by name", named, "a.ppm", None), ("by content", bare, "b.v", None),
                                     ("from a pipe", "stdin", "c.ppm", data)):
        p = run("vips", "copy", source, tmp_path / out, stdin=stdin)
        assert p.returncode == 0, p.stderr
        got[name] = (v_picture if out.endswith(".v") else ppm_picture)(tmp_path / out)
    # Asked for a thumbnail no smaller than the picture, vipsthumbnail keeps it.
    assert run("vipsthumbnail", named, "-s", "65535x65535>", "-o", tmp_path / "d.ppm").returncode == 0
    got["thumbnail"] = ppm_picture(tmp_path / "d.ppm")
    for name, picture in got.items():
        assert picture == (size, expected), name


def test_the_size_comes_from_the_header_alone(tmp_path):
    path = tmp_path / "cut.qzr"
    path.write_bytes((SAMPLES / "coffee.qzr").read_bytes()[:100])
    status, text, bmp = run_qzrdec(path.read_bytes(), tmp_path)
    assert status != 0
    assert run("vipsheader", path).stdout.decode() == f"{path}: 600x400 uchar, 3 bands, srgb, qzrload\n"
    message = refusal(run("vips", "copy", path, tmp_path / "out.ppm"))
    assert message and message in text
    assert not (tmp_path / "out.ppm").exists() or (tmp_path / "out.ppm").stat().st_size < 600 * 400 * 3


def test_vipsthumbnail_makes_a_thumbnail(tmp_path):
    source = SAMPLES / "coffee.qzr"
    out = tmp_path / "thumb.png"
    p = run("vipsthumbnail", source, "-s", "128", "-o", out)
    assert p.returncode == 0, p.stderr
    status, text, bmp = run_qzrdec(source.read_bytes(), tmp_path)
    with Image.open(out) as thumb, Image.open(io.BytesIO(bmp)) as full:
        assert thumb.format == "PNG" and thumb.size == (128, 85)
        # The same picture, smaller: the same mean colour, near enough.
        a, b = ImageStat.Stat(thumb.convert("RGB")).mean, ImageStat.Stat(full.convert("RGB")).mean
        assert all(abs(x - y) < 3 for x, y in zip(a, b)), (a, b)
    bad = tmp_path / "bad.qzr"
    bad.write_bytes(source.read_bytes()[:100])
    # libvips 8.14's thumbnail passes a loader's failure on only now and
    # then: the pipeline after the loader may race past it and save a black
    # picture. No crash, and the library's message said either way.
    p = run("vipsthumbnail", bad, "-s", "128", "-o", tmp_path / "bad.jpg")
    assert p.returncode >= 0 and b"qzrload: Error reading Huffman Tree!" in p.stderr, p.stderr


@pytest.mark.parametrize("sample", ["coffee.qzr", "astronaut.qzr"])
def test_damaged_files_give_qzrdecs_message(sample, tmp_path):
    data = (SAMPLES / sample).read_bytes()
    refused = 0
    for what, damaged in damaged_forms(data, random.Random("vips" + sample)):
        status, text, bmp = run_qzrdec(damaged, tmp_path)
        path = tmp_path / "damaged.qzr"
        path.write_bytes(damaged)
        p = run("vips", "copy", path, tmp_path / "out.ppm")
        if bmp is not None and min(bmp_picture(bmp)[0]) > 0:
            assert p.returncode == 0, f"{what}: {p.stderr}"
            assert ppm_picture(tmp_path / "out.ppm") == bmp_picture(bmp), what
            continue
        if not damaged.startswith(b"vkQZ"):
            # Not ours by content: libvips knows no loader for it, or
            # another loader takes it; either way no picture of ours.
            continue
        message = refusal(p)
        if bmp is not None:
            assert message.startswith("The picture has no pixels"), what  # libvips has no empty pictures
        else:
            assert message and message in text, f"{what}: {message!r}, qzrdec: {text!r}"
        refused += 1
    assert refused >= 10
