#!/usr/bin/python3
"""Draws all of Kestrune's artwork: the language pictures, the program's own bitmaps and
the icons. Needs Python 3 with Pillow (python3-pil) and the DejaVu fonts
(fonts-dejavu-core). Run from anywhere:  tools/make_artwork.py [repo-root]

Every picture is drawn twice from the same description: at its layout size and, as
NAME@2x, at twice that size for screens with a pixel ratio of 2. Shapes are supersampled
and reduced, text is rendered at the final size, so nothing is ever scaled up.
"""

import io
import math
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(__file__), ".."))
FONT_DIR = "/usr/share/fonts/truetype/dejavu"

# One palette for everything.
NAVY = (14, 39, 66)
NAVY_LIGHT = (27, 63, 99)
TEAL = (22, 133, 140)
TEAL_LIGHT = (111, 201, 206)
TEAL_PALE = (214, 238, 240)
WHITE = (255, 255, 255)
PANEL = (240, 240, 240)
PANEL_EDGE = (214, 220, 224)
GREY = (150, 156, 162)
GREY_DARK = (104, 110, 117)
GREY_LIGHT = (205, 209, 213)
SILVER = (226, 230, 233)
SCENE = (247, 250, 251)

STRIP_HEIGHT = 53
SS = 4  # supersampling factor for shapes

TEXTS = {
    "NTV": {
        "tagline": "Secure erasure for USB sticks and memory cards",
        "settings": "Settings: choose the erase method and what happens afterwards",
        "about": "About: product name and version",
        "update": "Update: look for a newer version of Kestrune",
        "settings_title": "Vaskor Kestrune",
        "settings_sub": "Secure erasure of removable media",
        "insert1": "Please insert a USB stick",
        "insert2": "or a memory card",
        "insert3": "It shows up in the list",
        "insert4": "once it is connected.",
        "grey": "Updates are managed by your administrator",
        "logo_sub": "SECURITY",
    },
    "DE": {
        "tagline": "Sicheres Löschen von USB-Sticks und Speicherkarten",
        "settings": "Einstellungen: Löschverfahren und Folgeschritte wählen",
        "about": "Info: Produktname und Version",
        "update": "Update: nach einer neueren Version suchen",
        "settings_title": "Vaskor Kestrune",
        "settings_sub": "Sicheres Löschen von Wechseldatenträgern",
        "insert1": "Bitte stecken Sie einen",
        "insert2": "USB-Stick oder eine Karte ein",
        "insert3": "Er erscheint in der Liste,",
        "insert4": "sobald er verbunden ist.",
        "grey": "Updates verwaltet Ihr Administrator",
        "logo_sub": "SECURITY",
    },
}


def font(size, bold=False):
    name = "DejaVuSans" + ("-Bold" if bold else "")
    return ImageFont.truetype(os.path.join(FONT_DIR, name + ".ttf"), int(round(size)))


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


class Art:
    """A picture of w x h layout pixels drawn at k device pixels per layout pixel. Every
    coordinate given to it is in layout pixels."""

    def __init__(self, w, h, k, background=WHITE):
        self.w, self.h, self.k = w, h, k
        self.image = Image.new("RGBA", (w * k, h * k), background + (255,))
        self.draw = ImageDraw.Draw(self.image)

    def box(self, b):
        return [round(v * self.k) for v in b]

    def vertical_gradient(self, top, bottom, area=None):
        x0, y0, x1, y1 = self.box(area or (0, 0, self.w, self.h))
        for y in range(y0, y1):
            self.draw.line([(x0, y), (x1 - 1, y)], fill=mix(top, bottom, (y - y0) / max(1, y1 - y0 - 1)))

    def horizontal_gradient(self, left, right):
        for x in range(self.w * self.k):
            self.draw.line([(x, 0), (x, self.h * self.k - 1)],
                           fill=mix(left, right, x / max(1, self.w * self.k - 1)))

    def rect(self, b, fill):
        x0, y0, x1, y1 = self.box(b)
        self.draw.rectangle([x0, y0, x1 - 1, y1 - 1], fill=fill)

    def shapes(self, painter):
        """painter(draw, s) draws with coordinates multiplied by s; supersampled."""
        s = SS * self.k
        big = Image.new("RGBA", (self.w * s, self.h * s), (0, 0, 0, 0))
        painter(ImageDraw.Draw(big), s)
        self.image.alpha_composite(big.resize(self.image.size, Image.LANCZOS))

    def text_width(self, text, size, bold=False):
        return self.draw.textlength(text, font=font(size * self.k, bold)) / self.k

    def fit(self, text, max_width, size, bold=False):
        while size > 8 and self.text_width(text, size, bold) > max_width:
            size -= 0.5
        return size

    def text(self, x, y, text, size, fill, bold=False):
        self.draw.text((round(x * self.k), round(y * self.k)), text,
                       font=font(size * self.k, bold), fill=fill)

    def text_in(self, b, text, size, fill, bold=False, align="center"):
        """Text centred vertically in box b, horizontally by align."""
        fnt = font(size * self.k, bold)
        x0, y0, x1, y1 = self.box(b)
        l, t, r, bt = self.draw.textbbox((0, 0), text, font=fnt)
        y = y0 + (y1 - y0 - (bt - t)) // 2 - t
        if align == "center":
            x = x0 + (x1 - x0 - (r - l)) // 2 - l
        else:
            x = x0 - l
        self.draw.text((x, y), text, font=fnt, fill=fill)

    def rgb(self):
        return self.image.convert("RGB")


# --- Shapes (coordinates multiplied by s) ------------------------------------------------

def P(s, pts):
    return [(x * s, y * s) for x, y in pts]


def shield(d, s, cx, cy, r, fill):
    d.polygon(P(s, [(cx - r, cy - r * 0.9), (cx, cy - r * 1.15), (cx + r, cy - r * 0.9),
                    (cx + r * 0.92, cy + r * 0.25), (cx, cy + r * 1.15),
                    (cx - r * 0.92, cy + r * 0.25)]), fill=fill)


def usb_stick(d, s, x, y, length, thick, body, cap, metal, led=None, connector=True):
    """A horizontal stick: body on the left, connector to the right, (x, y) top-left."""
    r = thick * 0.28
    d.rounded_rectangle([x * s, y * s, (x + length) * s, (y + thick) * s], radius=r * s, fill=body)
    d.rectangle([(x + length * 0.72) * s, y * s, (x + length) * s, (y + thick) * s], fill=cap)
    if connector:
        cx0 = x + length
        d.rectangle([cx0 * s, (y + thick * 0.2) * s, (cx0 + thick * 0.8) * s,
                     (y + thick * 0.8) * s], fill=metal)
        for k in (0.33, 0.55):
            d.rectangle([(cx0 + thick * 0.18) * s, (y + thick * k) * s,
                         (cx0 + thick * 0.34) * s, (y + thick * (k + 0.11)) * s], fill=body)
    if led:
        d.ellipse([(x + thick * 0.35) * s, (y + thick * 0.41) * s, (x + thick * 0.55) * s,
                   (y + thick * 0.59) * s], fill=led)


def gear(d, s, cx, cy, r, fill, hole):
    teeth = 8
    pts = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4)
        rr = r if (i % 4) in (0, 1) else r * 0.74
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    d.polygon(P(s, pts), fill=fill)
    d.ellipse([(cx - r * 0.62) * s, (cy - r * 0.62) * s, (cx + r * 0.62) * s,
               (cy + r * 0.62) * s], fill=fill)
    d.ellipse([(cx - r * 0.3) * s, (cy - r * 0.3) * s, (cx + r * 0.3) * s,
               (cy + r * 0.3) * s], fill=hole)


def info_mark(d, s, cx, cy, r, fill, mark):
    d.ellipse([(cx - r) * s, (cy - r) * s, (cx + r) * s, (cy + r) * s], fill=fill)
    d.ellipse([(cx - r * 0.14) * s, (cy - r * 0.6) * s, (cx + r * 0.14) * s,
               (cy - r * 0.32) * s], fill=mark)
    d.rounded_rectangle([(cx - r * 0.13) * s, (cy - r * 0.18) * s, (cx + r * 0.13) * s,
                         (cy + r * 0.62) * s], radius=r * 0.06 * s, fill=mark)


def refresh_arrows(d, s, cx, cy, r, colour):
    w = r * 0.28
    box = [(cx - r) * s, (cy - r) * s, (cx + r) * s, (cy + r) * s]
    d.arc(box, 200, 330, fill=colour, width=int(w * s))
    d.arc(box, 20, 150, fill=colour, width=int(w * s))
    for ang in (330, 150):
        a = math.radians(ang)
        tx, ty = cx + r * math.cos(a), cy + r * math.sin(a)
        dd = math.radians(ang + 90)
        hx, hy = math.cos(dd), math.sin(dd)
        nx, ny = math.cos(a), math.sin(a)
        size = r * 0.42
        d.polygon(P(s, [(tx + hx * size * 0.9, ty + hy * size * 0.9),
                        (tx + nx * size * 0.75, ty + ny * size * 0.75),
                        (tx - nx * size * 0.75, ty - ny * size * 0.75)]), fill=colour)


# --- Program bitmaps -----------------------------------------------------------------------

def strip(width, k):
    """The bottom strip: every piece uses the same gradient and top line, so they join."""
    art = Art(width, STRIP_HEIGHT, k)
    art.vertical_gradient(NAVY_LIGHT, NAVY)
    art.rect((0, 0, width, 1), TEAL)
    return art


def strip_button(width, symbol, state, k):
    """A bottom-strip button: 0 normal, 1 hover, 2 pressed, 3 disabled."""
    art = strip(width, k)
    plate = {0: None, 1: NAVY_LIGHT + (255,), 2: (10, 28, 48, 255), 3: None}[state]
    ink = {0: WHITE, 1: TEAL_LIGHT, 2: TEAL_LIGHT, 3: GREY_DARK}[state]
    dy = 1 if state == 2 else 0

    def paint(d, s):
        if plate:
            d.rounded_rectangle([3 * s, 6 * s, (width - 3) * s, (STRIP_HEIGHT - 5) * s],
                                radius=6 * s, fill=plate)
        cx, cy = width / 2, 26 + dy
        if symbol == "settings":
            gear(d, s, cx, cy, 13, ink, plate or NAVY + (255,))
        elif symbol == "about":
            info_mark(d, s, cx, cy, 13, ink, plate or NAVY + (255,))
        else:
            refresh_arrows(d, s, cx, cy, 11.5, ink)
        if state in (1, 2):
            d.rectangle([(cx - 8) * s, (STRIP_HEIGHT - 4) * s, (cx + 8) * s,
                         (STRIP_HEIGHT - 2) * s], fill=TEAL_LIGHT if state == 1 else TEAL)

    art.shapes(paint)
    return art.rgb()


def left_edge(k):
    return strip(6, k).rgb()


def separator(k):
    art = strip(17, k)
    for y in range(10 * k, (STRIP_HEIGHT - 8) * k):
        t = 1 - abs((y / k - 26) / 18)
        art.draw.line([(8 * k, y), (8 * k + k - 1, y)],
                      fill=mix(NAVY_LIGHT, TEAL_LIGHT, max(0, t) * 0.8))
    return art.rgb()


def list_watermark(k):
    art = Art(190, 170, k)

    def paint(d, s):
        shield(d, s, 95, 80, 62, (232, 244, 245, 255))
        shield(d, s, 95, 80, 50, (255, 255, 255, 255))
        usb_stick(d, s, 52, 66, 66, 26, (224, 239, 241, 255), (212, 233, 235, 255),
                  (228, 237, 239, 255))
        for i in range(4):
            y = 104 + i * 7
            d.rectangle([(70 + i * 3) * s, y * s, (120 - i * 3) * s, (y + 3) * s],
                        fill=(228, 241, 242, 255))
    art.shapes(paint)
    return art.rgb()


# --- Icon ----------------------------------------------------------------------------------

def icon(size):
    art = Art(size, size, 1, NAVY)
    art.image = Image.new("RGBA", (size, size), (0, 0, 0, 0))

    def paint(d, s):
        n = size
        d.rounded_rectangle([0, 0, n * s - 1, n * s - 1], radius=n * 0.2 * s, fill=NAVY + (255,))
        d.rounded_rectangle([n * 0.04 * s, n * 0.04 * s, n * 0.96 * s, n * 0.96 * s],
                            radius=n * 0.17 * s, fill=NAVY_LIGHT + (255,))
        shield(d, s, n * 0.5, n * 0.47, n * 0.33, TEAL + (255,))
        usb_stick(d, s, n * 0.24, n * 0.33, n * 0.40, n * 0.17, WHITE + (255,),
                  TEAL_PALE + (255,), GREY_LIGHT + (255,))
        if size >= 24:
            for i in range(3):
                y = n * (0.58 + i * 0.075)
                d.rectangle([n * (0.33 + i * 0.04) * s, y * s, n * (0.67 - i * 0.04) * s,
                             (y + n * 0.035) * s], fill=WHITE + (255,))
    art.shapes(paint)
    return art.image


# --- Language pictures ---------------------------------------------------------------------

def top_banner(t, k):
    width, height = 972, 110
    art = Art(width, height, k)
    art.horizontal_gradient(NAVY, TEAL)

    def paint(d, s):
        for i, alpha in enumerate((40, 28, 18)):
            r = 150 + i * 60
            d.ellipse([(width - 120 - r) * s, (height / 2 - r) * s, (width - 120 + r) * s,
                       (height / 2 + r) * s], outline=(255, 255, 255, alpha), width=2 * s)
        shield(d, s, 58, 56, 30, TEAL_LIGHT + (255,))
        usb_stick(d, s, 37, 45, 34, 16, WHITE + (255,), TEAL_PALE + (255,), GREY_LIGHT + (255,))
        for i in range(3):
            y = 67 + i * 6
            d.rectangle([(47 + i * 3) * s, y * s, (69 - i * 3) * s, (y + 3) * s],
                        fill=WHITE + (255,))
    art.shapes(paint)
    art.text(108, 22, "Vaskor Kestrune", 34, WHITE, bold=True)
    art.text(110, 68, t["tagline"], 16, TEAL_PALE)
    return art.rgb()


def bott_logo(t, k):
    art = strip(270, k)

    def paint(d, s):
        shield(d, s, 36, 27, 14, TEAL + (255,))
        shield(d, s, 36, 27, 9, NAVY_LIGHT + (255,))
        shield(d, s, 36, 27, 5, TEAL_LIGHT + (255,))
    art.shapes(paint)
    art.text(60, 10, "VASKOR", 20, WHITE, bold=True)
    art.text(61, 33, t["logo_sub"], 9, TEAL_LIGHT)
    return art.rgb()


MIDDLE_WIDTH = 550  # from x = 101 du (152 px) to the logo at 468 du (702 px)


def bott_middle(text, k):
    art = strip(MIDDLE_WIDTH, k)
    if text:
        size = art.fit(text, MIDDLE_WIDTH - 40, 14)
        art.rect((12, 19, 15, 34), TEAL_LIGHT)
        art.text_in((24, 1, MIDDLE_WIDTH, STRIP_HEIGHT), text, size, WHITE, align="left")
    return art.rgb()


def settings_top(t, k):
    """Lower than its template rectangle: the groups below keep a gap to it."""
    width, height = 707, 48
    art = Art(width, height, k)
    art.horizontal_gradient(NAVY, TEAL)

    def paint(d, s):
        shield(d, s, 29, 24, 15, TEAL_LIGHT + (255,))
        shield(d, s, 29, 24, 9.5, NAVY + (255,))
    art.shapes(paint)
    art.text(56, 5, t["settings_title"], 20, WHITE, bold=True)
    art.text(57, 29, t["settings_sub"], 11, TEAL_PALE)
    return art.rgb()


# The dialogs centre their buttons on this band's middle line and inset them as far from
# the right edge as the shields are from the left.
BAND_HEIGHT = 50
BAND_MIDDLE = 23
BAND_INSET = 12


def settings_bot(t, k):
    """No text: the dialogs put their buttons on this band, at different widths."""
    width = 707
    art = Art(width, BAND_HEIGHT, k)
    art.vertical_gradient(WHITE, TEAL_PALE, (0, 0, width, BAND_HEIGHT - 4))

    def paint(d, s):
        for i in range(3):
            shield(d, s, BAND_INSET + 7 + i * 22, BAND_MIDDLE, 7,
                   mix(TEAL_PALE, TEAL_LIGHT, 0.4 + i * 0.3) + (255,))
    art.shapes(paint)
    art.rect((0, 0, width, 1), TEAL_LIGHT)
    art.rect((0, BAND_HEIGHT - 4, width, BAND_HEIGHT), NAVY)
    return art.rgb()


def grey_usb(t, k):
    width, height = 300, 180
    art = Art(width, height, k)

    def paint(d, s):
        usb_stick(d, s, 52, 52, 150, 56, GREY_LIGHT + (255,), (190, 195, 200, 255),
                  (222, 225, 228, 255), led=(175, 180, 185, 255))
    art.shapes(paint)
    art.text_in((0, 130, width, 160), t["grey"], art.fit(t["grey"], width - 20, 12), GREY_DARK)
    return art.rgb()


# The information panel is drawn with its top 410 px below the window's top, centred in
# the 972 px window; the main window lays its two texts out inside it.
PANEL_W, PANEL_H = 720, 160


def info_bkg(k):
    art = Art(PANEL_W, PANEL_H, k)

    def paint(d, s):
        d.rounded_rectangle([0, 0, PANEL_W * s - 1, PANEL_H * s - 1], radius=10 * s,
                            fill=PANEL_EDGE + (255,))
        d.rounded_rectangle([1 * s, 1 * s, (PANEL_W - 1) * s - 1, (PANEL_H - 1) * s - 1],
                            radius=9 * s, fill=PANEL + (255,))
        d.rounded_rectangle([8 * s, 14 * s, 11 * s, (PANEL_H - 14) * s], radius=1.5 * s,
                            fill=TEAL + (255,))
    art.shapes(paint)
    return art.rgb()


# --- The animated insert-media prompt ------------------------------------------------------
# Shown over the empty device list, below its header, so it is wide and low: the request
# on the left, a laptop on the right whose USB port the stick slides into.

INSERT_W, INSERT_H = 856, 176
LX = 250                         # the laptop's offset from the left of its first sketch
BASE = (LX + 370, 118, LX + 584, 148)  # the laptop's base, seen from the front
PORT = (LX + 370, 124, LX + 379, 144)  # the USB port in the base's left side
STICK_Y, STICK_LEN, STICK_THICK = 121, 86, 26
STICK_END = BASE[0] - STICK_LEN  # the body touches the base: the connector is inside
STICK_START = STICK_END - 200
BAND = (STICK_START - 2, 100, BASE[0] + 30, 170)  # everything that moves lies in here


def laptop(d, s, glow):
    x0, y0, x1, y1 = BASE
    # the lid with its screen, which shows the product's shield
    d.rounded_rectangle([(LX + 390) * s, 14 * s, (LX + 564) * s, (y0 + 2) * s], radius=8 * s,
                        fill=NAVY + (255,))
    d.rounded_rectangle([(LX + 397) * s, 21 * s, (LX + 557) * s, (y0 - 5) * s], radius=3 * s,
                        fill=TEAL + (255,))
    d.rounded_rectangle([(LX + 397) * s, 21 * s, (LX + 557) * s, 36 * s], radius=3 * s,
                        fill=NAVY_LIGHT + (255,))
    d.rectangle([(LX + 397) * s, 30 * s, (LX + 557) * s, 36 * s], fill=NAVY_LIGHT + (255,))
    for i in range(3):
        d.ellipse([(LX + 404 + i * 9) * s, 26 * s, (LX + 409 + i * 9) * s, 31 * s],
                  fill=(88, 128, 160, 255))
    shield(d, s, LX + 477, 70, 20, TEAL_LIGHT + (255,))
    shield(d, s, LX + 477, 70, 13, TEAL + (255,))
    # the base: a slab a little wider than the lid
    d.rounded_rectangle([x0 * s, y0 * s, x1 * s, y1 * s], radius=5 * s, fill=SILVER + (255,))
    d.rectangle([(x0 + 3) * s, (y1 - 6) * s, (x1 - 3) * s, (y1 - 3) * s],
                fill=GREY_LIGHT + (255,))
    d.rounded_rectangle([(x0 + 3) * s, (y1 - 3) * s, (x1 - 3) * s, (y1 + 1) * s],
                        radius=2 * s, fill=GREY + (255,))
    d.rounded_rectangle([(LX + 448) * s, (y0 + 5) * s, (LX + 506) * s, (y0 + 9) * s], radius=2 * s,
                        fill=GREY_LIGHT + (255,))
    # the USB port: a metal frame, the dark opening and its tongue
    px0, py0, px1, py1 = PORT
    d.rectangle([px0 * s, py0 * s, px1 * s, py1 * s], fill=GREY_DARK + (255,))
    d.rectangle([px0 * s, (py0 + 2) * s, (px1 - 2) * s, (py1 - 2) * s], fill=(20, 26, 32, 255))
    d.rectangle([px0 * s, (py0 + 4) * s, (px1 - 3) * s, (py0 + 9) * s], fill=(122, 130, 138, 255))
    if glow:
        d.rounded_rectangle([(px0 - 9) * s, (py0 - 8) * s, (px1 + 4) * s, (py1 + 8) * s],
                            radius=6 * s, outline=TEAL_LIGHT + (255,), width=3 * s)


def insert_scene(t, k, stick_x, led=False, glow=False):
    art = Art(INSERT_W, INSERT_H, k, SCENE)

    def paint(d, s):
        # the connector goes first, so the base covers the part that is inside it
        usb_stick(d, s, stick_x, STICK_Y, STICK_LEN, STICK_THICK, TEAL + (255,),
                  NAVY_LIGHT + (255,), GREY_LIGHT + (255,),
                  led=(TEAL_LIGHT + (255,)) if led else (NAVY + (255,)))
        laptop(d, s, glow)
        # the table the laptop stands on
        d.rectangle([(LX + 356) * s, 152 * s, (LX + 598) * s, 153 * s], fill=PANEL_EDGE + (255,))
    art.shapes(paint)
    title = min(art.fit(t["insert1"], 360, 21, True), art.fit(t["insert2"], 360, 21, True))
    art.text(36, 18, t["insert1"], title, NAVY, bold=True)
    art.text(36, 47, t["insert2"], title, NAVY, bold=True)
    art.rect((36, 82, 84, 85), TEAL)
    small = min(art.fit(t["insert3"], 220, 13), art.fit(t["insert4"], 220, 13))
    art.text(36, 96, t["insert3"], small, GREY_DARK)
    art.text(36, 115, t["insert4"], small, GREY_DARK)
    return art.rgb()


def gif_frame_block(image, left, top):
    """Encodes one image as a GIF image block with its own local colour table."""
    buffer = io.BytesIO()
    image.convert("RGB").quantize(colors=256, method=Image.Quantize.MEDIANCUT,
                                  dither=Image.Dither.NONE).save(buffer, "GIF", interlace=False)
    data = buffer.getvalue()
    flags = data[10]
    table = b""
    at = 13
    if flags & 0x80:
        size = 3 * (1 << ((flags & 7) + 1))
        table = data[13:13 + size]
        at += size
    while data[at] == 0x21:  # extensions Pillow may write
        at += 2
        while data[at]:
            at += data[at] + 1
        at += 1
    assert data[at] == 0x2C, "expected an image block"
    w, h = struct.unpack_from("<HH", data, at + 5)
    packed = data[at + 9]
    if packed & 0x80:  # Pillow wrote a local table already
        table = data[at + 10:at + 10 + 3 * (1 << ((packed & 7) + 1))]
        body_at = at + 10 + len(table)
    else:
        body_at = at + 10
    end = body_at + 1
    while data[end]:
        end += data[end] + 1
    end += 1
    bits = max(1, (len(table) // 3 - 1).bit_length())
    table = table.ljust(3 * (1 << bits), b"\0")
    descriptor = struct.pack("<BHHHHB", 0x2C, left, top, w, h, 0x80 | (packed & 0x40) | (bits - 1))
    return descriptor + table + data[body_at:end]


def gif_control(delay, disposal):
    return bytes([0x21, 0xF9, 0x04, (disposal & 7) << 2]) + struct.pack("<H", delay) + b"\0\0"


def crop(image, box, k):
    return image.crop(tuple(v * k for v in box)), box[0] * k, box[1] * k


def insert_usb_gif(t, k):
    """Frame 0 is the whole scene; later frames redraw only what moves. The stick slides
    into the port with disposal 2 (its band is cleared before the next position), the
    port glows with disposal 3 (the area under it comes back), the stick's light blinks."""
    frames = [(insert_scene(t, k, STICK_START), 0, 0, 90, 1)]
    steps = 8
    for i in range(1, steps + 1):
        x = STICK_START + (STICK_END - STICK_START) * i / steps
        frames.append(crop(insert_scene(t, k, x), BAND, k) + (8, 2 if i < steps else 1))
    plugged = insert_scene(t, k, STICK_END, led=True)
    frames.append(crop(plugged, BAND, k) + (30, 1))
    glow_box = (PORT[0] - 12, PORT[1] - 11, PORT[2] + 7, PORT[3] + 11)
    glowing = insert_scene(t, k, STICK_END, led=True, glow=True)
    dark = insert_scene(t, k, STICK_END)
    led_box = (STICK_END, STICK_Y, STICK_END + 24, STICK_Y + STICK_THICK)
    for _ in range(3):
        frames.append(crop(glowing, glow_box, k) + (35, 3))
        frames.append(crop(dark, led_box, k) + (25, 3))
    frames.append(crop(plugged, led_box, k) + (160, 1))

    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", INSERT_W * k, INSERT_H * k, 0x80 | 0, 0, 0)
    out += bytes(SCENE) + bytes(WHITE)  # two-entry global table; index 0 is the scene
    out += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"
    out += b"\x21\xFE" + bytes([len(b"Kestrune")]) + b"Kestrune\x00"
    for image, left, top, delay, disposal in frames:
        out += gif_control(delay, disposal)
        out += gif_frame_block(image, left, top)
    out += b"\x3B"
    return bytes(out)


# --- Output --------------------------------------------------------------------------------

def save_jpg(image, path):
    image.save(path, "JPEG", quality=93, subsampling=0, optimize=True)


def save_bmp(image, path):
    image.convert("RGB").save(path, "BMP")


def both_scales(folder, name, draw, save):
    for k, suffix in ((1, ""), (2, "@2x")):
        stem, ext = os.path.splitext(name)
        save(draw(k), os.path.join(folder, stem + suffix + ext))


def main():
    bitmaps = os.path.join(ROOT, "res", "bitmaps")
    icons = os.path.join(ROOT, "res", "icons")
    os.makedirs(bitmaps, exist_ok=True)
    for number, symbol, width, state in (
            (130, "settings", 46, 0), (131, "settings", 46, 1), (143, "settings", 46, 2),
            (169, "settings", 46, 3), (134, "about", 41, 0), (135, "about", 41, 1),
            (142, "about", 41, 2), (139, "update", 44, 0), (140, "update", 44, 1),
            (141, "update", 44, 2), (168, "update", 44, 3)):
        both_scales(bitmaps, f"{number}.bmp",
                    lambda k, s=symbol, w=width, st=state: strip_button(w, s, st, k), save_bmp)
    both_scales(bitmaps, "132.bmp", left_edge, save_bmp)
    both_scales(bitmaps, "138.bmp", separator, save_bmp)
    both_scales(bitmaps, "144.bmp", list_watermark, save_bmp)

    os.makedirs(icons, exist_ok=True)
    icon(256).save(os.path.join(icons, "kestrune.png"))
    for size in (16, 32, 48, 64, 128, 256):
        folder = os.path.join(icons, "hicolor", str(size))
        os.makedirs(folder, exist_ok=True)
        icon(size).save(os.path.join(folder, "kestrune.png"))

    for code, t in TEXTS.items():
        folder = os.path.join(ROOT, "res", "lang", code)
        os.makedirs(folder, exist_ok=True)
        both_scales(folder, "top.jpg", lambda k: top_banner(t, k), save_jpg)
        both_scales(folder, "bott_logo.jpg", lambda k: bott_logo(t, k), save_jpg)
        both_scales(folder, "bott_middle.jpg", lambda k: bott_middle(None, k), save_jpg)
        for key in ("settings", "about", "update"):
            both_scales(folder, f"bott_middle_{key}.jpg",
                        lambda k, key=key: bott_middle(t[key], k), save_jpg)
        both_scales(folder, "settings_top.jpg", lambda k: settings_top(t, k), save_jpg)
        both_scales(folder, "settings_bot.jpg", lambda k: settings_bot(t, k), save_jpg)
        both_scales(folder, "grey_usb.jpg", lambda k: grey_usb(t, k), save_jpg)
        both_scales(folder, "info_bkg.bmp", info_bkg, save_bmp)

        def write_gif(data, path):
            with open(path, "wb") as f:
                f.write(data)
        both_scales(folder, "insert_usb.gif", lambda k: insert_usb_gif(t, k), write_gif)
    print("artwork written under", os.path.join(ROOT, "res"))


if __name__ == "__main__":
    main()
