"""Maps as stereo matchers write them: masks, invalid values, fill, float
maps in sub-pixel steps and wide level ranges, against the definition
evaluated straight in Python (straightforward.py)."""

import numpy as np
import pytest

import dispsmooth
import straightforward
from conftest import random_scene

# (dtype, min_d, max_d, invalid value) of the range classes.
INTEGER_CASES = [
    (np.uint8, 0, 255, 0),
    (np.uint16, 0, 65535, 0),  # KITTI: disparity x 256, 0 invalid
    (np.int16, 0, 64 * 16, -16),  # a semi-global matcher: x 16, (min - 1) x 16 invalid
    (np.int32, -2**31, 2**31 - 1, None),
    (np.int32, -500000, 500000, 7),
]


def masked_scene(rng, height, width, dtype, min_d, max_d, share):
    reference, _ = random_scene(rng, height, width)
    few = rng.integers(min_d, max_d, 3, endpoint=True, dtype=np.int64)
    disparity = np.where(rng.random((height, width)) < 0.6, rng.choice(few, (height, width)),
                         rng.integers(min_d, max_d, (height, width), endpoint=True, dtype=np.int64))
    valid = rng.random((height, width)) >= share
    valid[:, : width // 4] &= rng.random() < 0.5  # sometimes a band without valid pixels
    return reference, disparity.astype(dtype), valid


@pytest.mark.parametrize("dtype, min_d, max_d, invalid", INTEGER_CASES,
                         ids=[f"{c[0].__name__}_{c[1]}_{c[2]}" for c in INTEGER_CASES])
def test_masks_and_invalid_values_equal_the_definition(dtype, min_d, max_d, invalid):
    rng = np.random.default_rng(abs(min_d) + max_d)
    for share in (0.0, 0.2, 0.7):
        reference, disparity, valid = masked_scene(rng, 8, 11, dtype, min_d, max_d, share)
        for radius, sigma_space, sigma_color in ((2, 1.5, 30.0), (3, 9.0, 4.0)):
            for fill in (False, True):
                expected = straightforward.smooth(reference, disparity, radius, sigma_space,
                                                  sigma_color, min_d, max_d, valid, fill)
                for threads in (1, 2):
                    got = dispsmooth.smooth(reference, disparity, radius, sigma_space,
                                            sigma_color, min_d=min_d, max_d=max_d, mask=valid,
                                            fill=fill, threads=threads)
                    assert got.dtype == dtype and got.shape == disparity.shape
                    np.testing.assert_array_equal(got, expected, err_msg=f"fill={fill}")
                if invalid is not None:
                    marked = np.where(valid, disparity, dtype(invalid))
                    # The value marks invalid pixels, wherever else it occurs too.
                    expected = straightforward.smooth(
                        reference, marked, radius, sigma_space, sigma_color, min_d, max_d,
                        marked != dtype(invalid), fill)
                    np.testing.assert_array_equal(
                        dispsmooth.smooth(reference, marked, radius, sigma_space, sigma_color,
                                          min_d=min_d, max_d=max_d, invalid=invalid, fill=fill),
                        expected)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_float_maps_are_quantised_smoothed_on_levels_and_scaled_back(dtype):
    rng = np.random.default_rng(16)
    reference, _ = random_scene(rng, 9, 12)
    step = 1 / 16
    levels = rng.integers(-40, 200, (9, 12))
    # Off by a little from the levels, and holes of every kind.
    disparity = (levels * step + rng.uniform(-0.49, 0.49, levels.shape) * step).astype(dtype)
    disparity[1, 2], disparity[3, 4], disparity[5, 6] = np.nan, np.inf, -np.inf
    valid = np.isfinite(disparity)
    for fill in (False, True):
        expected = straightforward.smooth(reference, levels, 2, 3.0, 20.0, -40, 200, valid, fill)
        got = dispsmooth.smooth(reference, disparity, 2, 3.0, 20.0, min_d=-40, max_d=200,
                                step=step, fill=fill)
        assert got.dtype == dtype
        np.testing.assert_array_equal(got[valid], (expected[valid] * step).astype(dtype))
        if not fill:
            assert np.isnan(got[1, 2]) and got[3, 4] == np.inf and got[5, 6] == -np.inf
        else:
            assert np.isfinite(got).all()
            np.testing.assert_array_equal(got[~valid], (expected[~valid] * step).astype(dtype))


def test_halfway_values_round_to_the_even_level():
    reference = np.zeros((1, 8, 3), np.uint8)
    values = np.array([[0.5, 1.5, 2.5, -0.5, -1.5, 0.49999997, 3.5000002, 7.0]], np.float32)
    got = dispsmooth.smooth(reference, values, 0, 9.0, 20.0, min_d=-5, max_d=10, step=1.0)
    np.testing.assert_array_equal(got, [[0, 2, 2, 0, -2, 0, 4, 7]])
    # Quotients are formed in double: 0.15 / 0.1 is 1.4999999999999998.
    got = dispsmooth.smooth(reference[:, :1], np.array([[0.15]]), 0, 9.0, 20.0, step=0.1)
    assert got[0, 0] == 1 * 0.1


def test_wide_ranges_cost_what_narrow_ones_do():
    rng = np.random.default_rng(31)
    reference, _ = random_scene(rng, 60, 60)
    disparity = rng.integers(0, 2**16, (60, 60)).astype(np.int32)
    narrow = dispsmooth.smooth(reference, disparity, 3, 9.0, 20.0, max_d=2**16 - 1)
    wide = dispsmooth.smooth(reference, (disparity * 32768 - 2**30).astype(np.int32), 3, 9.0,
                             20.0, min_d=-2**31, max_d=2**31 - 1)
    np.testing.assert_array_equal((narrow.astype(np.int64) * 32768 - 2**30), wide)


def test_wrong_new_arguments_raise_value_error():
    reference = np.zeros((4, 5, 3), np.uint8)
    disparity = np.zeros((4, 5), np.uint8)
    with pytest.raises(ValueError, match=r"mask must be an array of bool or uint8 of the "
                                         r"disparity's shape \(4, 5\)"):
        dispsmooth.smooth(reference, disparity, 1, 9.0, 20.0, mask=np.ones((4, 4), bool))
    with pytest.raises(ValueError, match=r"got shape \(4, 5\) and dtype float64"):
        dispsmooth.smooth(reference, disparity, 1, 9.0, 20.0, mask=np.ones((4, 5)))
    with pytest.raises(ValueError, match=r"step= applies to float32 and float64 maps"):
        dispsmooth.smooth(reference, disparity, 1, 9.0, 20.0, step=0.5)
    with pytest.raises(ValueError, match=r"dtype float32 needs step="):
        dispsmooth.smooth(reference, disparity.astype(np.float32), 1, 9.0, 20.0)
    with pytest.raises(ValueError, match=r"step is -0.5; a floating-point"):
        dispsmooth.smooth(reference, disparity.astype(np.float32), 1, 9.0, 20.0, step=-0.5)
    # Invalid pixels may hold values outside the range; valid ones may not.
    marked = np.full((4, 5), 300, np.uint16)
    marked[0, 0] = 3
    got = dispsmooth.smooth(reference, marked, 1, 9.0, 20.0, invalid=300)
    assert got[0, 0] == 3 and (got.ravel()[1:] == 300).all()
    with pytest.raises(ValueError, match=r"disparity 300 at row 0, column 1 is outside"):
        dispsmooth.smooth(reference, marked, 1, 9.0, 20.0, invalid=3)
