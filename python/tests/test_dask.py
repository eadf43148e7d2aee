"""dispsmooth.dask on a real cluster: two worker processes on this machine
(loopback only), whose tiles and frames must give the whole-image result
bit for bit, also when a worker is killed in the middle."""

import logging
import os
import pathlib
import signal
import time

import numpy as np
import pytest

try:
    import dask.array as da
    import dask.bag as db
    from distributed import Client, LocalCluster
except ImportError as missing:
    pytest.skip(f"dask and dask.distributed are not installed ({missing}); "
                "Debian: apt-get install python3-dask python3-distributed",
                allow_module_level=True)

import dispsmooth
import dispsmooth.dask
from conftest import SOURCE_DIR, random_scene

TESTDATA = pathlib.Path(os.environ.get("DISPSMOOTH_TESTDATA_DIR",
                                       SOURCE_DIR.parent / "shared" / "testdata"))
SIGMAS = (9.0, 20.0)


def start_cluster(directory):
    """Two worker processes of one thread each, on the loopback, without a
    dashboard (the scheduler's HTTP server, which it always starts, on a
    free loopback port)."""
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                        dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": False},
                        local_directory=str(directory), silence_logs=logging.CRITICAL)


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    with start_cluster(tmp_path_factory.mktemp("cluster")) as cluster, \
            Client(cluster, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        yield client


@pytest.fixture
def fresh_client(tmp_path_factory):
    """A cluster of its own, for a test that kills one of its workers."""
    with start_cluster(tmp_path_factory.mktemp("cluster")) as cluster, \
            Client(cluster, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        yield client


def stereo_scene(folder, disparity_name):
    path = TESTDATA / folder
    if not (path / disparity_name).exists():
        pytest.skip(f"{path} is missing (the shared test data)")
    return (dispsmooth.read_image(path / "left.png", "rgb"),
            dispsmooth.read_image(path / disparity_name, "gray"))


def read_pfm(path):
    """A one-channel PFM file as a float32 H x W array, top row first."""
    with open(path, "rb") as f:
        assert f.readline().strip() == b"Pf"
        width, height = map(int, f.readline().split())
        scale = float(f.readline())
        data = np.fromfile(f, "<f4" if scale < 0 else ">f4", width * height)
    return data.reshape(height, width)[::-1]


def compute(client, array):
    return client.compute(array).result(timeout=300)


# Each tile costs dask a millisecond or two of its own (the halo's pieces are
# tasks too), hence few chunkings of few tiles.
@pytest.mark.parametrize("folder, disparity_name, radii", [
    ("stereo/cones", "disp_noisy.png", (2, 5)),
    ("stereo/teddy", "disp_noisy.png", (2, 5)),
    ("stereo-formats/kitti2015_000151_10", "disp_pred.png", (3,)),
])
def test_real_scenes_in_tiles_are_the_whole_image_result(client, folder, disparity_name, radii):
    reference, disparity = stereo_scene(folder, disparity_name)
    height, width = disparity.shape
    chunkings = [
        96,
        (100, 37),
        # Uneven tiles, one of them shorter than the halo.
        ((4, 200, height - 204), (3, 147, width - 150)),
        # Whole columns.
        ((height,), (7, 150, width - 157)),
    ]
    for radius in radii:
        expected = dispsmooth.smooth(reference, disparity, radius, *SIGMAS)
        for chunks in chunkings:
            smoothed = dispsmooth.dask.smooth(reference, disparity, radius, *SIGMAS,
                                              chunks=chunks)
            assert smoothed.shape == disparity.shape and smoothed.dtype == np.uint8
            result = compute(client, smoothed)
            assert np.array_equal(result, expected), (folder, radius, chunks)


def test_a_12_bit_map_with_its_range_passed_through(client):
    """The sceneflow scene's disparities as uint16 in 1/8 pixel, 0..4095:
    min_d and max_d reach every tile."""
    path = TESTDATA / "stereo-formats" / "sceneflow_dmb_demo_0"
    if not (path / "disp_gt.pfm").exists():
        pytest.skip(f"{path} is missing (the shared test data)")
    reference = dispsmooth.read_image(path / "left.png", "rgb")[:200, :300]
    disparity = np.clip(np.rint(read_pfm(path / "disp_gt.pfm") * 8), 0, 4095)
    disparity = disparity.astype(np.uint16)[:200, :300]
    expected = dispsmooth.smooth(reference, disparity, 3, *SIGMAS, max_d=4095)
    smoothed = dispsmooth.dask.smooth(reference, disparity, 3, *SIGMAS, chunks=(64, 90),
                                      max_d=4095)
    assert smoothed.dtype == np.uint16
    assert np.array_equal(compute(client, smoothed), expected)


@pytest.mark.parametrize("dtype, min_d, max_d, radius", [
    (np.uint8, 0, 255, 0), (np.uint8, 0, 255, 4), (np.uint16, 0, 4095, 3),
    (np.int32, -300, 700, 3)])
def test_generated_scenes(client, dtype, min_d, max_d, radius):
    rng = np.random.default_rng(11)
    reference, disparity = random_scene(rng, 150, 210, levels=max_d - min_d + 1)
    disparity = (disparity + min_d).astype(dtype)
    expected = dispsmooth.smooth(reference, disparity, radius, *SIGMAS, min_d=min_d,
                                 max_d=max_d)
    for chunks in ((40, 50), (150, 23), (9, 210)):
        smoothed = dispsmooth.dask.smooth(reference, disparity, radius, *SIGMAS, chunks=chunks,
                                          min_d=min_d, max_d=max_d)
        assert np.array_equal(compute(client, smoothed), expected), chunks


# Invalid pixels, by a mask tiled with the disparities or by an invalid
# value, with and without fill, and a float map on sub-pixel levels.
def test_invalid_pixels_and_levels_travel_with_the_tiles(client):
    rng = np.random.default_rng(13)
    reference, disparity = random_scene(rng, 120, 170, levels=200)
    disparity = disparity.astype(np.uint8)
    mask = rng.random(disparity.shape) > 0.2
    kitti = (disparity.astype(np.uint16) * 37) * mask
    floats = np.where(mask, disparity / 16.0, np.inf).astype(np.float32)
    cases = [
        (disparity, dict(mask=mask)),
        (disparity, dict(mask=mask, fill=True)),
        (kitti, dict(invalid=0, max_d=65535, fill=True)),
        (floats, dict(step=1 / 16, max_d=255)),
    ]
    for values, options in cases:
        expected = dispsmooth.smooth(reference, values, 3, *SIGMAS, **options)
        for chunks in ((30, 40), (120, 17)):
            smoothed = dispsmooth.dask.smooth(reference, values, 3, *SIGMAS, chunks=chunks,
                                              **options)
            got = compute(client, smoothed)
            assert got.dtype == expected.dtype
            assert np.array_equal(got, expected, equal_nan=values.dtype.kind == "f"), \
                (sorted(options), chunks)


def test_chunks_smaller_than_the_halo(client):
    """One- and two-pixel tiles, and a window larger than the image."""
    rng = np.random.default_rng(5)
    reference, disparity = random_scene(rng, 12, 15)
    disparity = disparity.astype(np.uint8)
    for radius in (1, 3, 20):
        expected = dispsmooth.smooth(reference, disparity, radius, *SIGMAS)
        for chunks in (1, (2, 15), ((1, 1, 10), (14, 1))):
            smoothed = dispsmooth.dask.smooth(reference, disparity, radius, *SIGMAS,
                                              chunks=chunks)
            assert min(min(c) for c in smoothed.chunks) >= min(radius + 1, 12)
            assert np.array_equal(compute(client, smoothed), expected), (radius, chunks)


def test_dask_arrays_keep_the_disparity_chunks(client):
    """The reference may be cut otherwise (here one channel a chunk); the
    result takes the disparity's tiles."""
    rng = np.random.default_rng(8)
    reference, disparity = random_scene(rng, 120, 160)
    disparity = disparity.astype(np.uint8)
    smoothed = dispsmooth.dask.smooth(da.from_array(reference, chunks=(50, 70, 1)),
                                      da.from_array(disparity, chunks=(40, 64)), 3, *SIGMAS)
    assert smoothed.chunks == ((40, 40, 40), (64, 64, 32))
    assert np.array_equal(compute(client, smoothed),
                          dispsmooth.smooth(reference, disparity, 3, *SIGMAS))


def test_refusals(client):
    reference = np.zeros((20, 30, 3), np.uint8)
    disparity = np.zeros((20, 30), np.uint8)
    # What the tiling needs is checked at once.
    with pytest.raises(ValueError, match="reference image is 29x20 but disparity map is 30x20"):
        dispsmooth.dask.smooth(reference[:, 1:], disparity, 2, *SIGMAS)
    with pytest.raises(ValueError, match="disparity must be an H x W array"):
        dispsmooth.dask.smooth(reference, disparity[..., None], 2, *SIGMAS)
    with pytest.raises(TypeError):
        dispsmooth.dask.smooth(reference, disparity, 2.5, *SIGMAS)
    # The rest is dispsmooth.smooth's, raised on the worker and again here.
    lazy = dispsmooth.dask.smooth(reference, disparity, 2, 0.0, 20.0, chunks=8)
    with pytest.raises(ValueError, match=r"sigma_space is 0.*\(FATAL ERROR in median_histo\)$"):
        compute(client, lazy)
    lazy = dispsmooth.dask.smooth(reference, disparity.astype(np.int64), 2, *SIGMAS, chunks=8)
    with pytest.raises(ValueError, match="disparity must be an H x W array of uint8"):
        compute(client, lazy)


def frame_files(directory, count, size=100, noise=False):
    """count generated frames of about size x size pixels in files:
    (reference, disparity, output) names, and the expected maps.  With
    noise, frames of colour noise, which take longer."""
    rng = np.random.default_rng(21)
    frames, expected = [], {}
    for k in range(count):
        if noise:
            reference = rng.integers(0, 256, (size, size + k, 3), dtype=np.uint8)
            disparity = rng.integers(0, 256, (size, size + k)).astype(np.uint8)
        else:
            reference, disparity = random_scene(rng, size, size + k)
            disparity = disparity.astype(np.uint8)
        names = [directory / f"{k:02}_{part}.png" for part in ("left", "disp", "smoothed")]
        dispsmooth.write_image(names[1], disparity)
        # The reference as a gray-looking RGB file would lose its colours:
        # it goes as a .npy array.
        names[0] = names[0].with_suffix(".npy")
        np.save(names[0], reference)
        frames.append(tuple(names))
        expected[names[2]] = dispsmooth.smooth(reference, disparity, 3, *SIGMAS)
    return frames, expected


def test_frames_from_files_and_arrays(client, tmp_path):
    frames, expected = frame_files(tmp_path, 5)
    tasks = dispsmooth.dask.smooth_frames(frames, 3, *SIGMAS)
    assert len(tasks) == len(frames)
    written = client.gather(client.compute(tasks), errors="raise")
    assert written == [frame[2] for frame in frames]
    for name, smoothed in expected.items():
        assert np.array_equal(dispsmooth.read_image(name, "gray"), smoothed)
    # Only the inputs and the outputs are there: no temporary file is left.
    assert sorted(tmp_path.iterdir()) == sorted(p for frame in frames for p in frame)

    # A bag of arrays, one frame a partition; a 16-bit map written as .npy.
    rng = np.random.default_rng(4)
    scenes = [random_scene(rng, 60, 80, levels=4096) for _ in range(3)]
    scenes = [(r, d.astype(np.uint16)) for r, d in scenes]
    bag = db.from_sequence(scenes, partition_size=1)
    results = client.compute(dispsmooth.dask.smooth_frames(bag, 2, *SIGMAS, max_d=4095))
    for (reference, disparity), smoothed in zip(scenes, results.result(timeout=300)):
        assert np.array_equal(smoothed,
                              dispsmooth.smooth(reference, disparity, 2, *SIGMAS, max_d=4095))
    output = tmp_path / "map16.npy"
    frame = (scenes[0][0], scenes[0][1], output)
    assert compute(client, dispsmooth.dask.smooth_frames([frame], 2, *SIGMAS,
                                                         max_d=4095)[0]) == output
    stored = np.load(output)
    assert stored.dtype == np.uint16
    assert np.array_equal(stored, dispsmooth.smooth(*scenes[0], 2, *SIGMAS, max_d=4095))


def kill_a_busy_worker(client, futures, ready):
    """Waits until a worker is running a task and ready(address) holds,
    then kills the worker's process with SIGKILL, before all of futures are
    done.  Returns the killed process's id."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        assert not all(f.done() for f in futures), \
            "the computation ended before a worker could be killed"
        processing = client.processing()
        for address in processing:
            if processing[address] and ready(address):
                pid = client.run(os.getpid, workers=[address])[address]
                os.kill(pid, signal.SIGKILL)
                return pid
        time.sleep(0.005)
    pytest.fail("no worker became busy in two minutes")


def test_a_worker_killed_while_smoothing_tiles(fresh_client):
    # Colour noise: no window settles early, so each tile takes a while.
    rng = np.random.default_rng(9)
    reference = rng.integers(0, 256, (1000, 1000, 3), dtype=np.uint8)
    disparity = rng.integers(0, 256, (1000, 1000), dtype=np.uint8)
    expected = dispsmooth.smooth(reference, disparity, 4, *SIGMAS)
    smoothed = dispsmooth.dask.smooth(reference, disparity, 4, *SIGMAS, chunks=125)
    future = fresh_client.compute(smoothed)

    def holds_a_tile(address):
        held = fresh_client.has_what([address])[address]
        return any(smoothed.name in str(key) for key in held)

    killed = kill_a_busy_worker(fresh_client, [future], holds_a_tile)
    assert np.array_equal(future.result(timeout=300), expected)
    fresh_client.wait_for_workers(2, timeout=60)
    assert killed not in fresh_client.run(os.getpid).values()


def test_a_worker_killed_while_writing_frames(fresh_client, tmp_path):
    frames, expected = frame_files(tmp_path, 32, size=250, noise=True)
    futures = fresh_client.compute(dispsmooth.dask.smooth_frames(frames, 3, *SIGMAS))

    def some_written(address):
        return sum(f.done() for f in futures) >= 2

    killed = kill_a_busy_worker(fresh_client, futures, some_written)
    assert fresh_client.gather(futures) == [frame[2] for frame in frames]
    for name, smoothed in expected.items():
        assert np.array_equal(dispsmooth.read_image(name, "gray"), smoothed), name
    # Apart from what SIGKILL may have cut short (a hidden temporary file),
    # exactly the inputs and the outputs.
    visible = sorted(p for p in tmp_path.iterdir() if not p.name.startswith("."))
    assert visible == sorted(p for frame in frames for p in frame)
    assert killed not in fresh_client.run(os.getpid).values()
