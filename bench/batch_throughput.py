#!/usr/bin/python3
"""dispsmooth-batch against shell loops of the tool, and the cost of reading
the benchmarks' disparity files.

Makes FRAMES frames of KITTI's size (1242 x 375) in a scratch folder: a
reference image of flat-coloured rectangles with noise, a 16-bit KITTI map
(disparity x 256, holes of 0), the same map as PFM (inf for the holes) and
as an 8-bit map for the tool (no holes: the tool has none).  Then times

- dispsmooth-batch on the KITTI maps (--encoding kitti, holes left out) and
  on the 8-bit maps (--encoding gray8), with --threads 2;
- `parallel -j 1` and `parallel -j 2` over one folder a frame, each with
  its kelv_input.txt, running the tool on the 8-bit maps (the tool's own
  threads as it chooses them, and with OMP_NUM_THREADS=1);
- read_uint16 of a KITTI PNG, read_pfm of the PFM and read_image(..., "gray")
  of the 8-bit PNG through the Python module (best of REPEAT).

    bench/batch_throughput.py [--build build/release] [--frames 200] [--radius 9]

Needs GNU parallel (Debian package parallel) and the module built in the
build tree.  Prints one line per measurement; nothing here is a test."""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np


def make_frame(rng, height, width):
    reference = np.empty((height, width, 3), np.uint8)
    reference[:] = rng.integers(0, 256, 3)
    disparity = np.full((height, width), rng.uniform(5, 80))
    for _ in range(12):
        y0, x0 = rng.integers(0, height), rng.integers(0, width)
        y1, x1 = y0 + rng.integers(10, height // 2), x0 + rng.integers(10, width // 3)
        reference[y0:y1, x0:x1] = rng.integers(0, 256, 3)
        disparity[y0:y1, x0:x1] = rng.uniform(5, 200)
    noise = rng.integers(-10, 11, reference.shape)
    reference = np.clip(reference.astype(int) + noise, 0, 255).astype(np.uint8)
    disparity += rng.normal(0, 0.7, disparity.shape)
    disparity = np.clip(disparity, 1, 250)
    holes = rng.random(disparity.shape) < 0.15
    return reference, disparity, holes


def timed(command, **kwargs):
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed ({done.returncode}):\n{done.stderr}")
    return seconds


def best_of(repeat, call):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--radius", type=int, default=9)
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    import dispsmooth

    tool = build / "dispsmooth"
    batch = build / "batch" / "dispsmooth-batch"
    if shutil.which("parallel") is None:
        sys.exit("GNU parallel is needed (Debian package parallel)")
    rng = np.random.default_rng(23)
    with tempfile.TemporaryDirectory(prefix="dispsmooth-batch-bench-") as scratch:
        root = pathlib.Path(scratch)
        for sub in ("image_2", "disp_kitti", "disp_8", "disp_pfm", "scenes"):
            (root / sub).mkdir()
        for i in range(args.frames):
            reference, disparity, holes = make_frame(rng, 375, 1242)
            name = f"{i:06d}_10.png"
            write_rgb_png(root / "image_2" / name, reference)
            kitti = np.where(holes, 0, np.round(disparity * 256)).astype(np.uint16)
            dispsmooth.write_uint16(root / "disp_kitti" / name, kitti)
            eight = np.round(disparity).astype(np.uint8)
            dispsmooth.write_image(root / "disp_8" / name, eight)
            dispsmooth.write_pfm(root / "disp_pfm" / f"{i:06d}_10.pfm",
                                 np.where(holes, np.inf, disparity).astype(np.float32))
            scene = root / "scenes" / f"{i:06d}"
            scene.mkdir()
            os.link(root / "image_2" / name, scene / "reference.png")
            os.link(root / "disp_8" / name, scene / "disparity.png")
            (scene / "kelv_input.txt").write_text(
                f"reference.png disparity.png {args.radius} 9 20 smoothed.png\n")

        print(f"{args.frames} frames of 1242 x 375, radius {args.radius}, sigma 9 and 20,"
              f" {os.cpu_count()} processors")
        common = [str(batch), "--radius", str(args.radius), "--sigma-space", "9",
                  "--sigma-color", "20", "--threads", "2"]
        t = timed(common + ["--encoding", "kitti", "--out", str(root / "out_kitti"),
                            str(root / "image_2"), str(root / "disp_kitti")])
        print(f"dispsmooth-batch, KITTI 16-bit with holes: {t:8.2f} s")
        t = timed(common + ["--encoding", "gray8", "--out", str(root / "out_8"),
                            str(root / "image_2"), str(root / "disp_8")])
        batch_8 = t
        print(f"dispsmooth-batch, 8-bit maps:              {t:8.2f} s")
        scenes = sorted(str(p) for p in (root / "scenes").iterdir())
        for jobs in (1, 2):
            for env_name, env in (("tool's threads", None), ("OMP_NUM_THREADS=1", "1")):
                environment = dict(os.environ)
                if env is not None:
                    environment["OMP_NUM_THREADS"] = env
                t = timed(["parallel", "-j", str(jobs), f"cd {{}} && {tool} > run.log 2>&1",
                           ":::"] + scenes, env=environment)
                print(f"parallel -j {jobs} of the tool ({env_name}):"
                      f" {t:8.2f} s  (batch 8-bit is {t / batch_8:.2f}x faster)")

        png16 = root / "disp_kitti" / "000000_10.png"
        png8 = root / "disp_8" / "000000_10.png"
        pfm = root / "disp_pfm" / "000000_10.pfm"
        t8 = best_of(args.repeat, lambda: dispsmooth.read_image(png8, "gray"))
        t16 = best_of(args.repeat, lambda: dispsmooth.read_uint16(png16))
        tpfm = best_of(args.repeat, lambda: dispsmooth.read_pfm(pfm))
        print(f"read 8-bit PNG (read_image gray): {1000 * t8:7.2f} ms")
        print(f"read 16-bit KITTI PNG (read_uint16): {1000 * t16:7.2f} ms  ({t16 / t8:.2f}x)")
        print(f"read PFM (read_pfm):              {1000 * tpfm:7.2f} ms  ({tpfm / t8:.2f}x)")


def write_rgb_png(path, rgb):
    """An 8-bit RGB PNG of the H x W x 3 array (zlib and struct only)."""
    import struct
    import zlib

    height, width = rgb.shape[:2]
    raw = b"".join(b"\0" + row.tobytes() for row in rgb)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    path.write_bytes(b"\x89PNG\r\n\x1a\n"
                     + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    main()
