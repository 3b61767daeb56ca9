"""A Pillow plugin for QZR files: importing this module registers it.

    import qzr.pillow
    from PIL import Image
    im = Image.open("photo.qzr")        # format "QZR"; .size from the header alone
    im.save("copy.qzr", quality=90)     # also bpp= and levels=

Opening reads the header only; load() decodes the whole file.
"""
import numpy
from PIL import Image, ImageFile

import qzr

FORMAT = "QZR"
_HEADER_BYTES = 36


def _accept(prefix: bytes) -> bool:
    return prefix[: len(qzr.MAGIC)] == qzr.MAGIC


class QzrImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "QZR wavelet image"

    def _open(self):
        header = self.fp.read(_HEADER_BYTES)
        if not _accept(header):
            raise SyntaxError("not a QZR file")
        i = qzr.info(header)
        if isinstance(getattr(type(self), "mode", None), property):
            self._mode = "RGB"  # Pillow 10.1 on
        else:
            self.mode = "RGB"
        self._size = (i.width, i.height)
        self.info["padded_size"] = (i.padded_width, i.padded_height)
        self.info["payload_bytes"] = i.payload_bytes
        self.tile = [(FORMAT, (0, 0) + self.size, 0, None)]

    def verify(self):
        """Audits the whole file (qzr.check): raises OSError for a file that
        load() would refuse and for one whose damage load() passes over."""
        if self.fp is None:
            raise RuntimeError("verify must be called directly after open")
        self.fp.seek(0)
        reason = qzr.check(self.fp.read())
        if reason is not None:
            raise OSError(f"damaged QZR file: {reason}")


class QzrDecoder(ImageFile.PyDecoder):
    """Decodes the whole file at once: the format has no pieces to stream."""

    _pulls_fd = True

    def decode(self, buffer):
        self.fd.seek(0)
        self.set_as_raw(qzr.decode(self.fd.read()).tobytes())
        return -1, 0


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
