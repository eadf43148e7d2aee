"""The filter evaluated straight from its definition, in plain Python, as an
independent check of the module on tiny images.  math.exp is the C
library's exp and Python's float arithmetic is IEEE double, so the weights
and sums are the same doubles as the C++ routine's."""

import math

import numpy as np


def _median_filtered(reference):
    """3 x 3 median of each channel, the window clipped to the image, the
    upper middle value taken when the count is even."""
    height, width, _ = reference.shape
    ref = reference.tolist()
    guide = [[[0, 0, 0] for _ in range(width)] for _ in range(height)]
    for y in range(height):
        for x in range(width):
            for c in range(3):
                values = sorted(ref[yy][xx][c]
                                for yy in range(max(0, y - 1), min(height, y + 2))
                                for xx in range(max(0, x - 1), min(width, x + 2)))
                guide[y][x][c] = values[len(values) // 2]
    return guide


def smooth(reference, disparity, radius, sigma_space, sigma_color, min_d=0, max_d=255,
           valid=None, fill=False):
    """The definition, pixel by pixel.  valid (an H x W array of bools, None
    for every pixel valid) leaves the invalid pixels out of every window;
    they keep their value unless fill asks for the weighted median of their
    own window's valid pixels, which they get where those weigh anything.
    The histogram is kept per level present (a dict): the dense one differs
    only by bins of +0.0, which change no sum, so the total in ascending
    level order, the search and its tie rule are the dense histogram's."""
    height, width = disparity.shape
    guide = _median_filtered(reference)
    disp = disparity.tolist()
    ok = [[True] * width for _ in range(height)] if valid is None else valid.tolist()
    out = disparity.copy()
    for y in range(height):
        for x in range(width):
            if not ok[y][x] and not fill:
                continue
            histo = {}
            for yy in range(y - radius, y + radius + 1):
                if not 0 <= yy < height:
                    continue
                for xx in range(x - radius, x + radius + 1):
                    if not 0 <= xx < width or not ok[yy][xx]:
                        continue
                    colour = sum((guide[y][x][c] - guide[yy][xx][c]) ** 2 for c in range(3))
                    space = (xx - x) ** 2 + (yy - y) ** 2
                    d = disp[yy][xx]
                    assert min_d <= d <= max_d
                    histo[d] = histo.get(d, 0.0) + math.exp(
                        -(colour / (sigma_color * sigma_color) + space / (sigma_space * sigma_space)))
            total = 0.0
            for level in sorted(histo):  # in level order, without compensation
                total += histo[level]
            half = 0.5 * total
            if not half > 0:
                assert not ok[y][x]
                continue  # an invalid pixel with nothing to fill it from
            cumulative = 0.0
            for level in sorted(histo):
                cumulative += histo[level]
                if not half > cumulative:
                    out[y, x] = level
                    break
    return out
