#!/usr/bin/env python3
"""Picture helpers for bench/compare.sh (standard library only).

  mirror_tile.py crop IN.ppm OUT.ppm W H   centre crop of a binary PPM to W x H,
                                           moved off the source's 8 x 8 JPEG
                                           block grid where there is room
  mirror_tile.py tile IN.ppm OUT.ppm       2 x 2 mirror tiling: the picture,
                                           its left-right mirror to the right,
                                           and both flipped upside down below
  mirror_tile.py mirror IN.ppm OUT.ppm     the picture mirrored left to right
  mirror_tile.py dims FILE                 prints "W H" of a binary PPM or a
                                           24-bit BMP (checks the BMP's length)
  mirror_tile.py psnr DECODED.bmp REF.ppm  PSNR in dB over every 4th row
"""
import math
import struct
import sys


def fail(message):
    sys.exit("mirror_tile.py: " + message)


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, i = [], 0
    while len(fields) < 4:
        while i < len(data) and data[i : i + 1].isspace():
            i += 1
        if data[i : i + 1] == b"#":
            while i < len(data) and data[i : i + 1] != b"\n":
                i += 1
            continue
        j = i
        while j < len(data) and not data[j : j + 1].isspace():
            j += 1
        if j == i:
            fail(path + ": not a binary PPM")
        fields.append(data[i:j])
        i = j
    i += 1  # the single white space after the maximum value
    if fields[0] != b"P6" or fields[3] != b"255":
        fail(path + ": not an 8-bit binary PPM (P6, maximum 255)")
    w, h = int(fields[1]), int(fields[2])
    pixels = data[i : i + 3 * w * h]
    if len(pixels) != 3 * w * h:
        fail(path + ": pixel data cut short")
    return w, h, pixels


def write_ppm(path, w, h, rows):
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h))
        for row in rows:
            f.write(row)


def mirrored(row):
    """The row of RGB pixels in reverse order, each pixel kept as it is."""
    rev = row[::-1]  # pixels reversed, but each one as BGR
    out = bytearray(len(row))
    out[0::3] = rev[2::3]
    out[1::3] = rev[1::3]
    out[2::3] = rev[0::3]
    return bytes(out)


def crop(src, dst, cw, ch):
    w, h, px = read_ppm(src)
    if cw > w or ch > h:
        fail("%s is %dx%d, smaller than %dx%d" % (src, w, h, cw, ch))
    # A source that was a JPEG has its 8 x 8 blocks on a grid from the top
    # left; a crop on that grid would hand cjpeg the same blocks again and
    # flatter its quality. Shift by 4 where the picture leaves room.
    x0, y0 = (w - cw) // 2, (h - ch) // 2
    if x0 % 8 == 0 and x0 + 4 + cw <= w:
        x0 += 4
    if y0 % 8 == 0 and y0 + 4 + ch <= h:
        y0 += 4
    rows = (px[3 * ((y0 + y) * w + x0) : 3 * ((y0 + y) * w + x0 + cw)] for y in range(ch))
    write_ppm(dst, cw, ch, rows)


def tile(src, dst):
    w, h, px = read_ppm(src)
    top = [px[3 * w * y : 3 * w * (y + 1)] for y in range(h)]
    top = [row + mirrored(row) for row in top]
    write_ppm(dst, 2 * w, 2 * h, top + top[::-1])


def mirror(src, dst):
    w, h, px = read_ppm(src)
    write_ppm(dst, w, h, (mirrored(px[3 * w * y : 3 * w * (y + 1)]) for y in range(h)))


def bmp_header(path):
    with open(path, "rb") as f:
        head = f.read(54)
        f.seek(0, 2)
        length = f.tell()
    if len(head) < 54 or head[:2] != b"BM":
        fail(path + ": not a BMP")
    offset, w, h, _planes, bits = struct.unpack("<10xI4xiiHH", head[:30])
    if bits != 24 or w <= 0 or h == 0:
        fail("%s: not a 24-bit BMP (%d bits, %d x %d)" % (path, bits, w, h))
    stride = (3 * w + 3) & ~3
    if length < offset + stride * abs(h):
        fail("%s: %d bytes, too short for %d x %d" % (path, length, w, abs(h)))
    return offset, w, h, stride


def dims(path):
    with open(path, "rb") as f:
        magic = f.read(2)
    if magic == b"BM":
        _, w, h, _ = bmp_header(path)
        return w, abs(h)
    w, h, _ = read_ppm(path)
    return w, h


def psnr(bmp, ppm):
    offset, w, h, stride = bmp_header(bmp)
    rw, rh, ref = read_ppm(ppm)
    if (w, abs(h)) != (rw, rh):
        fail("%s is %dx%d, %s is %dx%d" % (bmp, w, abs(h), ppm, rw, rh))
    with open(bmp, "rb") as f:
        data = f.read()
    squares, count = 0, 0
    for y in range(0, rh, 4):
        stored = rh - 1 - y if h > 0 else y  # positive height: bottom row first
        bgr = data[offset + stored * stride : offset + stored * stride + 3 * w]
        rgb = bytearray(3 * w)
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        squares += sum((a - b) * (a - b) for a, b in zip(rgb, ref[3 * w * y : 3 * w * (y + 1)]))
        count += 3 * w
    if squares == 0:
        return math.inf
    return 10 * math.log10(255 * 255 * count / squares)


def main(argv):
    if len(argv) == 5 and argv[0] == "crop":
        crop(argv[1], argv[2], int(argv[3]), int(argv[4]))
    elif len(argv) == 3 and argv[0] == "tile":
        tile(argv[1], argv[2])
    elif len(argv) == 3 and argv[0] == "mirror":
        mirror(argv[1], argv[2])
    elif len(argv) == 2 and argv[0] == "dims":
        print("%d %d" % dims(argv[1]))
    elif len(argv) == 3 and argv[0] == "psnr":
        print("%.2f" % psnr(argv[1], argv[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
