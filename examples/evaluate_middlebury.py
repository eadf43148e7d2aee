#!/usr/bin/python3
"""Smooths the noisy disparity maps of the Middlebury Cones and Teddy scenes
with dispsmooth and measures, before and after, the share of pixels whose
disparity is more than 1 pixel away from the ground truth.

Each scene directory holds left.png (the reference image), disp_noisy.png
(the map to smooth) and disp_gt.png (the ground truth), all on the scale of
4 levels per pixel of disparity, 0 meaning unknown.  Only pixels whose
ground truth is known count.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/evaluate_middlebury.py \\
        [SCENE_DIR ...] [--picture docs/images/middlebury.png]

Without scene directories, the cones and teddy folders of
../shared/testdata/stereo (beside the repository) are used when they are
there.  The module reads the scenes; the colour picture is composed with
numpy and written as a PNG by the few lines of zlib below.
"""

import argparse
import pathlib
import struct
import sys
import time
import zlib

import numpy as np

import dispsmooth

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_DATA = REPOSITORY.parent / "shared" / "testdata" / "stereo"
RADII = (2, 5, 9, 15)
SIGMA_SPACE = 9.0
SIGMA_COLOR = 20.0
LEVELS_PER_PIXEL = 4  # "more than 1 disparity" = more than 4 levels
PICTURE_RADIUS = 9


def read(path, kind):
    """An image as the tool reads it: "rgb" for the reference, "gray" (the
    red sample of each pixel) for a disparity map."""
    try:
        return dispsmooth.read_image(path, kind)
    except (OSError, ValueError) as e:
        sys.exit(str(e))


def write_rgb_png(path, image):
    """An H x W x 3 uint8 array as an 8-bit truecolour PNG (the module's
    writers write gray maps only)."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    height, width = image.shape[:2]
    rows = np.hstack([np.zeros((height, 1), np.uint8), image.reshape(height, width * 3)])
    pathlib.Path(path).write_bytes(
        b"\x89PNG\r\n\x1a\n" +
        chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
        chunk(b"IDAT", zlib.compress(rows.tobytes(), 9)) + chunk(b"IEND", b""))


def bad_share(disparity, truth, columns=slice(None)):
    """Share of the pixels of known ground truth (in the given columns) that
    are more than one disparity off."""
    known = truth[:, columns] > 0
    off = np.abs(disparity[:, columns].astype(np.int32) -
                 truth[:, columns].astype(np.int32)) > LEVELS_PER_PIXEL
    return float(np.count_nonzero(off & known)) / float(np.count_nonzero(known))


def matched_columns(noisy):
    """The columns in which the block matcher found something: not 0 (no
    match) all the way down.  No filter can recover the others."""
    return np.flatnonzero(np.any(noisy != 0, axis=0))


def picture_row(reference, noisy, smoothed, truth, gap):
    gray = [np.repeat(m[..., None], 3, axis=2) for m in (noisy, smoothed, truth)]
    panels = [reference] + gray
    height = reference.shape[0]
    white = np.full((height, gap, 3), 255, np.uint8)
    row = []
    for panel in panels:
        row += [panel, white]
    return np.hstack(row[:-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scenes", nargs="*", type=pathlib.Path,
                        help="scene directories (default: cones and teddy of %s)" % DEFAULT_DATA)
    parser.add_argument("--picture", type=pathlib.Path,
                        help="write the side-by-side picture (reference, noisy map, map "
                             f"smoothed with radius {PICTURE_RADIUS}, ground truth) here")
    args = parser.parse_args()
    scenes = args.scenes or [DEFAULT_DATA / name for name in ("cones", "teddy")]
    for scene in scenes:
        if not (scene / "left.png").is_file():
            sys.exit(f"{scene}: no left.png there (give the scene directories as arguments)")

    print(f"dispsmooth {dispsmooth.__version__}: sigma_space {SIGMA_SPACE:g}, "
          f"sigma_color {SIGMA_COLOR:g}")
    print("Pixels more than 1 disparity off, among those of known ground truth:\n")
    print("| Scene | noisy | " + " | ".join(f"radius {r}" for r in RADII) + " |")
    print("|---|---:|" + "---:|" * len(RADII))
    rows, seconds = [], {}
    for scene in scenes:
        reference = read(scene / "left.png", "rgb")
        noisy = read(scene / "disp_noisy.png", "gray")
        truth = read(scene / "disp_gt.png", "gray")
        matched = matched_columns(noisy)
        whole = [f"{100 * bad_share(noisy, truth):.1f} %"]
        inside = [f"{100 * bad_share(noisy, truth, matched):.1f} %"]
        for radius in RADII:
            started = time.perf_counter()
            smoothed = dispsmooth.smooth(reference, noisy, radius, SIGMA_SPACE, SIGMA_COLOR)
            seconds[radius] = seconds.get(radius, 0.0) + time.perf_counter() - started
            whole.append(f"{100 * bad_share(smoothed, truth):.1f} %")
            inside.append(f"{100 * bad_share(smoothed, truth, matched):.1f} %")
            if radius == PICTURE_RADIUS:
                rows.append(picture_row(reference, noisy, smoothed, truth, gap=6))
        empty = noisy.shape[1] - len(matched)
        print(f"| {scene.name} | " + " | ".join(whole) + " |")
        print(f"| {scene.name}, without the {empty} columns the matcher left empty | " +
              " | ".join(inside) + " |")
    print("\nSeconds per smoothing of one scene: " +
          ", ".join(f"radius {r}: {seconds[r] / len(scenes):.2f}" for r in RADII))

    if args.picture and rows:
        width = max(r.shape[1] for r in rows)
        gap = np.full((6, width, 3), 255, np.uint8)
        stacked = [rows[0]]
        for row in rows[1:]:
            stacked += [gap, row]
        picture = np.vstack(stacked)
        # Half size, each pixel the mean of a 2 x 2 block: enough to see the
        # difference, and a small file.
        h, w = picture.shape[0] // 2 * 2, picture.shape[1] // 2 * 2
        blocks = picture[:h, :w].reshape(h // 2, 2, w // 2, 2, 3).astype(np.uint16)
        picture = ((blocks.sum(axis=(1, 3)) + 2) // 4).astype(np.uint8)
        write_rgb_png(args.picture, picture)
        print(f"Picture written to {args.picture}")


if __name__ == "__main__":
    main()
