#!/usr/bin/env python3
"""Draws the launcher's window face, skin.png (1040 x 665, RGBA), from our own shapes, gradients and
text only. The backdrop (night sky, moon, mountain ranges, a keep on the far ridge, drifting embers) is computed
here pixel by pixel; ImageMagick's `convert` then lays the frames, plates and captions over it with the
WenQuanYi Micro Hei font (Debian: fonts-wqy-microhei) and DejaVu Serif for the Latin lettering
(fonts-dejavu-core). The build runs it (cmake/Skin.cmake); by hand:

    python3 tools/make_skin.py skin.png [LAYOUT_HEADER [VERSION]]

The bottom line shows the launcher's version (VERSION, the build's VORN_LAUNCHER_VERSION; default 1.0.0). The
window draws parts of this image under its controls, so everything that sits under a control or frames a painted
area is placed from the window's own layout, read from ui/layout.h (give another header as the second argument): the five link plates and the close glyph in the top band, the announcement frame, nine identical region
plates (one of them serves all nine), the region-name caption and frame, the windowed plate with its ticked box,
the settings plate, the dim enter-game plate and the status strip. Moving a control there moves its plate here.
"""
import math
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import zlib

LAYOUT_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "ui", "layout.h")


class Rect:
    def __init__(self, x, y, w, h):
        self.x, self.y, self.w, self.h = x, y, w, h

    @property
    def right(self):
        return self.x + self.w

    @property
    def bottom(self):
        return self.y + self.h


def read_layout(path):
    """The integer constants and rectangles of the layout header, by name (without the leading k)."""
    values = {}
    with open(path, encoding="utf-8") as header:
        text = header.read()
    for name, value in re.findall(r"^inline constexpr int k(\w+) = (-?\d+);", text, re.M):
        values[name] = int(value)
    for name, numbers in re.findall(r"^inline constexpr LayoutRect k(\w+)\{([-\d, ]+)\};", text, re.M):
        values[name] = Rect(*(int(n) for n in numbers.split(",")))
    return values


def region_button(layout, slot):
    first = layout["FirstRegionButtonRect"]
    columns = layout["RegionColumns"]
    return Rect(first.x + layout["RegionColumnStep"] * (slot % columns),
                first.y + layout["RegionRowStep"] * (slot // columns), first.w, first.h)


def n(value):
    """A coordinate as ImageMagick's drawing primitives take it: no ".0" on whole numbers."""
    return f"{value:g}"


LAYOUT = read_layout(sys.argv[2] if len(sys.argv) > 2 else LAYOUT_HEADER)
VERSION = sys.argv[3] if len(sys.argv) > 3 else "1.0.0"
WIDTH, HEIGHT = LAYOUT["WindowWidth"], LAYOUT["WindowHeight"]
CJK_FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
SERIF_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf"

GOLD = "#e2c48a"
BRONZE = "#8c6a3c"
DIM_BRONZE = "#5e4728"


# ---------------------------------------------------------------------------------------------- backdrop

def smooth_noise(seed, octaves):
    """A 1-D fractal noise function of x (0..WIDTH) built from seeded value noise, roughly in -1..1."""
    rng = random.Random(seed)
    layers = []
    for octave in range(octaves):
        step = 260 / (2 ** octave)
        count = int(WIDTH / step) + 3
        layers.append((step, [rng.uniform(-1, 1) for _ in range(count)], 0.5 ** octave))

    def value(x):
        total = 0.0
        for step, points, weight in layers:
            t = x / step
            i = int(t)
            f = t - i
            f = f * f * (3 - 2 * f)
            total += weight * (points[i] * (1 - f) + points[i + 1] * f)
        return total
    return value


def ridge_line(seed, base, amplitude, octaves=5):
    noise = smooth_noise(seed, octaves)
    return [base - amplitude * noise(x + 0.5) for x in range(WIDTH)]


def keep_mask(base_y):
    """The keep on the far right ridge: towers with pointed roofs, as a list of inside-tests."""
    shapes = []

    def tower(cx, half, top, roof):
        shapes.append(lambda x, y: abs(x - cx) <= half and top <= y <= base_y + 6)
        shapes.append(lambda x, y: roof <= y < top and abs(x - cx) <= half * (y - roof) / (top - roof) + 1)
    tower(905, 11, base_y - 92, base_y - 126)
    tower(878, 8, base_y - 58, base_y - 82)
    tower(934, 8, base_y - 64, base_y - 88)
    tower(955, 6, base_y - 40, base_y - 58)
    shapes.append(lambda x, y: 870 <= x <= 962 and base_y - 30 <= y <= base_y + 6)
    # Battlements along the wall.
    shapes.append(lambda x, y: 866 <= x <= 966 and base_y - 36 <= y < base_y - 30 and int(x) % 6 < 3)
    windows = [(903, base_y - 80), (907, base_y - 80), (878, base_y - 46), (934, base_y - 52), (890, base_y - 20),
               (920, base_y - 20)]

    def inside(x, y):
        return any(shape(x, y) for shape in shapes)

    def lit(x, y):
        return any(wx <= x < wx + 2 and wy <= y < wy + 4 for wx, wy in windows)
    return inside, lit


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def backdrop():
    rng = random.Random(1040665)
    sky_stops = [(0, (7, 8, 14)), (200, (20, 21, 34)), (330, (40, 33, 44)), (430, (66, 42, 38)), (665, (30, 20, 18))]

    def sky(y):
        for (y0, c0), (y1, c1) in zip(sky_stops, sky_stops[1:]):
            if y <= y1:
                return mix(c0, c1, (y - y0) / (y1 - y0))
        return sky_stops[-1][1]

    far = ridge_line(11, 372, 58)
    mid = ridge_line(23, 452, 64)
    near = ridge_line(37, 560, 42, 6)
    keep_base = min(mid[880:935]) + 4
    for x in range(850, 980):  # a shoulder of rock for the keep to stand on
        mid[x] = min(mid[x], keep_base + abs(x - 915) * 0.35)
    in_keep, keep_window = keep_mask(keep_base)

    stars = {}
    for _ in range(260):
        x, y = rng.randrange(WIDTH), rng.randrange(330)
        stars[(x, y)] = rng.uniform(0.25, 1.0) * (1 - y / 380)

    embers = [(rng.uniform(0, WIDTH), rng.uniform(470, 660), rng.uniform(0.8, 2.2), rng.uniform(0.4, 1.0))
              for _ in range(70)]
    moon_x, moon_y, moon_r = 905.0, 140.0, 46.0
    craters = [(moon_x - 14, moon_y - 10, 11), (moon_x + 16, moon_y + 8, 8), (moon_x - 4, moon_y + 20, 6),
               (moon_x + 10, moon_y - 22, 5)]

    rows = []
    for y in range(HEIGHT):
        base = sky(y)
        row = bytearray()
        for x in range(WIDTH):
            c = base
            dx, dy = x - moon_x, y - moon_y
            d = math.hypot(dx, dy)
            glow = math.exp(-d / 120.0) * 0.55 + math.exp(-d / 320.0) * 0.18
            c = mix(c, (196, 190, 176), min(glow, 1.0))
            if d < moon_r + 1:
                disc = (232, 226, 204)
                for cx, cy, cr in craters:
                    cd = math.hypot(x - cx, y - cy)
                    if cd < cr:
                        disc = mix(disc, (204, 196, 176), 0.45 * (1 - cd / cr) + 0.1)
                c = mix(c, disc, max(0.0, min(1.0, moon_r + 0.5 - d)))
            elif (x, y) in stars:
                c = mix(c, (235, 232, 220), stars[(x, y)])
            # Three ranges, each fading into the haze that rises from the valley behind it.
            for line, colour, haze in ((far, (54, 50, 68), (88, 68, 74)), (mid, (25, 23, 31), (52, 38, 40)),
                                       (near, (11, 10, 13), (28, 20, 19))):
                cover = max(0.0, min(1.0, y + 0.5 - line[x]))
                if cover > 0:
                    depth = min(1.0, (y - line[x]) / 140.0)
                    c = mix(c, mix(colour, haze, 0.55 * (1 - depth) ** 2), cover)
            if 860 <= x <= 970 and keep_base - 130 <= y <= keep_base + 8 and in_keep(x + 0.5, y + 0.5):
                c = (236, 150, 64) if keep_window(x, y) else (22, 20, 27)
            # Embers drift up from the valley.
            if y > 440:
                for ex, ey, er, eb in embers:
                    if abs(x - ex) < 6 and abs(y - ey) < 6:
                        e = math.exp(-((x - ex) ** 2 + (y - ey) ** 2) / (er * er)) * eb
                        c = mix(c, (255, 150, 60), min(1.0, e))
            # Vignette.
            vx, vy = (x - WIDTH / 2) / (WIDTH / 2), (y - HEIGHT / 2) / (HEIGHT / 2)
            shade = 1.0 - 0.32 * min(1.0, (vx * vx + vy * vy) / 2)
            row += bytes((int(c[0] * shade), int(c[1] * shade), int(c[2] * shade), 255))
        rows.append(bytes(row))
    return rows


def write_png(path, rows):
    raw = b"".join(b"\x00" + row for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------------------------------------- overlay

class Overlay:
    """Collects ImageMagick arguments that draw over the backdrop, in order."""

    def __init__(self):
        self.args = []

    def draw(self, primitive, fill="none", stroke="none", width=1.0):
        self.args += ["-fill", fill, "-stroke", stroke, "-strokewidth", str(width), "-draw", primitive]

    def text(self, x, y, w, h, text, size, colour, font=CJK_FONT, shadow=True, glow=None, kerning=0):
        """Text centred in the box x, y, w, h, with a soft dark shadow (or a coloured glow) under it."""
        def layer(fill):
            return ["(", "-size", f"{w}x{h}", "xc:none", "-font", font, "-pointsize", str(size), "-kerning",
                    str(kerning), "-gravity", "center", "-fill", fill, "-stroke", "none", "-annotate", "+0+0", text]
        if glow:
            self.args += layer(glow) + ["-blur", "0x3", ")", "-gravity", "NorthWest", "-geometry", f"+{x}+{y}",
                                        "-compose", "over", "-composite"]
        if shadow:
            self.args += layer("rgba(0,0,0,0.85)") + ["-blur", "0x1.2", ")", "-gravity", "NorthWest", "-geometry",
                                                      f"+{x + 1}+{y + 1}", "-compose", "over", "-composite"]
        self.args += layer(colour) + [")", "-gravity", "NorthWest", "-geometry", f"+{x}+{y}", "-compose", "over",
                                      "-composite"]

    def plate(self, x, y, w, h, top="#3b2d21", bottom="#15100c", edge=BRONZE, radius=4):
        """A raised bronze-edged plate: vertical gradient, hairline highlight, dark outline."""
        self.args += ["(", "-size", f"{w}x{h}", f"gradient:{top}-{bottom}",
                      "(", "-size", f"{w}x{h}", "xc:black", "-fill", "white", "-draw",
                      f"roundrectangle 0,0 {w - 1},{h - 1} {radius},{radius}", ")",
                      "-alpha", "off", "-compose", "CopyOpacity", "-composite",
                      "-fill", "none", "-stroke", edge, "-strokewidth", "1",
                      "-draw", f"roundrectangle 0.5,0.5 {w - 1.5},{h - 1.5} {radius},{radius}",
                      "-stroke", "rgba(255,226,170,0.22)",
                      "-draw", f"line {radius + 1},1.5 {w - radius - 2},1.5",
                      ")", "-gravity", "NorthWest", "-geometry", f"+{x}+{y}", "-compose", "over", "-composite"]

    def diamond(self, cx, cy, r, fill=GOLD):
        self.draw(f"polygon {cx},{cy - r} {cx + r},{cy} {cx},{cy + r} {cx - r},{cy}", fill=fill,
                  stroke="#3a2a14", width=0.8)


def top_band(o):
    o.args += ["(", "-size", f"{WIDTH}x70", "gradient:rgba(4,4,6,0.92)-rgba(12,10,10,0.78)", ")", "-gravity",
               "NorthWest", "-geometry", "+0+0", "-compose", "over", "-composite"]
    o.draw("line 0,69.5 1040,69.5", stroke=BRONZE, width=1.2)
    o.draw("line 0,72 1040,72", stroke="rgba(140,106,60,0.35)", width=1)
    links = [("WebsiteButtonRect", "官方网站"), ("RegisterButtonRect", "注册账号"), ("DownloadButtonRect", "游戏下载"),
             ("SponsorButtonRect", "赞助游戏"), ("ForumButtonRect", "游戏论坛")]
    for name, caption in links:
        r = LAYOUT[name]
        o.plate(r.x + 2, r.y + 2, r.w - 4, r.h - 4, radius=3)
        o.text(r.x, r.y, r.w, r.h, caption, 15, GOLD)
    for x in (144, 245, 798):
        o.diamond(x, 38, 2.5)
    # The close glyph: a ring with a cross.
    close = LAYOUT["CloseButtonRect"]
    cx, cy = close.x + close.w / 2, close.y + close.h / 2
    o.draw(f"circle {n(cx)},{n(cy)} {n(cx)},{n(cy + 13.5)}", fill="rgba(30,20,14,0.9)", stroke=BRONZE, width=1.4)
    o.draw(f"line {n(cx - 6)},{n(cy - 6)} {n(cx + 6)},{n(cy + 6)}", stroke=GOLD, width=2)
    o.draw(f"line {n(cx + 6)},{n(cy - 6)} {n(cx - 6)},{n(cy + 6)}", stroke=GOLD, width=2)


def crest(o):
    """The title crest hanging from the top band between the two groups of links."""
    o.args += ["(", "-size", "150x96", "gradient:#4a1612-#1c0806", "(", "-size", "150x96", "xc:black", "-fill",
               "white", "-draw", "polygon 0,0 149,0 149,70 75,95 0,70", ")", "-alpha", "off", "-compose",
               "CopyOpacity", "-composite", ")", "-gravity", "NorthWest", "-geometry", "+447+0", "-compose", "over",
               "-composite"]
    o.draw("polyline 447.5,0 447.5,70 522,95 596.5,70 596.5,0", stroke=GOLD, width=1.6)
    o.draw("polyline 452.5,0 452.5,67 522,90 591.5,67 591.5,0", stroke="rgba(226,196,138,0.4)", width=1)
    o.text(447, 6, 150, 50, "岚 谷", 34, "#f0d49a", glow="rgba(255,170,80,0.55)")
    o.text(447, 54, 150, 20, "V O R N", 12, "#c9a46a", font=SERIF_FONT)
    o.diamond(522, 95, 4)


def side_banner(o):
    """A hanging banner on the left with the emblem and a two-column motto."""
    o.args += ["(", "-size", "176x480", "gradient:rgba(88,20,18,0.92)-rgba(30,8,8,0.92)", "(", "-size", "176x480",
               "xc:black", "-fill", "white", "-draw", "polygon 0,0 175,0 175,430 88,479 0,430", ")", "-alpha", "off",
               "-compose", "CopyOpacity", "-composite", ")", "-gravity", "NorthWest", "-geometry", "+38+78",
               "-compose", "over", "-composite"]
    o.draw("polyline 38.5,78 38.5,508 126,557 213.5,508 213.5,78", stroke=BRONZE, width=1.6)
    o.draw("polyline 44.5,78 44.5,504 126,550 207.5,504 207.5,78", stroke="rgba(226,196,138,0.35)", width=1)
    o.draw("line 30,80 222,80", stroke=GOLD, width=3)
    o.draw("circle 126,168 126,218", fill="rgba(20,8,6,0.85)", stroke=GOLD, width=2)
    o.draw("circle 126,168 126,211", stroke="rgba(226,196,138,0.45)", width=1)
    o.text(76, 118, 100, 100, "岚", 58, "#f2d8a0", glow="rgba(255,160,70,0.6)")
    for column, words in ((148, "踏云而来"), (84, "仗剑天涯")):
        for i, ch in enumerate(words):
            o.text(column, 248 + i * 44, 40, 40, ch, 26, "#e8cf9a")
    o.diamond(126, 440, 5)
    o.draw("line 70,440 114,440", stroke=BRONZE, width=1)
    o.draw("line 138,440 182,440", stroke=BRONZE, width=1)
    o.text(38, 454, 176, 22, "VORN  ONLINE", 11, "#b89560", font=SERIF_FONT)


def centre_panel(o):
    o.draw("roundrectangle 248.5,84.5 791.5,590.5 8,8", fill="rgba(8,7,8,0.74)", stroke="rgba(140,106,60,0.85)",
           width=1.2)
    # The announcement frame around the area the window fills black.
    black = LAYOUT["BlackAreaRect"]
    o.draw(f"rectangle {n(black.x - 7.5)},{n(black.y - 7.5)} {n(black.right + 7.5)},{n(black.bottom + 7.5)}",
           stroke="rgba(140,106,60,0.55)", width=1)
    o.draw(f"rectangle {black.x - 4},{black.y - 4} {black.right + 4},{black.bottom + 4}", fill="black", stroke=BRONZE,
           width=2)
    for cx, cy in ((black.x - 6, black.y - 6), (black.right + 6, black.y - 6), (black.x - 6, black.bottom + 6),
                   (black.right + 6, black.bottom + 6)):
        o.diamond(cx, cy, 5)
    # Under the panel, where the update label shows while an update runs: a sunken tray with the crest's motto,
    # so the face is finished there once the label hides.
    o.draw("line 266,299.5 774,299.5", stroke="rgba(140,106,60,0.6)", width=1)
    o.plate(268, 302, 504, 62, top="#120e0b", bottom="#241b14", edge=DIM_BRONZE, radius=4)
    for side in (-1, 1):
        o.draw(f"line {520 + side * 74},333 {520 + side * 190},333", stroke="rgba(140,106,60,0.7)", width=1)
        o.diamond(520 + side * 196, 333, 3)
    o.text(430, 318, 180, 30, "岚 谷 · 仗 剑 踏 云", 15, "#8c6a3c", shadow=False)
    # Nine identical region plates in three rows.
    for i in range(9):
        b = region_button(LAYOUT, i)
        o.plate(b.x, b.y, b.w, b.h, top="#33271d", bottom="#120e0b", radius=3)
    o.draw("line 262,496.5 778,496.5", stroke="rgba(140,106,60,0.5)", width=1)
    # Region name: caption left of the box, a frame around the box the window fills.
    name = LAYOUT["RegionNameRect"]
    o.text(name.x - 87, name.y - 1, 84, name.h + 2, "当前分区", 14, GOLD)
    o.draw(f"rectangle {n(name.x - 2.5)},{n(name.y - 2.5)} {n(name.right + 1.5)},{n(name.bottom + 1.5)}",
           stroke=BRONZE, width=1)
    # Windowed mode and game settings, side by side; the windowed plate shows its box ticked.
    windowed = LAYOUT["WindowedButtonRect"]
    box = LAYOUT["WindowedBoxRect"]
    bx, by = windowed.x + box.x, windowed.y + box.y
    o.plate(windowed.x + 2, windowed.y + 1, windowed.w - 4, windowed.h - 2, radius=3)
    o.draw(f"rectangle {bx},{by} {bx + box.w},{by + box.h}", fill="rgb(30,29,27)", stroke="rgb(168,166,154)",
           width=1)
    o.draw(f"polyline {n(bx + 2.5)},{by + 6} {n(bx + 5.8)},{by + 10} {n(bx + 11.5)},{n(by + 1.5)}",
           stroke="#f0cc7a", width=2.2)
    o.text(windowed.x + 48, windowed.y, windowed.w - 55, windowed.h, "窗口化", 15, GOLD)
    settings = LAYOUT["GameSettingsButtonRect"]
    o.plate(settings.x + 2, settings.y + 1, settings.w - 4, settings.h - 2, radius=3)
    o.text(settings.x, settings.y, settings.w, settings.h, "游戏设置", 15, GOLD)
    # The enter-game plate at rest; the window lights it when a region is chosen.
    enter = LAYOUT["EnterGameButtonRect"]
    o.plate(enter.x + 2, enter.y + 2, enter.w - 4, enter.h - 4, top="#2a1f17", bottom="#0f0b09", edge=DIM_BRONZE,
            radius=5)
    o.draw(f"rectangle {n(enter.x + 9.5)},{n(enter.y + 8.5)} {n(enter.right - 9.5)},{n(enter.bottom - 8.5)}",
           stroke="rgba(120,90,52,0.6)", width=1)
    o.text(enter.x + 8, enter.y + 8, enter.w - 16, enter.h - 16, "进入游戏", 28, "#7d6148", shadow=True)


def bottom(o):
    status = LAYOUT["StatusLineRect"]
    o.draw(f"roundrectangle {n(status.x - 2.5)},{n(status.y - 3.5)} {n(status.right + 3.5)},{n(status.bottom + 3.5)}"
           " 3,3", fill="rgba(6,5,5,0.72)", stroke="rgba(140,106,60,0.7)", width=1)
    o.text(592, 618, 436, 22, "抵制不良游戏  拒绝盗版游戏  适度游戏益脑  沉迷游戏伤身", 11, "#a08a68", shadow=True)
    o.text(592, 638, 436, 18, "Vorn 岚谷 · 登录器 " + VERSION, 10, "#7c6a50", shadow=False)


def window_edge(o):
    o.draw(f"roundrectangle 0.5,0.5 {n(WIDTH - 0.5)},{n(HEIGHT - 0.5)} 12,12", stroke="#6e5230", width=2)
    o.draw("roundrectangle 3.5,3.5 1036.5,661.5 10,10", stroke="rgba(226,196,138,0.18)", width=1)
    # Outside the rounded corners the face is transparent.
    o.args += ["(", "-size", f"{WIDTH}x{HEIGHT}", "xc:black", "-fill", "white", "-draw",
               f"roundrectangle 0,0 {WIDTH - 1},{HEIGHT - 1} 12,12", ")", "-alpha", "off", "-compose", "CopyOpacity",
               "-composite"]


def main(path):
    with tempfile.TemporaryDirectory() as work:
        base = os.path.join(work, "backdrop.png")
        write_png(base, backdrop())
        o = Overlay()
        top_band(o)
        crest(o)
        side_banner(o)
        centre_panel(o)
        bottom(o)
        window_edge(o)
        subprocess.run(["convert", base, "-alpha", "set"] + o.args +
                       ["-strip", "-define", "png:color-type=6", "-define", "png:compression-level=9", path],
                       check=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "skin.png")
