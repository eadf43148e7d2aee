#!/usr/bin/python3
"""Speed of the smoothing of sub-pixel maps with invalid pixels, beside
OpenCV's weightedMedianFilter with its mask, in the same run.

Maps: OpenCV's semi-global matcher on Cones and Teddy (computed here from
left.png and right.png, stored as uint16 x 256 with 0 invalid), and KITTI's
dense prediction (uint16 x 256, 1242 x 375).  Radius 2, 5, 9, 15, sigma_space
9, sigma_color 20, 1 and 2 threads.  Ours: the bench_levels executable (the
smoothing call alone, best of --repeats, with the share of pixels settled
without the exact path and by the first pass).  OpenCV: weightedMedianFilter
on the map as float32 pixels with the valid pixels as mask, WMF_EXP with
sigma = sigma_color / sqrt(2) (its colour weight then equals ours), the call
alone, best of --repeats.  Besides, on KITTI: the same map rounded to whole
pixels (8 bits), and with 20 % of its pixels made invalid.

Usage: bench_levels.py [--build DIR] [--testdata DIR] [--repeats N] [--radii R,...]
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
import time

import stereo_maps

SIGMA_SPACE, SIGMA_COLOR = 9.0, 20.0


def ours(exe, scene, radius, threads, repeats, fill=False):
    args = [exe, scene, str(radius), str(threads), str(repeats)] + (["fill"] if fill else [])
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    fields = dict(part.split("=") for part in out.split())
    return float(fields["seconds"]), float(fields["settled"]), float(fields["first"])


def opencv(cv2, reference, disparity, valid, radius, threads, repeats):
    cv2.setNumThreads(threads)
    guide = cv2.cvtColor(reference, cv2.COLOR_RGB2BGR)
    src = disparity.astype("float32")
    mask = valid.astype("uint8")
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        cv2.ximgproc.weightedMedianFilter(guide, src, radius, sigma=SIGMA_COLOR / math.sqrt(2.0),
                                          weightType=cv2.ximgproc.WMF_EXP, mask=mask)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(stereo_maps.REPO, "build", "release"))
    parser.add_argument("--testdata", default=stereo_maps.DEFAULT_TESTDATA)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--radii", default="2,5,9,15")
    args = parser.parse_args()
    exe = os.path.join(args.build, "bench", "bench_levels")
    if not os.access(exe, os.X_OK):
        sys.exit("bench_levels.py: no executable " + exe + " (build the bench_levels target)")
    if not os.path.isdir(args.testdata):
        print("bench_levels.py: no test data at", args.testdata, "- nothing to measure")
        return
    import cv2
    import numpy as np
    radii = [int(r) for r in args.radii.split(",")]

    maps = []
    for name in stereo_maps.SGBM_SCENES:
        reference, _, _, _, kitti, _ = stereo_maps.sgbm_scene(cv2, args.testdata, name)
        maps.append((name + " SGBM", reference, kitti, kitti > 0))
    reference, pred = stereo_maps.kitti_prediction(cv2, args.testdata)
    maps.append(("KITTI prediction", reference, pred, pred > 0))

    print("| map | invalid | radius | threads | ours s | settled % | first pass % | OpenCV s"
          " | OpenCV / ours |")
    print("|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for name, reference, disparity, valid in maps:
            scene = os.path.join(tmp, "scene.raw")
            stereo_maps.write_scene(scene, reference, disparity, valid, 0, 65535)
            for radius in radii:
                for threads in (1, 2):
                    t, settled, first = ours(exe, scene, radius, threads, args.repeats)
                    peer = opencv(cv2, reference, disparity / 256.0, valid, radius, threads,
                                  args.repeats)
                    print(f"| {name} | {100 * (1 - valid.mean()):.1f} % | {radius} | {threads} |"
                          f" {t:.3f} | {settled:.2f} | {first:.2f} | {peer:.3f} |"
                          f" {peer / t:.2f} |", flush=True)

        # KITTI: 16 bits against the same map in whole pixels, and 20 % holes.
        print()
        print("| KITTI prediction, 1 thread | radius | uint16 s | 8-bit s | uint16 / 8-bit |"
              " 20 % invalid s | 20 % invalid / all valid |")
        print("|---|---|---|---|---|---|---|")
        rounded = np.clip(np.rint(pred / 256.0), 0, 255).astype(np.int32)
        holes = np.random.default_rng(20).random(pred.shape) >= 0.2
        wide = os.path.join(tmp, "wide.raw")
        byte = os.path.join(tmp, "byte.raw")
        holed = os.path.join(tmp, "holes.raw")
        stereo_maps.write_scene(wide, reference, pred, pred >= 0, 0, 65535)
        stereo_maps.write_scene(byte, reference, rounded, pred >= 0, 0, 255)
        stereo_maps.write_scene(holed, reference, pred, holes, 0, 65535)
        for radius in radii:
            t16 = ours(exe, wide, radius, 1, args.repeats)[0]
            t8 = ours(exe, byte, radius, 1, args.repeats)[0]
            th = ours(exe, holed, radius, 1, args.repeats)[0]
            print(f"| | {radius} | {t16:.3f} | {t8:.3f} | {t16 / t8:.2f} | {th:.3f} |"
                  f" {th / t16:.2f} |", flush=True)


if __name__ == "__main__":
    main()
