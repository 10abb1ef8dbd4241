#!/usr/bin/python3
"""Draws all of Kestrune's artwork: the language pictures, the program's own bitmaps and
the icons. Needs Python 3 with Pillow (python3-pil) and the DejaVu fonts
(fonts-dejavu-core). Run from anywhere:  tools/make_artwork.py [repo-root]

Everything is drawn at its final pixel size (shapes supersampled and reduced, text at
1:1), so nothing is ever scaled up.
"""

import io
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
        "insert3": "It appears in the list as soon as it is connected.",
        "grey": "Updates are managed by your administrator",
        "logo_sub": "SECURITY",
    },
    "DE": {
        "tagline": "Sicheres Löschen von USB-Sticks und Speicherkarten",
        "settings": "Einstellungen: Löschverfahren und Folgeschritte wählen",
        "about": "Info: Produktname und Version",
        "update": "Aktualisieren: nach einer neueren Version suchen",
        "settings_title": "Vaskor Kestrune",
        "settings_sub": "Sicheres Löschen von Wechseldatenträgern",
        "insert1": "Bitte stecken Sie einen USB-Stick",
        "insert2": "oder eine Speicherkarte ein",
        "insert3": "Er erscheint in der Liste, sobald er verbunden ist.",
        "grey": "Aktualisierungen verwaltet Ihr Administrator",
        "logo_sub": "SECURITY",
    },
}


def font(size, bold=False, condensed=False):
    name = "DejaVuSans"
    if condensed:
        name += "Condensed"
    if bold:
        name += "-Bold"
    return ImageFont.truetype(os.path.join(FONT_DIR, name + ".ttf"), size)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def vertical_gradient(width, height, top, bottom):
    image = Image.new("RGB", (width, height))
    draw = ImageDraw.Draw(image)
    for y in range(height):
        draw.line([(0, y), (width - 1, y)], fill=mix(top, bottom, y / max(1, height - 1)))
    return image


def horizontal_gradient(width, height, left, right):
    image = Image.new("RGB", (width, height))
    draw = ImageDraw.Draw(image)
    for x in range(width):
        draw.line([(x, 0), (x, height - 1)], fill=mix(left, right, x / max(1, width - 1)))
    return image


def strip_background(width):
    """The bottom strip: every piece uses the same vertical gradient, so they join."""
    image = vertical_gradient(width, STRIP_HEIGHT, NAVY_LIGHT, NAVY)
    draw = ImageDraw.Draw(image)
    draw.line([(0, 0), (width - 1, 0)], fill=TEAL)
    return image


def supersampled(width, height, painter, background=(0, 0, 0, 0)):
    """Draws shapes at SS times the size and reduces them: smooth edges, no upscaling."""
    big = Image.new("RGBA", (width * SS, height * SS), background)
    painter(ImageDraw.Draw(big), SS)
    return big.resize((width, height), Image.LANCZOS)


def text_centered(draw, box, text, fnt, fill):
    left, top, right, bottom = box
    bbox = draw.textbbox((0, 0), text, font=fnt)
    w, h = bbox[2] - bbox[0], bbox[3] - bbox[1]
    draw.text((left + (right - left - w) // 2 - bbox[0], top + (bottom - top - h) // 2 - bbox[1]),
              text, font=fnt, fill=fill)


def fit_font(draw, text, max_width, size, bold=False):
    while size > 8:
        fnt = font(size, bold)
        if draw.textlength(text, font=fnt) <= max_width:
            return fnt
        size -= 1
    return font(8, bold)


# --- Shapes -------------------------------------------------------------------------

def shield(draw, s, cx, cy, r, fill, outline=None, width=0):
    pts = [(cx - r, cy - r * 0.9), (cx, cy - r * 1.15), (cx + r, cy - r * 0.9),
           (cx + r * 0.92, cy + r * 0.25), (cx, cy + r * 1.15), (cx - r * 0.92, cy + r * 0.25)]
    draw.polygon([(x * s, y * s) for x, y in pts], fill=fill, outline=outline,
                 width=int(width * s))


def usb_stick(draw, s, x, y, length, thick, body, cap, metal, led=None, angle_up=False):
    """A horizontal stick: body on the left, connector to the right, at (x, y) top-left."""
    r = thick * 0.28
    draw.rounded_rectangle([x * s, y * s, (x + length) * s, (y + thick) * s], radius=r * s,
                           fill=body)
    draw.rectangle([(x + length * 0.72) * s, y * s, (x + length) * s, (y + thick) * s], fill=cap)
    cx0 = x + length
    draw.rectangle([cx0 * s, (y + thick * 0.18) * s, (cx0 + thick * 0.75) * s,
                    (y + thick * 0.82) * s], fill=metal)
    for k in (0.32, 0.55):
        draw.rectangle([(cx0 + thick * 0.15) * s, (y + thick * k) * s,
                        (cx0 + thick * 0.30) * s, (y + thick * (k + 0.12)) * s], fill=body)
    if led:
        draw.ellipse([(x + thick * 0.35) * s, (y + thick * 0.4) * s, (x + thick * 0.55) * s,
                      (y + thick * 0.6) * s], fill=led)


def gear(draw, s, cx, cy, r, fill, hole):
    import math
    teeth = 8
    pts = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4)
        rr = r if (i % 4) in (0, 1) else r * 0.74
        pts.append(((cx + rr * math.cos(a)) * s, (cy + rr * math.sin(a)) * s))
    draw.polygon(pts, fill=fill)
    draw.ellipse([(cx - r * 0.62) * s, (cy - r * 0.62) * s, (cx + r * 0.62) * s,
                  (cy + r * 0.62) * s], fill=fill)
    draw.ellipse([(cx - r * 0.3) * s, (cy - r * 0.3) * s, (cx + r * 0.3) * s,
                  (cy + r * 0.3) * s], fill=hole)


def info_mark(draw, s, cx, cy, r, fill, mark):
    draw.ellipse([(cx - r) * s, (cy - r) * s, (cx + r) * s, (cy + r) * s], fill=fill)
    draw.ellipse([(cx - r * 0.14) * s, (cy - r * 0.6) * s, (cx + r * 0.14) * s,
                  (cy - r * 0.32) * s], fill=mark)
    draw.rounded_rectangle([(cx - r * 0.13) * s, (cy - r * 0.18) * s, (cx + r * 0.13) * s,
                            (cy + r * 0.62) * s], radius=r * 0.06 * s, fill=mark)


def refresh_arrows(draw, s, cx, cy, r, colour):
    w = r * 0.28
    box = [(cx - r) * s, (cy - r) * s, (cx + r) * s, (cy + r) * s]
    draw.arc(box, 200, 330, fill=colour, width=int(w * s))
    draw.arc(box, 20, 150, fill=colour, width=int(w * s))
    import math
    for ang, sign in ((330, 1), (150, 1)):
        a = math.radians(ang)
        tx, ty = cx + r * math.cos(a), cy + r * math.sin(a)
        # arrow head pointing along the arc direction
        d = math.radians(ang + 90)
        hx, hy = math.cos(d), math.sin(d)
        nx, ny = math.cos(a), math.sin(a)
        size = r * 0.42
        pts = [(tx + hx * size * 0.9, ty + hy * size * 0.9),
               (tx + nx * size * 0.75, ty + ny * size * 0.75),
               (tx - nx * size * 0.75, ty - ny * size * 0.75)]
        draw.polygon([(x * s, y * s) for x, y in pts], fill=colour)


# --- Program bitmaps ----------------------------------------------------------------

def strip_button(width, symbol, state):
    """A bottom-strip button: 0 normal, 1 hover, 2 pressed, 3 disabled."""
    base = strip_background(width).convert("RGBA")
    plate = {0: None, 1: NAVY_LIGHT + (255,), 2: (10, 28, 48, 255), 3: None}[state]
    ink = {0: WHITE, 1: TEAL_LIGHT, 2: TEAL_LIGHT, 3: GREY_DARK}[state]
    accent = {0: TEAL, 1: TEAL_LIGHT, 2: TEAL, 3: GREY_DARK}[state]
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
        d.rectangle([(cx - 8) * s, (STRIP_HEIGHT - 4) * s, (cx + 8) * s,
                     (STRIP_HEIGHT - 2) * s], fill=accent if state in (1, 2) else (0, 0, 0, 0))

    base.alpha_composite(supersampled(width, STRIP_HEIGHT, paint))
    return base.convert("RGB")


def left_edge():
    image = strip_background(6)
    draw = ImageDraw.Draw(image)
    draw.line([(0, 0), (0, STRIP_HEIGHT - 1)], fill=TEAL)
    return image


def separator():
    image = strip_background(17)
    draw = ImageDraw.Draw(image)
    for y in range(10, STRIP_HEIGHT - 8):
        t = 1 - abs((y - 26) / 18)
        draw.point((8, y), fill=mix(NAVY_LIGHT, TEAL_LIGHT, max(0, t) * 0.8))
    return image


def list_watermark():
    width, height = 190, 170
    def paint(d, s):
        shield(d, s, 95, 80, 62, (230, 243, 244, 255))
        shield(d, s, 95, 80, 50, (255, 255, 255, 255))
        usb_stick(d, s, 52, 66, 66, 26, (222, 238, 240, 255), (210, 232, 234, 255),
                  (226, 236, 238, 255))
        for i in range(4):
            y = 104 + i * 7
            d.rectangle([(70 + i * 3) * s, y * s, (120 - i * 3) * s, (y + 3) * s],
                        fill=(226, 240, 241, 255))
    image = Image.new("RGBA", (width, height), WHITE + (255,))
    image.alpha_composite(supersampled(width, height, paint))
    return image.convert("RGB")


# --- Icon ----------------------------------------------------------------------------

def icon(size):
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
    return supersampled(size, size, paint)


# --- Language pictures --------------------------------------------------------------

def top_banner(t):
    width, height = 972, 110
    image = horizontal_gradient(width, height, NAVY, TEAL).convert("RGBA")
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
    image.alpha_composite(supersampled(width, height, paint))
    draw = ImageDraw.Draw(image)
    draw.text((108, 22), "Vaskor Kestrune", font=font(34, True), fill=WHITE)
    draw.text((110, 68), t["tagline"], font=font(16), fill=TEAL_PALE)
    return image.convert("RGB")


def bott_logo(t):
    width = 270
    image = strip_background(width).convert("RGBA")
    def paint(d, s):
        shield(d, s, 36, 27, 14, TEAL + (255,))
        shield(d, s, 36, 27, 9, NAVY_LIGHT + (255,))
        shield(d, s, 36, 27, 5, TEAL_LIGHT + (255,))
    image.alpha_composite(supersampled(width, STRIP_HEIGHT, paint))
    draw = ImageDraw.Draw(image)
    draw.text((60, 10), "VASKOR", font=font(20, True), fill=WHITE)
    draw.text((61, 33), t["logo_sub"], font=font(9), fill=TEAL_LIGHT)
    return image.convert("RGB")


MIDDLE_WIDTH = 551  # from x = 101 du (151.5 px) to the logo at 468 du (702 px)


def bott_middle(text=None):
    image = strip_background(MIDDLE_WIDTH)
    if text:
        draw = ImageDraw.Draw(image)
        fnt = fit_font(draw, text, MIDDLE_WIDTH - 30, 14)
        draw.rectangle([12, 19, 14, 33], fill=TEAL_LIGHT)
        bbox = draw.textbbox((0, 0), text, font=fnt)
        draw.text((24, (STRIP_HEIGHT - (bbox[3] - bbox[1])) // 2 - bbox[1]), text, font=fnt,
                  fill=WHITE)
    return image


def settings_top(t):
    width, height = 707, 55
    image = horizontal_gradient(width, height, NAVY, TEAL).convert("RGBA")
    def paint(d, s):
        shield(d, s, 30, 27, 16, TEAL_LIGHT + (255,))
        shield(d, s, 30, 27, 10, NAVY + (255,))
    image.alpha_composite(supersampled(width, height, paint))
    draw = ImageDraw.Draw(image)
    draw.text((56, 8), t["settings_title"], font=font(20, True), fill=WHITE)
    draw.text((57, 33), t["settings_sub"], font=font(11), fill=TEAL_PALE)
    return image.convert("RGB")


def settings_bot(t):
    """No text: the dialogs put their buttons on this band, at different widths."""
    width, height = 707, 50
    image = vertical_gradient(width, height, WHITE, TEAL_PALE).convert("RGBA")
    def paint(d, s):
        for i in range(3):
            shield(d, s, 24 + i * 22, 24, 7, mix(TEAL_PALE, TEAL_LIGHT, 0.4 + i * 0.3) + (255,))
    image.alpha_composite(supersampled(width, height, paint))
    draw = ImageDraw.Draw(image)
    draw.line([(0, 0), (width - 1, 0)], fill=TEAL_LIGHT)
    draw.rectangle([0, height - 4, width - 1, height - 1], fill=NAVY)
    return image.convert("RGB")


def grey_usb(t):
    width, height = 300, 180
    image = Image.new("RGBA", (width, height), WHITE + (255,))
    def paint(d, s):
        usb_stick(d, s, 52, 52, 150, 56, GREY_LIGHT + (255,), (190, 195, 200, 255),
                  (222, 225, 228, 255), led=(175, 180, 185, 255))
    image.alpha_composite(supersampled(width, height, paint))
    draw = ImageDraw.Draw(image)
    fnt = fit_font(draw, t["grey"], width - 20, 12)
    text_centered(draw, (0, 130, width, 160), t["grey"], fnt, GREY_DARK)
    return image.convert("RGB")


def info_bkg():
    # Drawn at top 410 px, centred: it must hold both information texts (453..563 px).
    width, height = 720, 166
    image = Image.new("RGBA", (width, height), WHITE + (255,))
    def paint(d, s):
        d.rounded_rectangle([0, 0, width * s - 1, height * s - 1], radius=10 * s,
                            fill=PANEL_EDGE + (255,))
        d.rounded_rectangle([1 * s, 1 * s, (width - 1) * s - 1, (height - 1) * s - 1],
                            radius=9 * s, fill=PANEL + (255,))
        d.rectangle([8 * s, 14 * s, 11 * s, (height - 14) * s], fill=TEAL + (255,))
    image.alpha_composite(supersampled(width, height, paint))
    return image.convert("RGB")


# --- The animated insert-media prompt -------------------------------------------------

INSERT_W, INSERT_H = 579, 380
PORT_X = 430  # where the laptop's port opening starts


def insert_scene(t, stick_x, led=False, glow=False):
    image = Image.new("RGBA", (INSERT_W, INSERT_H), PANEL + (255,))
    def paint(d, s):
        # laptop side view on the right
        d.rounded_rectangle([PORT_X * s, 150 * s, 560 * s, 262 * s], radius=10 * s,
                            fill=NAVY_LIGHT + (255,))
        d.rounded_rectangle([(PORT_X + 4) * s, 154 * s, 556 * s, 258 * s], radius=8 * s,
                            fill=NAVY + (255,))
        d.rectangle([(PORT_X - 2) * s, 193 * s, (PORT_X + 26) * s, 219 * s],
                    fill=(6, 20, 36, 255))
        if glow:
            d.rounded_rectangle([(PORT_X - 10) * s, 183 * s, (PORT_X + 34) * s, 229 * s],
                                radius=8 * s, outline=TEAL_LIGHT + (255,), width=4 * s)
        usb_stick(d, s, stick_x, 186, 150, 40, TEAL + (255,), NAVY_LIGHT + (255,),
                  GREY_LIGHT + (255,), led=(TEAL_LIGHT + (255,)) if led else (NAVY + (255,)))
    image.alpha_composite(supersampled(INSERT_W, INSERT_H, paint))
    draw = ImageDraw.Draw(image)
    title = fit_font(draw, t["insert1"], INSERT_W - 40, 26, True)
    text_centered(draw, (0, 28, INSERT_W, 64), t["insert1"], title, NAVY)
    text_centered(draw, (0, 66, INSERT_W, 100), t["insert2"], title, NAVY)
    small = fit_font(draw, t["insert3"], INSERT_W - 40, 14)
    text_centered(draw, (0, 300, INSERT_W, 330), t["insert3"], small, GREY_DARK)
    draw.rectangle([INSERT_W // 2 - 40, 112, INSERT_W // 2 + 40, 114], fill=TEAL)
    return image.convert("RGB")


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


def insert_usb_gif(t):
    """Frame 0 is the whole scene; later frames redraw only what moves. The stick slides
    in with disposal 2 (its band is cleared before the next position), the port glow
    blinks with disposal 3 (the area under it comes back)."""
    start_x, end_x = 150, PORT_X - 148
    band = (0, 176, PORT_X + 40, 236)
    frames = []
    full = insert_scene(t, start_x)
    frames.append((full, 0, 0, 80, 1))
    steps = 6
    for i in range(1, steps + 1):
        x = start_x + (end_x - start_x) * i // steps
        scene = insert_scene(t, x)
        frames.append((scene.crop(band), band[0], band[1], 12, 2 if i < steps else 1))
    plugged = insert_scene(t, end_x, led=True)
    frames.append((plugged.crop(band), band[0], band[1], 40, 1))
    glow_box = (PORT_X - 14, 179, PORT_X + 38, 233)
    glowing = insert_scene(t, end_x, led=True, glow=True)
    dark_led = insert_scene(t, end_x, led=False)
    led_box = (end_x, 186, end_x + 40, 226)
    for _ in range(3):
        frames.append((glowing.crop(glow_box), glow_box[0], glow_box[1], 35, 3))
        frames.append((dark_led.crop(led_box), led_box[0], led_box[1], 25, 3))
    frames.append((plugged.crop(led_box), led_box[0], led_box[1], 150, 1))

    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", INSERT_W, INSERT_H, 0x80 | 0, 0, 0)
    out += bytes(PANEL) + bytes(WHITE)  # two-entry global table; index 0 is the panel
    out += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"
    out += b"\x21\xFE" + bytes([len(b"Kestrune")]) + b"Kestrune\x00"
    for image, left, top, delay, disposal in frames:
        out += gif_control(delay, disposal)
        out += gif_frame_block(image, left, top)
    out += b"\x3B"
    return bytes(out)


# --- Output ----------------------------------------------------------------------------

def save_jpg(image, path):
    image.save(path, "JPEG", quality=93, subsampling=0, optimize=True)


def save_bmp(image, path):
    image.convert("RGB").save(path, "BMP")


def main():
    bitmaps = os.path.join(ROOT, "res", "bitmaps")
    icons = os.path.join(ROOT, "res", "icons")
    os.makedirs(bitmaps, exist_ok=True)
    for number, symbol, width, state in (
            (130, "settings", 46, 0), (131, "settings", 46, 1), (143, "settings", 46, 2),
            (169, "settings", 46, 3), (134, "about", 41, 0), (135, "about", 41, 1),
            (142, "about", 41, 2), (139, "update", 44, 0), (140, "update", 44, 1),
            (141, "update", 44, 2), (168, "update", 44, 3)):
        save_bmp(strip_button(width, symbol, state), os.path.join(bitmaps, f"{number}.bmp"))
    save_bmp(left_edge(), os.path.join(bitmaps, "132.bmp"))
    save_bmp(separator(), os.path.join(bitmaps, "138.bmp"))
    save_bmp(list_watermark(), os.path.join(bitmaps, "144.bmp"))

    os.makedirs(icons, exist_ok=True)
    icon(256).save(os.path.join(icons, "kestrune.png"))
    for size in (16, 32, 48, 64, 128, 256):
        folder = os.path.join(icons, "hicolor", str(size))
        os.makedirs(folder, exist_ok=True)
        icon(size).save(os.path.join(folder, "kestrune.png"))

    for code, t in TEXTS.items():
        folder = os.path.join(ROOT, "res", "lang", code)
        os.makedirs(folder, exist_ok=True)
        save_jpg(top_banner(t), os.path.join(folder, "top.jpg"))
        save_jpg(bott_logo(t), os.path.join(folder, "bott_logo.jpg"))
        save_jpg(bott_middle(), os.path.join(folder, "bott_middle.jpg"))
        for key in ("settings", "about", "update"):
            save_jpg(bott_middle(t[key]), os.path.join(folder, f"bott_middle_{key}.jpg"))
        save_jpg(settings_top(t), os.path.join(folder, "settings_top.jpg"))
        save_jpg(settings_bot(t), os.path.join(folder, "settings_bot.jpg"))
        save_jpg(grey_usb(t), os.path.join(folder, "grey_usb.jpg"))
        save_bmp(info_bkg(), os.path.join(folder, "info_bkg.bmp"))
        with open(os.path.join(folder, "insert_usb.gif"), "wb") as f:
            f.write(insert_usb_gif(t))
    print("artwork written under", os.path.join(ROOT, "res"))


if __name__ == "__main__":
    main()
