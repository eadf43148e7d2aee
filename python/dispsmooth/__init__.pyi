"""Guided weighted-median smoothing of stereo disparity maps."""

from os import PathLike
from typing import Literal, TypeVar

import numpy as np
import numpy.typing as npt

__version__: str

# The disparity map's element type, which the result keeps.
_Disparity = TypeVar(
    "_Disparity", np.uint8, np.uint16, np.int16, np.int32, np.float32, np.float64
)

def smooth(
    reference: npt.NDArray[np.uint8],
    disparity: npt.NDArray[_Disparity],
    radius: int,
    sigma_space: float,
    sigma_color: float,
    *,
    min_d: int = 0,
    max_d: int = 255,
    mask: npt.NDArray[np.bool_] | npt.NDArray[np.uint8] | None = None,
    invalid: float | None = None,
    fill: bool = False,
    step: float | None = None,
    threads: int | None = None,
    progress: bool = False,
) -> npt.NDArray[_Disparity]:
    """Return the smoothed copy of an H x W disparity map guided by an
    H x W x 3 uint8 reference image.  Pixels that mask marks False, that
    equal invalid, or (float maps) that are NaN or infinite are invalid:
    they add nothing to any window and keep their value unless fill=True
    fills them.  Float maps need step and are quantised to the nearest
    level (halfway cases to the even one).  With no invalid pixel the
    result is exactly the dispsmooth tool's.  Raises ValueError for wrong
    arrays or values and MemoryError when memory runs out."""
    ...

def read_image(
    path: str | bytes | PathLike[str] | PathLike[bytes], kind: Literal["rgb", "gray"]
) -> npt.NDArray[np.uint8]:
    """Read an image with the tool's reader for its file-name extension
    (tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, jpg, JPG): an H x W x 3
    array for kind "rgb", H x W for kind "gray" (the red sample of each
    pixel).  Raises OSError for a file that cannot be read or is damaged
    (the library's message, then the tool's line naming the file) and
    ValueError for another extension or kind."""
    ...

def write_image(
    path: str | bytes | PathLike[str] | PathLike[bytes],
    array: npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | npt.NDArray[np.int32],
) -> None:
    """Write an H x W array as a gray image with the tool's writer for the
    file-name extension (the low 8 bits of each value).  Raises OSError
    when the file cannot be written (no temporary file is left) and
    ValueError for a wrong array or extension."""
    ...

# The size of one level of KITTI's 16-bit maps: 1/256 pixel.
KITTI_STEP: float

def read_uint16(path: str | bytes | PathLike[str] | PathLike[bytes]) -> npt.NDArray[np.uint16]:
    """Read a PNG or TIFF (png, PNG, tif, TIF, tiff, TIFF) at full depth:
    H x W uint16, the grey sample (or a colour file's first sample) of each
    pixel as stored (KITTI: disparity x 256, 0 invalid).  Raises OSError for
    a file that cannot be read, is damaged or declares more pixels than it
    holds, ValueError for another extension."""
    ...

def write_uint16(
    path: str | bytes | PathLike[str] | PathLike[bytes], array: npt.NDArray[np.uint16]
) -> None:
    """Write an H x W uint16 array as a 16-bit grey PNG or TIFF, replacing
    a file of the same name only once complete.  Raises OSError when the
    file cannot be written, ValueError for a wrong array or extension."""
    ...

def read_pfm(path: str | bytes | PathLike[str] | PathLike[bytes]) -> npt.NDArray[np.float32]:
    """Read a PFM (Pf, or PF's first channel; either byte order) as H x W
    float32, row 0 at the top, NaN and inf kept.  Raises OSError for a file
    that is not a PFM, has a bad header or scale, or is truncated."""
    ...

def write_pfm(
    path: str | bytes | PathLike[str] | PathLike[bytes],
    array: npt.NDArray[np.float32] | npt.NDArray[np.float64],
) -> None:
    """Write an H x W float array as a grey, little-endian PFM (scale -1),
    rows bottom to top.  Raises OSError when the file cannot be written,
    ValueError for a wrong array."""
    ...
