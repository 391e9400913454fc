"""Anti-aliased drawing on top of Pillow.

Every picture is drawn on a canvas SS times larger than the final image and reduced at the end
with premultiplied alpha, so edges, arcs and text come out smooth. Coordinates given to the
canvas are final-image pixels (floats); the canvas scales them itself.
"""

import math

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

SS = 4

FONT_DIRS = (
    "/usr/share/fonts/truetype/liberation2/",
    "/usr/share/fonts/truetype/dejavu/",
)

# Captions use an Arial-metric face so that the layout's text boxes fit; the title and the logo
# use DejaVu.
FONT_FILES = {
    "caption": "LiberationSans-Regular.ttf",
    "caption-bold": "LiberationSans-Bold.ttf",
    "title": "DejaVuSans-Bold.ttf",
    "condensed-bold": "DejaVuSansCondensed-Bold.ttf",
}


def font_path(kind):
    name = FONT_FILES[kind]
    for folder in FONT_DIRS:
        try:
            with open(folder + name, "rb"):
                return folder + name
        except OSError:
            continue
    raise SystemExit(
        "font %s not found: install fonts-liberation2 and fonts-dejavu-core" % name)


_font_cache = {}


def font(kind, size_px):
    """The face of this kind at size_px pixels per em."""
    key = (kind, size_px)
    if key not in _font_cache:
        _font_cache[key] = ImageFont.truetype(font_path(kind), int(round(size_px)))
    return _font_cache[key]


def text_width(kind, size_px, text, tracking=0.0):
    """Advance width of text in pixels, at final scale."""
    f = font(kind, size_px * SS)
    return f.getlength(text) / SS + tracking * max(0, len(text) - 1)


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c0, c1, t):
    """Colour between c0 and c1 (tuples of 3 or 4 channels)."""
    if len(c0) == 3:
        c0 = tuple(c0) + (255,)
    if len(c1) == 3:
        c1 = tuple(c1) + (255,)
    return tuple(int(round(lerp(a, b, t))) for a, b in zip(c0, c1))


def rgba(c, alpha=None):
    if len(c) == 3:
        c = tuple(c) + (255,)
    if alpha is not None:
        c = c[:3] + (int(round(alpha * 255)),)
    return tuple(c)


def ramp(stops, t):
    """Colour at t in [0, 1] along a list of (position, colour) stops."""
    if t <= stops[0][0]:
        return rgba(stops[0][1])
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, 0.0 if p1 == p0 else (t - p0) / (p1 - p0))
    return rgba(stops[-1][1])


class Canvas:
    """An RGBA picture of w x h final pixels, drawn at SS times the size."""

    def __init__(self, w, h, ground=(0, 0, 0, 0)):
        self.w = w
        self.h = h
        self.size = (w * SS, h * SS)
        self.img = Image.new("RGBA", self.size, rgba(ground))

    # ---- geometry helpers -------------------------------------------------------------------

    @staticmethod
    def s(v):
        return v * SS

    def box(self, x0, y0, x1, y1):
        return [x0 * SS, y0 * SS, x1 * SS - 1, y1 * SS - 1]

    def new_mask(self):
        return Image.new("L", self.size, 0)

    # ---- masks ------------------------------------------------------------------------------

    def mask_round_rect(self, x0, y0, x1, y1, radius):
        m = self.new_mask()
        ImageDraw.Draw(m).rounded_rectangle(self.box(x0, y0, x1, y1), radius=radius * SS, fill=255)
        return m

    def mask_ellipse(self, cx, cy, r, ry=None):
        ry = r if ry is None else ry
        m = self.new_mask()
        ImageDraw.Draw(m).ellipse(self.box(cx - r, cy - ry, cx + r, cy + ry), fill=255)
        return m

    def mask_polygon(self, points):
        m = self.new_mask()
        ImageDraw.Draw(m).polygon([(x * SS, y * SS) for x, y in points], fill=255)
        return m

    def mask_arc(self, cx, cy, r, width, start_deg, end_deg):
        """A stroke along the circle of radius r; angles clockwise from twelve o'clock."""
        m = self.new_mask()
        if end_deg - start_deg <= 0.01:
            return m
        outer = r + width / 2.0
        ImageDraw.Draw(m).arc(
            self.box(cx - outer, cy - outer, cx + outer, cy + outer),
            start=start_deg - 90.0,
            end=end_deg - 90.0,
            fill=255,
            width=max(1, int(round(width * SS))),
        )
        return m

    def mask_line(self, points, width):
        m = self.new_mask()
        ImageDraw.Draw(m).line([(x * SS, y * SS) for x, y in points], fill=255,
                               width=max(1, int(round(width * SS))))
        return m

    def mask_text(self, x, y, text, kind, size_px, tracking=0.0, anchor="la"):
        """Text with its left edge at x and its ascender line at y (final pixels)."""
        m = self.new_mask()
        d = ImageDraw.Draw(m)
        f = font(kind, size_px * SS)
        if tracking == 0.0:
            d.text((x * SS, y * SS), text, font=f, fill=255, anchor=anchor)
        else:
            pos = x
            for ch in text:
                d.text((pos * SS, y * SS), ch, font=f, fill=255, anchor=anchor)
                pos += f.getlength(ch) / SS + tracking
        return m

    # ---- fills ------------------------------------------------------------------------------

    def solid(self, colour):
        return Image.new("RGBA", self.size, rgba(colour))

    def vgradient(self, y0, y1, stops):
        """Vertical gradient between rows y0 and y1 (final pixels), clamped outside."""
        col = Image.new("RGBA", (1, self.size[1]))
        span = max(1e-6, (y1 - y0) * SS)
        for row in range(self.size[1]):
            t = min(1.0, max(0.0, (row + 0.5 - y0 * SS) / span))
            col.putpixel((0, row), ramp(stops, t))
        return col.resize(self.size, Image.NEAREST)

    def radial(self, cx, cy, r, stops):
        """Radial gradient around (cx, cy); stops run from the centre (0) to radius r (1)."""
        img = Image.new("RGBA", self.size)
        x0 = max(0, int((cx - r) * SS) - 1)
        y0 = max(0, int((cy - r) * SS) - 1)
        x1 = min(self.size[0], int((cx + r) * SS) + 2)
        y1 = min(self.size[1], int((cy + r) * SS) + 2)
        last = rgba(stops[-1][1])
        img.paste(last, (0, 0) + self.size)
        px = img.load()
        lut = [ramp(stops, i / 1023.0) for i in range(1024)]
        for yy in range(y0, y1):
            dy = (yy + 0.5) / SS - cy
            for xx in range(x0, x1):
                dx = (xx + 0.5) / SS - cx
                t = min(1.0, math.hypot(dx, dy) / r)
                px[xx, yy] = lut[int(t * 1023)]
        return img

    def shaded(self, cx, cy, r, shade):
        """Fill computed per pixel: shade(dx, dy) -> colour, inside the radius r only."""
        img = Image.new("RGBA", self.size)
        px = img.load()
        x0 = max(0, int((cx - r) * SS) - 1)
        y0 = max(0, int((cy - r) * SS) - 1)
        x1 = min(self.size[0], int((cx + r) * SS) + 2)
        y1 = min(self.size[1], int((cy + r) * SS) + 2)
        for yy in range(y0, y1):
            dy = (yy + 0.5) / SS - cy
            for xx in range(x0, x1):
                dx = (xx + 0.5) / SS - cx
                if dx * dx + dy * dy <= (r + 0.5) ** 2:
                    px[xx, yy] = rgba(shade(dx, dy))
        return img

    # ---- compositing ------------------------------------------------------------------------

    def put(self, fill, mask, opacity=1.0, blur=0.0):
        """Composites fill through mask (optionally blurred, for shadows and glows)."""
        if blur > 0.0:
            mask = mask.filter(ImageFilter.GaussianBlur(blur * SS))
        if opacity < 1.0:
            mask = mask.point(lambda v: int(round(v * opacity)))
        r, g, b, a = fill.split()
        a = ImageChops.multiply(a, mask)
        self.img.alpha_composite(Image.merge("RGBA", (r, g, b, a)))

    def put_colour(self, colour, mask, opacity=1.0, blur=0.0):
        self.put(self.solid(colour), mask, opacity, blur)

    def paste_image(self, image, x, y):
        """Composites a final-scale RGBA image at (x, y)."""
        big = image.resize((image.width * SS, image.height * SS), Image.NEAREST)
        layer = Image.new("RGBA", self.size)
        layer.paste(big, (int(x * SS), int(y * SS)))
        self.img.alpha_composite(layer)

    def finish(self):
        """The final RGBA image: the drawing reduced with premultiplied alpha."""
        small = self.img.convert("RGBa").resize((self.w, self.h), Image.BOX)
        return small.convert("RGBA")


def clamp_alpha(img, limit):
    """Caps every pixel's alpha at limit (keeps shadows in a key's margins below the hit level)."""
    r, g, b, a = img.split()
    return Image.merge("RGBA", (r, g, b, a.point(lambda v: min(v, limit))))


def clear_outside(img, keep_mask):
    """Keeps alpha only where keep_mask (an L image of img's size) is set."""
    r, g, b, a = img.split()
    return Image.merge("RGBA", (r, g, b, ImageChops.multiply(a, keep_mask)))


def polar(cx, cy, r, deg):
    """Point at radius r and angle deg, clockwise from twelve o'clock."""
    rad = math.radians(deg)
    return cx + r * math.sin(rad), cy - r * math.cos(rad)
