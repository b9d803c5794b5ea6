#!/usr/bin/env python3
"""Draws the window images of Corvantix.

    make_images.py OUTDIR

writes into OUTDIR:
  corvantix.ico  the program icon: 256, 48, 32, 24 and 16 px, each at 4, 8 and
                 32 bits per pixel (15 images)
  logo.png       142 x 91, 24-bit colour: the logo at the right of the header
  header.png     142 x 91, 32-bit colour with alpha: the header background, a
                 light grey that darkens downwards, tiled across the header

Only the standard library is used, and the output depends on nothing but
this file, so the build can run it and get the same bytes every time.
"""

import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------------------
# Shapes as signed distance functions (negative inside), in pixels.


def box(px, py, cx, cy, hw, hh, r=0.0):
    """Rounded rectangle centred at (cx, cy) with half sizes hw, hh."""
    qx = abs(px - cx) - hw + r
    qy = abs(py - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def ring(px, py, cx, cy, radius, width):
    return abs(math.hypot(px - cx, py - cy) - radius) - width / 2


def power_sign(px, py, cx, cy, radius, width):
    """The power symbol: a ring open at the top with a bar through the gap."""
    d_ring = ring(px, py, cx, cy, radius, width)
    # Cut a wedge of about 70 degrees out of the ring's top.
    gap = (abs(px - cx) - (radius * 0.55)) if py < cy else 1e9
    d_ring = max(d_ring, -gap)
    d_bar = box(px, py, cx, cy - radius * 0.55, width / 2, radius * 0.55,
                width / 2)
    return min(d_ring, d_bar)


def coverage(d):
    """Fraction of a pixel covered by a shape whose edge is `d` pixels away."""
    return min(max(0.5 - d, 0.0), 1.0)


# ---------------------------------------------------------------------------
# A canvas of straight RGBA floats with "over" compositing.


class Canvas:
    def __init__(self, width, height, fill=(0, 0, 0, 0)):
        self.width = width
        self.height = height
        self.pixels = [list(fill) for _ in range(width * height)]

    def paint(self, sdf, colour, bounds=None):
        """Composites a shape; `colour` is an (r, g, b, a) or a function of
        (x, y) giving one. `bounds` (x0, y0, x1, y1) limits the work."""
        x0, y0, x1, y1 = bounds or (0, 0, self.width, self.height)
        x0, y0 = max(int(x0), 0), max(int(y0), 0)
        x1, y1 = min(int(math.ceil(x1)), self.width), min(int(math.ceil(y1)), self.height)
        for y in range(y0, y1):
            for x in range(x0, x1):
                c = coverage(sdf(x + 0.5, y + 0.5))
                if c <= 0.0:
                    continue
                r, g, b, a = colour(x + 0.5, y + 0.5) if callable(colour) else colour
                self.blend(x, y, r, g, b, a * c)

    def blend(self, x, y, r, g, b, a):
        dst = self.pixels[y * self.width + x]
        out_a = a + dst[3] * (1 - a)
        if out_a <= 0:
            return
        for i, src in enumerate((r, g, b)):
            dst[i] = (src * a + dst[i] * dst[3] * (1 - a)) / out_a
        dst[3] = out_a

    def rgba_bytes(self):
        """Rows of 8-bit RGBA, top row first."""
        rows = []
        for y in range(self.height):
            row = bytearray()
            for x in range(self.width):
                p = self.pixels[y * self.width + x]
                row += bytes(min(max(int(round(v)), 0), 255) for v in p[:3])
                row.append(min(max(int(round(p[3] * 255)), 0), 255))
            rows.append(bytes(row))
        return rows


# ---------------------------------------------------------------------------
# The pictures.

# Header background: grey laid over the window's white, more of it lower down.
HEADER_GREY = 128
HEADER_ALPHA_TOP = 0.02
HEADER_ALPHA_BOTTOM = 0.20


def header_alpha(y, height):
    t = y / (height - 1)
    return HEADER_ALPHA_TOP + (HEADER_ALPHA_BOTTOM - HEADER_ALPHA_TOP) * t


def draw_header(width=142, height=91):
    canvas = Canvas(width, height)
    for y in range(height):
        a = header_alpha(y, height)
        for x in range(width):
            canvas.pixels[y * width + x] = [HEADER_GREY] * 3 + [a]
    return canvas


def body_colour(top, bottom):
    """A blue that lightens towards the top of the stick."""
    def colour(x, y):
        t = min(max((y - top) / max(bottom - top, 1), 0.0), 1.0)
        return (40 - 12 * t, 118 - 40 * t, 214 - 44 * t, 1.0)
    return colour


METAL = (206, 211, 218, 1.0)
METAL_EDGE = (128, 135, 146, 1.0)
HOLE = (84, 90, 100, 1.0)
WHITE = (255, 255, 255, 1.0)
SHADOW = (0, 0, 0, 0.16)


def draw_stick(canvas, cx, cy, length, angle, detail=True):
    """A USB stick with the power sign on it, centred at (cx, cy), `length`
    pixels long from cap to connector, turned by `angle` (radians, the
    connector pointing that way)."""
    cos_a, sin_a = math.cos(angle), math.sin(angle)

    def local(sdf):
        # Evaluates `sdf` in the stick's own frame: x along the stick.
        def turned(px, py):
            dx, dy = px - cx, py - cy
            return sdf(dx * cos_a + dy * sin_a, -dx * sin_a + dy * cos_a)
        return turned

    body_len, body_h = length * 0.70, length * 0.40
    conn_len, conn_h = length * 0.30, length * 0.27
    body_x = -length / 2 + body_len / 2
    conn_x = length / 2 - conn_len / 2 - 0.5
    reach = length * 0.75
    bounds = (cx - reach, cy - reach, cx + reach, cy + reach)
    radius = body_h * 0.22

    shadow_off = max(length * 0.03, 0.6)
    canvas.paint(lambda px, py: local(lambda x, y: box(
        x, y, body_x, 0, body_len / 2, body_h / 2, radius))(px - shadow_off * 0.5,
                                                             py - shadow_off),
                 SHADOW, bounds)
    canvas.paint(local(lambda x, y: box(x, y, conn_x, 0, conn_len / 2,
                                        conn_h / 2, length * 0.015)),
                 METAL_EDGE, bounds)
    edge = max(length * 0.022, 0.5)
    canvas.paint(local(lambda x, y: box(x, y, conn_x, 0, conn_len / 2 - edge,
                                        conn_h / 2 - edge, 0)), METAL, bounds)
    if detail:
        hole = conn_h * 0.16
        for side in (-1, 1):
            canvas.paint(local(lambda x, y, s=side: box(
                x, y, conn_x + conn_len * 0.12, s * conn_h * 0.2, hole, hole * 0.8)),
                HOLE, bounds)

    top, bottom = cy - reach, cy + reach
    canvas.paint(local(lambda x, y: box(x, y, body_x, 0, body_len / 2,
                                        body_h / 2, radius)),
                 body_colour(top, bottom), bounds)
    # A lighter band along the upper edge gives the body some depth.
    canvas.paint(local(lambda x, y: box(
        x, y, body_x, -body_h * 0.3, body_len / 2 - radius, body_h * 0.08,
        body_h * 0.08)), (255, 255, 255, 0.18), bounds)
    sign_r = body_h * 0.24
    width = max(body_h * 0.085, 1.1)
    canvas.paint(local(lambda x, y: power_sign(x, y, body_x, body_h * 0.03,
                                               sign_r, width)),
                 WHITE, bounds)


def draw_logo(width=142, height=91):
    """The logo: a stick on the header's own shading, so it sits seamlessly at
    the header's right end."""
    canvas = Canvas(width, height, (255, 255, 255, 1.0))
    for y in range(height):
        a = header_alpha(y, height)
        for x in range(width):
            canvas.blend(x, y, HEADER_GREY, HEADER_GREY, HEADER_GREY, a)
    draw_stick(canvas, width * 0.5, height * 0.5, 112, 0.0)
    return canvas


def draw_icon(size):
    canvas = Canvas(size, size)
    draw_stick(canvas, size * 0.5, size * 0.5, size * 1.02, -math.pi / 4,
               detail=size >= 32)
    return canvas


# ---------------------------------------------------------------------------
# File formats.


def png(width, height, rows, alpha):
    """A PNG of 8-bit RGB (colour type 2) or RGBA (colour type 6) rows."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        raw += row if alpha else bytes(b for i, b in enumerate(row) if i % 4 != 3)
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def median_cut(colours, count):
    """A palette of at most `count` colours for the list `colours`."""
    boxes = [sorted(colours)]
    while len(boxes) < count:
        splittable = [b for b in boxes if len(set(b)) > 1]
        if not splittable:
            break
        # Split the box with the widest channel range at its median.
        def spread(b):
            return max(max(c[i] for c in b) - min(c[i] for c in b) for i in range(3))
        widest = max(splittable, key=lambda b: (spread(b), len(b)))
        channel = max(range(3), key=lambda i: max(c[i] for c in widest) - min(c[i] for c in widest))
        widest.sort(key=lambda c: (c[channel], c))
        # Cut where the colour changes, as near the median as possible, so
        # that equal colours stay in one box.
        cuts = [i for i in range(1, len(widest)) if widest[i] != widest[i - 1]]
        half = min(cuts, key=lambda i: (abs(2 * i - len(widest)), i))
        boxes.remove(widest)
        boxes += [widest[:half], widest[half:]]
    palette = []
    for b in boxes:
        n = len(b)
        palette.append(tuple(int(round(sum(c[i] for c in b) / n)) for i in range(3)))
    return sorted(set(palette))


def nearest(palette, colour, cache):
    if colour not in cache:
        cache[colour] = min(range(len(palette)), key=lambda i: sum(
            (palette[i][k] - colour[k]) ** 2 for k in range(3)))
    return cache[colour]


def mask_rows(rows, size):
    """The 1-bit AND mask, bottom row first: set where the icon is clear."""
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x in range(size):
            if row[x * 4 + 3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def dib(size, bits, rows):
    """One icon image as a device-independent bitmap with its AND mask."""
    if bits == 32:
        stride = size * 4
        xor = bytearray()
        for row in reversed(rows):
            for x in range(size):
                r, g, b, a = row[x * 4:x * 4 + 4]
                xor += bytes((b, g, r, a))
        palette_bytes = b""
    else:
        opaque = [tuple(row[x * 4:x * 4 + 3]) for row in rows for x in range(size)
                  if row[x * 4 + 3] >= 128]
        # Index 0 stays black for the clear pixels.
        palette = [(0, 0, 0)] + median_cut(opaque, (1 << bits) - 1)
        palette += [(0, 0, 0)] * ((1 << bits) - len(palette))
        palette_bytes = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
        stride = ((size * bits + 31) // 32) * 4
        cache = {}
        xor = bytearray()
        for row in reversed(rows):
            line = bytearray(stride)
            for x in range(size):
                if row[x * 4 + 3] < 128:
                    index = 0
                else:
                    index = 1 + nearest(palette[1:], tuple(row[x * 4:x * 4 + 3]), cache)
                if bits == 8:
                    line[x] = index
                else:
                    line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            xor += line
    mask = mask_rows(rows, size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette_bytes + bytes(xor) + mask


def ico(images):
    """An icon file of (size, bits, data) images."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, bits, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256,
                                 16 if bits == 4 else 0, 0, 1, bits, len(data),
                                 offset + len(body))
        body += data
    return directory + body


def icon_file():
    images = []
    for size in (256, 48, 32, 24, 16):
        rows = draw_icon(size).rgba_bytes()
        for bits in (4, 8, 32):
            if size == 256 and bits == 32:
                # The large true-colour image is stored compressed, as
                # Windows has read it since Vista.
                data = png(size, size, rows, alpha=True)
            else:
                data = dib(size, bits, rows)
            images.append((size, bits, data))
    return ico(images)


def write(path, data):
    # Replace only when changed, so the build does not redo its dependants.
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_images.py OUTDIR\n")
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    header = draw_header()
    write(os.path.join(out, "header.png"),
          png(header.width, header.height, header.rgba_bytes(), alpha=True))
    logo = draw_logo()
    write(os.path.join(out, "logo.png"),
          png(logo.width, logo.height, logo.rgba_bytes(), alpha=False))
    write(os.path.join(out, "corvantix.ico"), icon_file())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
