"""dispsmooth on dask: large maps in tiles, and many frames, across workers.

    import dispsmooth.dask
    smoothed = dispsmooth.dask.smooth(reference, disparity, 9, 9.0, 20.0, chunks=2048)
    smoothed.compute()  # bit for bit dispsmooth.smooth(reference, disparity, 9, 9.0, 20.0)

smooth() tiles one map: the windowed median only looks radius pixels
around each pixel, and the 3 x 3 median of the reference one pixel further,
so a tile extended by radius + 1 pixels on each side that has a neighbour
(and by nothing at the image's border) gives, inside the tile, exactly the
whole map's result.  smooth_frames() smooths a sequence of maps, one task a
frame, reading and writing files on the workers.

Each task smooths with one thread unless told otherwise (threads=), so that
a dask worker's threads, and the workers of one machine, share its
processors instead of each starting one OpenMP thread per processor.

Every other keyword parameter is handed to dispsmooth.smooth unchanged
(min_d and max_d today, and whatever it takes later), for every tile or
frame alike; the halo stays radius + 1.
"""

import operator
import os
import uuid
from functools import partial
from typing import Any, Optional

import numpy as np

try:
    import dask
    import dask.array as da
    import dask.bag as db
    from dask.array.overlap import overlap, trim_internal
    from dask.base import tokenize
except ImportError as missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "dispsmooth.dask needs dask (Debian: python3-dask, with python3-distributed for a "
        f"cluster): {missing}") from missing

from dispsmooth import _core

__all__ = ["DEFAULT_CHUNKS", "halo", "smooth", "smooth_frames"]

# The tile size given to numpy arrays when no chunks are asked for: about
# 4 megapixels, 12 MB of reference and a few of disparities per task.
DEFAULT_CHUNKS = 2048


def halo(radius: int) -> int:
    """The pixels a tile needs beyond its own on each side for the map's
    result: the window's radius and one more for the 3 x 3 median of the
    reference."""
    return max(operator.index(radius), 0) + 1


def smooth(reference: Any, disparity: Any, radius: int, sigma_space: float, sigma_color: float,
           *, chunks: Any = None, threads: Optional[int] = 1, **kwargs: Any) -> "da.Array":
    """Return a dask array whose computed value is dispsmooth.smooth of the
    whole arrays, bit for bit, whatever the chunking.

    reference
        H x W x 3 (uint8 R, G, B), a dask array or anything numpy-like
        (an array, a memmap, an h5py or zarr dataset).
    disparity
        H x W, of any dtype dispsmooth.smooth takes, likewise.
    radius, sigma_space, sigma_color
        As for dispsmooth.smooth.
    chunks
        The tiles: an int (square tiles), a (rows, columns) pair or dask's
        explicit chunks of the H x W plane.  None keeps a dask disparity's
        chunks and cuts anything else into DEFAULT_CHUNKS x DEFAULT_CHUNKS
        tiles.  The reference is cut like the disparity, its three channels
        in every tile.  A tile narrower or lower than the halo (radius + 1)
        is merged into its neighbour, so any chunking is taken; the result
        has the chunks after that merge.
    threads
        Threads of each task (1 by default, so that dask's workers share the
        processor; None for dispsmooth.smooth's default).
    **kwargs
        Handed to dispsmooth.smooth for every tile unchanged (min_d, max_d,
        invalid, fill, step, ...).  mask, an H x W array like the
        disparity, is cut into the same tiles with the same halo.

    The result has the disparity's dtype.  The shapes are checked at once;
    everything else that dispsmooth.smooth refuses (dtypes, values,
    parameters) raises its exception when the result is computed.
    """
    halo_width = halo(radius)
    mask = kwargs.pop("mask", None)
    reference, disparity = _as_tiled_pair(reference, disparity, chunks)
    if mask is not None:
        if not isinstance(mask, da.Array):
            mask = da.from_array(_array_like(mask), chunks=disparity.chunks)
        if tuple(mask.shape) != tuple(disparity.shape):
            raise ValueError(f"dispsmooth: mask has shape {tuple(mask.shape)}; it must have the "
                             f"disparity's, {tuple(disparity.shape)}")
    rows, row_depth = _tiling(disparity.chunks[0], halo_width)
    columns, column_depth = _tiling(disparity.chunks[1], halo_width)
    reference = reference.rechunk((rows, columns, -1))
    disparity = disparity.rechunk((rows, columns))
    planes = [disparity] if mask is None else [disparity, mask.rechunk((rows, columns))]
    depth = {0: row_depth, 1: column_depth}
    if row_depth or column_depth:
        reference = overlap(reference, depth={**depth, 2: 0}, boundary="none",
                            allow_rechunk=False)
        planes = [overlap(plane, depth=depth, boundary="none", allow_rechunk=False)
                  for plane in planes]

    # The keyword parameters travel as one dict, so that none of them can
    # clash with blockwise's own.
    tile = partial(_smooth_tile, radius=radius, sigma_space=sigma_space,
                   sigma_color=sigma_color, threads=threads, options=dict(kwargs))
    name = "dispsmooth-smooth-" + tokenize(reference, *planes, radius, sigma_space,
                                           sigma_color, threads, kwargs)
    tiled = [argument for plane in planes for argument in (plane, "yx")]
    smoothed = da.blockwise(tile, "yx", reference, "yxc", *tiled, name=name,
                            dtype=disparity.dtype, meta=np.empty((0, 0), disparity.dtype),
                            concatenate=True)
    if row_depth or column_depth:
        smoothed = trim_internal(smoothed, depth, boundary="none")
    return smoothed


def smooth_frames(frames: Any, radius: int, sigma_space: float, sigma_color: float, *,
                  threads: Optional[int] = 1, **kwargs: Any) -> Any:
    """Smooth a sequence of frames on dask, each frame a task of its own.

    frames
        A list or any iterable of frames, each a tuple or a dask.delayed
        that computes to one (one task a frame), or a dask.bag.Bag of them
        (one task a partition: dask.bag.from_sequence(frames,
        partition_size=1) makes it one a frame).  A frame is
        (reference, disparity) or (reference, disparity, output).
        reference and disparity are arrays as dispsmooth.smooth takes them,
        or file names read on the worker: a ".npy" name with numpy.load,
        any other with dispsmooth.read_image (kind "rgb" and "gray").
        output is a file name written on the worker, atomically: a ".npy"
        name with numpy.save, any other with dispsmooth.write_image (the
        tool's gray writer, the low 8 bits of each value).  The file appears
        under its name only once complete, so a task that dask runs again
        after a worker was lost writes the same file again.
    radius, sigma_space, sigma_color, threads, **kwargs
        As for smooth().

    Returns, for a bag, a bag of the frames' results; otherwise a list of
    dask.delayed, one a frame.  A frame's result is its smoothed map, or
    its output name when it has one.
    """
    frame = partial(_smooth_frame, radius=radius, sigma_space=sigma_space,
                    sigma_color=sigma_color, threads=threads, options=dict(kwargs))
    if isinstance(frames, db.Bag):
        return frames.map(frame)
    parameters = tokenize(radius, sigma_space, sigma_color, threads, kwargs)
    return [
        dask.delayed(frame, pure=True)(
            item, dask_key_name=f"dispsmooth-frame-{index}-{tokenize(item, parameters)}")
        for index, item in enumerate(frames)
    ]


def _as_tiled_pair(reference, disparity, chunks):
    """reference and disparity as dask arrays, the disparity cut into the
    chunks asked for, after the shape checks that the tiling needs."""
    if not isinstance(reference, da.Array):
        reference = _array_like(reference)
    if not isinstance(disparity, da.Array):
        disparity = _array_like(disparity)
    if len(reference.shape) != 3:
        raise ValueError(
            f"dispsmooth: reference must be an H x W x 3 array; got shape {reference.shape}")
    if len(disparity.shape) != 2:
        raise ValueError(
            f"dispsmooth: disparity must be an H x W array; got shape {disparity.shape}")
    if any(np.isnan(size) for size in tuple(reference.shape) + tuple(disparity.shape)):
        raise ValueError("dispsmooth: the arrays' sizes must be known to cut them into tiles "
                         "(compute_chunk_sizes() finds them)")
    if tuple(reference.shape[:2]) != tuple(disparity.shape):
        height, width = reference.shape[:2]
        raise ValueError(
            f"dispsmooth: reference image is {width}x{height} but disparity map is "
            f"{disparity.shape[1]}x{disparity.shape[0]}; they must have the same size")

    if isinstance(disparity, da.Array):
        if chunks is not None:
            disparity = disparity.rechunk(_plane_chunks(chunks))
    else:
        plane = _plane_chunks(DEFAULT_CHUNKS if chunks is None else chunks)
        disparity = da.from_array(disparity, chunks=plane)
    if not isinstance(reference, da.Array):
        reference = da.from_array(reference, chunks=disparity.chunks + ((reference.shape[2],),))
    return reference, disparity


def _array_like(array):
    """array itself when it slices like a numpy array, else numpy's view of
    it (lists, buffers)."""
    if hasattr(array, "shape") and hasattr(array, "dtype") and hasattr(array, "__getitem__"):
        return array
    return np.asarray(array)


def _plane_chunks(chunks):
    """chunks for the H x W plane: an int for both axes, else as given."""
    if isinstance(chunks, int):
        return (chunks, chunks)
    return chunks


def _tiling(chunks, halo_width):
    """The chunks of one axis with every chunk at least halo_width, and the
    overlap the tiles need along it (none for a single chunk).  A chunk
    shorter than that takes in the ones after it until it is long enough;
    a short last one joins the one before."""
    merged = []
    for size in chunks:
        if merged and merged[-1] < halo_width:
            merged[-1] += size
        else:
            merged.append(size)
    if len(merged) > 1 and merged[-1] < halo_width:
        last = merged.pop()
        merged[-1] += last
    return tuple(merged), (halo_width if len(merged) > 1 else 0)


def _smooth_tile(reference, disparity, mask=None, *, radius, sigma_space, sigma_color, threads,
                 options):
    if mask is not None:
        options = {**options, "mask": mask}
    return _core.smooth(reference, disparity, radius, sigma_space, sigma_color,
                        threads=threads, **options)


def _smooth_frame(frame, *, radius, sigma_space, sigma_color, threads, options):
    frame = tuple(frame)
    if len(frame) not in (2, 3):
        raise ValueError("dispsmooth: a frame is (reference, disparity) or "
                         f"(reference, disparity, output); got {len(frame)} items")
    reference = _read(frame[0], "rgb")
    disparity = _read(frame[1], "gray")
    smoothed = _core.smooth(reference, disparity, radius, sigma_space, sigma_color,
                            threads=threads, **options)
    if len(frame) == 2:
        return smoothed
    _write(frame[2], smoothed)
    return frame[2]


def _is_file_name(value):
    return isinstance(value, (str, bytes, os.PathLike))


def _is_npy(path):
    name = os.fsdecode(os.fspath(path))
    return name.endswith(".npy")


def _read(value, kind):
    if not _is_file_name(value):
        return value
    if _is_npy(value):
        return np.load(os.fspath(value), allow_pickle=False)
    return _core.read_image(value, kind)


def _write(path, smoothed):
    if not _is_npy(path):
        _core.write_image(path, smoothed)  # written beside, renamed when complete
        return
    # The same for numpy's format: a new file beside the target, with the
    # permissions a plain open would give it, renamed over the target once
    # written and synced.
    target = os.fsdecode(os.fspath(path))
    directory, name = os.path.split(target)
    temporary = os.path.join(directory, f".{name}.dispsmooth-{uuid.uuid4().hex[:12]}")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            np.save(stream, smoothed, allow_pickle=False)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
