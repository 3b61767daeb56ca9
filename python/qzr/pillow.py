"""A Pillow plugin for QZR files: importing this module registers it.

    import qzr.pillow
    from PIL import Image
    im = Image.open("photo.qzr")        # format "QZR"; .size from the header alone
    im.save("copy.qzr", quality=90)     # also bpp= and levels=

Opening reads the header only; load() decodes the whole file. Failures are
those of Pillow's own plugins: data that are no QZR file are not identified
(PIL.UnidentifiedImageError); a QZR file of another version, or one whose
header announces more than the decode takes, raises qzr.Error (an OSError)
on opening; a damaged file raises it on load(), worded as Pillow words a
broken or truncated file, followed by qzrdec's message. verify() audits the
whole file (qzr.check) and raises OSError also for the damage load() passes
over, such as a file cut short by a few bytes.
With ImageFile.LOAD_TRUNCATED_IMAGES = True, load() shows what survives of a
damaged or cut file (qzr.decode(data, salvage=True)) where it would raise;
a header it cannot read still raises, and a file that decodes gives the
same picture either way.
"""
import numpy
from PIL import Image, ImageFile

import qzr
from . import _qzr

FORMAT = "QZR"
_HEADER_BYTES = 36
# How Pillow begins the message of a file it cannot load, by the library's
# status; other failures (a limit, memory) keep the library's words alone.
_LOAD_FAILURES = {"truncated data": "image file is truncated",
                  "corrupt data": "broken data stream when reading image file"}


def _accept(prefix: bytes) -> bool:
    return prefix[: len(qzr.MAGIC)] == qzr.MAGIC


class QzrImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "QZR wavelet image"

    def _open(self):
        header = self.fp.read(_HEADER_BYTES)
        if not _accept(header):
            raise SyntaxError("not a QZR file")
        try:
            i = qzr.Info(*_qzr.info(header, within_limits=True, name=_name(self)))
        except qzr.Error as e:
            if e.status == "truncated data":
                raise SyntaxError(str(e)) from e  # too short to be told from other data
            raise
        if isinstance(getattr(type(self), "mode", None), property):
            self._mode = "RGB"  # Pillow 10.1 on
        else:
            self.mode = "RGB"
        self._size = (i.width, i.height)
        self.info["padded_size"] = (i.padded_width, i.padded_height)
        self.info["payload_bytes"] = i.payload_bytes
        self.tile = [(FORMAT, (0, 0) + self.size, 0, (_name(self),))]

    def verify(self):
        """Audits the whole file (qzr.check): raises OSError for a file that
        load() would refuse and for one whose damage load() passes over."""
        if self.fp is None:
            raise RuntimeError("verify must be called directly after open")
        self.fp.seek(0)
        reason = qzr.check(self.fp.read())
        if reason is not None:
            raise OSError(f"damaged QZR file: {reason}")


def _name(im) -> str:
    """The file's name for messages, "" for a stream."""
    return im.filename if isinstance(im.filename, str) else ""


class QzrDecoder(ImageFile.PyDecoder):
    """Decodes the whole file at once: the format has no pieces to stream."""

    _pulls_fd = True

    def decode(self, buffer):
        self.fd.seek(0)
        data = self.fd.read()
        name = self.args[0] if self.args else None
        try:
            pixels = qzr.decode(data, name=name)
        except qzr.Error as e:
            if e.status not in _LOAD_FAILURES:
                raise
            pixels = _salvaged(data, name) if ImageFile.LOAD_TRUNCATED_IMAGES else None
            if pixels is None:
                error = qzr.Error(f"{_LOAD_FAILURES[e.status]}: {e}")
                error.status = e.status
                raise error from e
        self.set_as_raw(pixels.tobytes())
        return -1, 0


def _salvaged(data, name):
    """What survives of damaged data, or None when nothing does."""
    try:
        return qzr.decode(data, name=name, salvage=True)[0]
    except qzr.Error:
        return None


def _save(im, fp, filename):
    o = im.encoderinfo
    if im.mode != "RGB":
        im = im.convert("RGB")
    fp.write(qzr.encode(numpy.asarray(im), quality=o.get("quality", 75), bpp=o.get("bpp"),
                        levels=o.get("levels", 5)))


Image.register_open(FORMAT, QzrImageFile, _accept)
Image.register_decoder(FORMAT, QzrDecoder)
Image.register_save(FORMAT, _save)
Image.register_extension(FORMAT, ".qzr")
Image.register_mime(FORMAT, "image/x-qzr")
