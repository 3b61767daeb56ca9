"""qzr.encode: files qzrdec reads as qzr.decode does, the options, and
pictures it refuses."""
import pytest
from support import SAMPLES, need, run_qzrdec

np = need("numpy")
qzr = need("qzr")


@pytest.fixture(scope="module")
def photo():
    return qzr.decode((SAMPLES / "coffee.qzr").read_bytes())


def psnr(a, b) -> float:
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def test_round_trip_and_qzrdec_agree(photo, tmp_path):
    data = qzr.encode(photo, quality=90)
    back = qzr.decode(data)
    assert back.shape == photo.shape and psnr(back, photo) > 30
    status, _, bmp = run_qzrdec(data, tmp_path)
    assert status == 0 and bmp == qzr.to_bmp(back)


def test_options_change_the_file(photo):
    sizes = [len(qzr.encode(photo, quality=q)) for q in (10, 50, 95)]
    assert sizes == sorted(sizes) and len(set(sizes)) == 3
    pixels = photo.shape[0] * photo.shape[1]
    for bpp in (0.5, 1.5):
        assert 8 * len(qzr.encode(photo, bpp=bpp)) <= bpp * pixels
    assert qzr.encode(photo, levels=3) != qzr.encode(photo, levels=5)
    assert qzr.encode(photo) == qzr.encode(photo, quality=75, levels=5)


def test_any_layout_of_the_same_pixels(photo):
    expected = qzr.encode(photo)
    assert qzr.encode(np.asfortranarray(photo)) == expected
    wide = np.zeros((photo.shape[0], photo.shape[1] * 2, 3), np.uint8)
    wide[:, ::2] = photo
    assert qzr.encode(wide[:, ::2]) == expected


def test_odd_sizes(tmp_path):
    rng = np.random.default_rng(7)
    for h, w in ((1, 1), (3, 700), (257, 2)):
        picture = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
        data = qzr.encode(picture, quality=100)
        assert qzr.info(data)[:2] == (w, h)
        back = qzr.decode(data)
        assert back.shape == (h, w, 3)
        assert qzr.to_bmp(back) == run_qzrdec(data, tmp_path)[2]


def test_refused_pictures_and_options(photo):
    with pytest.raises(TypeError, match="uint8"):
        qzr.encode(photo.astype(np.float32))
    for shape in ((4, 4), (4, 4, 4), (0, 4, 3), (4, 0, 3)):
        with pytest.raises(ValueError):
            qzr.encode(np.zeros(shape, np.uint8))
    with pytest.raises(qzr.Error, match="32512"):
        qzr.encode(np.zeros((1, 32513, 3), np.uint8))
    for options in ({"quality": 0}, {"quality": 101}, {"levels": 0}, {"levels": 9}, {"bpp": -1}):
        with pytest.raises(qzr.Error):
            qzr.encode(photo, **options)
