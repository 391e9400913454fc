"""The control images: knob film strip, keys, push buttons, link key, digits, LEDs and logo."""

import math

from PIL import Image

import paint
from paint import Canvas, polar

# ---- shared look ---------------------------------------------------------------------------------

RED_LIGHT = (255, 58, 38)
OUTLINE = (14, 14, 16)

# Every key sits inside its image with transparent margins and rounded corners, so that clicks
# there fall through to whatever lies beneath (the buttons take hits only on opaque pixels).
# Keys are (x0, y0, x1, y1, corner radius) in image pixels.
TOGGLE_SIZE = (54, 22)
TOGGLE_KEY = (4, 4, 50, 18, 3.0)
NONE_SIZE = (50, 32)
NONE_KEY = (3, 4, 47, 27, 4.0)
LINK_SIZE = (30, 20)
LINK_KEY = (4, 3, 26, 17, 3.0)

# Margin pixels stay below this alpha so that the hit test (alpha above 126) lets them through.
MARGIN_ALPHA_LIMIT = 110

KEY_STYLES = {
    # raised light grey key
    "raised": dict(stops=[(0.0, (226, 227, 230)), (0.55, (196, 198, 202)), (1.0, (168, 170, 175))],
                   top_light=(255, 255, 255, 170), bottom_dark=(0, 0, 0, 60), shadow=0.55,
                   inner_shadow=0.0),
    # key held down: plain dark grey
    "held": dict(stops=[(0.0, (104, 106, 111)), (1.0, (88, 90, 95))],
                 top_light=None, bottom_dark=None, shadow=0.0, inner_shadow=0.35),
    # key latched on: dark grey, sunken
    "sunken": dict(stops=[(0.0, (58, 60, 65)), (1.0, (82, 84, 89))],
                   top_light=None, bottom_dark=None, shadow=0.0, inner_shadow=0.65,
                   bottom_light=(150, 152, 158, 110)),
    # red push key
    "red": dict(stops=[(0.0, (224, 66, 50)), (0.6, (192, 38, 28)), (1.0, (160, 28, 20))],
                top_light=(255, 190, 180, 150), bottom_dark=(0, 0, 0, 70), shadow=0.55,
                inner_shadow=0.0),
    "red-held": dict(stops=[(0.0, (132, 24, 18)), (1.0, (150, 30, 22))],
                     top_light=None, bottom_dark=None, shadow=0.0, inner_shadow=0.55),
}


def draw_key(c, key, style):
    """Draws one key body with outline, light and shadow on canvas c."""
    x0, y0, x1, y1, r = key
    st = KEY_STYLES[style]
    if st["shadow"] > 0.0:
        c.put_colour((0, 0, 0), c.mask_round_rect(x0, y0 + 1.2, x1, y1 + 1.2, r), st["shadow"], 0.8)
    # outline: the body grown by one pixel
    c.put_colour(OUTLINE, c.mask_round_rect(x0 - 0.8, y0 - 0.8, x1 + 0.8, y1 + 0.8, r + 0.8), 0.95)
    body = c.mask_round_rect(x0, y0, x1, y1, r)
    c.put(c.vgradient(y0, y1, st["stops"]), body)
    if st["inner_shadow"] > 0.0:
        # a dark band along the top edge, clipped to the body
        band = c.mask_round_rect(x0 - 2, y0 - 6, x1 + 2, y0 + 1.6, r)
        band = band.filter(paint.ImageFilter.GaussianBlur(0.9 * paint.SS))
        c.put_colour((0, 0, 0), paint.ImageChops.multiply(band, body), st["inner_shadow"])
    if st.get("top_light"):
        edge = paint.ImageChops.subtract(body, c.mask_round_rect(x0, y0 + 1.0, x1, y1 + 1.0, r))
        c.put_colour(st["top_light"][:3], edge, st["top_light"][3] / 255.0)
    if st.get("bottom_dark"):
        edge = paint.ImageChops.subtract(body, c.mask_round_rect(x0, y0 - 1.0, x1, y1 - 1.0, r))
        c.put_colour(st["bottom_dark"][:3], edge, st["bottom_dark"][3] / 255.0)
    if st.get("bottom_light"):
        edge = paint.ImageChops.subtract(body, c.mask_round_rect(x0, y0 - 0.9, x1, y1 - 0.9, r))
        c.put_colour(st["bottom_light"][:3], edge, st["bottom_light"][3] / 255.0)
    return body


def key_image(size, key, style, decorate=None):
    c = Canvas(*size)
    body = draw_key(c, key, style)
    if decorate:
        decorate(c, body)
    img = c.finish()
    return limit_margins(img, key)


def limit_margins(img, key):
    """Caps the alpha of everything outside the key's own body (shadows, anti-aliased rims)."""
    x0, y0, x1, y1, r = key
    inner = Canvas(img.width, img.height)
    keep = inner.mask_round_rect(x0, y0, x1, y1, r).resize(img.size, Image.BOX)
    capped = paint.clamp_alpha(img, MARGIN_ALPHA_LIMIT)
    return Image.composite(img, capped, keep.point(lambda v: 255 if v >= 128 else 0))


def key_label(text, colour, size_px, shift=0.0):
    def decorate(c, body):
        x0, y0, x1, y1 = body.getbbox()
        x0, y0, x1, y1 = x0 / paint.SS, y0 / paint.SS, x1 / paint.SS, y1 / paint.SS
        w = paint.text_width("caption-bold", size_px, text, tracking=0.4)
        f = paint.font("caption-bold", size_px * paint.SS)
        top, bottom = f.getbbox(text, anchor="ls")[1] / paint.SS, 0.0
        cap = -top
        tx = (x0 + x1) / 2.0 - w / 2.0
        baseline = (y0 + y1) / 2.0 + cap / 2.0 + shift
        c.put_colour(colour, c.mask_text(tx, baseline, text, "caption-bold", size_px, 0.4, anchor="ls"))
    return decorate


# ---- toggle keys, push buttons, link key ---------------------------------------------------------

def toggle_images():
    return {
        "mode_button.png": key_image(TOGGLE_SIZE, TOGGLE_KEY, "raised"),
        "mode_button1.png": key_image(TOGGLE_SIZE, TOGGLE_KEY, "held"),
        "mode_button2.png": key_image(TOGGLE_SIZE, TOGGLE_KEY, "sunken"),
    }


def push_images():
    return {
        "stop_button.png": key_image(TOGGLE_SIZE, TOGGLE_KEY, "red",
                                     key_label("STOP", (255, 255, 255), 10)),
        "stop_button1.png": key_image(TOGGLE_SIZE, TOGGLE_KEY, "red-held",
                                      key_label("STOP", (236, 206, 202), 10, shift=0.5)),
        "none_button.png": key_image(NONE_SIZE, NONE_KEY, "raised",
                                     key_label("NONE", (34, 35, 38), 10)),
        "none_button1.png": key_image(NONE_SIZE, NONE_KEY, "held",
                                      key_label("NONE", (214, 215, 218), 10, shift=0.5)),
    }


def chain(colour, glow=False):
    """A horizontal chain of two interlocked links, centred on the link key."""
    def decorate(c, body):
        x0, y0, x1, y1, _ = LINK_KEY
        cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
        mask = c.new_mask()
        for dx in (-3.2, 3.2):
            outer = c.mask_round_rect(cx + dx - 4.8, cy - 2.9, cx + dx + 4.8, cy + 2.9, 2.9)
            inner = c.mask_round_rect(cx + dx - 3.4, cy - 1.5, cx + dx + 3.4, cy + 1.5, 1.5)
            mask = paint.ImageChops.lighter(mask, paint.ImageChops.subtract(outer, inner))
        if glow:
            c.put_colour(colour, mask, 0.8, blur=1.2)
        c.put_colour(colour, mask)
    return decorate


def link_images():
    return {
        "link_button.png": key_image(LINK_SIZE, LINK_KEY, "raised", chain((48, 49, 54))),
        "link_button1.png": key_image(LINK_SIZE, LINK_KEY, "held", chain((176, 178, 184))),
        "link_button2.png": key_image(LINK_SIZE, LINK_KEY, "sunken", chain(RED_LIGHT, glow=True)),
    }


# ---- gain knob film strip ------------------------------------------------------------------------

KNOB_FRAME = 50
KNOB_FRAMES = 41
KNOB_START_DEG = -135.0
KNOB_END_DEG = 135.0
KNOB_TICKS = 11


def knob_angle(frame):
    return KNOB_START_DEG + (KNOB_END_DEG - KNOB_START_DEG) * frame / (KNOB_FRAMES - 1)


def _knob_face(dx, dy):
    """Brushed silver: a conical sheen over a soft top-lit gradient."""
    phi = math.atan2(dy, dx)
    sheen = 0.5 * math.cos(2.0 * (phi + math.radians(55.0))) + 0.18 * math.cos(6.0 * phi)
    light = 188.0 - dy * 2.6 + sheen * 30.0
    v = max(90.0, min(246.0, light))
    return (int(v), int(v + 1), int(min(255.0, v + 4)))


def knob_base():
    c = Canvas(KNOB_FRAME, KNOB_FRAME)
    cx = cy = KNOB_FRAME / 2.0
    # scale: ticks on the outside, a dark groove for the light arc
    for i in range(KNOB_TICKS):
        deg = KNOB_START_DEG + (KNOB_END_DEG - KNOB_START_DEG) * i / (KNOB_TICKS - 1)
        long_tick = i in (0, KNOB_TICKS // 2, KNOB_TICKS - 1)
        inner = 22.0 if long_tick else 22.6
        c.put_colour((176, 178, 184) if long_tick else (128, 130, 136),
                     c.mask_line([polar(cx, cy, inner, deg), polar(cx, cy, 24.6, deg)],
                                 1.1 if long_tick else 0.9))
    c.put_colour((8, 8, 10), c.mask_arc(cx, cy, 19.8, 2.6, KNOB_START_DEG, KNOB_END_DEG), 0.95)
    # cast shadow, skirt, face
    c.put_colour((0, 0, 0), c.mask_ellipse(cx, cy + 1.6, 16.4), 0.75, blur=1.4)
    c.put_colour(OUTLINE, c.mask_ellipse(cx, cy, 16.4))
    c.put(c.vgradient(cy - 16, cy + 16, [(0.0, (214, 216, 220)), (0.5, (128, 130, 135)),
                                        (1.0, (54, 55, 59))]), c.mask_ellipse(cx, cy, 15.6))
    c.put_colour((20, 20, 22), c.mask_ellipse(cx, cy, 13.6), 0.8)
    c.put(c.shaded(cx, cy, 13.0, _knob_face), c.mask_ellipse(cx, cy, 13.0))
    # a thin light rim on the upper edge of the face
    rim = paint.ImageChops.subtract(c.mask_ellipse(cx, cy, 13.0), c.mask_ellipse(cx, cy + 0.8, 13.0))
    c.put_colour((255, 255, 255), rim, 0.55)
    return c


def knob_frame(base, frame):
    c = Canvas(KNOB_FRAME, KNOB_FRAME)
    c.img = base.img.copy()
    cx = cy = KNOB_FRAME / 2.0
    deg = knob_angle(frame)
    arc = c.mask_arc(cx, cy, 19.8, 2.0, KNOB_START_DEG, deg)
    c.put_colour(RED_LIGHT, arc, 0.7, blur=1.3)
    c.put_colour((255, 112, 88), arc)
    # pointer dot, engraved: a light lower rim under a dark dot
    px, py = polar(cx, cy, 9.2, deg)
    c.put_colour((255, 255, 255), c.mask_ellipse(px, py + 0.5, 2.3), 0.45)
    c.put_colour((26, 26, 29), c.mask_ellipse(px, py, 2.2))
    return c.finish()


def knob_strip():
    base = knob_base()
    strip = Image.new("RGBA", (KNOB_FRAME, KNOB_FRAME * KNOB_FRAMES))
    for i in range(KNOB_FRAMES):
        strip.paste(knob_frame(base, i), (0, i * KNOB_FRAME))
    return {"rotator_stitched.png": strip}


# ---- seven-segment digits ------------------------------------------------------------------------

DIGIT_SIZE = (18, 27)
SEGMENTS_OF = {
    0: "abcdef", 1: "bc", 2: "abdeg", 3: "abcdg", 4: "bcfg",
    5: "acdfg", 6: "acdefg", 7: "abc", 8: "abcdefg", 9: "abcdfg",
}
_DL, _DR, _DT, _DM, _DB = 3.6, 14.4, 2.6, 13.5, 24.4  # segment centre lines
_TH = 2.7  # segment thickness
_SLANT = 0.09  # italic slant: x shift per pixel above the middle


def _slant(x, y):
    return x + (_DM - y) * _SLANT, y


def _hseg(y):
    h = _TH / 2.0
    a, b = _DL + 1.0, _DR - 1.0
    return [(a - h, y), (a, y - h), (b, y - h), (b + h, y), (b, y + h), (a, y + h)]


def _vseg(x, ya, yb):
    h = _TH / 2.0
    a, b = ya + 1.0, yb - 1.0
    return [(x, a - h), (x + h, a), (x + h, b), (x, b + h), (x - h, b), (x - h, a)]


SEGMENT_SHAPES = {
    "a": _hseg(_DT), "g": _hseg(_DM), "d": _hseg(_DB),
    "f": _vseg(_DL, _DT, _DM), "b": _vseg(_DR, _DT, _DM),
    "e": _vseg(_DL, _DM, _DB), "c": _vseg(_DR, _DM, _DB),
}


def segment_centre(seg):
    pts = [_slant(x, y) for x, y in SEGMENT_SHAPES[seg]]
    return (sum(p[0] for p in pts) / len(pts), sum(p[1] for p in pts) / len(pts))


def digit_image(n):
    c = Canvas(*DIGIT_SIZE)
    lit = c.new_mask()
    dark = c.new_mask()
    for seg, shape in SEGMENT_SHAPES.items():
        m = c.mask_polygon([_slant(x, y) for x, y in shape])
        if seg in SEGMENTS_OF[n]:
            lit = paint.ImageChops.lighter(lit, m)
        else:
            dark = paint.ImageChops.lighter(dark, m)
    c.put_colour((96, 18, 14), dark, 0.42)
    c.put_colour(RED_LIGHT, lit, 0.55, blur=1.1)
    c.put_colour((255, 64, 44), lit)
    return c.finish()


def digit_images():
    out = {"led_digits.png": digit_image(0)}
    for n in range(1, 10):
        out["led_digits%d.png" % n] = digit_image(n)
    return out


# ---- LEDs ----------------------------------------------------------------------------------------

LED_SIZE = 64


def led_image(lit):
    c = Canvas(LED_SIZE, LED_SIZE)
    cx = cy = LED_SIZE / 2.0
    if lit:
        c.put_colour((255, 30, 16), c.mask_ellipse(cx, cy, 16.0), 1.0, blur=6.5)
    else:
        c.put_colour((0, 0, 0), c.mask_ellipse(cx, cy + 1.5, 15.5), 0.6, blur=1.5)
    # metal bezel
    c.put(c.vgradient(cy - 15, cy + 15, [(0.0, (30, 30, 33)), (1.0, (118, 120, 126))]),
          c.mask_ellipse(cx, cy, 15.2))
    c.put_colour((6, 6, 7), c.mask_ellipse(cx, cy, 12.9))
    if lit:
        ball = [(0.0, (255, 226, 210)), (0.25, (255, 120, 96)), (0.65, (236, 34, 20)),
                (1.0, (150, 8, 4))]
    else:
        ball = [(0.0, (78, 78, 82)), (0.45, (30, 30, 33)), (1.0, (6, 6, 7))]
    c.put(c.radial(cx - 2.5, cy - 3.0, 15.0, ball), c.mask_ellipse(cx, cy, 12.2))
    c.put_colour((255, 255, 255), c.mask_ellipse(cx - 3.8, cy - 5.0, 4.6, 2.8),
                 0.55 if lit else 0.22, blur=1.0)
    return c.finish()


def led_images():
    return {"led_red.png": led_image(True), "led_red1.png": led_image(False)}


# ---- maker's logo --------------------------------------------------------------------------------

LOGO_SIZE = (125, 14)
LOGO_TEXT = "TONEWHARF"


def logo_image():
    w, h = LOGO_SIZE
    size = 14
    tracking = (w - 1 - paint.text_width("title", size, LOGO_TEXT)) / (len(LOGO_TEXT) - 1)
    c = Canvas(w, h)
    f = paint.font("title", size * paint.SS)
    cap = -f.getbbox("T", anchor="ls")[1] / paint.SS
    baseline = (h + cap) / 2.0
    c.put_colour((255, 255, 255), c.mask_text(0.5, baseline, LOGO_TEXT, "title", size, tracking,
                                              anchor="ls"))
    return {"plugin-logo-white.png": c.finish()}


def all_control_images():
    images = {}
    for part in (toggle_images(), push_images(), link_images(), knob_strip(), digit_images(),
                 led_images(), logo_image()):
        images.update(part)
    return images
