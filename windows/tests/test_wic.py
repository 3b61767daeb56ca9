"""qzr_wic.dll under Wine, as Windows programs use it: WIC's own factory
finds the decoder by the file's first bytes, its frame and WIC's converter
to 32-bit BGRA give qzrdec's pixels exactly, a damaged file gives a failing
HRESULT (or qzrdec's pixels where qzrdec decodes it) and never a crash, and
the thumbnail provider gives the picture averaged down.

scripts/windows-wic-test.sh runs this with the DLL registered in WINEPREFIX;
it sets WINE (the wine64 loader), WIC_TEST (wic_test.exe) and QZRDEC. All
files go through one Wine process per mode: Wine takes a second to start."""
import io
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python" / "tests"))
from support import SAMPLES, damaged_forms, need, picture_files, run_qzrdec  # noqa: E402

Image = need("PIL.Image")
np = need("numpy")

E_OUTOFMEMORY = 0x8007000E
WINCODEC_ERR_BADHEADER = 0x88982F61


def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def run_wic_test(mode_args, files, work: Path):
    """wic_test.exe on the files: ({file index: its line's words}, exit
    status). A file with no line, or no "done" at the end, is a crash."""
    listed = work / "files.txt"
    listed.write_text("".join(windows_path(f) + "\n" for f in files))
    p = subprocess.run([os.environ["WINE"], os.environ["WIC_TEST"], *mode_args, "@" + windows_path(listed)],
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600,
                       cwd=work)
    lines = p.stdout.decode("latin-1").replace("\r", "").splitlines()
    results = {}
    for line in lines:
        words = line.split(" ", 3)
        if words[0] in ("ok", "fail", "bad") and len(words) >= 3:
            results[int(words[1])] = words
    missing = [str(files[i]) for i in range(len(files)) if i not in results]
    assert "done" in lines and p.returncode in (0, 1, 2) and not missing, (
        f"wic_test crashed (status {p.returncode}) before {missing[:1]}: {lines[-5:]}")
    return results, p.returncode


def bmp_rgb(bmp: bytes):
    with Image.open(io.BytesIO(bmp)) as im:
        return im.size, im.convert("RGB").tobytes()


def ppm(path: Path):
    with Image.open(path) as im:
        return im.size, im.tobytes()


class Cases:
    """Files written for WIC, each with qzrdec's outcome on the same bytes."""

    def __init__(self, root: Path):
        self.root, self.files, self.expected, self.names = root, [], [], []
        (root / "in").mkdir()

    def add(self, name: str, data: bytes, suffix=".qzr", expected=None):
        """expected: qzrdec's ((width, height), rgb) or None when it fails;
        found by running qzrdec unless given."""
        if expected is None:
            status, _, bmp = run_qzrdec(data, self.root)
            expected = bmp_rgb(bmp) if status == 0 else False
        path = self.root / "in" / f"{len(self.files)}{suffix}"
        path.write_bytes(data)
        self.files.append(path)
        self.expected.append(expected)
        self.names.append(name)
        return expected


@pytest.fixture(scope="module")
def decoded():
    """Every picture by three names (.qzr, .dat, none: WIC finds the
    decoder by the pattern), and the damaged forms of each, through WIC."""
    root = Path(tempfile.mkdtemp(prefix="qzr-wic-"))
    cases = Cases(root)
    for path in picture_files():
        data = path.read_bytes()
        expected = cases.add(path.name, data)
        assert expected, f"qzrdec fails on {path}"
        for suffix in (".dat", ""):
            cases.add(f"{path.name} as {suffix or 'no extension'}", data, suffix, expected)
        rng = random.Random(path.name)
        for form, damaged in damaged_forms(data, rng):
            cases.add(f"{path.name}, {form}", damaged)
    out = root / "out"
    out.mkdir()
    results, _ = run_wic_test(["decode", windows_path(out)], cases.files, root)
    yield cases, results, out
    subprocess.run(["rm", "-rf", str(root)], check=False)


def wrong_results(cases, results, out, wanted):
    """The cases among `wanted` whose WIC outcome is not qzrdec's."""
    wrong = []
    for i in wanted:
        words, expected, name = results[i], cases.expected[i], cases.names[i]
        if words[0] == "bad":
            wrong.append(f"{name}: {words[2:]}")
        elif expected and expected[0][0] * expected[0][1] > 0:
            if words[0] != "ok":
                wrong.append(f"{name}: qzrdec decodes it, WIC gives {words[2:]}")
                continue
            for depth in ("24", "32"):
                if ppm(out / f"{i}.{depth}.ppm") != expected:
                    wrong.append(f"{name}: other pixels at {depth} bits")
        elif words[0] != "fail":
            wrong.append(f"{name}: qzrdec refuses it or makes no pixels, WIC decodes it")
    return wrong


def test_pictures_by_pattern_give_qzrdecs_pixels(decoded):
    cases, results, out = decoded
    wanted = [i for i, n in enumerate(cases.names) if "," not in n]
    assert len(wanted) == 3 * len(picture_files())
    assert wrong_results(cases, results, out, wanted) == []


def test_damaged_files_fail_or_give_qzrdecs_pixels(decoded):
    cases, results, out = decoded
    wanted = [i for i, n in enumerate(cases.names) if "," in n]
    assert wrong_results(cases, results, out, wanted) == []
    assert sum(results[i][0] == "fail" for i in wanted) > len(wanted) // 4  # the damage is seen


def test_hostile_headers_are_refused_before_memory_is_taken(tmp_path):
    data = (SAMPLES / "coffee.qzr").read_bytes()
    forms = {
        "65535 x 65535 pixels": (data[:8] + b"\xff\xff\xff\xff" + data[12:], E_OUTOFMEMORY),
        "a payload of 4 GiB": (data[:32] + b"\xff\xff\xff\xff" + data[36:], E_OUTOFMEMORY),
        "no pixels": (data[:8] + b"\x00\x00" + data[10:], WINCODEC_ERR_BADHEADER),
    }
    files = []
    for n, (form, _) in enumerate(forms.values()):
        files.append(tmp_path / f"{n}.qzr")
        files[-1].write_bytes(form)
    (tmp_path / "out").mkdir()
    results, status = run_wic_test(["decode", windows_path(tmp_path / "out")], files, tmp_path)
    assert status == 1
    for n, (name, (_, hresult)) in enumerate(forms.items()):
        assert results[n][0] == "fail" and int(results[n][2], 16) == hresult, f"{name}: {results[n]}"


def test_the_decoder_object_and_a_stream_in_memory(tmp_path):
    p = subprocess.run([os.environ["WINE"], os.environ["WIC_TEST"], "object", windows_path(SAMPLES / "coffee.qzr")],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=120, cwd=tmp_path)
    assert p.returncode == 0 and b"ok 0" in p.stdout, p.stdout


def area_average(rgb: bytes, size, out_size):
    """The exact mean of the area each output pixel covers."""
    (w, h), (ow, oh) = size, out_size
    a = np.frombuffer(rgb, np.uint8).reshape(h, w, 3).astype(np.float64)

    def weights(n_in, n_out):
        m = np.zeros((n_out, n_in))
        for j in range(n_in):
            lo = j * n_out
            for i in range(lo // n_in, min(n_out, (lo + n_out - 1) // n_in + 1)):
                m[i, j] = max(0, min(lo + n_out, (i + 1) * n_in) - max(lo, i * n_in)) / n_in
        return m

    down = np.tensordot(weights(h, oh), a, axes=(1, 0))  # oh x w x 3
    return np.tensordot(down, weights(w, ow), axes=(1, 1)).transpose(0, 2, 1)


def test_thumbnails_are_the_picture_averaged_down(tmp_path):
    paths = picture_files()[:6]
    damaged = tmp_path / "damaged.qzr"
    damaged.write_bytes((SAMPLES / "coffee.qzr").read_bytes()[:3000])
    for cx in (256, 48):
        out = tmp_path / f"out{cx}"
        out.mkdir()
        results, status = run_wic_test(["thumb", windows_path(out), str(cx)], paths + [damaged], tmp_path)
        assert status == 1 and results[len(paths)][0] == "fail", "a damaged file gives a thumbnail"
        for n, path in enumerate(paths):
            code, text, bmp = run_qzrdec(path.read_bytes(), tmp_path)
            (w, h), rgb = bmp_rgb(bmp)
            side = min(cx, max(w, h))
            size = (max(1, w * side // max(w, h)), max(1, h * side // max(w, h)))
            assert results[n][0] == "ok", f"{path.name}: {results[n]}"
            got_size, got = ppm(out / f"{n}.thumb.ppm")
            assert got_size == size, path.name
            diff = np.abs(np.frombuffer(got, np.uint8).reshape(size[1], size[0], 3) - area_average(rgb, (w, h), size))
            assert diff.max() <= 1, f"{path.name} at {cx}: off by {diff.max()}"
