#!/usr/bin/python3
"""Writes a BMP file with Pillow, independently of the library under test.

  bmp_writer.py <raw> <kind> <width> <height> <out> <order>

<raw> holds the pixels top row first: 3 bytes R, G, B per pixel for kind
"rgb", one byte per pixel for "grey" (an 8-bit file with a 256-entry grey
palette), "palette16" (an 8-bit file whose 16-colour palette makes the pixel
rows start earlier than usual) and "mono" (0 or 255, a 1-bit file).
<order> is "bottom-up" (how Pillow writes) or "top-down": the file Pillow wrote
is then stored with its rows reversed and a negative height, and read back
with Pillow to prove it shows the same picture.
"""
import struct
import sys

from PIL import Image


def picture(kind, width, height, raw):
    if kind == "rgb":
        return Image.frombytes("RGB", (width, height), raw)
    if kind == "grey":
        return Image.frombytes("L", (width, height), raw)
    if kind == "palette16":
        im = Image.frombytes("P", (width, height), bytes(b & 15 for b in raw))
        im.putpalette([c for i in range(16) for c in (i * 16, 255 - i * 16, (i * 40) % 256)])
        return im
    if kind == "mono":
        return Image.frombytes("L", (width, height), raw).convert("1")
    raise SystemExit("unknown kind " + kind)


def to_top_down(path):
    data = bytearray(open(path, "rb").read())
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    bits, = struct.unpack_from("<H", data, 28)
    stride = (width * bits + 31) // 32 * 4
    rows = [data[offset + r * stride: offset + (r + 1) * stride] for r in range(height)]
    struct.pack_into("<i", data, 22, -height)
    data[offset: offset + stride * height] = b"".join(reversed(rows))
    open(path, "wb").write(bytes(data))


def main():
    raw_path, kind, width, height, out, order = sys.argv[1:7]
    width, height = int(width), int(height)
    im = picture(kind, width, height, open(raw_path, "rb").read())
    im.save(out, "BMP")
    if order == "top-down":
        to_top_down(out)
    elif order != "bottom-up":
        raise SystemExit("unknown order " + order)
    back = Image.open(out)
    back.load()
    if back.size != im.size or back.convert("RGB").tobytes() != im.convert("RGB").tobytes():
        raise SystemExit("the written file does not read back as the picture")


if __name__ == "__main__":
    main()
