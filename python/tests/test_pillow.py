"""The Pillow plugin: opening by content, the size before the decode, the
pixels of the decode, saving, and damaged files."""
import io

import pytest
from support import SAMPLES, need

np = need("numpy")
Image = need("PIL.Image")
qzr = need("qzr")
need("qzr.pillow")


def test_open_by_content_size_first_then_pixels(tmp_path):
    data = (SAMPLES / "coffee.qzr").read_bytes()
    renamed = tmp_path / "picture.bin"
    renamed.write_bytes(data)
    with Image.open(renamed) as im:
        assert im.format == "QZR" and im.mode == "RGB" and im.size == (600, 400)
        assert im.info["padded_size"] == (768, 512)
        im.load()
        assert np.array_equal(np.asarray(im), qzr.decode(data))
    # The size comes from the header alone: a body cut off is only noticed
    # by load().
    with Image.open(io.BytesIO(data[:36])) as im:
        assert im.size == (600, 400)
        with pytest.raises(qzr.Error, match="Segment YSeg not found"):
            im.load()


def test_damaged_headers_and_other_formats():
    data = (SAMPLES / "coffee.qzr").read_bytes()
    with pytest.raises(qzr.Error, match="codec v1.1"):
        Image.open(io.BytesIO(data[:28] + b"0012" + data[32:]))
    png = io.BytesIO()
    Image.new("RGB", (5, 4), (1, 2, 3)).save(png, format="PNG")
    png.seek(0)
    with Image.open(png) as im:  # the plugin leaves other files alone
        assert im.format == "PNG"
    with pytest.raises(Image.UnidentifiedImageError):
        Image.open(io.BytesIO(b"no picture at all" * 10))


def test_save_and_open_again(tmp_path):
    with Image.open(SAMPLES / "astronaut.qzr") as im:
        original = np.asarray(im)
        path = tmp_path / "copy.qzr"
        im.save(path, quality=90)  # QZR from the extension
        buffer = io.BytesIO()
        im.save(buffer, format="QZR", quality=90)
    assert path.read_bytes() == buffer.getvalue() == qzr.encode(original, quality=90)
    with Image.open(path) as again:
        assert again.format == "QZR"
        assert np.array_equal(np.asarray(again), qzr.decode(path.read_bytes()))
    small = io.BytesIO()
    Image.fromarray(original).save(small, format="QZR", bpp=0.5, levels=4)
    assert small.getvalue() == qzr.encode(original, bpp=0.5, levels=4)


def test_save_other_modes_as_rgb():
    grey = Image.linear_gradient("L").resize((64, 48))
    for im in (grey, grey.convert("RGBA"), grey.convert("P")):
        out = io.BytesIO()
        im.save(out, format="QZR", quality=100)
        back = qzr.decode(out.getvalue())
        assert back.shape == (48, 64, 3)
        assert np.abs(back.astype(int) - np.asarray(im.convert("RGB"), dtype=int)).max() < 16


def test_verify_audits_the_whole_file():
    data = (SAMPLES / "coffee.qzr").read_bytes()
    with Image.open(io.BytesIO(data)) as im:
        im.verify()
    # Cut by 8 bytes the file still loads (the missing bits read as ones),
    # but it is not the picture its encoder made: verify says so.
    with Image.open(io.BytesIO(data[:-8])) as im:
        with pytest.raises(OSError, match="cut short"):
            im.verify()
    with Image.open(io.BytesIO(data[:-8])) as im:
        im.load()
    with Image.open(io.BytesIO(data[:3000])) as im:
        with pytest.raises(OSError, match="Huffman Tree"):
            im.verify()


def test_failures_are_pillows_own(tmp_path, monkeypatch):
    """What Pillow's plugins raise: no QZR file at all is not identified; a
    QZR file the decoder does not take is an OSError on opening; a damaged
    one an OSError on load(), in Pillow's words and qzrdec's."""
    from PIL import ImageFile

    data = (SAMPLES / "coffee.qzr").read_bytes()
    with pytest.raises(Image.UnidentifiedImageError):
        Image.open(io.BytesIO(data[:20]))  # the magic, and too short for a header
    for other, words in ((data[:28] + b"0012" + data[32:], "codec v1.1"),
                         (data[:32] + b"\xff\xff\xff\x7f" + data[36:], "Payload of 2147483647 bytes is beyond")):
        with pytest.raises(OSError, match=words) as e:
            Image.open(io.BytesIO(other))
        assert not isinstance(e.value, Image.UnidentifiedImageError)

    cut = tmp_path / "cut.qzr"
    cut.write_bytes(data[:36])
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", False)
    with Image.open(cut) as im, pytest.raises(OSError) as e:
        im.load()
    assert str(e.value) == "broken data stream when reading image file: Segment YSeg not found !"
    # A stream that shrinks between the opening and the load, under either
    # setting: no header, nothing to show.
    for truncated_ok in (False, True):
        monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", truncated_ok)
        stream = io.BytesIO(data)
        with Image.open(stream) as im:
            stream.truncate(20)
            with pytest.raises(OSError) as e:
                im.load()
        assert str(e.value) == "image file is truncated: error reading QZR header from file (memory) !"


def test_load_truncated_images_shows_what_survives(tmp_path, monkeypatch):
    """With LOAD_TRUNCATED_IMAGES a file the decode refuses loads as its
    salvage; without it, it raises as Pillow's plugins do. A file that
    decodes is the same picture either way."""
    from PIL import ImageFile

    data = (SAMPLES / "coffee.qzr").read_bytes()
    cut = tmp_path / "cut.qzr"
    cut.write_bytes(data[: len(data) * 6 // 10])
    for truncated_ok in (False, True):
        monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", truncated_ok)
        with Image.open(cut) as im:
            if not truncated_ok:
                with pytest.raises(OSError, match="^broken data stream when reading image file: Segment USeg"):
                    im.load()
                continue
            im.load()
            salvaged, report = qzr.decode(cut.read_bytes(), salvage=True)
            assert im.size == (600, 400) and report.damaged
            assert np.array_equal(np.asarray(im), salvaged)
            assert np.asarray(im).std() > 20  # the luma arrived: a picture, not a grey field
        for whole in (data, data[:-8]):
            with Image.open(io.BytesIO(whole)) as im:
                assert np.array_equal(np.asarray(im), qzr.decode(whole))
