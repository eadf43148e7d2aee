"""Minimal PNG reading and writing for the tests, so that they need nothing
beyond numpy: 8-bit, non-interlaced images only."""

import struct
import zlib

import numpy as np

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}  # colour type -> samples per pixel


def _unfilter_sequential(kind, line, prev, bpp):
    """Average (3) and Paeth (4) rows, whose bytes depend on their left
    neighbours' results."""
    cur = list(line)
    for x in range(len(cur)):
        left = cur[x - bpp] if x >= bpp else 0
        up = prev[x]
        if kind == 3:
            cur[x] = (cur[x] + ((left + up) >> 1)) & 255
        else:
            up_left = prev[x - bpp] if x >= bpp else 0
            p = left + up - up_left
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
            if pa <= pb and pa <= pc:
                predictor = left
            elif pb <= pc:
                predictor = up
            else:
                predictor = up_left
            cur[x] = (cur[x] + predictor) & 255
    return cur


def read_png(path):
    """The image as an H x W x C uint8 array (C = 1, 2, 3 or 4)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != _SIGNATURE:
        raise ValueError(f"{path}: not a PNG file")
    pos, idat, header = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or interlace != 0 or colour not in _CHANNELS:
        raise ValueError(f"{path}: only 8-bit non-interlaced gray or RGB(A) PNG files are read")
    bpp = _CHANNELS[colour]
    stride = width * bpp
    raw = np.frombuffer(zlib.decompress(b"".join(idat)), np.uint8).reshape(height, stride + 1)
    out = np.zeros((height, stride), np.uint8)
    prev = np.zeros(stride, np.uint8)
    for y in range(height):
        kind, line = raw[y, 0], raw[y, 1:]
        if kind == 0:
            cur = line
        elif kind == 1:  # sub: a running sum of each sample, modulo 256
            cur = np.cumsum(line.reshape(width, bpp), axis=0, dtype=np.uint8).reshape(stride)
        elif kind == 2:  # up
            cur = line + prev
        else:
            cur = np.array(_unfilter_sequential(kind, line.tolist(), prev.tolist(), bpp), np.uint8)
        out[y] = cur
        prev = out[y]
    return out.reshape(height, width, bpp)


def write_png(path, image):
    """Writes an H x W (gray) or H x W x 3 (RGB) uint8 array."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    height, width = image.shape[:2]
    colour = 0 if image.ndim == 2 else 2

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    rows = image.reshape(height, -1)
    filtered = np.hstack([np.zeros((height, 1), np.uint8), rows]).tobytes()
    with open(path, "wb") as f:
        f.write(_SIGNATURE)
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(filtered)))
        f.write(chunk(b"IEND", b""))
