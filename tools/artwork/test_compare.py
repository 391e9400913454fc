#!/usr/bin/python3
"""The artwork comparison passes what another Pillow or FreeType may draw differently (edges a
quarter pixel apart, another resampling filter) and fails a caption or control one pixel off or
missing. Run: python3 tools/artwork/test_compare.py"""

import copy
import os
import sys
import unittest

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402
import controls  # noqa: E402
import layouts  # noqa: E402
import paint  # noqa: E402


# One pixel in each direction.
STEPS = ((1, 0), (0, 1), (-1, 0), (0, -1))


def draw_all():
    images = controls.all_control_images()
    for name, (objs, width) in layouts.layouts().items():
        images[name + ".png"] = layouts.paint_background(objs, width)
    return images


def shifted(img, dx, dy):
    out = Image.new("RGBA", img.size)
    out.paste(img, (dx, dy))
    return out


def caption(text):
    return lambda o: o.kind == "Text" and o.get("text") == text


def changed(objs, pick, dx=0.0, dy=0.0, grow=0.0):
    """The layout with the objects that pick chooses moved by (dx, dy) and widened by grow."""
    out = []
    for o in objs:
        if pick(o):
            o = copy.copy(o)
            x0, y0, x1, y1 = o.box
            o.box = (x0 + dx, y0 + dy, x1 + dx + grow, y1 + dy)
        out.append(o)
    return out


def without(objs, pick):
    return [o for o in objs if not pick(o)]


class ArtworkComparison(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.images = draw_all()

    def assert_all_match(self, others):
        for name, img in sorted(self.images.items()):
            self.assertTrue(compare.images_match(img, others[name]), name)

    def test_edges_drawn_a_little_apart_pass(self):
        # Glyphs placed a quarter pixel off along both axes (another hinting or advance rounding),
        # and every picture reduced with another filter (another resampling).
        mask_text = paint.Canvas.mask_text
        finish = paint.Canvas.finish
        try:
            for dx, dy in ((0.25, -0.25), (-0.25, 0.25)):
                paint.Canvas.mask_text = (
                    lambda c, x, y, *rest, dx=dx, dy=dy, **kw: mask_text(c, x + dx, y + dy, *rest, **kw))
                self.assert_all_match(draw_all())
            paint.Canvas.mask_text = mask_text
            paint.Canvas.finish = (
                lambda c: c.img.convert("RGBa").resize((c.w, c.h), Image.BILINEAR).convert("RGBA"))
            self.assert_all_match(draw_all())
        finally:
            paint.Canvas.mask_text = mask_text
            paint.Canvas.finish = finish

    def test_a_control_one_pixel_off_or_missing_fails(self):
        for name, img in sorted(self.images.items()):
            if "panel" in name:
                continue
            for dx, dy in STEPS:
                self.assertFalse(compare.images_match(img, shifted(img, dx, dy)), (name, dx, dy))
            self.assertFalse(compare.images_match(img, Image.new("RGBA", img.size)), name)
        # The progress display, a control's part of the master background.
        objs, width = layouts.layouts()["masterpanel"]
        display = lambda o: o.kind == "RoundRect" and o.parent == "ui_optProgress"  # noqa: E731
        self.assertEqual(len(objs) - len(without(objs, display)), 1)
        self.assertFalse(compare.images_match(self.images["masterpanel.png"],
                                              layouts.paint_background(without(objs, display), width)))

    def test_a_caption_one_pixel_off_or_missing_fails(self):
        # The smallest captions: one digit of the meter scale, one letter, the polarity sign.
        for view, text in (("signalpanel", "0"), ("signalpanel", "L"), ("masterpanel", "\u00d8")):
            objs, width = layouts.layouts()[view]
            drawn = self.images[view + ".png"]
            others = [without(objs, caption(text))]
            others += [changed(objs, caption(text), dx, dy) for dx, dy in STEPS]
            for other in others:
                self.assertFalse(compare.images_match(drawn, layouts.paint_background(other, width)),
                                 (view, text))

    def test_layout_texts_tolerate_only_text_widths(self):
        objs, width = layouts.layouts()["masterpanel"]
        text = layouts.skin_text(objs, width)
        texts = lambda o: o.kind == "Text"  # noqa: E731
        wider = changed(objs, texts, grow=0.3)
        self.assertTrue(compare.skins_match(text, layouts.skin_text(wider, width)))
        for other in (changed(objs, texts, grow=0.6), changed(objs, caption("BYPASS"), dx=1.0),
                      without(objs, caption("BYPASS")),
                      changed(objs, lambda o: o.name == "ui_bypassAll", grow=0.3)):
            self.assertFalse(compare.skins_match(text, layouts.skin_text(other, width)))


if __name__ == "__main__":
    unittest.main()
