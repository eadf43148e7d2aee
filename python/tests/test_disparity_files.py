"""read_uint16, write_uint16, read_pfm and write_pfm against files written
by other code (numpy and struct/zlib here, Pillow where installed): KITTI's
16-bit PNGs and PFM of both byte orders, the round trip through smooth, and
the refusal of damaged and lying files."""

import struct
import zlib

import numpy as np
import pytest

import dispsmooth


def png_bytes(samples, color_type, bit_depth=16, ihdr_size=None):
    """A PNG of the H x W x C samples (big-endian at 16 bits), filter 0 on
    every row, as a minimal writer of another program would make it."""
    height, width = samples.shape[:2]
    if ihdr_size is not None:
        width, height = ihdr_size
    dtype = ">u2" if bit_depth == 16 else "u1"
    raw = b"".join(b"\0" + row.astype(dtype).tobytes() for row in samples)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, bit_depth, color_type, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def pfm_bytes(image, little_endian=True, colour=False, scale=1.0):
    """A PFM of the H x W (or H x W x 3) float image, as numpy writes it:
    rows bottom to top."""
    height, width = image.shape[:2]
    header = b"PF" if colour else b"Pf"
    sign = -scale if little_endian else scale
    data = np.flipud(image).astype("<f4" if little_endian else ">f4").tobytes()
    return header + f"\n{width} {height}\n{sign}\n".encode() + data


def kitti_map(rng, height=40, width=61):
    disparity = (rng.uniform(1, 200, (height, width)) * 256).astype(np.uint16)
    disparity[rng.random((height, width)) < 0.3] = 0
    disparity[0, 0] = 9600  # 37.5 px
    return disparity


def test_kitti_png_from_another_writer_reads_every_fraction(tmp_path):
    disparity = kitti_map(np.random.default_rng(1))
    (tmp_path / "d.png").write_bytes(png_bytes(disparity[..., None], 0))
    back = dispsmooth.read_uint16(tmp_path / "d.png")
    assert back.dtype == np.uint16
    np.testing.assert_array_equal(back, disparity)
    assert back[0, 0] * dispsmooth.KITTI_STEP == 37.5
    # The 8-bit path is unchanged: the high byte.
    assert dispsmooth.read_image(tmp_path / "d.png", "gray")[0, 0] == 37


@pytest.mark.parametrize("color_type,channels", [(2, 3), (4, 2), (6, 4)])
def test_colour_pngs_read_their_first_sample(tmp_path, color_type, channels):
    rng = np.random.default_rng(color_type)
    samples = rng.integers(0, 65536, (9, 13, channels), dtype=np.uint16)
    (tmp_path / "c.png").write_bytes(png_bytes(samples, color_type))
    np.testing.assert_array_equal(dispsmooth.read_uint16(tmp_path / "c.png"), samples[..., 0])


def test_pillow_reads_what_write_uint16_writes_and_the_other_way(tmp_path):
    image_module = pytest.importorskip("PIL.Image")
    disparity = kitti_map(np.random.default_rng(2))
    dispsmooth.write_uint16(tmp_path / "mine.png", disparity)
    with image_module.open(tmp_path / "mine.png") as im:
        assert im.mode in ("I", "I;16")
        np.testing.assert_array_equal(np.asarray(im).astype(np.uint16), disparity)
    image_module.fromarray(disparity).save(tmp_path / "pillow.png")
    np.testing.assert_array_equal(dispsmooth.read_uint16(tmp_path / "pillow.png"), disparity)
    image_module.fromarray(disparity).save(tmp_path / "pillow.tif")
    np.testing.assert_array_equal(dispsmooth.read_uint16(tmp_path / "pillow.tif"), disparity)


@pytest.mark.parametrize("name", ["m.png", "m.PNG", "m.tif", "m.tiff", "m.TIF"])
def test_uint16_round_trips_keep_every_value(tmp_path, name):
    values = np.arange(65536, dtype=np.uint16).reshape(256, 256)[::3, ::2]
    dispsmooth.write_uint16(tmp_path / name, values)
    np.testing.assert_array_equal(dispsmooth.read_uint16(tmp_path / name), values)
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


@pytest.mark.parametrize("little_endian", [True, False])
@pytest.mark.parametrize("colour", [False, True])
def test_pfm_from_numpy_reads_in_both_byte_orders(tmp_path, little_endian, colour):
    rng = np.random.default_rng(3)
    disparity = rng.uniform(0, 300, (17, 23)).astype(np.float32)
    disparity[rng.random(disparity.shape) < 0.2] = np.inf
    disparity[1, 2] = np.nan
    image = np.stack([disparity, disparity + 1, -disparity], axis=2) if colour else disparity
    (tmp_path / "d.pfm").write_bytes(pfm_bytes(image, little_endian, colour, scale=1.0))
    back = dispsmooth.read_pfm(tmp_path / "d.pfm")
    assert back.dtype == np.float32 and back.shape == disparity.shape
    np.testing.assert_array_equal(back, disparity)  # NaN where NaN, inf where inf


def test_write_pfm_is_grey_little_endian_bottom_row_first(tmp_path):
    image = np.array([[1.5, np.inf], [np.nan, -3.0]], np.float32)
    dispsmooth.write_pfm(tmp_path / "o.pfm", image)
    data = (tmp_path / "o.pfm").read_bytes()
    assert data == b"Pf\n2 2\n-1\n" + np.flipud(image).astype("<f4").tobytes()
    dispsmooth.write_pfm(tmp_path / "o64.pfm", image.astype(np.float64))
    assert (tmp_path / "o64.pfm").read_bytes() == data


def test_kitti_round_trip_through_smooth_loses_only_what_smoothing_changes(tmp_path):
    rng = np.random.default_rng(4)
    disparity = kitti_map(rng)
    reference = rng.integers(0, 256, disparity.shape + (3,), dtype=np.uint8)
    dispsmooth.write_uint16(tmp_path / "in.png", disparity)
    smoothed = dispsmooth.smooth(reference, dispsmooth.read_uint16(tmp_path / "in.png"), 3,
                                 3.0, 20.0, min_d=0, max_d=65535, invalid=0)
    dispsmooth.write_uint16(tmp_path / "out.png", smoothed)
    np.testing.assert_array_equal(dispsmooth.read_uint16(tmp_path / "out.png"), smoothed)
    # Holes stay holes without fill; radius 0 changes nothing at all.
    assert np.all(smoothed[disparity == 0] == 0)
    same = dispsmooth.smooth(reference, disparity, 0, 3.0, 20.0, min_d=0, max_d=65535, invalid=0)
    np.testing.assert_array_equal(same, disparity)


def test_middlebury_round_trip_keeps_inf_and_the_levels(tmp_path):
    rng = np.random.default_rng(5)
    disparity = (rng.integers(0, 16 * 250, (30, 41)) / 16).astype(np.float32)
    disparity[rng.random(disparity.shape) < 0.2] = np.inf
    reference = rng.integers(0, 256, disparity.shape + (3,), dtype=np.uint8)
    (tmp_path / "disp0.pfm").write_bytes(pfm_bytes(disparity))
    read = dispsmooth.read_pfm(tmp_path / "disp0.pfm")
    smoothed = dispsmooth.smooth(reference, read, 2, 3.0, 20.0, min_d=0, max_d=4096,
                                 step=1 / 16)
    dispsmooth.write_pfm(tmp_path / "out.pfm", smoothed)
    back = dispsmooth.read_pfm(tmp_path / "out.pfm")
    np.testing.assert_array_equal(back, smoothed)
    assert np.all(np.isinf(back[np.isinf(disparity)]))


BAD_PFM = [
    ("empty", b"", "not a PFM file"),
    ("PPM", b"P6\n2 2\n255\n" + bytes(12), "not a PFM file"),
    ("truncated", pfm_bytes(np.ones((4, 4), np.float32))[:-5], "truncated"),
    ("header lies", b"Pf\n4 400\n-1\n" + bytes(64), "truncated"),
    ("scale 0", b"Pf\n1 1\n0\n" + bytes(4), "scale"),
    ("scale nan", b"Pf\n1 1\nnan\n" + bytes(4), "scale"),
    ("60000 x 60000", b"Pf\n60000 60000\n-1\n" + bytes(16), "too large"),
]


@pytest.mark.parametrize("what,data,words", BAD_PFM, ids=[c[0] for c in BAD_PFM])
def test_bad_pfm_raises_oserror_naming_the_file(tmp_path, what, data, words):
    path = tmp_path / "bad.pfm"
    path.write_bytes(data)
    with pytest.raises(OSError) as raised:
        dispsmooth.read_pfm(path)
    assert f'"{path}"' in str(raised.value) and words in str(raised.value), what


@pytest.mark.parametrize("size", [(60000, 60000), (16000, 16000), (2000000, 1)])
def test_png_declaring_a_huge_size_in_a_few_bytes_is_refused(tmp_path, size):
    path = tmp_path / "lie.png"
    path.write_bytes(png_bytes(np.zeros((1, 1, 1), np.uint16), 0, ihdr_size=size))
    assert path.stat().st_size < 100
    with pytest.raises(OSError, match="lie.png"):
        dispsmooth.read_uint16(path)


def test_wrong_arrays_and_names_raise_valueerror_and_leave_nothing(tmp_path):
    with pytest.raises(ValueError, match="uint16"):
        dispsmooth.write_uint16(tmp_path / "a.png", np.zeros((2, 2), np.int32))
    with pytest.raises(ValueError, match="H x W"):
        dispsmooth.write_uint16(tmp_path / "a.png", np.zeros((2, 2, 3), np.uint16))
    with pytest.raises(ValueError, match="not recognized"):
        dispsmooth.write_uint16(tmp_path / "a.jpg", np.zeros((2, 2), np.uint16))
    with pytest.raises(ValueError, match="not recognized"):
        dispsmooth.read_uint16(tmp_path / "a.pgm")
    with pytest.raises(ValueError, match="float32"):
        dispsmooth.write_pfm(tmp_path / "a.pfm", np.zeros((2, 2), np.uint16))
    with pytest.raises(ValueError, match="empty"):
        dispsmooth.write_pfm(tmp_path / "a.pfm", np.zeros((0, 2), np.float32))
    with pytest.raises(OSError, match="no/such"):
        dispsmooth.write_pfm(tmp_path / "no" / "such" / "a.pfm", np.zeros((2, 2), np.float32))
    with pytest.raises(OSError, match="no/such"):
        dispsmooth.write_uint16(tmp_path / "no" / "such" / "a.png", np.zeros((2, 2), np.uint16))
    assert list(tmp_path.iterdir()) == []


def test_views_and_non_contiguous_arrays_are_written_as_seen(tmp_path):
    values = np.arange(200, dtype=np.uint16).reshape(10, 20)
    dispsmooth.write_uint16(tmp_path / "t.png", values.T)
    np.testing.assert_array_equal(dispsmooth.read_uint16(tmp_path / "t.png"), values.T)
    floats = np.arange(200, dtype=np.float32).reshape(10, 20)[::2, ::3]
    dispsmooth.write_pfm(tmp_path / "t.pfm", floats)
    np.testing.assert_array_equal(dispsmooth.read_pfm(tmp_path / "t.pfm"), floats)
