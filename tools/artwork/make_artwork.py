#!/usr/bin/python3
"""Draws every image of the plug-in's screens and writes the three ".skin" layouts.

    tools/artwork/make_artwork.py [--resources DIR] [--preview DIR] [--check]

Writes the 27 PNG images and 3 layout texts into DIR (default: the repository's resources/),
and, with --preview, pictures of each view with its controls placed, enlarged copies and a
sheet of all control images into the preview folder. With --check it writes nothing and fails
when the files in DIR show something other than what it would draw (images and layouts compared
as compare.py says: tolerant of how the installed Pillow and FreeType rasterise edges, not of a
moved or missing caption, control or panel). Needs Debian's python3-pil,
fonts-dejavu-core and fonts-liberation2. The output depends only on these inputs, so running it
twice gives the same files.
"""

import argparse
import os
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402
import controls  # noqa: E402
import layouts  # noqa: E402
import preview  # noqa: E402

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def save_png(img, path):
    assert img.mode == "RGBA"
    img.save(path, format="PNG", optimize=True)


def check(resources, images, skins):
    """Lists every file in resources that differs from the drawing; returns their number."""
    bad = 0
    for name, img in sorted(images.items()):
        path = os.path.join(resources, name)
        try:
            with Image.open(path) as old:
                same = not old.info.get("interlace") and compare.images_match(old, img)
        except OSError:
            same = False
        if not same:
            print("differs: " + path)
            bad += 1
    for name, text in sorted(skins.items()):
        path = os.path.join(resources, name)
        try:
            with open(path, "rb") as f:
                same = compare.skins_match(f.read(), text)
        except OSError:
            same = False
        if not same:
            print("differs: " + path)
            bad += 1
    return bad


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--resources", default=os.path.join(ROOT, "resources"))
    ap.add_argument("--preview", default=None, help="folder for preview pictures (not embedded)")
    ap.add_argument("--check", action="store_true", help="compare with the files in --resources")
    args = ap.parse_args()

    images = controls.all_control_images()
    skins = {}
    for name, (objs, width) in layouts.layouts().items():
        images[name + ".png"] = layouts.paint_background(objs, width)
        skins[name + ".skin"] = layouts.skin_text(objs, width)

    if args.check:
        bad = check(args.resources, images, skins)
        print("%d of %d files differ from the generator's drawing" % (bad, len(images) + len(skins)))
        sys.exit(1 if bad else 0)

    os.makedirs(args.resources, exist_ok=True)
    for name, img in sorted(images.items()):
        save_png(img, os.path.join(args.resources, name))
    for name, text in sorted(skins.items()):
        with open(os.path.join(args.resources, name), "wb") as f:
            f.write(text)
    print("wrote %d images and %d layouts to %s" % (len(images), len(skins), args.resources))

    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
        all_layouts = layouts.layouts()
        for layout, name, state in preview.states():
            objs, _ = all_layouts[layout]
            view = preview.compose(images[layout + ".png"], objs, images, state)
            save_png(view, os.path.join(args.preview, name + ".png"))
            save_png(preview.enlarge(view, 2), os.path.join(args.preview, name + "_x2.png"))
        sheet = preview.sheet(images)
        save_png(sheet, os.path.join(args.preview, "controls.png"))
        save_png(preview.enlarge(sheet, 4), os.path.join(args.preview, "controls_x4.png"))
        print("wrote previews to %s" % args.preview)


if __name__ == "__main__":
    main()
