"""QZR wavelet images in Python: decode to numpy arrays, encode from them.

    import qzr
    pixels = qzr.decode(open("photo.qzr", "rb").read())   # (height, width, 3) uint8, RGB
    data = qzr.encode(pixels, quality=90)

`import qzr.pillow` lets Pillow open and save QZR files; `python3 -m qzr.cluster`
converts a tree of them on a Dask cluster.
"""
from typing import NamedTuple, Optional

import numpy

from ._qzr import MAGIC, Error, __version__
from . import _qzr

__all__ = ["Info", "Error", "info", "decode", "check", "encode", "to_bmp", "MAGIC", "__version__"]


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


def decode(data, name: Optional[str] = None) -> numpy.ndarray:
    """Decodes a whole QZR file held in a bytes-like object into an array of
    shape (height, width, 3), dtype uint8: RGB, rows top to bottom, the pixels
    qzrdec writes. Raises Error, with qzrdec's message, for damaged data;
    name, the file's path say, stands in that message where qzrdec names its
    file. Other threads run while it decodes."""
    return _qzr.decode(data, name=name or "")


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
