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


def smooth(reference, disparity, radius, sigma_space, sigma_color, min_d=0, max_d=255):
    height, width = disparity.shape
    guide = _median_filtered(reference)
    disp = disparity.tolist()
    out = np.empty_like(disparity)
    for y in range(height):
        for x in range(width):
            histo = [0.0] * (max_d - min_d + 1)
            for yy in range(y - radius, y + radius + 1):
                if not 0 <= yy < height:
                    continue
                for xx in range(x - radius, x + radius + 1):
                    if not 0 <= xx < width:
                        continue
                    colour = sum((guide[y][x][c] - guide[yy][xx][c]) ** 2 for c in range(3))
                    space = (xx - x) ** 2 + (yy - y) ** 2
                    histo[disp[yy][xx] - min_d] += math.exp(
                        -(colour / (sigma_color * sigma_color) + space / (sigma_space * sigma_space)))
            total = 0.0
            for weight in histo:  # in index order, without compensation
                total += weight
            half = 0.5 * total
            k, cumulative = 0, histo[0]
            while half > cumulative:
                k += 1
                cumulative += histo[k]
            out[y, x] = min_d + k
    return out
