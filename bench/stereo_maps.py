"""Disparity maps as stereo pipelines make them, for bench_levels.py and
accuracy_levels.py: OpenCV's semi-global matcher on the Cones and Teddy
scenes of the shared test images, stored as KITTI stores maps (uint16,
disparity x 256, 0 invalid), and KITTI's dense prediction."""
import os

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_TESTDATA = os.path.join(REPO, "..", "shared", "testdata")

# The matcher's settings: 64 disparities from 0 (Cones and Teddy at 450 x 375
# reach about 55), 5 x 5 blocks, OpenCV's usual smoothness penalties.
NUM_DISPARITIES = 64
BLOCK = 5
SGBM_SCENES = ["cones", "teddy"]
KITTI = os.path.join("stereo-formats", "kitti2015_000151_10")


def matchers(cv2):
    left = cv2.StereoSGBM_create(minDisparity=0, numDisparities=NUM_DISPARITIES,
                                 blockSize=BLOCK, P1=8 * 3 * BLOCK * BLOCK,
                                 P2=32 * 3 * BLOCK * BLOCK, disp12MaxDiff=1,
                                 uniquenessRatio=10, speckleWindowSize=100, speckleRange=2,
                                 mode=cv2.STEREO_SGBM_MODE_SGBM)
    return left, cv2.ximgproc.createRightMatcher(left)


def rgb(cv2, path):
    image = cv2.imread(path, cv2.IMREAD_COLOR)
    if image is None:
        raise RuntimeError("cannot read " + path)
    return cv2.cvtColor(image, cv2.COLOR_BGR2RGB)


def sgbm_scene(cv2, testdata, name):
    """(reference RGB, left BGR, right BGR, SGBM int16 x 16, uint16 x 256 with
    0 invalid, ground truth in pixels with NaN unknown)."""
    folder = os.path.join(testdata, "stereo", name)
    left_bgr = cv2.imread(os.path.join(folder, "left.png"), cv2.IMREAD_COLOR)
    right_bgr = cv2.imread(os.path.join(folder, "right.png"), cv2.IMREAD_COLOR)
    left_matcher, _ = matchers(cv2)
    raw = left_matcher.compute(left_bgr, right_bgr)  # int16, x 16, invalid -16
    kitti = np.where(raw > 0, raw.astype(np.int32) * 16, 0).astype(np.uint16)
    gt_file = cv2.imread(os.path.join(folder, "disp_gt.png"), cv2.IMREAD_UNCHANGED)
    if gt_file.ndim == 3:
        gt_file = gt_file[:, :, 0]
    gt = np.where(gt_file > 0, gt_file / 4.0, np.nan)  # quarter pixels, 0 unknown
    return cv2.cvtColor(left_bgr, cv2.COLOR_BGR2RGB), left_bgr, right_bgr, raw, kitti, gt


def kitti_prediction(cv2, testdata):
    folder = os.path.join(testdata, KITTI)
    pred = cv2.imread(os.path.join(folder, "disp_pred.png"), cv2.IMREAD_UNCHANGED)
    return rgb(cv2, os.path.join(folder, "left.png")), pred


def write_scene(path, reference, levels, valid, min_d, max_d):
    """The scene file bench_levels (C++) reads."""
    height, width = levels.shape
    with open(path, "wb") as f:
        f.write(np.array([width, height, min_d, max_d], np.int32).tobytes())
        f.write(np.ascontiguousarray(reference, np.uint8).tobytes())
        f.write(np.ascontiguousarray(levels, np.int32).tobytes())
        f.write(np.ascontiguousarray(valid, np.uint8).tobytes())
