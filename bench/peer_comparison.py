#!/usr/bin/python3
"""dispsmooth against OpenCV's weighted median filter on the real stereo scenes.

For the Cones and Teddy scenes of the shared test images (left.png as the
reference image, disp_noisy.png as the disparity map, disp_gt.png as the
ground truth; disparities in quarter pixels, 0 = unknown) and the Aloe scene
(left.jpg as the reference image; its map made here with OpenCV's block
matcher with every filter off, about half its pixels wrong:
StereoBM_create(numDisparities=256, blockSize=5), texture threshold 0,
uniqueness ratio 0, speckle window 0, disp12MaxDiff -1, disparities below 0
set to 0, rounded to whole pixels; disp_gt.png in whole pixels), at radius
1, 2, 5, 9, 15 and 25 with sigma_space 9 (or, with --sigma-space radius,
equal to the radius) and sigma_color 20, this times

  - OpenCV's cv2.ximgproc.weightedMedianFilter on one thread
    (cv2.setNumThreads(1)): guide = the reference image, weight type WMF_EXP,
    its sigma = sigma_color / sqrt(2) so that its colour weight
    exp(-|I1 - I2|^2 / (2 sigma^2)) equals ours (it has no spatial term);
    the filter call alone, best of --repeats;
  - the dispsmooth executable, run in a temporary directory with a real
    "kelv_input.txt", OMP_NUM_THREADS=1 and 2; the whole run (reading,
    smoothing, writing), best of --repeats;

and prints, per scene and radius, both times, their ratio (OpenCV's time
over ours: above 1 means dispsmooth is faster) and dispsmooth's 2-thread
gain, then the share of bad pixels: pixels more than 1 disparity (4 levels)
away from the ground truth among those with known ground truth (gt > 0), for
the noisy map, for dispsmooth's result and for OpenCV's (its first call's;
OpenCV 4.6's filter can give different results for the same input, and the
spread over the calls is listed at the end when it does).

Usage: peer_comparison.py [--exe PATH] [--testdata DIR] [--repeats N]
                          [--radii R,R,...] [--scenes NAME,...]
                          [--sigma-space S|radius]
Defaults: the Release build's executable (build/release/dispsmooth beside
this folder) and ../shared/testdata beside the repository.  Without the
test-data folder it says so and exits with status 0.
"""
import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SCENES = ["cones", "teddy", "aloe"]
SIGMA_SPACE = 9.0
SIGMA_COLOR = 20.0
# 1 disparity: 4 levels on Cones' and Teddy's quarter-pixel scale, 1 on
# Aloe's whole pixels.
BAD_LEVELS = {"cones": 4, "teddy": 4, "aloe": 1}


def parse_args():
    parser = argparse.ArgumentParser(
        description="Time dispsmooth against OpenCV's weightedMedianFilter on the real scenes.")
    parser.add_argument("--exe", default=os.path.join(REPO, "build", "release", "dispsmooth"),
                        help="dispsmooth executable, or the build directory holding it")
    parser.add_argument("--testdata", default=os.path.join(REPO, "..", "shared", "testdata"),
                        help="shared test-data folder (with stereo/cones, stereo/teddy)")
    parser.add_argument("--repeats", type=int, default=3, help="runs per timing, best kept")
    parser.add_argument("--radii", default="1,2,5,9,15,25", help="comma-separated radii")
    parser.add_argument("--scenes", default=",".join(SCENES), help="comma-separated scenes")
    parser.add_argument("--sigma-space", default=str(SIGMA_SPACE),
                        help="sigma_space, or 'radius' for sigma_space equal to the radius")
    args = parser.parse_args()
    args.scenes = [n for n in args.scenes.split(",") if n.strip()]
    unknown = [n for n in args.scenes if n not in SCENES]
    if unknown:
        parser.error("unknown scene %s (the scenes: %s)" % (", ".join(unknown), ", ".join(SCENES)))
    if args.sigma_space != "radius":
        try:
            args.sigma_space = float(args.sigma_space)
        except ValueError:
            parser.error("--sigma-space must be a number or 'radius'")
    if os.path.isdir(args.exe):
        args.exe = os.path.join(args.exe, "dispsmooth")
    args.exe = os.path.abspath(args.exe)
    args.radii = [int(r) for r in args.radii.split(",") if r.strip()]
    if args.repeats < 1:
        parser.error("--repeats must be at least 1")
    return args


def read_image(cv2, path, flags):
    image = cv2.imread(path, flags)
    if image is None:
        raise RuntimeError("cannot read " + path)
    return image


def read_gray(cv2, path):
    """An 8-bit map as one channel; an RGB file with equal channels gives its first."""
    image = read_image(cv2, path, cv2.IMREAD_UNCHANGED)
    if image.ndim == 3:
        image = image[:, :, 0]
    return image


def bad_share(np, disp, gt, levels):
    """Share of pixels with known ground truth more than 1 disparity (levels) off."""
    known = gt > 0
    off = np.abs(disp.astype(np.int32) - gt.astype(np.int32)) > levels
    return float(np.count_nonzero(off & known)) / float(np.count_nonzero(known))


def time_opencv(cv2, guide, disp, radius, repeats):
    """Best time of repeats calls, and every call's result."""
    best, results = math.inf, []
    for _ in range(repeats):
        start = time.perf_counter()
        result = cv2.ximgproc.weightedMedianFilter(guide, disp, radius,
                                                   sigma=SIGMA_COLOR / math.sqrt(2.0),
                                                   weightType=cv2.ximgproc.WMF_EXP)
        best = min(best, time.perf_counter() - start)
        results.append(result)
    return best, results


def block_matcher_map(cv2, np, left, right):
    """Aloe's map: OpenCV's block matcher with every filter off, whole pixels."""
    matcher = cv2.StereoBM_create(numDisparities=256, blockSize=5)
    matcher.setTextureThreshold(0)
    matcher.setUniquenessRatio(0)
    matcher.setSpeckleWindowSize(0)
    matcher.setDisp12MaxDiff(-1)
    disp = matcher.compute(cv2.cvtColor(left, cv2.COLOR_BGR2GRAY),
                           cv2.cvtColor(right, cv2.COLOR_BGR2GRAY)).astype(np.float64) / 16.0
    return np.clip(np.rint(np.maximum(disp, 0.0)), 0, 255).astype(np.uint8)


def scene_files(cv2, np, stereo, name, workdir):
    """Guide (BGR), map and ground truth of a scene, with the tool's inputs
    (the reference and the map) written to workdir; None when its files are
    missing."""
    folder = os.path.join(stereo, name)
    if name == "aloe":
        needed = ("left.jpg", "right.jpg", "disp_gt.png")
    else:
        needed = ("left.png", "disp_noisy.png", "disp_gt.png")
    files = {f: os.path.join(folder, f) for f in needed}
    missing = [f for f, p in files.items() if not os.path.isfile(p)]
    if missing:
        print("\n%s: %s missing: skipped" % (name, ", ".join(missing)))
        return None
    gt = read_gray(cv2, files["disp_gt.png"])
    if name == "aloe":
        guide = read_image(cv2, files["left.jpg"], cv2.IMREAD_COLOR)
        disp = block_matcher_map(cv2, np, guide,
                                 read_image(cv2, files["right.jpg"], cv2.IMREAD_COLOR))
        shutil.copy(files["left.jpg"], os.path.join(workdir, "left.jpg"))
        if not cv2.imwrite(os.path.join(workdir, "disp.png"), disp):
            raise RuntimeError("cannot write the block matcher's map")
        return guide, disp, gt, "left.jpg"
    guide = read_image(cv2, files["left.png"], cv2.IMREAD_COLOR)
    disp = read_gray(cv2, files["disp_noisy.png"])
    shutil.copy(files["left.png"], os.path.join(workdir, "left.png"))
    shutil.copy(files["disp_noisy.png"], os.path.join(workdir, "disp.png"))
    return guide, disp, gt, "left.png"


def time_tool(exe, workdir, reference, radius, sigma_space, threads, repeats):
    with open(os.path.join(workdir, "kelv_input.txt"), "w") as f:
        f.write("%s\ndisp.png\n%d\n%g\n%g\nsmoothed.png\n"
                % (reference, radius, sigma_space, SIGMA_COLOR))
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        try:
            run = subprocess.run([exe], cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        except subprocess.TimeoutExpired:
            raise RuntimeError("%s took over 600 s at radius %d" % (exe, radius)) from None
        elapsed = time.perf_counter() - start
        if run.returncode != 0:
            raise RuntimeError("%s failed (status %d) at radius %d:\n%s%s"
                               % (exe, run.returncode, radius, run.stdout.decode(errors="replace"),
                                  run.stderr.decode(errors="replace")))
        best = min(best, elapsed)
    return best


def main():
    args = parse_args()
    stereo = os.path.join(args.testdata, "stereo")
    if not os.path.isdir(stereo):
        print("peer_comparison: shared test images not found at %s: comparison skipped" % stereo)
        return 0
    if not os.access(args.exe, os.X_OK):
        print("peer_comparison: no dispsmooth executable at %s (build it first)" % args.exe,
              file=sys.stderr)
        return 1
    try:
        import cv2
        import numpy as np
    except ImportError as e:
        print("peer_comparison: %s (Debian packages python3-opencv and python3-numpy)" % e,
              file=sys.stderr)
        return 1
    if not hasattr(cv2, "ximgproc"):
        print("peer_comparison: this OpenCV has no ximgproc module", file=sys.stderr)
        return 1
    cv2.setNumThreads(1)

    sigma_space_text = ("equal to the radius" if args.sigma_space == "radius"
                        else "%g" % args.sigma_space)
    print("dispsmooth vs OpenCV %s cv2.ximgproc.weightedMedianFilter, sigma_space %s, "
          "sigma_color %g (OpenCV: sigma %.4g, WMF_EXP, no spatial term)"
          % (cv2.__version__, sigma_space_text, SIGMA_COLOR, SIGMA_COLOR / math.sqrt(2.0)))
    print("times in seconds, best of %d; OpenCV 1 thread, the filter call alone; dispsmooth "
          "the whole run of the executable" % args.repeats)
    print("ratio = OpenCV / dispsmooth 1 thread (above 1: dispsmooth faster); "
          "bad = share of pixels with known ground truth more than 1 disparity off")
    header = ("%-6s %6s %10s %14s %7s %14s %8s %9s %11s"
              % ("scene", "radius", "OpenCV 1t", "dispsmooth 1t", "ratio", "dispsmooth 2t",
                 "2t gain", "bad ours", "bad OpenCV"))
    status = 0
    unstable = []  # OpenCV results that changed from call to call
    for name in args.scenes:
        with tempfile.TemporaryDirectory(prefix="dispsmooth-peer-") as workdir:
            try:
                scene = scene_files(cv2, np, stereo, name, workdir)
            except RuntimeError as e:
                print("peer_comparison: %s" % e, file=sys.stderr)
                status = 1
                continue
            if scene is None:
                continue
            guide, disp, gt, reference = scene
            levels = BAD_LEVELS[name]
            print("\n%s (%d x %d): noisy map bad %.2f %%"
                  % (name, disp.shape[1], disp.shape[0], 100.0 * bad_share(np, disp, gt, levels)))
            print(header)
            for radius in args.radii:
                sigma_space = radius if args.sigma_space == "radius" else args.sigma_space
                try:
                    t_cv, cv_results = time_opencv(cv2, guide, disp, radius, args.repeats)
                    t_1 = time_tool(args.exe, workdir, reference, radius, sigma_space, 1,
                                    args.repeats)
                    ours = read_gray(cv2, os.path.join(workdir, "smoothed.png"))
                    t_2 = time_tool(args.exe, workdir, reference, radius, sigma_space, 2,
                                    args.repeats)
                except RuntimeError as e:
                    print("peer_comparison: %s" % e, file=sys.stderr)
                    status = 1
                    continue
                # OpenCV 4.6's filter does not always give the same result
                # for the same input: the first call's share goes in the
                # table, the spread over the calls below it.
                cv_bad = [100.0 * bad_share(np, r, gt, levels) for r in cv_results]
                print("%-6s %6d %10.3f %14.3f %7.2f %14.3f %8.2f %8.2f%% %10.2f%%"
                      % (name, radius, t_cv, t_1, t_cv / t_1, t_2, t_1 / t_2,
                         100.0 * bad_share(np, ours, gt, levels), cv_bad[0]))
                if any(not np.array_equal(r, cv_results[0]) for r in cv_results):
                    unstable.append("%s radius %d: %.2f..%.2f %%"
                                    % (name, radius, min(cv_bad), max(cv_bad)))
                sys.stdout.flush()
    if unstable:
        print("\nOpenCV's result differed between its %d calls on the same input "
              "(bad share over the calls):" % args.repeats)
        for line in unstable:
            print("  " + line)
    return status


if __name__ == "__main__":
    sys.exit(main())
