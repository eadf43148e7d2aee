"""Every wrong input raises an exception with a clear message, before any
work, and the interpreter goes on; the messages carry the tool's words."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dispsmooth
from conftest import run_tool
from pngio import write_png

REF = np.zeros((6, 8, 3), np.uint8)
DISP = np.full((6, 8), 7, np.uint8)
GOOD = dict(radius=2, sigma_space=9.0, sigma_color=20.0)


def smooth(reference=REF, disparity=DISP, **changes):
    arguments = dict(GOOD, **changes)
    return dispsmooth.smooth(reference, disparity, arguments.pop("radius"),
                             arguments.pop("sigma_space"), arguments.pop("sigma_color"),
                             **arguments)


# Each wrong call and (a pattern of) its ValueError message.
WRONG_VALUES = {
    "negative radius": (dict(radius=-1),
                        r"^dispsmooth: radius is -1; it must be 0 or more \(FATAL ERROR in median_histo\)$"),
    "sigma_space 0": (dict(sigma_space=0.0),
                      r"^dispsmooth: sigma_space is 0; each sigma must be a number whose square is not 0 \(FATAL ERROR in median_histo\)$"),
    "sigma_color -0": (dict(sigma_color=-0.0), r"sigma_color is -0; .*FATAL ERROR in median_histo"),
    "sigma_color nan": (dict(sigma_color=float("nan")), r"sigma_color is nan; .*FATAL ERROR in median_histo"),
    "sigma whose square is 0": (dict(sigma_space=1e-170), r"sigma_space is 1e-170, whose square is 0"),
    "min_d above max_d": (dict(min_d=10, max_d=9),
                          r"min_d 10 is greater than max_d 9; .*\(FATAL ERROR in weighted_median\)$"),
    "radius beyond int": (dict(radius=2**31), r"radius 2147483648 is outside the range of an int"),
    "max_d beyond int": (dict(max_d=-2**31 - 1), r"max_d -2147483649 is outside the range of an int"),
    "threads 0": (dict(threads=0), r"threads is 0; it must be 1..1024, or None"),
    "threads too many": (dict(threads=1025), r"threads is 1025"),
    "disparity above max_d": (dict(disparity=np.where(np.arange(48).reshape(6, 8) == 13, 200, 7)
                                   .astype(np.uint8), max_d=100),
                              r"^dispsmooth: disparity 200 at row 1, column 5 is outside min_d..max_d = 0..100 \(FATAL ERROR in weighted_histo\)$"),
    "disparity below min_d": (dict(disparity=np.full((6, 8), -3, np.int32), min_d=-2, max_d=5),
                              r"disparity -3 at row 0, column 0 is outside min_d..max_d = -2..5"),
    "sizes differ": (dict(disparity=np.zeros((6, 9), np.uint8)),
                     r"^dispsmooth: reference image is 8x6 but disparity map is 9x6; they must have the same size$"),
    "reference without colours": (dict(reference=np.zeros((6, 8), np.uint8)),
                                  r"reference must be an H x W x 3 array of uint8 \(R, G, B\); got shape \(6, 8\) and dtype uint8"),
    "reference of four channels": (dict(reference=np.zeros((6, 8, 4), np.uint8)), r"got shape \(6, 8, 4\)"),
    "reference of floats": (dict(reference=np.zeros((6, 8, 3))), r"got shape \(6, 8, 3\) and dtype float64"),
    "disparity of int64": (dict(disparity=np.zeros((6, 8), np.int64)),
                           r"disparity must be an H x W array of uint8, uint16, int16, int32, float32 or float64; got shape \(6, 8\) and dtype int64"),
    "disparity of floats": (dict(disparity=np.zeros((6, 8), np.float32)), r"dtype float32"),
    "disparity of three dimensions": (dict(disparity=np.zeros((6, 8, 1), np.uint8)), r"got shape \(6, 8, 1\)"),
    "disparity in another byte order": (dict(disparity=np.zeros((6, 8), ">u2")), r"dtype >u2"),
    "too large": (dict(reference=np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (16385, 16384, 3)),
                       disparity=np.broadcast_to(np.zeros((1, 1), np.uint8), (16385, 16384))),
                  r"^dispsmooth: 16384 x 16385 pixels is too large \(at most 268435456 pixels, 16384 x 16384\)$"),
    "too wide for an int": (dict(reference=np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (1, 2**31, 3)),
                                 disparity=np.broadcast_to(np.zeros((1, 1), np.uint8), (1, 2**31))),
                            r"2147483648 x 1 pixels is too large"),
}


@pytest.mark.parametrize("changes, message", WRONG_VALUES.values(), ids=WRONG_VALUES.keys())
def test_wrong_values_raise_value_error(changes, message):
    before = DISP.copy()
    with pytest.raises(ValueError, match=message):
        smooth(**changes)
    np.testing.assert_array_equal(DISP, before)
    # The interpreter and the module go on as before.
    np.testing.assert_array_equal(smooth(), DISP)


def test_parameters_of_the_wrong_type_raise_type_error():
    for changes in (dict(radius=2.5), dict(radius="2"), dict(sigma_space="9"), dict(min_d=None)):
        with pytest.raises(TypeError):
            smooth(**changes)
    # numpy integers and floats are numbers like any other.
    np.testing.assert_array_equal(smooth(radius=np.int64(2), sigma_space=np.float32(9),
                                         min_d=np.uint8(0), threads=np.int16(1)), DISP)


def test_parameters_are_checked_before_the_pixels():
    # A wrong sigma is reported for a map that has a wrong disparity too, and
    # even for an empty image, on which the routine itself would do nothing.
    with pytest.raises(ValueError, match="sigma_color is 0"):
        smooth(disparity=np.full((6, 8), 300, np.uint16), sigma_color=0.0)
    with pytest.raises(ValueError, match="radius is -4"):
        smooth(reference=REF[:0], disparity=DISP[:0], radius=-4)


@pytest.mark.parametrize("parameters, routine", [
    ((2, 0, 20), "median_histo"), ((2, 9, 0), "median_histo"), ((-1, 9, 20), "median_histo")])
def test_messages_carry_what_the_tool_prints(tool, tmp_path, parameters, routine):
    done = run_tool(tool, tmp_path, REF, DISP, *parameters)
    assert done.returncode != 0
    printed = done.stderr.strip().splitlines()[-1]
    assert printed == f"FATAL ERROR in {routine}"
    with pytest.raises(ValueError) as refused:
        dispsmooth.smooth(REF, DISP, *parameters)
    assert str(refused.value).endswith(f"({printed})")


def test_size_message_is_the_tools_without_file_names(tool, tmp_path):
    write_png(tmp_path / "reference.png", REF)
    write_png(tmp_path / "disparity.png", np.zeros((6, 9), np.uint8))
    (tmp_path / "kelv_input.txt").write_text("reference.png disparity.png 2 9 20 out.png\n")
    done = subprocess.run([tool], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    printed = done.stderr.strip()
    assert printed.startswith('dispsmooth: reference image "reference.png" is 8x6')
    with pytest.raises(ValueError) as refused:
        dispsmooth.smooth(REF, np.zeros((6, 9), np.uint8), 2, 9.0, 20.0)
    assert re.sub(r' "[^"]*"', "", printed) == str(refused.value)


def test_memory_error_leaves_the_interpreter_running():
    # Under a 2 GiB address-space limit, the whole int range costs nothing
    # (the histograms have a bin per distinct level of the map), while the
    # largest image, copied out of broadcast arrays (1.3 GiB), leaves no room
    # for the library's 1 GiB of levels: that allocation is refused.
    script = textwrap.dedent("""
        import resource
        import numpy as np
        import dispsmooth
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
        ref, disp = np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4), np.int32)
        print("whole range:", dispsmooth.smooth(ref, disp, 1, 9.0, 20.0, min_d=-2**31,
                                                max_d=2**31 - 1).sum())
        side = 16384
        big_ref = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (side, side, 3))
        big_disp = np.broadcast_to(np.zeros((1, 1), np.uint8), (side, side))
        try:
            dispsmooth.smooth(big_ref, big_disp, 1, 9.0, 20.0)
        except MemoryError as e:
            print("MemoryError:", e)
        print("still running:", dispsmooth.smooth(ref, disp, 1, 9.0, 20.0).sum())
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("whole range: 0\nMemoryError: dispsmooth: out of memory allocating "
                           "disparity levels (268435456 x 4 bytes)\nstill running: 0\n")
    assert done.stderr == ""
