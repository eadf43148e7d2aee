#!/usr/bin/python3
"""Accuracy on matcher maps with holes: dispsmooth with and without fill
against OpenCV's masked weighted median and its WLS filter.

For Cones and Teddy (shared test images, 450 x 375, ground truth in quarter
pixels, 0 unknown), OpenCV's semi-global matcher (stereo_maps.py) gives a map
with invalid pixels.  Reported: the share of bad pixels, those of known
ground truth more than 1 pixel off (an invalid pixel is bad), over
  - all: every pixel of known ground truth right of the matcher's blind band
    (the first 64 columns, which no disparity of the range reaches);
  - valid: those of them the matcher left valid;
for the raw map; dispsmooth (uint16 x 256, invalid=0) at radius 5, 9, 15
without fill and with fill; OpenCV's weightedMedianFilter with the valid
pixels as mask (float32 pixels, WMF_EXP, sigma = sigma_color / sqrt(2)) at
the same radii; and OpenCV's DisparityWLSFilter with the left-right
confidence of its right matcher (lambda 8000, sigma 1.5).  sigma_space 9,
sigma_color 20.

With --picture FILE, writes the Cones strip: reference, matcher map (holes
in magenta), dispsmooth with fill at radius 9, WLS, ground truth.

Usage: accuracy_levels.py [--build DIR] [--testdata DIR] [--picture FILE]
"""
import argparse
import math
import os
import sys

import stereo_maps

SIGMA_SPACE, SIGMA_COLOR = 9.0, 20.0
RADII = (5, 9, 15)


def bad_shares(np, disp_px, gt, matcher_valid, band):
    """(all, valid) shares in percent; disp_px NaN where invalid."""
    known = ~np.isnan(gt)
    known[:, :band] = False
    valid = known & matcher_valid
    bad = known & ~(np.abs(np.nan_to_num(disp_px, nan=-1e9) - np.nan_to_num(gt)) <= 1.0)
    return 100.0 * bad[known].mean(), 100.0 * bad[valid].mean()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(stereo_maps.REPO, "build", "release"))
    parser.add_argument("--testdata", default=stereo_maps.DEFAULT_TESTDATA)
    parser.add_argument("--picture", default=None)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    if not os.path.isdir(args.testdata):
        print("accuracy_levels.py: no test data at", args.testdata, "- nothing to measure")
        return
    import cv2
    import numpy as np
    import dispsmooth
    cv2.setNumThreads(1)
    band = stereo_maps.NUM_DISPARITIES

    rows = {}
    pictures = {}
    for name in stereo_maps.SGBM_SCENES:
        reference, left_bgr, right_bgr, raw, kitti, gt = stereo_maps.sgbm_scene(
            cv2, args.testdata, name)
        valid = kitti > 0
        results = {}
        results["matcher map (raw)"] = np.where(valid, kitti / 256.0, np.nan)
        for fill in (False, True):
            for radius in RADII:
                out = dispsmooth.smooth(reference, kitti, radius, SIGMA_SPACE, SIGMA_COLOR,
                                        max_d=65535, invalid=0, fill=fill)
                results[f"dispsmooth r={radius}" + (", fill" if fill else "")] = np.where(
                    out > 0, out / 256.0, np.nan)
        for radius in RADII:
            out = cv2.ximgproc.weightedMedianFilter(
                left_bgr, np.where(valid, kitti / 256.0, 0).astype(np.float32), radius,
                sigma=SIGMA_COLOR / math.sqrt(2.0), weightType=cv2.ximgproc.WMF_EXP,
                mask=valid.astype(np.uint8))
            results[f"OpenCV weightedMedianFilter r={radius}, mask"] = np.where(
                out > 0, out.astype(np.float64), np.nan)
        left_matcher, right_matcher = stereo_maps.matchers(cv2)
        right_raw = right_matcher.compute(right_bgr, left_bgr)
        wls = cv2.ximgproc.createDisparityWLSFilter(left_matcher)
        wls.setLambda(8000.0)
        wls.setSigmaColor(1.5)
        filtered = wls.filter(raw, left_bgr, disparity_map_right=right_raw)
        results["OpenCV DisparityWLSFilter (left-right confidence)"] = np.where(
            filtered > 0, filtered / 16.0, np.nan)
        for method, disp in results.items():
            rows.setdefault(method, []).extend(bad_shares(np, disp, gt, valid, band))
        pictures[name] = (reference, results, gt)

    print("Bad pixels (%, more than 1 px off; all = every pixel of known ground truth right "
          "of the blind band, an invalid one counting as bad; valid = those the matcher left "
          "valid)")
    print()
    print("| method | Cones all | Cones valid | Teddy all | Teddy valid |")
    print("|---|---|---|---|---|")
    for method, values in rows.items():
        print(f"| {method} | " + " | ".join(f"{v:.2f}" for v in values) + " |")

    if args.picture:
        reference, results, gt = pictures["cones"]
        top = np.nanmax(gt)

        def colour(disp_px):
            scaled = np.clip(np.nan_to_num(disp_px, nan=0) / top * 255, 0, 255).astype(np.uint8)
            image = cv2.applyColorMap(scaled, cv2.COLORMAP_VIRIDIS)
            image[np.isnan(disp_px)] = (255, 0, 255)  # holes in magenta
            return image

        panels = [cv2.cvtColor(reference, cv2.COLOR_RGB2BGR),
                  colour(results["matcher map (raw)"]),
                  colour(results["dispsmooth r=9, fill"]),
                  colour(results["OpenCV DisparityWLSFilter (left-right confidence)"]),
                  colour(gt)]
        strip = np.concatenate([cv2.resize(p, (p.shape[1] // 2, p.shape[0] // 2),
                                           interpolation=cv2.INTER_AREA) for p in panels], axis=1)
        cv2.imwrite(args.picture, strip)
        print()
        print("picture:", args.picture)


if __name__ == "__main__":
    main()
