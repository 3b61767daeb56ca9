"""QZR wavelet images in Python: decode to numpy arrays, encode from them.

    import qzr
    pixels = qzr.decode(open("photo.qzr", "rb").read())   # (height, width, 3) uint8, RGB
    data = qzr.encode(pixels, quality=90)
    pixels, report = qzr.decode(damaged, salvage=True)   # what survives, and what was lost

`import qzr.pillow` lets Pillow open and save QZR files; `python3 -m qzr.cluster`
converts a tree of them on a Dask cluster.
"""
from typing import Literal, NamedTuple, Optional, Tuple, overload

import numpy

from ._qzr import MAGIC, Error, __version__
from . import _qzr

__all__ = ["Info", "PlaneRecovery", "SalvageReport", "Error", "info", "decode", "check", "encode", "to_bmp", "MAGIC",
           "__version__"]


class Info(NamedTuple):
    """What a file's header says. payload_bytes is the size of the expanded
    payload, which the decode holds in memory."""

    width: int
    height: int
    padded_width: int
    padded_height: int
    payload_bytes: int


def info(data) -> Info:
    """The header of a QZR file (any bytes-like object holding at least its
    first 36 bytes); decodes nothing. Raises Error for data that is no QZR file."""
    return Info(*_qzr.info(data))


class PlaneRecovery(NamedTuple):
    """What a salvage recovered of one plane. Its bands are its approximation
    and three bands of detail a level, stored in runs (band groups), coarsest
    first. bands is 0 when the plane's stream header never arrived; partial
    bands have their missing values as zero (no detail), missing bands are
    zero; a neutral plane had nothing usable and is mid-grey (luma) or
    without colour (chroma)."""

    bands: int
    bands_whole: int
    bands_partial: int
    bands_missing: int
    groups_whole: int
    groups_partial: int
    neutral: bool


class SalvageReport(NamedTuple):
    """What decode(data, salvage=True) lost: damaged is False for a whole file
    (its picture is then decode's), failure the first failure met in one line
    ("" when none), payload_decided the bytes of the payload_length announced
    that the file's code decides, planes the luma plane and the two chroma
    planes."""

    damaged: bool
    failure: str
    payload_length: int
    payload_decided: int
    planes: Tuple[PlaneRecovery, PlaneRecovery, PlaneRecovery]


@overload
def decode(data, name: Optional[str] = None, *, salvage: Literal[False] = False) -> numpy.ndarray: ...


@overload
def decode(data, name: Optional[str] = None, *,
           salvage: Literal[True]) -> Tuple[numpy.ndarray, SalvageReport]: ...


def decode(data, name: Optional[str] = None, *, salvage: bool = False):
    """Decodes a whole QZR file held in a bytes-like object into an array of
    shape (height, width, 3), dtype uint8: RGB, rows top to bottom, the pixels
    qzrdec writes. Raises Error, with qzrdec's message, for damaged data;
    name, the file's path say, stands in that message where qzrdec names its
    file. Other threads run while it decodes.

    With salvage=True it returns (pixels, SalvageReport) and shows what
    survives of a damaged or cut file instead of raising: every band that
    arrived, zero detail for the rest. Data with a bad header, or beyond the
    limits, still raise Error, as nothing of them can be shown."""
    if not salvage:
        return _qzr.decode(data, name=name or "")
    pixels, damaged, failure, length, decided, planes = _qzr.salvage(data, name=name or "")
    return pixels, SalvageReport(damaged, failure, length, decided, tuple(PlaneRecovery(*p) for p in planes))


def check(data) -> Optional[str]:
    """Audits a whole QZR file held in a bytes-like object: None when it is
    sound, else why it is not, in one line. That is what decode() refuses,
    and also the damage decode() passes over but no sound encoder writes:
    a file cut short (its missing bits decode as ones), bytes that nothing
    reads, planes of another size than the picture's, and the like."""
    return _qzr.check(data)


def _rgb_rows(array) -> numpy.ndarray:
    a = numpy.asarray(array)
    if a.dtype != numpy.uint8:
        raise TypeError(f"a picture's pixels are uint8, not {a.dtype}")
    if a.ndim != 3 or a.shape[2] != 3:
        raise ValueError(f"a picture is an array of shape (height, width, 3), not {a.shape}")
    return numpy.ascontiguousarray(a)


def encode(array, quality: int = 75, bpp: Optional[float] = None, levels: int = 5) -> bytes:
    """Encodes an RGB picture, a uint8 array of shape (height, width, 3), into
    a QZR file. quality runs from 1 (smallest) to 100 (best); bpp, when given,
    asks for the best quality whose file has at most that many bits per pixel;
    levels is the number of wavelet levels (1 to 8). Raises Error for a bad
    picture or option."""
    return _qzr.encode(_rgb_rows(array), int(quality), float(bpp or 0), int(levels))


def to_bmp(array) -> bytes:
    """The 24-bit BMP file qzrdec writes for this picture, byte for byte."""
    return _qzr.to_bmp(_rgb_rows(array))
