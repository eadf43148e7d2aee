#!/usr/bin/python3
"""dispsmooth.dask at scale: a generated scene of --size x --size pixels
(100 megapixels by default) smoothed in tiles on a dask LocalCluster of
--workers processes of one thread each, on this machine.

The scene is made tile by tile on the workers, so that no process ever
holds it whole: the Cones and Teddy scenes of the shared test images laid
side by side like tiles (left.png as the reference image, disp_noisy.png,
a block matcher's map, as the disparities), each tile's disparities raised
along a slanted plane of its own, and 2 % of the pixels replaced by random
values, the outliers of block matching.  Every pixel depends only on its
position, so any crop can be made again in one process.

Printed:
  - one process, one thread: dispsmooth.smooth on a --crop x --crop crop
    (4 megapixels), and two such processes at once, each on a crop of its
    own: the throughput the cluster is held against;
  - the cluster: wall time from submission to the last tile, the
    throughput, its share of the two processes' (target: 80 % or more),
    and the peak resident memory (VmHWM) of every worker (target: 1.5 GB
    or less with 2048 x 2048 tiles);
  - a check: the cluster's result over the top-left crop, less a margin of
    the halo, equals the one-process smoothing of that crop.
A progress bar (dask's) is drawn while the cluster works when standard
output is a terminal.

Usage: PYTHONPATH=build/release/python /usr/bin/python3 bench/dask_scale.py
         [--size 10000] [--chunks 2048] [--radius 9] [--crop 2000]
         [--workers 2] [--testdata DIR] [--no-progress]
Needs python3-dask and python3-distributed; without the test-data folder it
says so and exits with status 0.
"""
import argparse
import functools
import logging
import multiprocessing
import os
import sys
import tempfile
import time
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SCENES = ("cones", "teddy")
SIGMA_SPACE = 9.0
SIGMA_COLOR = 20.0
SPECKLE_PERCENT = 2


def parse_args():
    parser = argparse.ArgumentParser(description="Smooth a large generated scene on dask.")
    parser.add_argument("--size", type=int, default=10000, help="the scene's width and height")
    parser.add_argument("--chunks", type=int, default=2048, help="the tiles' width and height")
    parser.add_argument("--radius", type=int, default=9)
    parser.add_argument("--crop", type=int, default=2000,
                        help="the one-process crop's width and height")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of one thread")
    parser.add_argument("--testdata", default=os.path.join(REPO, "..", "shared", "testdata"),
                        help="shared test-data folder (with stereo/cones, stereo/teddy)")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    args = parser.parse_args()
    args.crop = min(args.crop, args.size)
    return args


@functools.lru_cache(maxsize=None)
def sources(testdata):
    """The real scenes, cut to their common size: references (H x W x 3)
    and disparities (H x W), both uint8."""
    import dispsmooth

    scenes = []
    for name in SCENES:
        folder = os.path.join(testdata, "stereo", name)
        scenes.append((dispsmooth.read_image(os.path.join(folder, "left.png"), "rgb"),
                       dispsmooth.read_image(os.path.join(folder, "disp_noisy.png"), "gray")))
    height = min(r.shape[0] for r, _ in scenes)
    width = min(r.shape[1] for r, _ in scenes)
    return tuple((r[:height, :width], d[:height, :width]) for r, d in scenes)


@functools.lru_cache(maxsize=None)
def speckles():
    """The outliers of block matching: a field of random values at 2 % of
    its pixels (-1 elsewhere), repeated over the scene with periods (1021,
    1019) that share no factor with the scene's tiles."""
    rng = np.random.default_rng(2024)
    shape = (1021, 1019)
    values = rng.integers(0, 256, shape).astype(np.int16)
    return np.where(rng.random(shape) < SPECKLE_PERCENT / 100, values, -1).astype(np.int16)


def plane(tile_y, tile_x):
    """A tile's slanted plane, from its position: slopes of up to 12
    levels across the tile in each direction, and an offset of up to 20."""
    rng = np.random.default_rng([tile_y, tile_x])
    return rng.integers(-12, 13), rng.integers(-12, 13), rng.integers(-20, 21)


def scene(testdata, size, rows, columns):
    """The scene's pixels in rows x columns (two slices): the reference
    (uint8, ... x 3) and the disparities (uint8)."""
    del size  # every pixel depends on its position alone
    scenes = sources(testdata)
    tile_h, tile_w = scenes[0][1].shape
    height, width = rows.stop - rows.start, columns.stop - columns.start
    reference = np.empty((height, width, 3), np.uint8)
    disparity = np.empty((height, width), np.int16)
    for tile_y in range(rows.start // tile_h, (rows.stop - 1) // tile_h + 1):
        y0, y1 = max(rows.start, tile_y * tile_h), min(rows.stop, (tile_y + 1) * tile_h)
        for tile_x in range(columns.start // tile_w, (columns.stop - 1) // tile_w + 1):
            x0, x1 = max(columns.start, tile_x * tile_w), min(columns.stop, (tile_x + 1) * tile_w)
            source_reference, source_disparity = scenes[(tile_y + tile_x) % len(scenes)]
            local = (slice(y0 - tile_y * tile_h, y1 - tile_y * tile_h),
                     slice(x0 - tile_x * tile_w, x1 - tile_x * tile_w))
            out = (slice(y0 - rows.start, y1 - rows.start),
                   slice(x0 - columns.start, x1 - columns.start))
            reference[out] = source_reference[local]
            slope_y, slope_x, offset = plane(tile_y, tile_x)
            ly = np.arange(local[0].start, local[0].stop, dtype=np.int16)[:, None]
            lx = np.arange(local[1].start, local[1].stop, dtype=np.int16)[None, :]
            raised = (source_disparity[local].astype(np.int16) + offset
                      + (slope_y * ly) // tile_h + (slope_x * lx) // tile_w)
            # The block matcher's 0 (nothing found) stays 0.
            disparity[out] = np.where(source_disparity[local] > 0, np.clip(raised, 1, 255), 0)
    field = speckles()
    outliers = field[np.ix_(np.arange(rows.start, rows.stop) % field.shape[0],
                            np.arange(columns.start, columns.stop) % field.shape[1])]
    disparity = np.where(outliers >= 0, outliers, disparity)
    return reference, disparity.astype(np.uint8)


def reference_block(testdata, size, block_info=None):
    (r0, r1), (c0, c1), _ = block_info[None]["array-location"]
    return scene(testdata, size, slice(r0, r1), slice(c0, c1))[0]


def disparity_block(testdata, size, block_info=None):
    (r0, r1), (c0, c1) = block_info[None]["array-location"]
    return scene(testdata, size, slice(r0, r1), slice(c0, c1))[1]


def checksum(block):
    """One tile's result reduced to a 1 x 1 array: what the cluster sends
    back instead of the map."""
    return np.array([[zlib.crc32(np.ascontiguousarray(block).tobytes())]], np.uint32)


def smooth_crop(args, top, left):
    """One process's timing: the crop at (top, left), smoothed with one
    thread.  Returns (seconds, result)."""
    import dispsmooth

    rows, columns = slice(top, top + args.crop), slice(left, left + args.crop)
    reference, disparity = scene(args.testdata, args.size, rows, columns)
    started = time.perf_counter()
    result = dispsmooth.smooth(reference, disparity, args.radius, SIGMA_SPACE, SIGMA_COLOR,
                               threads=1)
    return time.perf_counter() - started, result


def crop_seconds(job):
    args, top, left = job
    return smooth_crop(args, top, left)[0]


def peak_rss():
    """This process's peak resident memory in bytes (VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def main():
    args = parse_args()
    if not all(os.path.exists(os.path.join(args.testdata, "stereo", s, "disp_noisy.png"))
               for s in SCENES):
        print(f"{args.testdata}: the stereo scenes are missing; nothing to measure")
        return 0
    try:
        import dask.array as da
        from distributed import Client, LocalCluster, progress
    except ImportError as missing:
        print(f"dask and dask.distributed are needed ({missing}); Debian: python3-dask "
              "python3-distributed")
        return 1
    import dispsmooth
    import dispsmooth.dask

    args.testdata = os.path.abspath(args.testdata)
    pixels = args.size * args.size
    crop_pixels = args.crop * args.crop
    load = os.getloadavg()
    print(f"scene {args.size} x {args.size} ({pixels / 1e6:.1f} MP), tiles {args.chunks} x "
          f"{args.chunks}, radius {args.radius}, sigmas {SIGMA_SPACE:g}/{SIGMA_COLOR:g}; "
          f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")

    # One process, one thread, on the top-left crop (kept for the check).
    started = time.perf_counter()
    scene(args.testdata, args.size, slice(0, args.chunks), slice(0, args.chunks))
    making = time.perf_counter() - started
    one_seconds, crop_result = smooth_crop(args, 0, 0)
    one_rate = crop_pixels / one_seconds
    print(f"one process, 1 thread, {args.crop} x {args.crop} crop: {one_seconds:.2f} s, "
          f"{one_rate / 1e6:.2f} MP/s")
    # Two processes at once, one thread each, on two crops.
    other = args.size - args.crop
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pair = pool.map(crop_seconds, [(args, 0, 0), (args, other, other)])
    two_rate = 2 * crop_pixels / max(pair)
    print(f"two processes at once, 1 thread each: {pair[0]:.2f} s and {pair[1]:.2f} s, "
          f"{two_rate / 1e6:.2f} MP/s together")
    print(f"(making one {args.chunks} x {args.chunks} tile of the scene: {making:.2f} s, "
          "done on the workers inside the cluster's time)")

    with tempfile.TemporaryDirectory(prefix="dispsmooth-dask-bench-") as scratch, \
            LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                         host="127.0.0.1", dashboard_address="127.0.0.1:0",
                         scheduler_kwargs={"dashboard": False}, local_directory=scratch,
                         silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(args.workers, timeout=120)
        shape, chunks = (args.size, args.size), (args.chunks, args.chunks)
        reference = da.map_blocks(reference_block, args.testdata, args.size, dtype=np.uint8,
                                  chunks=da.core.normalize_chunks(chunks + (3,),
                                                                  shape + (3,)),
                                  meta=np.empty((0, 0, 0), np.uint8))
        disparity = da.map_blocks(disparity_block, args.testdata, args.size, dtype=np.uint8,
                                  chunks=da.core.normalize_chunks(chunks, shape),
                                  meta=np.empty((0, 0), np.uint8))
        smoothed = dispsmooth.dask.smooth(reference, disparity, args.radius, SIGMA_SPACE,
                                          SIGMA_COLOR)
        sums = smoothed.map_blocks(checksum, chunks=(1, 1), dtype=np.uint32)
        corner = smoothed[:args.crop, :args.crop]

        started = time.perf_counter()
        futures = client.compute([sums, corner])
        if sys.stdout.isatty() and not args.no_progress:
            progress(futures)
            print()
        sums_result, corner_result = client.gather(futures)
        wall = time.perf_counter() - started
        peaks = client.run(peak_rss)

    rate = pixels / wall
    print(f"cluster, {args.workers} workers x 1 thread: {wall:.1f} s, {rate / 1e6:.2f} MP/s, "
          f"{100 * rate / two_rate:.0f} % of two processes', {sums_result.size} tiles")
    for address, peak in sorted(peaks.items()):
        print(f"  worker {address}: peak resident memory {peak / 2**20:.0f} MiB")
    print(f"  this process: peak resident memory {peak_rss() / 2**20:.0f} MiB")
    margin = args.crop - dispsmooth.dask.halo(args.radius)
    same = np.array_equal(corner_result[:margin, :margin], crop_result[:margin, :margin])
    print(f"check: the cluster's top-left {margin} x {margin} equals one process's: "
          f"{'yes' if same else 'NO'}")
    load = os.getloadavg()
    print(f"load average after: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
