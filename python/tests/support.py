"""What the tests share: the packages they need, the files they decode, and
qzrdec run on a file as the reference."""
import importlib
import os
import random
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = Path(os.environ.get("QZR_SAMPLES_DIR", ROOT / "samples"))
FUZZ = Path(os.environ.get("QZR_FUZZ_DIR", ROOT / "fuzz"))


def need(module: str):
    """Imports a module the tests need. Outside CI a missing one skips the
    tests of the file; in CI (CI=true) it is a failure."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        if os.environ.get("CI") == "true":
            raise
        pytest.skip(f"{module} cannot be imported ({e}); bash scripts/deps.sh installs the Python packages, "
                    "and the package is built with -DQZR_BUILD_PYTHON=ON", allow_module_level=True)


def qzrdec() -> str:
    path = os.environ.get("QZRDEC", str(ROOT / "build" / "qzrdec"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"no qzrdec at {path} (set QZRDEC)")
    return path


def picture_files():
    """The bundled pictures and the fuzzers' valid seeds."""
    files = sorted(SAMPLES.glob("*.qzr")) + sorted((FUZZ / "seeds" / "decode_file").glob("*"))
    assert files, f"no test files under {SAMPLES} and {FUZZ}"
    return files


def run_qzrdec(data: bytes, directory: Path):
    """qzrdec on data saved as directory/in.qzr: (exit status, what it
    printed with the file's name given as "(memory)", the BMP or None)."""
    source, bmp = directory / "in.qzr", directory / "out.bmp"
    source.write_bytes(data)
    bmp.unlink(missing_ok=True)
    p = subprocess.run([qzrdec(), str(source), str(bmp)], cwd=directory, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    text = p.stdout.decode("latin-1").replace(str(source), "(memory)")
    return p.returncode, text, bmp.read_bytes() if p.returncode == 0 else None


def damaged_forms(data: bytes, rng: random.Random):
    """Cut at every region of the file, single bits flipped, runs of
    garbage written over it, and garbage alone."""
    cuts = [0, 1, 4, 31, 32, 35, 36, 37, 64] + sorted(rng.sample(range(37, len(data)), 12))
    for n in cuts:
        yield f"cut at {n}", data[:n]
    for _ in range(24):
        b = bytearray(data)
        at = rng.randrange(len(b))
        b[at] ^= 1 << rng.randrange(8)
        yield f"bit flipped at {at}", bytes(b)
    for _ in range(6):
        b = bytearray(data)
        at, n = rng.randrange(36, len(b)), rng.randrange(1, 400)
        b[at:at + n] = rng.randbytes(n)
        yield f"garbage at {at}", bytes(b[: len(data)])
    yield "garbage", rng.randbytes(5000)
    yield "unsupported version", data[:28] + b"0012" + data[32:]
