"""Preview pictures: each view's background with its controls drawn at their places, in a few
typical states, the way the editor shows them (LEDs scaled into their 40 x 40 boxes, labels with
their colours). They are for looking at the artwork, not for the build."""

from PIL import Image, ImageDraw

import controls
import paint


def _boxes(objs):
    return {o.name: o.box for o in objs if o.name.startswith("ui_") and o.kind == "Group"}


def _scaled(img, w, h):
    if img.size == (w, h):
        return img
    return img.convert("RGBa").resize((w, h), Image.LANCZOS).convert("RGBA")


def _frame(strip, index):
    f = controls.KNOB_FRAME
    return strip.crop((0, index * f, f, (index + 1) * f))


def _label(view, box, lines, colour, size, align, fill=None, outline=None):
    x0, y0, x1, y1 = [int(v) for v in box]
    d = ImageDraw.Draw(view)
    if fill:
        d.rectangle([x0, y0, x1 - 1, y1 - 1], fill=fill)
    if outline:
        d.rectangle([x0, y0, x1 - 1, y1 - 1], outline=outline)
    f = paint.font("caption", size)
    line_h = size * 1.15
    top = y0 + 1 if align == "top" else y0 + (y1 - y0 - line_h * len(lines)) / 2.0
    for i, text in enumerate(lines):
        w = f.getlength(text)
        x = (x0 + x1) / 2.0 - w / 2.0 if align == "top" else x1 - 5 - w
        d.text((x, top + i * line_h), text, font=f, fill=colour, anchor="la")


def compose(background, objs, images, state):
    """Draws the controls named in state over a copy of the background.

    state maps a control name to the image file to show, or for the knob to its frame number.
    """
    view = background.copy()
    boxes = _boxes(objs)
    for name, what in state.items():
        if name in ("ui_optProgress", "ui_gain_text"):
            continue
        box = boxes["ui_startOpt" if name == "ui_stopOpt" else name]
        x0, y0, x1, y1 = box
        if name == "ui_gain":
            img = _frame(images["rotator_stitched.png"], what)
        else:
            img = _scaled(images[what], int(x1 - x0), int(y1 - y0))
        view.alpha_composite(img, (int(x0), int(y0)))
    if "ui_optProgress" in state:
        _label(view, boxes["ui_optProgress"], state["ui_optProgress"], (200, 200, 200), 13.5, "top")
    if "ui_gain_text" in state:
        _label(view, boxes["ui_gain_text"], [state["ui_gain_text"]], (255, 255, 255), 12, "right",
               fill=(40, 40, 40), outline=(60, 60, 60))
    return view


OFF, HELD, ON = "mode_button.png", "mode_button1.png", "mode_button2.png"
LED_OFF, LED_ON = "led_red1.png", "led_red.png"


def _digits(n):
    name = lambda d: "led_digits.png" if d == 0 else "led_digits%d.png" % d
    return {"ui_send_digit1": name(n // 10), "ui_send_digit0": name(n % 10)}


def _meter(lit):
    names = ["ui_signal60", "ui_signal32", "ui_signal22", "ui_signal16", "ui_signal10",
             "ui_signal6", "ui_signal3", "ui_signal0"]
    return {n: LED_ON if i < lit else LED_OFF for i, n in enumerate(names)}


def states():
    """(layout, preview name, state) for each preview."""
    master_done = dict(ui_routing_send=OFF, ui_routing_off=OFF, ui_routing_recv=ON,
                       ui_algToggle=OFF, ui_filter=ON, ui_startOpt=OFF, ui_startOpt_led=LED_OFF,
                       ui_noSend="none_button.png", ui_bypassAll=OFF, ui_logo="plugin-logo-white.png",
                       ui_optProgress=["Done", "(3 flips, +2.5 dB)"], **_digits(3))
    master_running = dict(master_done, ui_algToggle=ON, ui_filter=OFF, ui_startOpt_led=LED_ON,
                          ui_bypassAll=HELD, ui_noSend="none_button1.png",
                          ui_optProgress=["42.0%, 1:05"], **_digits(12))
    del master_running["ui_startOpt"]
    master_running["ui_stopOpt"] = "stop_button.png"
    send = dict(ui_routing_send=ON, ui_routing_off=OFF, ui_routing_recv=OFF,
                ui_logo="plugin-logo-white.png", ui_gain=23, ui_gain_text="3.0 dB",
                ui_polarityL=ON, ui_polarityL_led=LED_ON, ui_polarityR=OFF, ui_polarityR_led=LED_OFF,
                ui_linkLR="link_button.png", **_meter(5))
    send_linked = dict(send, ui_linkLR="link_button2.png", ui_polarityR=ON, ui_polarityR_led=LED_ON,
                       ui_gain=0, ui_gain_text="-20.0 dB", **_meter(8))
    mono = dict(ui_routing_send=OFF, ui_routing_off=ON, ui_routing_recv=OFF,
                ui_logo="plugin-logo-white.png", ui_gain=40, ui_gain_text="20.0 dB",
                ui_polarityL=OFF, ui_polarityL_led=LED_OFF, **_meter(2))
    return [
        ("masterpanel", "master_done", master_done),
        ("masterpanel", "master_running", master_running),
        ("signalpanel", "send_stereo", send),
        ("signalpanel", "send_stereo_linked", send_linked),
        ("signalpanel_mono", "send_mono", mono),
    ]


def enlarge(img, factor):
    return img.resize((img.width * factor, img.height * factor), Image.NEAREST)


def sheet(images):
    """All control images on one dark sheet at their own size, one row per family."""
    strip = images["rotator_stitched.png"]
    rows = [
        ["mode_button.png", "mode_button1.png", "mode_button2.png", "stop_button.png",
         "stop_button1.png", "none_button.png", "none_button1.png", "link_button.png",
         "link_button1.png", "link_button2.png"],
        ["led_digits.png"] + ["led_digits%d.png" % n for n in range(1, 10)]
        + ["led_red.png", "led_red1.png", "plugin-logo-white.png"],
        [_frame(strip, i) for i in (0, 1, 10, 20, 30, 39, 40)],
    ]
    rows = [[images[n] if isinstance(n, str) else n for n in row] for row in rows]
    w = max(8 + sum(img.width + 8 for img in row) for row in rows)
    h = 8 + sum(max(img.height for img in row) + 8 for row in rows)
    out = Image.new("RGBA", (w, h), (40, 41, 46, 255))
    y = 8
    for row in rows:
        x = 8
        for img in row:
            out.alpha_composite(img, (x, y))
            x += img.width + 8
        y += max(img.height for img in row) + 8
    return out
