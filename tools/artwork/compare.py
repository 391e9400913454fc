"""Compares committed artwork with the generator's drawing, tolerant of how the installed Pillow
and FreeType rasterise edges, strict about what the artwork shows.

Another version of FreeType (hinting, glyph placement) or Pillow (resampling) draws the same
edges a fraction of a pixel elsewhere and the same gradients a level or two apart; a caption,
control or panel edge moved by one pixel, or missing, is a real change.

Images: channels are compared with premultiplied alpha (invisible colour does not count). A pixel
differs when a channel differs by more than LEVELS plus EDGE_SHARE of the local contrast there
(the larger range of that channel in the 3 x 3 neighbourhood in either image). Moving an edge by
a fraction f of a pixel changes the pixels it crosses by about f times its contrast, so edges up
to about 0.4 pixel apart pass, while an edge one whole pixel off changes its pixels by half its
contrast or more. Where edges meet (corners of glyphs) a sub-pixel move can still make a pixel
differ, one here and there: an image fails when more than CLUSTER pixels differ within any
SQUARE x SQUARE square. The smallest caption of the views, one digit of 11-pixel text, moved by a
pixel in any direction makes 13 or more differ there; a missing one, more.

Layout texts: line by line and exact, but for the right edge ("X1=") of text objects, which
follows the font's advance widths and may differ by up to TEXT_EDGE pixels.
"""

from PIL import ImageChops, ImageFilter

LEVELS = 8
EDGE_SHARE = 0.42
SQUARE = 13
CLUSTER = 4
TEXT_EDGE = 0.5


def _local_range(band):
    return ImageChops.subtract(band.filter(ImageFilter.MaxFilter(3)),
                               band.filter(ImageFilter.MinFilter(3)))


def differing_pixels(a, b):
    """An L mask of a's size, 255 where the RGBA images a and b (of one size) differ."""
    out = None
    for band_a, band_b in zip(a.convert("RGBa").split(), b.convert("RGBa").split()):
        contrast = ImageChops.lighter(_local_range(band_a), _local_range(band_b))
        allowed = contrast.point(lambda v: min(255, int(LEVELS + EDGE_SHARE * v)))
        beyond = ImageChops.subtract(ImageChops.difference(band_a, band_b), allowed)
        out = beyond if out is None else ImageChops.lighter(out, beyond)
    return out.point(lambda v: 255 if v else 0)


def most_in_a_square(mask, size):
    """The largest number of set pixels of mask within any size x size square."""
    w, h = mask.size
    data = mask.getdata()
    # sums[y][x]: set pixels above and left of (x, y)
    sums = [[0] * (w + 1) for _ in range(h + 1)]
    for y in range(h):
        row, above, here = 0, sums[y], sums[y + 1]
        for x in range(w):
            row += 1 if data[y * w + x] else 0
            here[x + 1] = above[x + 1] + row
    best = 0
    for y in range(max(1, h - size + 1)):
        y1 = min(h, y + size)
        for x in range(max(1, w - size + 1)):
            x1 = min(w, x + size)
            n = sums[y1][x1] - sums[y][x1] - sums[y1][x] + sums[y][x]
            best = max(best, n)
    return best


def images_match(a, b):
    """Whether two RGBA images show the same artwork."""
    if a.mode != "RGBA" or b.mode != "RGBA" or a.size != b.size:
        return False
    mask = differing_pixels(a, b)
    if sum(mask.histogram()[1:]) <= CLUSTER:
        return True
    return most_in_a_square(mask, SQUARE) <= CLUSTER


def skins_match(a, b):
    """Whether two layout texts (bytes) are the same layout."""
    lines_a, lines_b = a.split(b"\n"), b.split(b"\n")
    if len(lines_a) != len(lines_b):
        return False
    is_text = False
    for line_a, line_b in zip(lines_a, lines_b):
        if line_a.startswith(b"["):
            is_text = False
        elif line_a.startswith(b"Type="):
            is_text = line_a == b"Type=Text"
        if line_a == line_b:
            continue
        if not (is_text and line_a.startswith(b"X1=") and line_b.startswith(b"X1=")):
            return False
        try:
            if abs(float(line_a[3:]) - float(line_b[3:])) > TEXT_EDGE:
                return False
        except ValueError:
            return False
    return True
