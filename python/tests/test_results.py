"""dispsmooth.smooth gives the tool's results to the last bit, whatever the
disparity dtype and the thread count."""

import subprocess

import numpy as np
import pytest

import dispsmooth
import straightforward
from conftest import random_scene, run_tool


@pytest.fixture(scope="module")
def scene_by_tool(tool, scene, tmp_path_factory):
    reference, disparity = scene
    result = run_tool(tool, tmp_path_factory.mktemp("scene"), reference, disparity, 9, 9, 20)
    assert isinstance(result, np.ndarray), result.stderr
    return result


@pytest.mark.parametrize("threads", [1, 2, None])
def test_example_scene_equals_the_tool(scene, scene_by_tool, threads):
    reference, disparity = scene
    smoothed = dispsmooth.smooth(reference, disparity, 9, 9.0, 20.0, threads=threads)
    assert smoothed.dtype == np.uint8 and smoothed.shape == disparity.shape
    np.testing.assert_array_equal(smoothed, scene_by_tool)
    assert (smoothed != disparity).sum() > 1000  # it did smooth


# (height, width, radius, sigma_space, sigma_color): tiny and one-row images,
# windows wider than the image, flat weights, a negative sigma (only its
# square counts), and an image large enough for both threads to work.
TOOL_CASES = [
    (1, 1, 3, 9.0, 20.0),
    (2, 3, 1, 1.0, 5.0),
    (1, 40, 4, 3.0, 12.0),
    (17, 23, 0, 9.0, 20.0),
    (31, 29, 2, 1.5, 30.0),
    (40, 53, 6, 9.0, -20.0),
    (24, 30, 40, 1e300, 1e300),
    (150, 200, 5, 9.0, 20.0),
]


@pytest.mark.parametrize("case", TOOL_CASES, ids=[f"{c[0]}x{c[1]}_r{c[2]}" for c in TOOL_CASES])
def test_random_inputs_equal_the_tool(tool, tmp_path, case):
    height, width, radius, sigma_space, sigma_color = case
    rng = np.random.default_rng(sum(case[:3]))
    reference, disparity = random_scene(rng, height, width)
    expected = run_tool(tool, tmp_path, reference, disparity.astype(np.uint8), radius,
                        sigma_space, sigma_color)
    assert isinstance(expected, np.ndarray), expected.stderr
    for dtype in (np.uint8, np.uint16, np.int32):
        for threads in (1, 2):
            smoothed = dispsmooth.smooth(reference, disparity.astype(dtype), radius,
                                         sigma_space, sigma_color, threads=threads)
            assert smoothed.dtype == dtype
            np.testing.assert_array_equal(smoothed, expected, err_msg=f"{dtype} threads={threads}")


@pytest.mark.parametrize("min_d, max_d, dtype", [
    (0, 255, np.uint8), (0, 4095, np.uint16), (-40, 40, np.int32)])
def test_tiny_images_equal_the_definition(min_d, max_d, dtype):
    rng = np.random.default_rng(max_d)
    reference, disparity = random_scene(rng, 7, 9, levels=max_d - min_d + 1)
    disparity = (disparity + min_d).astype(dtype)
    # Few levels in one window as well, where ties between bins are likely.
    few = (min_d + rng.integers(0, 2, disparity.shape)).astype(dtype)
    for disp in (disparity, few):
        for radius, sigma_space, sigma_color in ((2, 1.5, 30.0), (3, 9.0, 4.0), (1, 1e300, 1e300)):
            expected = straightforward.smooth(reference, disp, radius, sigma_space, sigma_color,
                                              min_d, max_d)
            for threads in (1, 2):
                np.testing.assert_array_equal(
                    dispsmooth.smooth(reference, disp, radius, sigma_space, sigma_color,
                                      min_d=min_d, max_d=max_d, threads=threads), expected)


def run_smooth_raw(helper, tmp_path, routine, reference, disparity, min_d, max_d, radius,
                   sigma_space, sigma_color):
    height, width = disparity.shape
    source, result = tmp_path / "in.raw", tmp_path / "out.raw"
    source.write_bytes(
        np.array([width, height, min_d, max_d, radius], np.int32).tobytes() +
        np.array([sigma_space, sigma_color], np.float64).tobytes() +
        reference.astype(np.int32).tobytes() + disparity.astype(np.int32).tobytes())
    subprocess.run([helper, routine, str(source), str(result)], check=True, timeout=300)
    return np.fromfile(result, np.int32).reshape(height, width)


@pytest.mark.parametrize("threads", [1, 2])
def test_twelve_bit_map_equals_the_library_routines(smooth_raw, tmp_path, threads):
    rng = np.random.default_rng(4095)
    reference, disparity = random_scene(rng, 64, 96, levels=4096)
    disparity = disparity.astype(np.uint16)
    smoothed = dispsmooth.smooth(reference, disparity, 5, 9.0, 20.0, max_d=4095, threads=threads)
    assert smoothed.dtype == np.uint16
    for routine in ("fast", "reference"):
        expected = run_smooth_raw(smooth_raw, tmp_path, routine, reference, disparity, 0, 4095, 5,
                                  9.0, 20.0)
        np.testing.assert_array_equal(smoothed, expected, err_msg=routine)


def test_inputs_stay_unchanged_and_any_layout_is_taken(scene):
    reference, disparity = scene
    reference_copy, disparity_copy = reference.copy(), disparity.copy()
    expected = dispsmooth.smooth(reference, disparity, 3, 9.0, 20.0)
    np.testing.assert_array_equal(reference, reference_copy)
    np.testing.assert_array_equal(disparity, disparity_copy)
    # Fortran order, and views with steps, give the same as their copies.
    np.testing.assert_array_equal(
        dispsmooth.smooth(np.asfortranarray(reference), np.asfortranarray(disparity), 3, 9.0, 20.0),
        expected)
    np.testing.assert_array_equal(
        dispsmooth.smooth(reference[::2, ::3], disparity[::2, ::3], 3, 9.0, 20.0),
        dispsmooth.smooth(reference[::2, ::3].copy(), disparity[::2, ::3].copy(), 3, 9.0, 20.0))
    # Empty maps come back empty.
    empty = dispsmooth.smooth(reference[:0], disparity[:0].astype(np.uint16), 3, 9.0, 20.0)
    assert empty.shape == (0, disparity.shape[1]) and empty.dtype == np.uint16


def test_version_is_the_tools(tool):
    first_line = subprocess.run([tool, "--version"], capture_output=True, text=True,
                                check=True).stdout.splitlines()[0]
    assert first_line == f"dispsmooth {dispsmooth.__version__}"
