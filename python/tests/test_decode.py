"""qzr.info and qzr.decode against qzrdec: the same pixels for every good
file, the same message for every damaged one, and threads at once."""
import random
import struct
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from support import SAMPLES, damaged_forms, need, picture_files, run_qzrdec

np = need("numpy")
Image = need("PIL.Image")
qzr = need("qzr")


def bmp_pixels(bmp: bytes):
    """The RGB rows of a BMP as Pillow reads it: a reading of its own."""
    import io

    with Image.open(io.BytesIO(bmp)) as im:
        return np.asarray(im.convert("RGB"))


def assert_same_as_qzrdec(data: bytes, directory):
    """qzr gives what qzrdec gives for data: the BMP byte for byte, or a
    failure with the message qzrdec prints."""
    status, text, bmp = run_qzrdec(data, directory)
    if bmp is not None:
        pixels = qzr.decode(data)
        assert pixels.dtype == np.uint8 and pixels.flags.c_contiguous
        assert np.array_equal(pixels, bmp_pixels(bmp))
        assert qzr.to_bmp(pixels) == bmp
        return "decoded"
    with pytest.raises(qzr.Error) as e:
        qzr.decode(data)
    message = str(e.value)
    assert message and message == message.strip("\r\n")
    assert message in text, f"qzrdec (status {status}) printed {text!r}"
    return "failed"


@pytest.mark.parametrize("path", picture_files(), ids=lambda p: p.name)
def test_pixels_are_qzrdecs(path, tmp_path):
    data = path.read_bytes()
    assert assert_same_as_qzrdec(data, tmp_path) == "decoded"
    i = qzr.info(data)
    assert qzr.decode(data).shape == (i.height, i.width, 3)
    assert i.padded_width % 256 == 0 and i.width <= i.padded_width < i.width + 256
    assert i.padded_height % 256 == 0 and i.height <= i.padded_height < i.height + 256
    assert i.payload_bytes == struct.unpack_from("<I", data, 32)[0]


def test_any_bytes_like_input():
    data = (picture_files()[0]).read_bytes()
    expected = qzr.decode(data)
    for form in (bytearray(data), memoryview(data), np.frombuffer(data, np.uint8)):
        assert np.array_equal(qzr.decode(form), expected)
        assert qzr.info(form) == qzr.info(data)
    with pytest.raises((TypeError, BufferError, ValueError)):
        qzr.decode(memoryview(data)[::2])  # not contiguous
    with pytest.raises(TypeError):
        qzr.decode("a file name is not data")


@pytest.mark.parametrize("sample", ["coffee.qzr", "astronaut.qzr"])
def test_damaged_files_fail_as_in_qzrdec(sample, tmp_path):
    from support import SAMPLES

    data = (SAMPLES / sample).read_bytes()
    outcomes = {}
    for what, damaged in damaged_forms(data, random.Random(sample)):
        try:
            outcome = assert_same_as_qzrdec(damaged, tmp_path)
        except AssertionError as e:
            raise AssertionError(f"{sample}, {what}: {e}") from e
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    assert outcomes.get("failed", 0) >= 10, outcomes


def test_header_failures_in_info():
    data = picture_files()[0].read_bytes()
    for bad, words in ((data[:20], "error reading"), (data[:35], "Read Error"), (b"x" * 64, "Not quorlen"),
                       (data[:28] + b"0012" + data[32:], "codec v1.1")):
        with pytest.raises(qzr.Error, match=words):
            qzr.info(bad)
    # A picture beyond the decode's limit of pixels has its header read, and
    # is refused by the decode before any memory is taken for it.
    huge = bytearray(data)
    huge[8:12] = b"\xff\xff\xff\xff"
    assert qzr.info(huge)[:2] == (65535, 65535)
    with pytest.raises(qzr.Error, match="Picture of 65535 x 65535 pixels is beyond the limit"):
        qzr.decode(huge)
    # So is a payload announced beyond the limit on the expanded payload,
    # which qzrdec would try to expand.
    with pytest.raises(qzr.Error, match="Payload of 2147483647 bytes is beyond the limit"):
        qzr.decode(data[:32] + b"\xff\xff\xff\x7f" + data[36:])


def test_threads_decode_at_once():
    files = [p.read_bytes() for p in picture_files()]
    expected = [qzr.decode(d) for d in files]
    work = files * 6
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(qzr.decode, work))
    for got, want in zip(results, expected * 6):
        assert np.array_equal(got, want)


def test_other_threads_run_while_one_decodes():
    tile = qzr.decode(picture_files()[0].read_bytes())
    data = qzr.encode(np.tile(tile, (2048 // tile.shape[0] + 1, 2048 // tile.shape[1] + 1, 1))[:2048, :2048])
    started = time.perf_counter()
    qzr.decode(data)
    alone = time.perf_counter() - started
    done = threading.Event()

    def decode_twice():
        qzr.decode(data)
        qzr.decode(data)
        done.set()

    t = threading.Thread(target=decode_twice)
    t.start()
    longest, last = 0.0, time.perf_counter()
    while not done.is_set():  # this thread needs the GIL for every step
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    t.join()
    assert longest < 0.5 * alone + 0.01, f"held up {longest:.3f} s by a decode of {alone:.3f} s"


def test_check_names_what_the_decode_passes_over():
    data = (SAMPLES / "coffee.qzr").read_bytes()
    assert qzr.check(data) is None
    assert qzr.check(memoryview(data)) is None
    assert "cut short" in qzr.check(data[:-8])
    qzr.decode(data[:-8])  # which the decode takes, as qzrdec does
    assert "nothing reads" in qzr.check(data + bytes(100))
    assert qzr.check(data[:3000]) == "Error reading Huffman Tree!"
    assert qzr.check(b"not a picture" * 4) == "Not quorlen wavelet image file!"
    # The version failure comes after the size line, which is left out.
    assert qzr.check(data[:28] + b"0012" + data[32:]).startswith("This decompressor")


def test_error_is_an_os_error_naming_the_file(tmp_path):
    """What catches a file that cannot be read catches damaged data too, and
    what caught ValueError still does; the status says what kind of failure
    it is, and a name given stands where qzrdec names its file."""
    data = picture_files()[0].read_bytes()
    for bad, status in ((data[:20], "truncated data"), (b"x" * 64, "not a QZR file"),
                        (data[:28] + b"0012" + data[32:], "unsupported QZR version"),
                        (data[:32] + b"\xff\xff\xff\x7f" + data[36:], "limit exceeded"),
                        (data[:36], "corrupt data")):
        for catch in (OSError, ValueError):
            with pytest.raises(catch) as e:
                qzr.decode(bad)
            assert type(e.value) is qzr.Error and e.value.status == status
    with pytest.raises(OSError) as e:
        qzr.encode(np.zeros((4, 4, 3), np.uint8), quality=0)
    assert e.value.status == "invalid argument" and "quality 0" in str(e.value)

    _, text, _ = run_qzrdec(data[:20], tmp_path)
    named = str(tmp_path / "in.qzr")
    with pytest.raises(qzr.Error) as e:
        qzr.decode(data[:20], name=named)
    assert named in str(e.value) and "(memory)" not in str(e.value)
    assert str(e.value) in text.replace("(memory)", named)


def test_salvage_shows_a_whole_file_as_decode_and_what_arrived_of_a_cut_one():
    data = (SAMPLES / "coffee.qzr").read_bytes()
    pixels, report = qzr.decode(data, salvage=True)
    assert np.array_equal(pixels, qzr.decode(data))
    assert not report.damaged and report.failure == "" and report.payload_decided == report.payload_length
    assert all(p.bands_whole == p.bands > 1 and not p.neutral for p in report.planes)

    cut = memoryview(data[: len(data) * 4 // 10])
    pixels, report = qzr.decode(cut, salvage=True, name="cut.qzr")
    assert pixels.shape == (400, 600, 3) and pixels.dtype == np.uint8 and pixels.flags.c_contiguous
    assert report.damaged and "cut short" in report.failure
    assert 0 < report.payload_decided < report.payload_length == qzr.info(data).payload_bytes
    luma = report.planes[0]
    assert luma.bands_whole + luma.bands_partial + luma.bands_missing == luma.bands == 16 and not luma.neutral
    assert luma.groups_partial == 1 and 0 < luma.groups_whole < 5
    # Only the header: nothing arrived, every plane is neutral, mid-grey.
    pixels, report = qzr.decode(data[:36], salvage=True)
    assert report.payload_decided == 0 and all(p.neutral for p in report.planes) and (pixels == 128).all()


def test_salvage_raises_what_it_cannot_recover_as_decode_does():
    data = picture_files()[0].read_bytes()
    for bad in (data[:20], b"x" * 64, data[:28] + b"0012" + data[32:], data[:32] + b"\xff\xff\xff\x7f" + data[36:]):
        with pytest.raises(qzr.Error) as refused:
            qzr.decode(bad)
        with pytest.raises(qzr.Error) as salvaged:
            qzr.decode(bad, name="in.qzr", salvage=True)
        assert salvaged.value.status == refused.value.status
        assert str(salvaged.value) == str(refused.value).replace("(memory)", "in.qzr")
