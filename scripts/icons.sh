#!/usr/bin/env bash
# Makes CAROB's icons from packaging/carob.svg, to be checked in when the
# drawing changes: the PNGs that go to hicolor/<size>x<size>/apps/carob.png
# (packaging/icons/carob-<size>.png), and ui/window_icon.h, the window's
# icon as raw RGBA pixels for the X11 window (no image library at run time).
# Needs rsvg-convert (scripts/deps.sh --icons) and python3.
set -euo pipefail
cd "$(dirname "$0")/.."

sizes=(16 32 48 64 128 256)
window_sizes=(32 48)  # _NET_WM_ICON's: the window manager scales from these
mkdir -p packaging/icons
for size in "${sizes[@]}"; do
  rsvg-convert -w "$size" -h "$size" packaging/carob.svg -o "packaging/icons/carob-$size.png"
done

python3 - "${window_sizes[@]}" > ui/window_icon.h <<'PY'
import struct, sys, zlib

def rgba(path):
    """The pixels of an 8-bit RGBA, non-interlaced PNG, row by row."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, colour, interlace) == (8, 6, 0), path
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, stride, out, prior = zlib.decompress(idat), width * 4, bytearray(), bytearray(width * 4)
    for y in range(height):
        row_at = y * (stride + 1)
        kind, row = raw[row_at], bytearray(raw[row_at + 1:row_at + 1 + stride])
        for i in range(stride):
            a = row[i - 4] if i >= 4 else 0
            b = prior[i]
            c = prior[i - 4] if i >= 4 else 0
            if kind == 1: row[i] = (row[i] + a) & 255
            elif kind == 2: row[i] = (row[i] + b) & 255
            elif kind == 3: row[i] = (row[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out += row
        prior = row
    return width, height, bytes(out)

print("// CAROB's window icon as raw RGBA pixels, made by scripts/icons.sh from")
print("// packaging/carob.svg; do not edit by hand.")
print("#pragma once\n")
print("namespace carob::platform::ui {\n")
for size in sys.argv[1:]:
    width, height, pixels = rgba(f"packaging/icons/carob-{size}.png")
    print(f"inline constexpr int kWindowIcon{size}Size = {width};")
    print(f"inline constexpr unsigned char kWindowIcon{size}[{len(pixels)}] = {{")
    for at in range(0, len(pixels), 16):
        print("    " + ", ".join(f"0x{b:02x}" for b in pixels[at:at + 16]) + ",")
    print("};\n")
print("}  // namespace carob::platform::ui")
PY
