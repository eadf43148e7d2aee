"""Shared fixtures: the tool's executable, the C++ reference helper, the
example scene, and running the tool the way a user does."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

import pngio

SOURCE_DIR = pathlib.Path(os.environ.get(
    "DISPSMOOTH_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))


def _executable(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{variable} does not name an executable (set by CTest)")
    return path


@pytest.fixture(scope="session")
def tool():
    """The dispsmooth executable."""
    return _executable("DISPSMOOTH_EXE")


@pytest.fixture(scope="session")
def smooth_raw():
    """The helper that runs the library's C++ smoothing routines on raw arrays."""
    return _executable("DISPSMOOTH_SMOOTH_RAW")


@pytest.fixture(scope="session")
def scene():
    """The bundled example scene: reference (H x W x 3) and disparity (H x W,
    the red sample, as the tool reads it), both uint8."""
    folder = SOURCE_DIR / "examples" / "scene"
    reference = pngio.read_png(folder / "reference.png")[..., :3]
    disparity = pngio.read_png(folder / "disparity.png")[..., 0]
    return reference, disparity


def run_tool(tool, directory, reference, disparity, radius, sigma_space, sigma_color):
    """Writes the two images and "kelv_input.txt" into directory, runs the
    tool there and returns the map it wrote (H x W uint8), or the finished
    process when it failed."""
    directory = pathlib.Path(directory)
    pngio.write_png(directory / "reference.png", reference)
    pngio.write_png(directory / "disparity.png", disparity)
    (directory / "kelv_input.txt").write_text(
        f"reference.png disparity.png {radius} {sigma_space!r} {sigma_color!r} smoothed.png\n")
    done = subprocess.run([tool], cwd=directory, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        return done
    return pngio.read_png(directory / "smoothed.png")[..., 0]


def random_scene(rng, height, width, levels=256):
    """A reference image of a few flat-coloured rectangles with colour noise,
    and a disparity map of the same rectangles with speckles: windows that
    mix a few disparities, as real maps have."""
    reference = np.empty((height, width, 3), np.uint8)
    reference[:] = rng.integers(0, 256, 3)
    disparity = np.full((height, width), rng.integers(0, levels), np.int64)
    for _ in range(4):
        y0, x0 = rng.integers(0, height), rng.integers(0, width)
        y1, x1 = y0 + rng.integers(1, height + 1), x0 + rng.integers(1, width + 1)
        reference[y0:y1, x0:x1] = rng.integers(0, 256, 3)
        disparity[y0:y1, x0:x1] = rng.integers(0, levels)
    noise = rng.integers(-12, 13, reference.shape)
    reference = np.clip(reference + noise, 0, 255).astype(np.uint8)
    speckles = rng.random((height, width)) < 0.2
    disparity[speckles] = rng.integers(0, levels, int(speckles.sum()))
    return reference, disparity
