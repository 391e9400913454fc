"""The three views' layouts: their design objects, the ".skin" texts and the backgrounds.

A layout is a list of objects in the design tool's order. Groups and "Image" objects only mark
places (the controls' boxes); rectangles, rounded rectangles and texts make up the background.
The same list writes the ".skin" text (which places the controls) and paints the background, so
the two can never disagree.
"""

import paint
from paint import Canvas

VIEW_HEIGHT = 165
MASTER_WIDTH = 770
SEND_WIDTH = 610

# ---- colours -------------------------------------------------------------------------------------

GROUND_TOP = (46, 47, 52)
GROUND_BOTTOM = (30, 31, 35)
FACE_TOP = (29, 30, 34)
FACE_BOTTOM = (21, 22, 25)
FACE_STROKE = (74, 76, 82)
PANEL_TOP = (54, 56, 61)
PANEL_BOTTOM = (38, 39, 43)
PANEL_STROKE = (10, 10, 12)
HEADER = (255, 255, 255)
CAPTION = (236, 236, 240)
SMALL_CAPTION = (196, 198, 204)
WINDOW = (8, 8, 9)
WINDOW_STROKE = (78, 80, 86)
DISPLAY = (15, 15, 17)
GAIN_BOX = (40, 40, 40)
GAIN_BOX_STROKE = (60, 60, 60)

PALETTE = [
    (0, 0, 0), (255, 255, 255), GROUND_TOP, GROUND_BOTTOM, FACE_TOP, FACE_BOTTOM, FACE_STROKE,
    PANEL_TOP, PANEL_BOTTOM, PANEL_STROKE, HEADER, CAPTION, SMALL_CAPTION, WINDOW, WINDOW_STROKE,
    DISPLAY, GAIN_BOX, GAIN_BOX_STROKE, (255, 58, 38), (200, 200, 200), (226, 227, 230),
    (96, 98, 103), (50, 52, 56), (128, 130, 136),
]


class Obj:
    """One object of a layout; box is (x0, y0, x1, y1) in view pixels."""

    def __init__(self, name, kind, box, parent="", **style):
        self.name = name
        self.kind = kind
        self.box = tuple(float(v) for v in box)
        self.parent = parent
        self.style = style

    def get(self, key, default=None):
        return self.style.get(key, default)


def text_obj(text, x, y, size, parent, bold=True, colour=CAPTION, font_name="Arial", visible=True):
    kind = "title" if font_name != "Arial" else ("caption-bold" if bold else "caption")
    w = paint.text_width(kind, size, text)
    return Obj(text, "Text", (x, y, x + w, y + round(size * 1.15, 1)), parent, text=text,
               font_name=font_name, size=size, bold=bold, text_colour=colour, visible=visible)


def placed(name, box, parent, image):
    """A control's place: a group with one "Image" child of the same box."""
    return [Obj(name, "Group", box, parent), Obj("Image", "Image", box, name, image_file=image)]


def panel(name, box):
    x0, y0, x1, y1 = box
    inset = 2.5
    return [
        Obj(name, "Group", box),
        Obj("Panel", "RoundRect", (x0 + inset, y0 + inset, x1 - inset, y1 - inset), name, radius=6,
            fill=PANEL_TOP, fill2=PANEL_BOTTOM, stroke=PANEL_STROKE, stroke_width=1, shadow=True),
    ]


def background(width):
    return [
        Obj("Background", "Group", (0, 0, width, VIEW_HEIGHT)),
        Obj("Rectangle", "Rectangle", (0, 0, width, VIEW_HEIGHT), "Background", fill=GROUND_TOP,
            fill2=GROUND_BOTTOM),
        Obj("Frame", "RoundRect", (7, 7, width - 7, 160), "Background", radius=9, fill=FACE_TOP,
            fill2=FACE_BOTTOM, stroke=FACE_STROKE, stroke_width=1),
        text_obj("SIGNFLUX", 18, 15, 17, "Background", colour=HEADER, font_name="DejaVu Sans"),
    ]


def routing():
    objs = panel("Routing", (15, 45, 195, 150))
    objs.append(text_obj("ROUTING", 61, 55, 16, "Routing", colour=HEADER))
    for caption, name, y in (("SEND ON", "ui_routing_send", 81), ("SEND OFF", "ui_routing_off", 97),
                             ("MASTER", "ui_routing_recv", 113)):
        objs.append(text_obj(caption, 95, y + 2, 13, "Routing"))
        objs += placed(name, (42, y, 96, y + 22), "Routing", "toggle_off.png")
    return objs


def logo(x):
    return placed("ui_logo", (x, 132, x + 125, 146), "", "logo.png")


def master_layout():
    objs = background(MASTER_WIDTH) + routing()
    objs += panel("Master", (195, 15, 610, 150))
    objs += [
        text_obj("MASTER", 363, 23, 16, "Master", colour=HEADER),
        text_obj("SENDS", 222.5, 42, 13, "Master"),
        Obj("Window", "RoundRect", (223, 64, 271, 104), "Master", radius=4, fill=WINDOW,
            stroke=WINDOW_STROKE, stroke_width=1, inner_shadow=True),
    ]
    objs += placed("ui_send_digit1", (228, 71, 246, 98), "Master", "led_digits0.png")
    objs += placed("ui_send_digit0", (248, 71, 266, 98), "Master", "led_digits0.png")
    objs += placed("ui_noSend", (222, 107, 272, 139), "Master", "nosend_up.png")
    objs += [
        text_obj("PROCESSING", 293.5, 55, 13, "Master"),
        text_obj("LF-BOOST", 397, 55, 13, "Master"),
        text_obj("MAXIMIZE", 502, 55, 13, "Master"),
    ]
    objs += placed("ui_algToggle", (313, 75, 367, 97), "Master", "toggle_off.png")
    objs.append(text_obj("FAST (APPROX)", 298.5, 100, 10, "Master", colour=SMALL_CAPTION))
    objs += placed("ui_filter", (405, 75, 459, 97), "Master", "toggle_off.png")
    objs += placed("ui_startOpt_led", (484, 64, 524, 104), "Master", "led_red_off.png")
    objs += placed("ui_startOpt", (520, 75, 574, 97), "Master", "toggle_off.png")
    objs += [
        Obj("ui_optProgress", "Group", (471, 96, 601, 128), "Master"),
        Obj("Rectangle", "RoundRect", (471, 96, 601, 128), "ui_optProgress", radius=4,
            fill=DISPLAY, stroke=WINDOW_STROKE, stroke_width=1, inner_shadow=True),
        text_obj("DONE [+3.1 dB]", 490, 97, 13, "ui_optProgress", bold=False,
                 colour=(200, 200, 200), visible=False),
    ]
    objs += panel("Compare", (610, 15, 755, 120))
    objs.append(text_obj("COMPARE", 637, 23, 16, "Compare", colour=HEADER))
    objs += placed("ui_bypassAll", (620, 62, 674, 84), "Compare", "toggle_off.png")
    objs += [
        text_obj("BYPASS", 672.5, 64, 13, "Compare"),
        text_obj("\u00d8", 730, 63, 14, "Compare"),
    ]
    objs += logo(620)
    return objs


METER = (("ui_signal60", "-60", 227, 219), ("ui_signal32", "-32", 251, 243),
         ("ui_signal22", "-22", 275, 267), ("ui_signal16", "-16", 299, 291),
         ("ui_signal10", "-10", 323, 315), ("ui_signal6", "-6", 351, 339),
         ("ui_signal3", "-3", 375, 363), ("ui_signal0", "0", 402, 387))


def send_layout(stereo):
    objs = background(SEND_WIDTH) + routing()
    objs += panel("Signal", (195, 15, 450, 150))
    objs += [
        text_obj("SIGNAL", 292, 23, 16, "Signal", colour=HEADER),
        text_obj("GAIN", 257.5, 109, 13, "Signal"),
    ]
    objs += placed("ui_gain", (297, 92, 347, 142), "Signal", "rotator_stitched.png")
    objs += [
        Obj("ui_gain_text", "Group", (351, 108, 405, 123), "Signal"),
        Obj("Rectangle", "Rectangle", (351, 108, 405, 123), "ui_gain_text", fill=GAIN_BOX,
            stroke=GAIN_BOX_STROKE, stroke_width=1),
        text_obj("3.1 dB", 372, 109, 12, "ui_gain_text", bold=False, colour=(255, 255, 255),
                 visible=False),
    ]
    for _, label, x, _ in METER:
        objs.append(text_obj(label, x, 50, 11, "Signal", colour=SMALL_CAPTION))
    for name, _, _, x in METER:
        objs += placed(name, (x, 51, x + 40, 91), "Signal", "led_red_off.png")
    if stereo:
        objs += panel("Phase", (450, 15, 595, 120))
        objs.append(text_obj("\u00d8", 514, 23, 16, "Phase", colour=HEADER))
        objs += placed("ui_polarityL_led", (473, 39, 513, 79), "Phase", "led_red_off.png")
        objs += placed("ui_polarityR_led", (534, 39, 574, 79), "Phase", "led_red_off.png")
        objs += placed("ui_polarityL", (468, 70, 522, 92), "Phase", "toggle_off.png")
        objs += placed("ui_polarityR", (529, 70, 583, 92), "Phase", "toggle_off.png")
        objs += [
            text_obj("L", 488.5, 96, 13, "Phase"),
            text_obj("R", 547.5, 96, 13, "Phase"),
            Obj("Dash", "Rectangle", (501, 103, 512, 104), "Phase", fill=SMALL_CAPTION),
            Obj("Dash", "Rectangle", (536, 103, 547, 104), "Phase", fill=SMALL_CAPTION),
        ]
        objs += placed("ui_linkLR", (510, 95, 540, 115), "Phase", "linklr_off_up.png")
    else:
        objs += panel("Polarity", (450, 15, 595, 120))
        objs.append(text_obj("\u00d8", 514, 23, 16, "Polarity", colour=HEADER))
        objs += placed("ui_polarityL_led", (503, 39, 543, 79), "Polarity", "led_red_off.png")
        objs += placed("ui_polarityL", (498, 70, 552, 92), "Polarity", "toggle_off.png")
    objs += logo(460)
    return objs


# file name (in resources/) -> (layout objects, view width)
def layouts():
    return {
        "masterpanel": (master_layout(), MASTER_WIDTH),
        "signalpanel": (send_layout(True), SEND_WIDTH),
        "signalpanel_mono": (send_layout(False), SEND_WIDTH),
    }


# ---- the ".skin" text ----------------------------------------------------------------------------

def _num(v):
    return "%.6f" % v


def _rgb(prefix, colour):
    colour = colour or (0, 0, 0)
    return [(prefix + "R", colour[0]), (prefix + "G", colour[1]), (prefix + "B", colour[2])]


def object_keys(o):
    fill = o.get("fill")
    fill2 = o.get("fill2")
    text = o.get("text", "")
    return ([
        ("Name", o.name), ("Parent", o.parent), ("Type", o.kind),
        ("Visible", 1 if o.get("visible", True) else 0), ("Locked", 0),
        ("X0", _num(o.box[0])), ("Y0", _num(o.box[1])), ("X1", _num(o.box[2])),
        ("Y1", _num(o.box[3])), ("Rotation", _num(0)), ("Opacity", 100),
        ("Radius", _num(o.get("radius", 0))),
        ("FillType", 0 if fill is None else (2 if fill2 else 1)),
    ] + _rgb("Fill", fill) + _rgb("Fill2", fill2 or fill) + [
        ("StrokeWidth", _num(o.get("stroke_width", 0)))
    ] + _rgb("Stroke", o.get("stroke")) + [
        ("Text", text), ("FontName", o.get("font_name", "")), ("FontSize", o.get("size", 0)),
        ("FontBold", 1 if o.get("bold") else 0),
    ] + _rgb("Text", o.get("text_colour")) + [
        ("Align", 0), ("ImageFile", o.get("image_file", "")),
        ("ShadowOn", 1 if o.get("shadow") else 0), ("ShadowOffset", _num(1.5 if o.get("shadow") else 0)),
        ("ShadowBlur", _num(2 if o.get("shadow") else 0)),
        ("InnerShadow", 1 if o.get("inner_shadow") else 0),
    ])


def skin_text(objs, width):
    lines = ["\ufeff", "[Skin]", "Version=999", "Width=%d" % width, "Height=%d" % VIEW_HEIGHT,
             "FramesX=1", "FramesY=1", "BgTransparent=1", "BackgroundR=255", "BackgroundG=255",
             "BackgroundB=255", "WorkspaceR=100", "WorkspaceG=100", "WorkspaceB=100",
             "ObjNum=%d" % len(objs), "[Pal]"]
    for i, (r, g, b) in enumerate(PALETTE):
        lines.append("Col%d=%d" % (i, (r << 16) | (g << 8) | b))
    for i, o in enumerate(objs, start=1):
        lines.append("[Obj%05d]" % i)
        lines += ["%s=%s" % kv for kv in object_keys(o)]
    lines += ["[Thumbnail]", "", "", "[End]", ""]
    return "\n".join(lines).encode("utf-8")


# ---- the background picture ----------------------------------------------------------------------

def paint_background(objs, width):
    c = Canvas(width, VIEW_HEIGHT, ground=(0, 0, 0, 255))
    for o in objs:
        if not o.get("visible", True) or o.kind in ("Group", "Image"):
            continue
        x0, y0, x1, y1 = o.box
        if o.kind in ("Rectangle", "RoundRect"):
            r = o.get("radius", 0.0)
            if o.get("shadow"):
                c.put_colour((0, 0, 0), c.mask_round_rect(x0, y0 + 1.5, x1, y1 + 1.5, r), 0.7, blur=2.0)
            sw = o.get("stroke_width", 0)
            if sw:
                c.put_colour(o.get("stroke"), c.mask_round_rect(x0, y0, x1, y1, r))
            body = c.mask_round_rect(x0 + sw, y0 + sw, x1 - sw, y1 - sw, max(0.0, r - sw))
            fill, fill2 = o.get("fill"), o.get("fill2")
            if fill2:
                c.put(c.vgradient(y0, y1, [(0.0, fill), (1.0, fill2)]), body)
            else:
                c.put_colour(fill, body)
            if o.get("inner_shadow"):
                band = c.mask_round_rect(x0 - 3, y0 - 8, x1 + 3, y0 + sw + 2.0, r)
                band = band.filter(paint.ImageFilter.GaussianBlur(1.2 * paint.SS))
                c.put_colour((0, 0, 0), paint.ImageChops.multiply(band, body), 0.8)
            if o.get("shadow"):
                # a faint light edge along the top of a raised panel
                edge = paint.ImageChops.subtract(body, c.mask_round_rect(x0 + sw, y0 + sw + 1, x1 - sw,
                                                                         y1 - sw + 1, max(0.0, r - sw)))
                c.put_colour((255, 255, 255), edge, 0.09)
        elif o.kind == "Text":
            kind = "title" if o.get("font_name") != "Arial" else (
                "caption-bold" if o.get("bold") else "caption")
            c.put_colour(o.get("text_colour"), c.mask_text(x0, y0, o.get("text"), kind, o.get("size")))
    return c.finish()
