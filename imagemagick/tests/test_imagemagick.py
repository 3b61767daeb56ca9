"""QZR pictures through ImageMagick's own commands as users run them: by
extension, by the qzr: prefix and by content alone; qzrdec's pixels
exactly; a damaged file fails the command, leaves no output and no
temporary file, and gets qzrdec's message; names of any characters."""
import io
import os
import random
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from support import SAMPLES, damaged_forms, need, picture_files, run_qzrdec

Image = need("PIL.Image")

if not shutil.which("convert"):
    if os.environ.get("CI") == "true":
        raise RuntimeError("ImageMagick's convert is not on the PATH")
    pytest.skip("ImageMagick is not installed (apt-get install imagemagick)", allow_module_level=True)

# What ImageMagick puts in the place of a file's name for the delegate.
TEMPORARY_NAME = re.compile(r"/\S*magick-[\w-]+")


def run(*command, cwd):
    return subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          errors="replace", timeout=120)


def ok(p):
    assert p.returncode == 0, f"{p.args}: {p.stderr}"
    return p


def pixels(source):
    """(size, RGB rows) of a picture file or of a file's bytes."""
    with Image.open(io.BytesIO(source) if isinstance(source, bytes) else source) as im:
        return im.size, im.convert("RGB").tobytes()


def reference(data, directory):
    status, text, bmp = run_qzrdec(data, directory)
    assert status == 0, text
    return pixels(bmp)


def no_temporaries():
    return os.listdir(os.environ["MAGICK_TEMPORARY_PATH"]) == []


@pytest.mark.parametrize("path", picture_files(), ids=lambda p: p.name)
def test_pixels_are_qzrdecs(path, tmp_path):
    data = path.read_bytes()
    expected = reference(data, tmp_path)
    (tmp_path / "picture.qzr").write_bytes(data)
    (tmp_path / "picture").write_bytes(data)
    for source, out in (("picture.qzr", "a.ppm"), ("qzr:picture", "b.png"), ("picture", "c.png")):
        ok(run("convert", source, out, cwd=tmp_path))
        assert pixels(tmp_path / out) == expected, source
    sizes = ok(run("identify", "-format", "%w %h\n", "picture.qzr", "picture", cwd=tmp_path)).stdout
    assert sizes.split() == [str(n) for n in expected[0]] * 2
    assert no_temporaries()


@pytest.mark.parametrize("sample", ["coffee.qzr", "astronaut.qzr"])
def test_damaged_files_fail_with_qzrdecs_message(sample, tmp_path):
    data = (SAMPLES / sample).read_bytes()
    source, out = tmp_path / "damaged.qzr", tmp_path / "out.png"
    refused = 0
    for what, damaged in damaged_forms(data, random.Random("imagemagick" + sample)):
        status, text, bmp = run_qzrdec(damaged, tmp_path)
        source.write_bytes(damaged)
        p = run("convert", source.name, out.name, cwd=tmp_path)
        if bmp is not None:
            # Decoded despite the damage, as qzrdec decodes it.
            ok(p)
            assert pixels(out) == pixels(bmp), what
            out.unlink()
            continue
        assert p.returncode == 1 and not out.exists(), f"{what}: {p.returncode} {p.stderr}"
        # qzr's line names ImageMagick's link to the file.
        line = TEMPORARY_NAME.sub("(memory)", p.stderr.splitlines()[0])
        assert line.startswith("(memory): ") and line.split(": ", 1)[1] in text, f"{what}: {p.stderr!r}, {text!r}"
        refused += 1
    assert refused >= 10
    assert no_temporaries()


def test_every_command_fails_on_a_damaged_file_and_writes_nothing(tmp_path):
    data = (SAMPLES / "coffee.qzr").read_bytes()
    forms = {"cut": data[:100], "garbage": random.Random("imagemagick").randbytes(5000), "bad magic": b"vkQY" + data[4:]}
    commands = (["convert", "bad.qzr", "out.ppm"], ["convert", "bad", "out.png"], ["convert", "qzr:bad", "out.png"],
                ["convert", "bad.qzr", "kept.png"], ["identify", "bad.qzr"], ["mogrify", "-format", "png", "bad.qzr"],
                ["montage", "bad.qzr", "out.png"])
    for what, damaged in forms.items():
        folder = tmp_path / what
        folder.mkdir()
        for name in ("bad.qzr", "bad"):
            (folder / name).write_bytes(damaged)
        (folder / "kept.png").write_bytes(b"an output that exists")
        for command in commands:
            p = run(*command, cwd=folder)
            assert p.returncode == 1, f"{what}: {command}: {p.returncode} {p.stderr}"
        assert sorted(os.listdir(folder)) == ["bad", "bad.qzr", "kept.png"], what
        assert (folder / "kept.png").read_bytes() == b"an output that exists"
        assert (folder / "bad").read_bytes() == damaged
    assert no_temporaries()


def test_mogrify_converts_a_folder_whatever_the_names(tmp_path):
    names = ["a photo.qzr", "it's.qzr", 'say "hi".qzr', "$(touch made).qzr", "`touch made`; x.qzr", "ünï cödé.QZR"]
    files = picture_files()
    folder = tmp_path / "pictures"
    folder.mkdir()
    expected = {}
    for n, name in enumerate(names):
        data = files[n % len(files)].read_bytes()
        (folder / name).write_bytes(data)
        expected[Path(name).stem + ".png"] = reference(data, tmp_path)
    ok(run("mogrify", "-format", "png", *names, cwd=folder))
    assert sorted(os.listdir(folder)) == sorted(names + list(expected))
    for name, picture in expected.items():
        assert pixels(folder / name) == picture, name
    assert no_temporaries()


def test_montage_tiles_the_pictures(tmp_path):
    data = (SAMPLES / "coffee.qzr").read_bytes()
    (width, height), rows = reference(data, tmp_path)
    for name in ("left.qzr", "right.qzr"):
        (tmp_path / name).write_bytes(data)
    ok(run("montage", "left.qzr", "right.qzr", "-tile", "2x1", "-geometry", "+0+0", "out.png", cwd=tmp_path))
    with Image.open(tmp_path / "out.png") as im:
        assert im.size == (2 * width, height)
        for x in (0, width):
            assert im.crop((x, 0, x + width, height)).convert("RGB").tobytes() == rows
    assert no_temporaries()
