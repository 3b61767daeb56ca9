"""QZR pictures through GdkPixbuf as GTK programs load them, through the
thumbnailer as file managers run it, and typed by GIO as file managers type
them: qzrdec's pixels exactly, qzrdec's message for a damaged file."""
import configparser
import io
import random
import re
import shutil
import subprocess

import pytest
from support import SAMPLES, damaged_forms, need, picture_files, run_qzrdec

gi = need("gi")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib  # noqa: E402

Image = need("PIL.Image")
ImageStat = need("PIL.ImageStat")


def rows(pixbuf) -> bytes:
    """The pixbuf's RGB rows without the padding after each."""
    assert pixbuf.get_n_channels() == 3 and not pixbuf.get_has_alpha() and pixbuf.get_bits_per_sample() == 8
    data, stride, row = pixbuf.read_pixel_bytes().get_data(), pixbuf.get_rowstride(), 3 * pixbuf.get_width()
    return b"".join(data[y * stride: y * stride + row] for y in range(pixbuf.get_height()))


def bmp_rows(bmp: bytes):
    with Image.open(io.BytesIO(bmp)) as im:
        return im.size, im.convert("RGB").tobytes()


def load_in_chunks(data: bytes, chunk: int):
    """A GdkPixbufLoader fed as a program streaming the file would feed it;
    the loader takes the format from the bytes."""
    loader = GdkPixbuf.PixbufLoader()
    try:
        for at in range(0, len(data), chunk):
            loader.write(data[at: at + chunk])
    finally:
        loader.close()
    return loader.get_pixbuf()


def test_the_loader_is_registered():
    formats = {f.get_name(): f for f in GdkPixbuf.Pixbuf.get_formats()}
    assert "qzr" in formats, "the loader cache has no qzr loader"
    f = formats["qzr"]
    assert f.get_mime_types() == ["image/x-qzr"] and f.get_extensions() == ["qzr"]
    assert not f.is_writable() and not f.is_disabled()


@pytest.mark.parametrize("path", picture_files(), ids=lambda p: p.name)
def test_pixels_are_qzrdecs(path, tmp_path):
    data = path.read_bytes()
    status, text, bmp = run_qzrdec(data, tmp_path)
    assert status == 0, text
    (width, height), expected = bmp_rows(bmp)
    # By name, by content alone (no extension), and streamed in chunks.
    named = tmp_path / "picture.qzr"
    named.write_bytes(data)
    bare = tmp_path / "picture"
    bare.write_bytes(data)
    for pixbuf in (GdkPixbuf.Pixbuf.new_from_file(str(named)), GdkPixbuf.Pixbuf.new_from_file(str(bare)),
                   load_in_chunks(data, 1000)):
        assert (pixbuf.get_width(), pixbuf.get_height()) == (width, height)
        assert rows(pixbuf) == expected
    fmt, w, h = GdkPixbuf.Pixbuf.get_file_info(str(bare))
    assert fmt.get_name() == "qzr" and (w, h) == (width, height)


def test_viewers_get_the_size_first_and_a_scaled_picture(tmp_path):
    path = SAMPLES / "coffee.qzr"
    told = []
    loader = GdkPixbuf.PixbufLoader()
    loader.connect("size-prepared", lambda _loader, w, h: (told.append((w, h)), _loader.set_size(w // 4, h // 4)))
    data = path.read_bytes()
    # gdk-pixbuf holds the first few KiB to tell the format; the size comes
    # as soon as they reach the loader, long before the data end.
    at = 0
    while not told and at < len(data):
        loader.write(data[at: at + 36])
        at += 36
    assert told == [(600, 400)] and at <= 8192 < len(data) // 4, at
    loader.write(data[at:])
    loader.close()
    assert (loader.get_pixbuf().get_width(), loader.get_pixbuf().get_height()) == (150, 100)
    scaled = GdkPixbuf.Pixbuf.new_from_file_at_scale(str(path), 128, 128, True)
    assert (scaled.get_width(), scaled.get_height()) == (128, 85)


@pytest.mark.parametrize("sample", ["coffee.qzr", "astronaut.qzr"])
def test_damaged_files_give_qzrdecs_message(sample, tmp_path):
    data = (SAMPLES / sample).read_bytes()
    refused = 0
    for what, damaged in damaged_forms(data, random.Random("desktop" + sample)):
        status, text, bmp = run_qzrdec(damaged, tmp_path)
        path = tmp_path / "damaged.qzr"
        path.write_bytes(damaged)
        if bmp is not None:
            assert rows(GdkPixbuf.Pixbuf.new_from_file(str(path))) == bmp_rows(bmp)[1], what
            continue
        if not damaged.startswith(b"vkQZ"):
            # Not ours by content: gdk-pixbuf says so, or another loader
            # takes it; either way no picture of ours.
            continue
        for attempt in (lambda: GdkPixbuf.Pixbuf.new_from_file(str(path)), lambda: load_in_chunks(damaged, 4096)):
            with pytest.raises(GLib.Error) as e:
                attempt()
            assert e.value.domain == "gdk-pixbuf-error-quark", what
            # gdk-pixbuf puts the file's name before a message from a file.
            message = re.sub(r"^Failed to load image “[^”]*”: ", "", e.value.message)
            assert message and message in text, f"{what}: {e.value.message!r}, qzrdec: {text!r}"
        refused += 1
    assert refused >= 10


def test_a_cut_file_shows_what_survives_with_the_error(tmp_path):
    """So that a viewer can show the part of a cut file that arrived, the
    loader hands out the salvaged picture and close() fails all the same; a load
    that gives only a pixbuf or an error (new_from_file, the thumbnailer)
    gives the error. loader_test.c holds the pixels to the salvage's."""
    data = (SAMPLES / "coffee.qzr").read_bytes()
    cut = data[: len(data) * 6 // 10]
    _, text, _ = run_qzrdec(cut, tmp_path)
    for scale in (1, 4):
        loader = GdkPixbuf.PixbufLoader()
        loader.connect("size-prepared", lambda lo, w, h, s=scale: lo.set_size(w // s, h // s))
        loader.write(cut)
        with pytest.raises(GLib.Error) as e:
            loader.close()
        assert e.value.matches(GdkPixbuf.PixbufError.quark(), GdkPixbuf.PixbufError.CORRUPT_IMAGE)
        assert e.value.message and e.value.message in text
        pixbuf = loader.get_pixbuf()
        assert pixbuf is not None and (pixbuf.get_width(), pixbuf.get_height()) == (600 // scale, 400 // scale)
    path = tmp_path / "cut.qzr"
    path.write_bytes(cut)
    with pytest.raises(GLib.Error):
        GdkPixbuf.Pixbuf.new_from_file(str(path))
    out = tmp_path / "cut.png"
    assert subprocess.run(thumbnailer_command(path, out, 128), capture_output=True, timeout=60).returncode != 0
    assert not out.exists()
    # Too little for a picture (no luma band arrived): the error alone.
    loader = GdkPixbuf.PixbufLoader()
    loader.write(data[:100])
    with pytest.raises(GLib.Error):
        loader.close()
    assert loader.get_pixbuf() is None


def thumbnailer_command(source, out, size):
    """The command our thumbnailer entry gives a file manager."""
    entry = configparser.ConfigParser(interpolation=None)
    entry.read(SAMPLES.parent / "desktop" / "qzr.thumbnailer")
    section = entry["Thumbnailer Entry"]
    assert "image/x-qzr;" in section["MimeType"] and shutil.which(section["TryExec"])
    words = section["Exec"].split()
    fill = {"%s": str(size), "%u": source.as_uri(), "%o": str(out), "%i": str(source)}
    return [fill.get(w, w) for w in words]


def test_the_thumbnailer_makes_a_thumbnail(tmp_path):
    source = tmp_path / "coffee.qzr"
    shutil.copy(SAMPLES / "coffee.qzr", source)
    out = tmp_path / "thumb.png"
    subprocess.run(thumbnailer_command(source, out, 128), check=True, timeout=60)
    status, text, bmp = run_qzrdec(source.read_bytes(), tmp_path)
    with Image.open(out) as thumb, Image.open(io.BytesIO(bmp)) as full:
        assert thumb.format == "PNG" and max(thumb.size) == 128
        # The same picture, smaller: the same mean colour, near enough.
        a, b = ImageStat.Stat(thumb.convert("RGB")).mean, ImageStat.Stat(full.convert("RGB")).mean
        assert all(abs(x - y) < 3 for x, y in zip(a, b)), (a, b)
    bad = tmp_path / "bad.qzr"
    bad.write_bytes((SAMPLES / "coffee.qzr").read_bytes()[:100])
    p = subprocess.run(thumbnailer_command(bad, tmp_path / "bad.png", 128), capture_output=True, timeout=60)
    assert p.returncode != 0 and not (tmp_path / "bad.png").exists()


def content_type(path) -> str:
    out = subprocess.run(["gio", "info", "-a", "standard::content-type", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return out.split("standard::content-type:")[1].split()[0]


def test_gio_types_qzr_files_by_name_and_by_content(tmp_path):
    data = (SAMPLES / "astronaut.qzr").read_bytes()
    for name in ("astronaut.qzr", "astronaut", "astronaut.dat"):
        (tmp_path / name).write_bytes(data)
        assert content_type(tmp_path / name) == "image/x-qzr", name
    (tmp_path / "text").write_bytes(b"not a picture at all\n")
    assert content_type(tmp_path / "text") != "image/x-qzr"
