#!/usr/bin/env python3
"""Draws the launcher's window face, resources/skin.png (1040 x 665, RGBA), from our own shapes, gradients and
text only. The backdrop (night sky, moon, mountain ranges, a keep on the far ridge, drifting embers) is computed
here pixel by pixel; ImageMagick's `convert` then lays the frames, plates and captions over it with the
WenQuanYi Micro Hei font (Debian: fonts-wqy-microhei) and DejaVu Serif for the Latin lettering
(fonts-dejavu-core). Run it again after changing the drawing:

    python3 tools/make_skin.py resources/skin.png

The window draws parts of this image under its controls, so the places below follow the main window's control
table: the five link plates and the close glyph in the top band, the announcement frame, nine identical region
plates (the one at 438, 375 serves all nine), the region-name caption left of x 349, the windowed plate with a
ticked box at 321, 550, the settings plate, the dim enter-game plate and the status strip at y 619.
"""
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

WIDTH, HEIGHT = 1040, 665
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
    links = [(43, 99, "官方网站"), (145, 98, "注册账号"), (247, 99, "游戏下载"), (699, 99, "赞助游戏"), (799, 106, "游戏论坛")]
    for x, w, caption in links:
        o.plate(x + 2, 24, w - 4, 28, radius=3)
        o.text(x, 22, w, 32, caption, 15, GOLD)
    for x in (144, 245, 798):
        o.diamond(x, 38, 2.5)
    # The close glyph: a ring with a cross.
    o.draw("circle 1003.5,38.5 1003.5,52", fill="rgba(30,20,14,0.9)", stroke=BRONZE, width=1.4)
    o.draw("line 997.5,32.5 1009.5,44.5", stroke=GOLD, width=2)
    o.draw("line 1009.5,32.5 997.5,44.5", stroke=GOLD, width=2)


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
    # The announcement frame; the window fills its inside black.
    o.draw("rectangle 257.5,93.5 782.5,372.5", stroke="rgba(140,106,60,0.55)", width=1)
    o.draw("rectangle 261,97 779,369", fill="black", stroke=BRONZE, width=2)
    for cx, cy in ((259, 95), (781, 95), (259, 371), (781, 371)):
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
        o.plate(264 + 174 * (i % 3), 375 + 39 * (i // 3), 165, 34, top="#33271d", bottom="#120e0b", radius=3)
    o.draw("line 262,496.5 778,496.5", stroke="rgba(140,106,60,0.5)", width=1)
    # Region name: caption left of the box, a frame around the box the window fills.
    o.text(262, 506, 84, 23, "当前分区", 14, GOLD)
    o.draw("rectangle 346.5,504.5 555.5,529.5", stroke=BRONZE, width=1)
    # Windowed mode and game settings, side by side.
    o.plate(292, 544, 127, 29, radius=3)
    o.draw("rectangle 321,550 334,563", fill="rgb(30,29,27)", stroke="rgb(168,166,154)", width=1)
    o.draw("polyline 323.5,556 326.8,560 332.5,551.5", stroke="#f0cc7a", width=2.2)
    o.text(338, 543, 76, 31, "窗口化", 15, GOLD)
    o.plate(423, 544, 123, 29, radius=3)
    o.text(421, 543, 127, 31, "游戏设置", 15, GOLD)
    # The enter-game plate at rest; the window lights it when a region is chosen.
    o.plate(577, 505, 199, 65, top="#2a1f17", bottom="#0f0b09", edge=DIM_BRONZE, radius=5)
    o.draw("rectangle 584.5,511.5 768.5,563.5", stroke="rgba(120,90,52,0.6)", width=1)
    o.text(583, 511, 187, 53, "进入游戏", 28, "#7d6148", shadow=True)


def bottom(o):
    o.draw("roundrectangle 9.5,615.5 575.5,641.5 3,3", fill="rgba(6,5,5,0.72)", stroke="rgba(140,106,60,0.7)",
           width=1)
    o.text(592, 618, 436, 22, "抵制不良游戏  拒绝盗版游戏  适度游戏益脑  沉迷游戏伤身", 11, "#a08a68", shadow=True)
    o.text(592, 638, 436, 18, "Vorn 岚谷 · 登录器 1.0", 10, "#7c6a50", shadow=False)


def window_edge(o):
    o.draw("roundrectangle 0.5,0.5 1039.5,664.5 12,12", stroke="#6e5230", width=2)
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
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/skin.png")
