#!/usr/bin/env python3
"""Draws the launcher's pictures into resources/ with the Python standard
library only: the banner (320 x 46, 8 bits per pixel), the close glyph in its
normal and hover states (10 x 10, 24 bits), the error mark (16 x 16, 24 bits)
and the application icon (16, 32, 48 and 256 pixels, 32 bits with alpha).

Shapes are described as distance fields (strokes, circles, rounded squares)
and shaded with one-pixel anti-aliasing; the banner's colours are reduced to a
256-entry palette by median cut. The output is the same on every run.

    tools/make-pictures.py [OUTPUT_DIR]      (default: resources/)
"""

import math
import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The product's colours: calm blues on white.
WHITE = (255, 255, 255)
SKY = (226, 238, 250)          # the banner's top edge
INK = (27, 79, 122)            # the word mark
BLUE_TOP = (58, 141, 224)      # the logo square, top
BLUE_BOTTOM = (27, 95, 168)    # the logo square, bottom
ACCENT = (43, 123, 208)        # the close button under the pointer
GLYPH = (122, 138, 153)        # the close button at rest
RED = (217, 69, 60)            # the error mark

BANNER_W, BANNER_H = 320, 46
CLOSE_X, CLOSE_Y, CLOSE_SIZE = 300, 10, 10


# -- geometry ------------------------------------------------------------------

def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def polyline_dist(px, py, points):
    return min(seg_dist(px, py, *points[i], *points[i + 1]) for i in range(len(points) - 1))


def rounded_square_dist(px, py, x0, y0, size, radius):
    """Signed distance to a rounded square (negative inside)."""
    half = size / 2
    cx, cy = x0 + half, y0 + half
    qx = abs(px - cx) - (half - radius)
    qy = abs(py - cy) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def cover(distance):
    """Share of a pixel covered by a shape whose signed distance at the pixel's
    centre is distance (one-pixel-wide edge)."""
    return max(0.0, min(1.0, 0.5 - distance))


def blend(under, over, alpha):
    return tuple(u + (o - u) * alpha for u, o in zip(under, over))


def arc(cx, cy, rx, ry, start_deg, end_deg, steps=24):
    """Points along an ellipse arc, y growing upwards, angles in degrees."""
    points = []
    for i in range(steps + 1):
        a = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        points.append((cx + rx * math.cos(a), cy + ry * math.sin(a)))
    return points


# -- the word mark: a geometric monoline alphabet of the letters it needs ---------
# Units: x-height 1, baseline 0, y upwards. Each letter: (advance, strokes).

def _letters():
    return {
        "L": (0.78, [[(0, 1.42), (0, 0), (0.74, 0)]]),
        "u": (0.84, [[(0, 1), (0, 0.42)] + arc(0.42, 0.42, 0.42, 0.42, 180, 360),
                     [(0.84, 1), (0.84, 0)]]),
        "n": (0.84, [[(0, 0), (0, 1)],
                     [(0, 0.58)] + arc(0.42, 0.58, 0.42, 0.42, 180, 0) + [(0.84, 0)]]),
        "m": (1.22, [[(0, 0), (0, 1)],
                     [(0, 0.64)] + arc(0.305, 0.64, 0.305, 0.36, 180, 0) + [(0.61, 0)],
                     [(0.61, 0.64)] + arc(0.915, 0.64, 0.305, 0.36, 180, 0) + [(1.22, 0)]]),
        "e": (0.96, [[(0.02, 0.5), (0.94, 0.5)] + arc(0.48, 0.5, 0.46, 0.5, 0, 318, 40)]),
        "c": (0.90, [arc(0.48, 0.5, 0.46, 0.5, 42, 318, 40)]),
        "a": (0.92, [arc(0.44, 0.5, 0.44, 0.5, 0, 360, 48), [(0.90, 1), (0.90, 0)]]),
        "s": (0.76, [arc(0.38, 0.75, 0.34, 0.25, 28, 270, 20)
                     + arc(0.38, 0.25, 0.36, 0.25, 90, -152, 20)]),
    }


def wordmark(text, x0, baseline, x_height, spacing=0.30):
    """The text's strokes in pixel coordinates (y downwards), and its width."""
    letters = _letters()
    strokes = []
    pen = 0.0
    for ch in text:
        advance, shapes = letters[ch]
        for shape in shapes:
            strokes.append([(x0 + (pen + x) * x_height, baseline - y * x_height) for x, y in shape])
        pen += advance + spacing
    return strokes, (pen - spacing) * x_height


# -- the logo mark: a rounded blue square with a scanning beam -----------------------

def logo_pixel(px, py, x0, y0, size):
    """(colour, alpha) of the logo at a pixel centre."""
    inside = cover(rounded_square_dist(px, py, x0, y0, size, size * 0.24))
    if inside <= 0:
        return WHITE, 0.0
    t = max(0.0, min(1.0, (py - y0) / size))
    colour = blend(BLUE_TOP, BLUE_BOTTOM, t)
    beam_y = y0 + size * 0.58
    beam_half = max(0.55, size * 0.045)
    margin = size * 0.2
    # The light sheet above the beam fades upwards.
    if y0 + size * 0.22 <= py <= beam_y and x0 + margin <= px <= x0 + size - margin:
        glow = 0.38 * (1 - (beam_y - py) / (size * 0.36))
        colour = blend(colour, WHITE, max(0.0, glow))
    beam = cover(seg_dist(px, py, x0 + margin, beam_y, x0 + size - margin, beam_y) - beam_half)
    colour = blend(colour, WHITE, beam)
    return colour, inside


# -- pictures ------------------------------------------------------------------

def banner_background(x, y):
    """The banner's sky: light blue at the top, white at the bottom edge so it
    meets the dialog's white surface."""
    t = min(1.0, y / (BANNER_H - 1))
    return blend(SKY, WHITE, t ** 0.8)


def draw_banner():
    logo_size, logo_x, logo_y = 26, 18, 10
    x_height = 11.5
    text_x = logo_x + logo_size + 12
    strokes, _ = wordmark("Lumenscan", text_x, logo_y + logo_size - 2, x_height)
    half_stroke = 1.1
    rows = []
    for y in range(BANNER_H):
        row = []
        for x in range(BANNER_W):
            px, py = x + 0.5, y + 0.5
            colour = banner_background(x, y)
            logo, alpha = logo_pixel(px, py, logo_x, logo_y, logo_size)
            colour = blend(colour, logo, alpha)
            if text_x - 3 <= px <= BANNER_W - 20 and logo_y - 12 <= py <= logo_y + logo_size + 4:
                d = min(polyline_dist(px, py, s) for s in strokes) - half_stroke
                colour = blend(colour, INK, cover(d))
            row.append(colour)
        rows.append(row)
    # The close button sits on the banner: draw it in its normal state, so
    # that the banner looks right before the button has painted.
    normal = draw_close(hover=False)
    for y in range(CLOSE_SIZE):
        for x in range(CLOSE_SIZE):
            rows[CLOSE_Y + y][CLOSE_X + x] = normal[y][x]
    return [[tuple(int(round(c)) for c in p) for p in row] for row in rows]


def draw_close(hover):
    rows = []
    for y in range(CLOSE_SIZE):
        row = []
        for x in range(CLOSE_SIZE):
            px, py = x + 0.5, y + 0.5
            colour = banner_background(CLOSE_X + x, CLOSE_Y + y)
            if hover:
                disc = cover(math.hypot(px - 5, py - 5) - 5)
                colour = blend(colour, ACCENT, disc)
                ink, reach, half = WHITE, 3.0, 0.55
            else:
                ink, reach, half = GLYPH, 1.6, 0.65
            a, b = 5 - (5 - reach), 5 + (5 - reach)
            d = min(seg_dist(px, py, a, a, b, b), seg_dist(px, py, b, a, a, b)) - half
            colour = blend(colour, ink, cover(d))
            row.append(tuple(int(round(c)) for c in colour))
        rows.append(row)
    return rows


def draw_error():
    rows = []
    for y in range(16):
        row = []
        for x in range(16):
            px, py = x + 0.5, y + 0.5
            colour = blend(WHITE, RED, cover(math.hypot(px - 8, py - 8) - 7.5))
            bar = seg_dist(px, py, 8, 4.0, 8, 8.2) - 0.95
            dot = math.hypot(px - 8, py - 11.6) - 1.05
            colour = blend(colour, WHITE, cover(min(bar, dot)))
            row.append(tuple(int(round(c)) for c in colour))
        rows.append(row)
    return rows


def draw_icon(size):
    """RGBA rows of the logo filling a square of size pixels."""
    inset = size * 0.04
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            colour, alpha = logo_pixel(x + 0.5, y + 0.5, inset, inset, size - 2 * inset)
            row.append(tuple(int(round(c)) for c in colour) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


# -- palette -------------------------------------------------------------------

def median_cut(counts, size=256):
    """A palette of at most size colours for the colour counts given; each
    entry is the most frequent colour of its box, so exact colours (white,
    the sky's rows) survive."""
    boxes = [list(counts.items())]
    while len(boxes) < size:
        def spread(box):
            if len(box) < 2:
                return -1
            return max(max(c[0][i] for c in box) - min(c[0][i] for c in box) for i in range(3)) \
                * sum(n for _, n in box)
        best = max(range(len(boxes)), key=lambda i: spread(boxes[i]))
        box = boxes[best]
        if spread(box) <= 0:
            break
        channel = max(range(3), key=lambda i: max(c[0][i] for c in box) - min(c[0][i] for c in box))
        box.sort(key=lambda c: c[0][channel])
        total = sum(n for _, n in box)
        running, cut = 0, 1
        for i, (_, n) in enumerate(box):
            running += n
            if running >= total / 2:
                cut = max(1, min(len(box) - 1, i + 1))
                break
        boxes[best:best + 1] = [box[:cut], box[cut:]]
    return [max(box, key=lambda c: c[1])[0] for box in boxes]


def to_indexed(rows):
    counts = {}
    for row in rows:
        for p in row:
            counts[p] = counts.get(p, 0) + 1
    palette = median_cut(counts)
    nearest = {}
    for colour in counts:
        nearest[colour] = min(range(len(palette)),
                              key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))
    return palette, [[nearest[p] for p in row] for row in rows]


# -- file formats ----------------------------------------------------------------

def bmp_bytes(width, height, bits, pixel_rows, palette=()):
    """A BMP file: pixel_rows top to bottom, as bytes per row without padding."""
    stride = (width * bits + 31) // 32 * 4
    data = b"".join(row + bytes(stride - len(row)) for row in reversed(pixel_rows))
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + 40 + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(data), 2835, 2835,
                       len(palette), 0)
    return header + info + colours + data


def bmp24(rows):
    return bmp_bytes(len(rows[0]), len(rows), 24,
                     [b"".join(bytes((b, g, r)) for r, g, b in row) for row in rows])


def bmp8(rows):
    palette, indexed = to_indexed(rows)
    palette = palette + [(0, 0, 0)] * (256 - len(palette))
    return bmp_bytes(len(rows[0]), len(rows), 8, [bytes(row) for row in indexed], palette)


def png_bytes(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon_entry_bmp(rows):
    """An icon image in the BMP layout: 32-bit colour with alpha, then the mask."""
    size = len(rows)
    xor = b"".join(b"".join(bytes((b, g, r, a)) for r, g, b, a in row) for row in reversed(rows))
    mask_stride = (size + 31) // 32 * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + mask


def ico(images):
    entries, blobs = b"", b""
    offset = 6 + 16 * len(images)
    for rows in images:
        size = len(rows)
        blob = png_bytes(rows) if size >= 256 else icon_entry_bmp(rows)
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + blobs


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "resources")
    os.makedirs(out, exist_ok=True)
    files = {
        "banner.bmp": bmp8(draw_banner()),
        "close_normal.bmp": bmp24(draw_close(hover=False)),
        "close_hover.bmp": bmp24(draw_close(hover=True)),
        "error.bmp": bmp24(draw_error()),
        "LumenscanLauncher.ico": ico([draw_icon(s) for s in (16, 32, 48, 256)]),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
